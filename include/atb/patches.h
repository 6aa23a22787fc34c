// Patches: writing one from two files or folders, applying it, and merging two changes of one
// file.
#pragma once

#include "patches/diff.h"
#include "patches/folder_patch.h"
#include "patches/merge.h"
#include "patches/patch.h"
