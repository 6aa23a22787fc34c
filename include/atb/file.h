// Opening an attribute file: the one open both programs share, its lock and its wait, the mark of
// an interrupted change, and the handle it gives.
#pragma once

#include "change/mark.h"
#include "change/open.h"
#include "change/wait.h"
#include "store/positioned_file.h"
