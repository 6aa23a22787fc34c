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

#include <string>
#include <string_view>

#include "companion/dump.h"
#include "companion/key_names.h"

namespace atb {

// Builds the bytes of an attribute file from its JSON form; false with *error set (the line and
// column of a syntax error, or where in the document and what was expected) otherwise.
bool BuildFromJson(std::string_view json, const KeyNames& names, std::string* file,
                   std::string* error);

// Standard base64 (RFC 4648, "+/", padded with "="), appended to `out`: `bytes` may be handed
// over in chunks whose sizes are multiples of 3, all but the last.
void AppendBase64(std::string* out, std::string_view bytes);
// The bytes of padded standard base64; false, *bytes unspecified, for anything else (a length
// not a multiple of 4, another character, padding before the end, whitespace).
bool DecodeBase64(std::string_view text, std::string* bytes);

}  // namespace atb
