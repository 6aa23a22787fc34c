// The table browser of the dialogue and its editing state.
#pragma once

#include "editor/browse.h"
#include "editor/edit_state.h"
