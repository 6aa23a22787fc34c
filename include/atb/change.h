// Making a change: values replaced, entries added and taken out, as one unit with its journal; side
// files; a change over many files of a folder.
#pragma once

#include "change/change.h"
#include "change/folder_change.h"
#include "change/journal.h"
#include "change/side_files.h"
