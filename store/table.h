// Reading a table, and checking that tables can be trusted before anything is read through them.
#pragma once

#include <cstdint>

#include "store/atb_file.h"
#include "store/layout.h"

namespace atb {

// Reads the table at `offset`, whose extent ends at `endOffset`, into *list: its count, its
// entries with every Off made absolute, and the end sentinel Off[count] = endOffset.
//
// The table is damaged (and *list unusable) when its extent is shorter than a count, when its
// entries do not fit its extent, when an entry's value lies outside the data area, or when the
// values' positions decrease from one entry to the next. Key order is not checked. Any count
// that fits the extent is held.
//
// The entry block is read in large blocks, together with the count where it fits.
Status ReadTable(ByteSource& source, int64_t offset, int64_t endOffset, EntryList* list);

// Checks the table and every table nested in it through Reference entries, at any depth.
Status CheckTree(ByteSource& source, int64_t offset, int64_t endOffset);

}  // namespace atb
