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

// Which side a conflict is settled for: none (OURS is kept there, and the conflict stands),
// OURS, or THEIRS (its value, its removal, its table, its lead or its header).
enum class MergeSide { kNone, kOurs, kTheirs };

// One conflict, and what takes THEIRS's side of it in OURS once merged, which holds OURS's side.
struct MergeConflict {
  std::string where;  // as BASE names it: an entry's path, "lead PATH" or "header"
  std::string line;   // "PATH: base ..., ours ..., theirs ..."
  enum Take {
    kSet,       // `set` of `value` gives THEIRS's bytes
    kPatchSet,  // a patch's "set PATH: `patch`"
    kRemove,    // THEIRS removed it
    kTable,     // THEIRS's table `theirs` goes in as entry `key` of the table (after OURS's entry
                // is taken out, when `oursHolds`)
    kAdd,       // `add` of `value`, of type `type`, as entry `key` of the table
    kPatchAdd,  // a patch's "add" of `patch` as entry `key` of the table
    kLead,      // a patch's "lead PATH: `patch`"
    kHeader,    // a patch's "header: ...", to THEIRS's header `value`
    kNothing,   // no command takes THEIRS's side: `value` says why
  } take = kNothing;
  // Entry numbers from the root in OURS once merged: the entry when OURS holds it, else the
  // table that would hold it (and for kLead, the table).
  std::vector<uint32_t> ours;
  bool oursHolds = false;
  std::vector<uint32_t> theirs;  // kTable: THEIRS's entry
  uint32_t key = 0, type = 0;
  // kAdd, kPatchAdd: the entries of the table once merged that the entry goes between, where add
  // puts it (-1: the table's start, its end), and how many entries there hold its key.
  int64_t after = -1, before = -1, alike = 0;
  std::string value;  // kSet, kAdd: THEIRS's value as dump prints it
  std::string patch;  // kPatchSet, kLead: "OLD -> NEW"; kPatchAdd: NEW
};

// Plans the merge into `change`, made to OURS; every conflict goes to *conflicts (what takes
// THEIRS's side told only with kNone), settled for `side`, and every damaged table of THEIRS that
// it carries over to *damaged as "PATH: writes THEIRS's damaged table (why)". Damaged (saying
// whose) when a root table is.
Status PlanMerge(ByteSource& base, int64_t baseLength, ByteSource& ours, int64_t oursLength,
                 ByteSource& theirs, int64_t theirsLength, const KeyNames& names, MergeSide side,
                 Change* change, std::vector<MergeConflict>* conflicts,
                 std::vector<std::string>* damaged = nullptr);

}  // namespace atb
