#include "store/growth.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "store/coding.h"
#include "store/layout.h"

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

Status InsertGap(AtbFile& file, int64_t pos, int64_t size) {
  Status s = MakeRoom(file, {{pos, 0, size}});
  if (!s.ok()) return s;
  return file.SeekTo(pos);
}

std::vector<ChunkMove> PlanMoves(const std::vector<Splice>& splices, int64_t length,
                                 int64_t chunkBytes) {
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
    const int64_t to = j + 1 < splices.size() ? splices[j + 1].pos : length;
    if (from < to && shift != 0) segments.push_back({from, to, shift});
  }
  std::vector<ChunkMove> moves;
  // A segment moving down can only overwrite bytes in front of it, whose segments moved down
  // before it (left to right), each from its start; one moving up only bytes behind it, whose
  // segments moved up before it (right to left), each from its end. Down moves never reach a
  // segment that moves up, nor up moves one that moves down, so the two passes can go in this
  // order.
  for (const Segment& g : segments) {
    if (g.shift > 0) continue;
    for (int64_t at = g.from; at < g.to; at += chunkBytes) {
      const int64_t n = std::min(g.to - at, chunkBytes);
      moves.push_back({at, at + g.shift, n});
    }
  }
  for (auto g = segments.rbegin(); g != segments.rend(); ++g) {
    if (g->shift < 0) continue;
    for (int64_t stop = g->to; stop > g->from; stop -= chunkBytes) {
      const int64_t n = std::min(stop - g->from, chunkBytes);
      moves.push_back({stop - n, stop - n + g->shift, n});
    }
  }
  return moves;
}

int64_t LengthAfter(const std::vector<Splice>& splices, int64_t length) {
  for (const Splice& s : splices) length += s.inserted - s.removed;
  return length;
}

Status MakeRoom(AtbFile& file, const std::vector<Splice>& splices, int64_t chunkBytes) {
  if (splices.empty()) return Status::Ok();
  int64_t end;
  Status s = file.Length(&end);
  if (!s.ok()) return s;
  const int64_t newEnd = LengthAfter(splices, end);
  if (newEnd > end && !(s = file.SetLength(newEnd)).ok()) return s;
  const std::vector<ChunkMove> moves = PlanMoves(splices, end, chunkBytes);
  int64_t largest = 1;
  for (const ChunkMove& m : moves) largest = std::max(largest, m.size);
  Buffer chunk(static_cast<std::size_t>(largest), "DTA!=NULL");
  for (const ChunkMove& m : moves) {
    s = file.ReadAt(m.from, chunk.data(), static_cast<std::size_t>(m.size));
    if (s.ok()) s = file.WriteAt(m.to, chunk.data(), static_cast<std::size_t>(m.size));
    if (!s.ok()) return s;
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
