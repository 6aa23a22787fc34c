// The JSON form of an attribute file: everything needed to rebuild it byte for byte, with
// readable values where the bytes are exactly a value and base64 for the rest.
//
//   {"atb": 1,
//    "header": {"start": B64, "outer_size": "follows length" | N, "middle": B64,
//               "root_size": "follows length" | N},
//    "root": TABLE}
//   TABLE: {"lead": B64?, "entries": [ENTRY...]}  or  {"damaged": WHY, "bytes": B64}
//   ENTRY: {"key": N | WORD, "label": TEXT?, "type": "float" | "bool" | "text" | "localized" |
//           "ref" | N, then "value" (and "trailing": B64) | "bytes": B64 | "table": TABLE}
//
// A WORD key stands for what it would in a path. "label" is for the reader. Bytes that stand for
// a table must be a sound table unless "damaged" says otherwise, so that what build accepts
// without that word is a sound file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "text/base64.h"
#include "text/dump.h"
#include "text/json_position.h"
#include "text/key_names.h"

namespace atb {

// An attribute file built from its JSON form, held in the pieces it was built in: the header,
// the tables' data, and the heads of the larger tables, each to go in front of its data at `at`.
struct BuiltFile {
  struct Insert {
    int64_t at, from, size;  // heads[from, from + size) goes in front of data[at]
  };
  std::string header;
  std::string data;
  std::vector<Insert> inserts;  // in order of `at`
  std::string heads;

  int64_t size() const;
  // Hands the file's bytes to `write` in order, a piece at a time; false as soon as it does.
  bool WriteTo(const std::function<bool(std::string_view)>& write) const;
};

// Builds an attribute file from the JSON form read from `text`; refused otherwise, saying the line
// and column of a syntax error, or where in the document and what was expected. The document is
// read as a stream, at any depth: what is held is the file and the way down.
Status BuildFromJson(JsonText& text, const KeyNames& names, BuiltFile* file);
// The same for a document in memory, into the file's bytes.
Status BuildFromJson(std::string_view json, const KeyNames& names, std::string* file);

}  // namespace atb
