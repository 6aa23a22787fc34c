// Where a value lies in the text of a JSON document, for messages that point at it: nlohmann's
// tree keeps no positions, so the text is walked again along a JSON pointer.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace atb {

// A JSON pointer token for `key`: "~" and "/" escaped as "~0" and "~1".
std::string PointerToken(std::string_view key);

// The byte offset at which the value named by `pointer` ("" for the whole document, else
// "/a/0/b") begins in `json`, a document that parsed; npos when there is no such value. Of
// several members with one name, the last counts, as when the document was read.
std::size_t FindJsonValue(std::string_view json, std::string_view pointer);

// Where the name of the member whose value begins at `valueOffset` begins (at its quote); the
// value's own offset when it is no member's.
std::size_t JsonNameOf(std::string_view json, std::size_t valueOffset);

// The text of the number that begins at `offset`.
std::string_view JsonNumberAt(std::string_view json, std::size_t offset);

// "line L, column C" of a byte offset, both from 1, columns counted in characters.
std::string LineAndColumn(std::string_view json, std::size_t offset);

}  // namespace atb
