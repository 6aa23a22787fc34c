// Where a stored text ends: its first zero byte, or for a localized text its first zero unit.
#pragma once

#include <cstdint>
#include <string>

#include "store/positioned_file.h"

namespace atb {

// The position of the first zero in [start, end), or -1 when there is none: with `unitBytes` 1 a
// zero byte, with 2 a zero code unit, two zero bytes at an even distance from `start` (an odd
// last byte is no unit). Reads a block at a time, never beyond `end`.
Status FindZero(ByteSource& source, int64_t start, int64_t end, int unitBytes, int64_t* zero);

// The bytes of [start, end) up to its first zero byte, or all of them when it holds none.
Status ReadUpToZero(ByteSource& source, int64_t start, int64_t end, std::string* text);

}  // namespace atb
