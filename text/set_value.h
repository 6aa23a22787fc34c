// What `set` writes for a value line: shared by set itself and by merge, which offers a set line
// only where running it gives THEIRS's bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/status.h"
#include "store/layout.h"
#include "store/positioned_file.h"
#include "store/table.h"

namespace atb {

// Where the value line `text` goes in entry i of `list`: the `removed` bytes at `pos` become
// `bytes` (the whole extent, or the value at its start; a text's old value up to its zero, what
// followed it staying behind). Refused or invalid, in `where`, when it is no value of the entry's
// type or its extent cannot hold it; an I/O error when a read fails.
Status PlanSetValue(ByteSource& file, const EntryList& list, uint32_t i, std::string_view text,
                    const std::string& where, int64_t* pos, int64_t* removed, std::string* bytes);
// The same for an entry of `type` whose extent is [start, end).
Status PlanSetValueAt(ByteSource& file, uint32_t type, int64_t start, int64_t end,
                      std::string_view text, const std::string& where, int64_t* pos,
                      int64_t* removed, std::string* bytes);

}  // namespace atb
