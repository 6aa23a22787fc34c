#include "store/growth.h"

#include <algorithm>
#include <cstring>

namespace atb {

namespace {
constexpr int64_t kMeasureBlock = 4096;
}  // namespace

Status MeasureText(AtbFile& file, int64_t offset, int64_t endOffset, int64_t* length) {
  *length = 0;
  uint8_t block[kMeasureBlock];
  for (int64_t at = offset; at < endOffset;) {
    int64_t n = std::min(endOffset - at, kMeasureBlock);
    Status s = file.ReadAt(at, block, static_cast<std::size_t>(n));
    if (!s.ok()) return s;
    if (const void* zero = std::memchr(block, 0, static_cast<std::size_t>(n))) {
      *length = at - offset + (static_cast<const uint8_t*>(zero) - block) + 1;
      break;
    }
    at += n;
  }
  return file.SeekTo(offset);
}

}  // namespace atb
