// The attribute file's layout (doc/format.md): a 52-byte header, then the root table, whose
// extent runs to the end of the file. A table is a count, `count` entries of 12 bytes and a data
// area; each entry's Off is relative to its own table's data area.
#pragma once

#include <cstdint>
#include <vector>

#include "store/header.h"

namespace atb {

inline constexpr int64_t ROOT_TABLE_OFFSET = HEADER_SIZE;
inline constexpr int64_t COUNT_SIZE = 4;
inline constexpr int64_t ENTRY_SIZE = 12;
inline constexpr uint32_t REF_NAME_KEY = 0x49D60FAE;
// A reference's name is read as at most this many bytes (see ReadReferenceName).
inline constexpr int64_t REF_NAME_LIMIT = 200;

// A header and an empty root table's count; anything shorter is not an attribute file.
inline constexpr int64_t MIN_FILE_LENGTH = ROOT_TABLE_OFFSET + COUNT_SIZE;
// Offsets are signed 32-bit: no file may outgrow them.
inline constexpr int64_t MAX_FILE_LENGTH = 2147483647;

enum class EntryType : uint32_t {
  Float = 0,
  Bool = 2,
  Text = 3,
  LocalizedText = 4,
  Reference = 100,
};

// One entry as stored: key hash, type code, and Off relative to the table's data area.
struct TableEntry {
  uint32_t ID;
  uint32_t Type;
  uint32_t Off;
};

// One table held in memory, column by column. Off holds absolute file positions and has one
// slot more than there are entries: Off[count] is the end of the table's extent (the end
// sentinel), so entry i's extent is Off[i] to Off[i + 1].
struct EntryList {
  uint32_t count = 0;
  std::vector<uint32_t> ID;
  std::vector<uint32_t> Type;
  std::vector<uint32_t> Off;

  int64_t ExtentStart(uint32_t i) const { return Off[i]; }
  int64_t ExtentEnd(uint32_t i) const { return Off[i + 1]; }
  bool Is(uint32_t i, EntryType type) const { return Type[i] == static_cast<uint32_t>(type); }
};

// Entry i of the table at `table` starts here.
inline int64_t EntryPos(int64_t table, int64_t i) { return table + COUNT_SIZE + ENTRY_SIZE * i; }
// The Off field of entry i; with i = count - 1, the last one, at table + 12 * count.
inline int64_t OffFieldPos(int64_t table, int64_t i) { return EntryPos(table, i) + 8; }
// D, the base of every Off of the table.
inline int64_t DataStart(int64_t table, int64_t count) { return EntryPos(table, count); }

}  // namespace atb
