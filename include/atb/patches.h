// Patches: writing one from two files or folders, applying it, merging two changes of one file,
// installing several mods at once, making a patch again for a newer file, and undoing one.
#pragma once

#include "patches/diff.h"
#include "patches/folder_mods.h"
#include "patches/folder_patch.h"
#include "patches/loose_apply.h"
#include "patches/merge.h"
#include "patches/mods.h"
#include "patches/patch.h"
#include "patches/rebase.h"
#include "patches/reverse.h"
#include "patches/sheet.h"
#include "patches/update.h"
