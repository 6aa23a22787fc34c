// Patches: writing one from two files, applying it, and merging two changes of one file.
#pragma once

#include "patches/diff.h"
#include "patches/merge.h"
#include "patches/patch.h"
