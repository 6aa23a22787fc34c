#include "store/text_end.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace atb {

namespace {
// Even, so that no code unit lies across two blocks.
constexpr int64_t kBlock = 64 << 10;
}  // namespace

Status FindZero(ByteSource& source, int64_t start, int64_t end, int unitBytes, int64_t* zero) {
  *zero = -1;
  std::vector<uint8_t> block(static_cast<std::size_t>(std::clamp<int64_t>(end - start, 0, kBlock)));
  for (int64_t at = start; at < end;) {
    const auto n = static_cast<std::size_t>(std::min(end - at, kBlock));
    Status s = source.ReadAt(at, block.data(), n);
    if (!s.ok()) return s;
    if (unitBytes == 1) {
      if (const void* found = std::memchr(block.data(), 0, n)) {
        *zero = at + (static_cast<const uint8_t*>(found) - block.data());
        return Status::Ok();
      }
    } else {
      for (std::size_t i = 0; i + 1 < n; i += 2) {
        if (block[i] == 0 && block[i + 1] == 0) {
          *zero = at + static_cast<int64_t>(i);
          return Status::Ok();
        }
      }
    }
    at += static_cast<int64_t>(n);
  }
  return Status::Ok();
}

Status ReadUpToZero(ByteSource& source, int64_t start, int64_t end, std::string* text) {
  int64_t zero;
  Status s = FindZero(source, start, end, 1, &zero);
  if (!s.ok()) return s;
  text->resize(static_cast<std::size_t>((zero < 0 ? end : zero) - start));
  return source.ReadAt(start, text->data(), text->size());
}

}  // namespace atb
