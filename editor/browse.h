// The table browser: one call shows one table of the open file and runs its command loop.
#pragma once

#include <cstdint>
#include <string>

#include "frontend/edit_state.h"

namespace atb {

// Shows the table at `offset`, whose extent ends at `endOffset`, and runs its command loop until
// the user leaves it (999), a change in it or below it grew the file, or state.stop is set.
// A damaged table is refused with "\nbad table, not opened". Every browsing level returns
// through here, so after a growth the caller settles it: see the settle step in browse.cc.
void BrowseTable(EditState& state, int64_t offset, int32_t depth, int64_t endOffset);

// The display name of the reference whose nested table lies at `offset`: the text of the first
// entry keyed REF_NAME_KEY, at most 200 bytes up to its first zero byte; "Not Found" when there
// is no such entry or the table is damaged. Lists nothing and reads no command.
std::string LookupReferenceName(EditState& state, int64_t offset, int64_t endOffset);

}  // namespace atb
