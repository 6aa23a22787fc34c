#include "store/growth.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "store/coding.h"
#include "store/layout.h"

namespace atb {

namespace {
constexpr int64_t kMeasureBlock = 4096;
constexpr int64_t kShiftEntries = 65536;
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

Status InsertGap(AtbFile& file, int64_t pos, int64_t size) {
  Status s = MakeRoom(file, {{pos, 0, size}});
  if (!s.ok()) return s;
  return file.SeekTo(pos);
}

namespace {

// Moves [from, to) by `shift` bytes in chunks: from the end backwards when moving up, from the
// start forwards when moving down, so that no chunk overwrites bytes still to be read.
Status MoveSegment(AtbFile& file, int64_t from, int64_t to, int64_t shift, Buffer& chunk) {
  const auto size = static_cast<int64_t>(chunk.size());
  if (shift > 0) {
    for (int64_t stop = to; stop > from;) {
      const int64_t n = std::min(stop - from, size);
      Status s = file.ReadAt(stop - n, chunk.data(), static_cast<std::size_t>(n));
      if (s.ok()) s = file.WriteAt(stop - n + shift, chunk.data(), static_cast<std::size_t>(n));
      if (!s.ok()) return s;
      stop -= n;
    }
  } else if (shift < 0) {
    for (int64_t start = from; start < to;) {
      const int64_t n = std::min(to - start, size);
      Status s = file.ReadAt(start, chunk.data(), static_cast<std::size_t>(n));
      if (s.ok()) s = file.WriteAt(start + shift, chunk.data(), static_cast<std::size_t>(n));
      if (!s.ok()) return s;
      start += n;
    }
  }
  return Status::Ok();
}

}  // namespace

Status MakeRoom(AtbFile& file, const std::vector<Splice>& splices, int64_t chunkBytes) {
  if (splices.empty()) return Status::Ok();
  int64_t end;
  Status s = file.Length(&end);
  if (!s.ok()) return s;
  // Segment j lies between splice j - 1 and splice j (the last one runs to the end) and moves by
  // the growth of every splice in front of it.
  struct Segment {
    int64_t from, to, shift;
  };
  std::vector<Segment> segments;
  int64_t shift = 0;
  for (std::size_t j = 0; j < splices.size(); ++j) {
    shift += splices[j].inserted - splices[j].removed;
    const int64_t from = splices[j].pos + splices[j].removed;
    const int64_t to = j + 1 < splices.size() ? splices[j + 1].pos : end;
    if (from < to && shift != 0) segments.push_back({from, to, shift});
  }
  const int64_t newEnd = end + shift;
  if (newEnd > end) {
    s = file.SetLength(newEnd);
    if (!s.ok()) return s;
  }
  std::size_t largest = 1;
  for (const Segment& g : segments) {
    largest = std::max(largest, static_cast<std::size_t>(std::min(g.to - g.from, chunkBytes)));
  }
  Buffer chunk(largest, "DTA!=NULL");
  // A segment moving down can only overwrite bytes in front of it, whose segments moved down
  // before it (left to right); one moving up only bytes behind it, whose segments moved up
  // before it (right to left). Down moves never reach a segment that moves up, nor up moves one
  // that moves down, so the two passes can go in this order.
  for (const Segment& g : segments) {
    if (g.shift < 0 && !(s = MoveSegment(file, g.from, g.to, g.shift, chunk)).ok()) return s;
  }
  for (auto g = segments.rbegin(); g != segments.rend(); ++g) {
    if (g->shift > 0 && !(s = MoveSegment(file, g->from, g->to, g->shift, chunk)).ok()) return s;
  }
  if (newEnd < end) return file.SetLength(newEnd);
  return Status::Ok();
}

Status RewriteHeaderSizes(AtbFile& file) {
  int64_t length;
  Status s = file.Length(&length);
  if (!s.ok()) return s;
  s = file.WriteFixed32(OUTER_SIZE_OFFSET, static_cast<uint32_t>(length - 44));
  if (!s.ok()) return s;
  return file.WriteFixed32(ROOT_SIZE_OFFSET, static_cast<uint32_t>(length - ROOT_TABLE_OFFSET));
}

}  // namespace atb
