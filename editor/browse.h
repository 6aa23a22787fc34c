// The table browser: one call shows one table of the open file and runs its command loop.
#pragma once

#include <cstdint>

#include "editor/edit_state.h"

namespace atb {

// Shows the table at `offset`, whose extent ends at `endOffset`, and runs its command loop until
// the user leaves it (999), a change in it or below it grew the file, or state.stop is set.
// A damaged table is refused with "\nbad table, not opened". After a growth it returns with
// state.grew set: the change has already fixed every enclosing table, so every level returns
// and the root reads its table afresh.
void BrowseTable(EditState& state, int64_t offset, int32_t depth, int64_t endOffset);

}  // namespace atb
