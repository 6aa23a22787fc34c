// Writes attribute files byte for byte from a tree description, and reads them back into one.
// Tests build every file they use with it, and the sample in examples/ is generated with it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/layout.h"

namespace atb::build {

using Bytes = std::string;

Bytes U32(uint32_t v);
Bytes F32(float v);
// A text and its zero byte.
Bytes Str(const std::string& s);
// UTF-16LE code units and a zero unit.
Bytes Wide(const std::u16string& s);

struct Table;

// One entry; `value` is its whole extent, so bytes after a text's zero byte go in it too.
struct Entry {
  uint32_t id;
  uint32_t type;
  Bytes value;
  // Stored Off relative to the data area, when a test wants a damaged one.
  std::optional<uint32_t> off = std::nullopt;
};

struct Table {
  std::vector<Entry> entries;
  Bytes lead = {};  // data-area bytes in front of the first value, belonging to no entry
  std::optional<uint32_t> count = std::nullopt;  // a stored count other than the real one
};

Entry FloatEntry(uint32_t id, float v);
Entry BoolEntry(uint32_t id, uint8_t v);
Entry TextEntry(uint32_t id, const std::string& text, const Bytes& after = "");
Entry WideEntry(uint32_t id, const std::u16string& text);
Entry RefEntry(uint32_t id, const Table& nested);
Entry NameEntry(const std::string& name);  // the REF_NAME_KEY text of a nested table

Bytes EncodeTable(const Table& table);

// A header (with OuterSize and RootSize right and a recognisable filler elsewhere) and the root.
Bytes EncodeFile(const Table& root);

// One level of a chain of tables: its own entries, and last a reference keyed `key` that holds
// the next level.
struct Level {
  Table table;
  uint32_t key;
};

// The file whose root is the first level, each level holding the next and the last `bottom`.
// Written in one pass: nested by RefEntry, each level's bytes would be copied into every level
// above it.
Bytes EncodeChainFile(const std::vector<Level>& levels, const Table& bottom);

// Reads the table at `offset` whose extent ends at `end`, nested tables included, as entries
// whose value is their whole extent (a Reference's value stays raw bytes). Fails the calling
// test when it is damaged.
Table DecodeTable(const Bytes& bytes, int64_t offset, int64_t end);

void WriteFile(const std::string& path, const Bytes& bytes);
Bytes ReadFile(const std::string& path);

}  // namespace atb::build
