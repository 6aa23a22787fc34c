// Reading a table, and checking that tables can be trusted before anything is read through them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "store/atb_file.h"
#include "store/layout.h"

namespace atb {

// Reads the table at `offset`, whose extent ends at `endOffset`, into *list: its count, its
// entries with every Off made absolute, and the end sentinel Off[count] = endOffset.
//
// The table is damaged (and *list unusable) when its extent is shorter than a count, when its
// entries do not fit its extent, when an entry's value lies outside the data area, or when the
// values' positions decrease from one entry to the next; the Status then says which. Key order
// is not checked. Any count that fits the extent is held.
//
// The entry block is read in large blocks, together with the count where it fits.
Status ReadTable(ByteSource& source, int64_t offset, int64_t endOffset, EntryList* list);

// Damaged when a file of this length cannot be an attribute file: shorter than a header and a
// table count, or longer than offsets can reach.
Status CheckFileLength(int64_t length);

// A damaged table: the entry numbers leading to it from the table a check started at (empty for
// that table itself), and what is wrong with it.
struct TableDamage {
  std::vector<uint32_t> trail;
  std::string reason;
};

// "root table", or "table 0/3" for the table of entry 3 of the table of entry 0 of the root.
std::string DescribeTrail(const std::vector<uint32_t>& trail);

// Checks the table and every table nested in it through Reference entries, at any depth, reading
// tables only, never values. Damaged when any table is, with the first one's place and reason as
// the message; when `damage` is given, every damaged table is added to it, in file order (the
// tables inside a damaged one cannot be reached). An I/O error stops the check.
Status CheckTree(ByteSource& source, int64_t offset, int64_t endOffset,
                 std::vector<TableDamage>* damage = nullptr);

}  // namespace atb
