// A three-way merge of attribute files with the entry as its unit: every change from BASE to
// THEIRS that OURS did not make differently is made to OURS, as one change. Tables are matched
// entry by entry by key, as diff matches them; a table that is sound in all three is merged
// inside.
//
// An entry changed on one side only takes that side's value (a reference: its whole table when
// it is damaged on any side); the same change on both sides is no conflict. Entries added on
// both sides are kept, theirs placed among ours in key order where they land at the same place,
// ours first between equal keys; an entry added alike on both sides is kept once. Conflicts: an
// entry changed on one side and removed on the other; changed differently on both; a key added
// with different values on both sides to one table where neither side holds it more than once
// (an attribute set twice, not a list grown on both sides); a table's lead, or the header, changed
// differently on both sides.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "change/change.h"
#include "store/positioned_file.h"
#include "text/key_names.h"

namespace atb {

// Plans the merge into `change`, made to OURS; every conflict goes to *conflicts as
// "PATH: base ..., ours ..., theirs ...", and every damaged table of THEIRS that it carries over
// to *damaged as "PATH: writes THEIRS's damaged table (why)". Damaged (saying whose) when a root
// table is.
Status PlanMerge(ByteSource& base, int64_t baseLength, ByteSource& ours, int64_t oursLength,
                 ByteSource& theirs, int64_t theirsLength, const KeyNames& names, Change* change,
                 std::vector<std::string>* conflicts, std::vector<std::string>* damaged = nullptr);

}  // namespace atb
