// The header's fields (doc/format.md): 52 bytes in front of the root table, of which the tools
// read only the two sizes, and those only to keep them following the file's length.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "store/coding.h"

namespace atb {

inline constexpr int64_t HEADER_SIZE = 52;
// Bytes 0 to 36: not interpreted.
inline constexpr int64_t HEADER_START_SIZE = 36;
// The file's length less 44.
inline constexpr int64_t OUTER_SIZE_OFFSET = 36;
inline constexpr int64_t OUTER_SIZE_UNCOUNTED = 44;
// Bytes 40 to 48: not interpreted.
inline constexpr int64_t HEADER_MIDDLE_OFFSET = 40;
inline constexpr int64_t HEADER_MIDDLE_SIZE = 8;
// The file's length less the header: the root table's extent.
inline constexpr int64_t ROOT_SIZE_OFFSET = 48;

// One 32-bit field of the header and the value it holds.
struct HeaderField {
  int64_t offset;
  uint32_t value;
};

// The two size fields as they are for a file of `length` bytes.
inline std::array<HeaderField, 2> HeaderSizes(int64_t length) {
  return {{{OUTER_SIZE_OFFSET, static_cast<uint32_t>(length - OUTER_SIZE_UNCOUNTED)},
           {ROOT_SIZE_OFFSET, static_cast<uint32_t>(length - HEADER_SIZE)}}};
}

inline uint32_t OuterSizeFor(int64_t length) { return HeaderSizes(length)[0].value; }
inline uint32_t RootSizeFor(int64_t length) { return HeaderSizes(length)[1].value; }

// Makes the sizes of the header at `header` (HEADER_SIZE bytes) follow `length`.
inline void SetHeaderSizes(uint8_t* header, int64_t length) {
  for (const HeaderField& f : HeaderSizes(length)) EncodeFixed32(header + f.offset, f.value);
}
// The same for a header held as a string, which must hold HEADER_SIZE bytes.
inline void SetHeaderSizes(std::string* header, int64_t length) {
  SetHeaderSizes(reinterpret_cast<uint8_t*>(header->data()), length);
}

// Whether both sizes of the header follow `length`.
inline bool HeaderSizesFollow(const uint8_t* header, int64_t length) {
  for (const HeaderField& f : HeaderSizes(length)) {
    if (DecodeFixed32(header + f.offset) != f.value) return false;
  }
  return true;
}
inline bool HeaderSizesFollow(const std::string& header, int64_t length) {
  return HeaderSizesFollow(reinterpret_cast<const uint8_t*>(header.data()), length);
}

}  // namespace atb
