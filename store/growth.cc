#include "store/growth.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "store/coding.h"
#include "store/layout.h"

namespace atb {

namespace {
constexpr int64_t kMeasureBlock = 4096;
constexpr int64_t kMoveChunk = 4 << 20;
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
  const Gap gap{pos, size};
  return InsertGaps(file, &gap, 1);
}

Status InsertGaps(AtbFile& file, const Gap* gaps, int count) {
  int64_t end;
  Status s = file.Length(&end);
  if (!s.ok()) return s;
  int64_t total = 0;
  for (int i = 0; i < count; ++i) total += gaps[i].size;
  if (total > 0) {
    s = file.SetLength(end + total);
    if (!s.ok()) return s;
    Buffer chunk(
        static_cast<std::size_t>(std::min(std::max<int64_t>(end - gaps[0].pos, 1), kMoveChunk)),
        "DTA!=NULL");
    // From the last segment to the first, each from its end backwards: nothing is overwritten
    // before it has moved.
    int64_t segmentEnd = end;
    int64_t shift = total;
    for (int i = count - 1; i >= 0; --i) {
      for (int64_t stop = segmentEnd; stop > gaps[i].pos;) {
        int64_t n = std::min(stop - gaps[i].pos, kMoveChunk);
        int64_t from = stop - n;
        s = file.ReadAt(from, chunk.data(), static_cast<std::size_t>(n));
        if (!s.ok()) return s;
        s = file.WriteAt(from + shift, chunk.data(), static_cast<std::size_t>(n));
        if (!s.ok()) return s;
        stop = from;
      }
      segmentEnd = gaps[i].pos;
      shift -= gaps[i].size;
    }
  }
  return file.SeekTo(gaps[0].pos);
}

Status ShiftEntryOffsets(AtbFile& file, int64_t lastOffField, int64_t n, int32_t growth) {
  if (n <= 0) return Status::Ok();
  // Whole runs of entries are read, patched and written back; the bytes between the Off
  // fields are written back as they were read.
  std::vector<uint8_t> block;
  int64_t lowest = lastOffField - ENTRY_SIZE * (n - 1);
  for (int64_t done = 0; done < n;) {
    int64_t k = std::min(n - done, kShiftEntries);
    int64_t last = lastOffField - ENTRY_SIZE * done;
    int64_t first = last - ENTRY_SIZE * (k - 1);
    block.resize(static_cast<std::size_t>(ENTRY_SIZE * (k - 1) + 4));
    Status s = file.ReadAt(first, block.data(), block.size());
    if (!s.ok()) return s;
    for (int64_t i = 0; i < k; ++i) {
      uint8_t* field = block.data() + ENTRY_SIZE * i;
      EncodeFixed32(field, DecodeFixed32(field) + static_cast<uint32_t>(growth));
    }
    s = file.WriteAt(first, block.data(), block.size());
    if (!s.ok()) return s;
    done += k;
  }
  return file.SeekTo(lowest + 4);
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
