// Making a change: values replaced, entries added and taken out, as one unit with its journal; side
// files.
#pragma once

#include "change/change.h"
#include "change/journal.h"
#include "change/side_files.h"
