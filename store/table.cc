#include "store/table.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "store/coding.h"

namespace atb {

namespace {
// Enough for a table of a few hundred entries, count included, in one read.
constexpr int64_t kFirstRead = 4096;
constexpr int64_t kEntriesPerRead = 65536;
}  // namespace

Status ReadTable(ByteSource& source, int64_t offset, int64_t endOffset, EntryList* list) {
  list->count = 0;
  list->ID.clear();
  list->Type.clear();
  list->Off.clear();
  if (offset < 0 || endOffset - offset < COUNT_SIZE) {
    return Status::Damaged("extent of " + std::to_string(std::max<int64_t>(endOffset - offset, 0)) +
                           " bytes too short for a count");
  }

  std::vector<uint8_t> block(static_cast<std::size_t>(std::min(endOffset - offset, kFirstRead)));
  Status s = source.ReadAt(offset, block.data(), block.size());
  if (!s.ok()) return s;
  const uint32_t count = DecodeFixed32(block.data());
  const int64_t data = DataStart(offset, count);
  if (data > endOffset) {
    return Status::Damaged("count " + std::to_string(count) + " too large for the extent of " +
                           std::to_string(endOffset - offset) + " bytes");
  }

  list->ID.resize(count);
  list->Type.resize(count);
  list->Off.resize(static_cast<std::size_t>(count) + 1);
  std::size_t at = COUNT_SIZE;  // next entry's place in `block`
  uint32_t previous = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + ENTRY_SIZE > block.size()) {
      int64_t left = count - i;
      block.resize(static_cast<std::size_t>(ENTRY_SIZE * std::min(left, kEntriesPerRead)));
      s = source.ReadAt(EntryPos(offset, i), block.data(), block.size());
      if (!s.ok()) return s;
      at = 0;
    }
    const uint8_t* e = block.data() + at;
    at += ENTRY_SIZE;
    const uint32_t off = DecodeFixed32(e + 8);
    const int64_t pos = data + off;
    if (pos > endOffset) {
      return Status::Damaged("entry " + std::to_string(i) + "'s value outside the data area (Off " +
                             std::to_string(off) + ", data area of " +
                             std::to_string(endOffset - data) + " bytes)");
    }
    if (off < previous) {
      return Status::Damaged("values out of order: entry " + std::to_string(i) + "'s Off " +
                             std::to_string(off) + " is below entry " + std::to_string(i - 1) +
                             "'s " + std::to_string(previous));
    }
    previous = off;
    list->ID[i] = DecodeFixed32(e);
    list->Type[i] = DecodeFixed32(e + 4);
    list->Off[i] = static_cast<uint32_t>(pos);
  }
  list->Off[count] = static_cast<uint32_t>(endOffset);
  list->count = count;
  return Status::Ok();
}

Status CheckFileLength(int64_t length) {
  if (length < MIN_FILE_LENGTH) {
    return Status::Damaged("only " + std::to_string(length) +
                           " bytes, shorter than a header and a table count");
  }
  if (length > MAX_FILE_LENGTH) return Status::Damaged("longer than 2147483647 bytes");
  return Status::Ok();
}

std::string DescribeTrail(const std::vector<uint32_t>& trail) {
  if (trail.empty()) return "root table";
  std::string out = "table ";
  for (std::size_t i = 0; i < trail.size(); ++i) {
    if (i > 0) out += '/';
    out += std::to_string(trail[i]);
  }
  return out;
}

Status CheckTree(ByteSource& source, int64_t offset, int64_t endOffset,
                 std::vector<TableDamage>* damage) {
  // An explicit stack: a hostile file can nest tables deeper than the call stack reaches. Each
  // table remembers how it was reached, so that a damaged one can say where it lies.
  struct Reached {
    int64_t table, end;
    std::size_t parent;  // index into `reached`, or npos for the first table
    uint32_t entry;
  };
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<Reached> reached{{offset, endOffset, kNone, 0}};
  std::vector<std::size_t> pending{0};
  Status first = Status::Ok();
  EntryList list;
  while (!pending.empty()) {
    const std::size_t at = pending.back();
    pending.pop_back();
    const Reached here = reached[at];
    Status s = ReadTable(source, here.table, here.end, &list);
    if (s.ioError()) return s;
    if (s.damaged()) {
      std::vector<uint32_t> trail;
      for (std::size_t r = at; reached[r].parent != kNone; r = reached[r].parent) {
        trail.push_back(reached[r].entry);
      }
      std::reverse(trail.begin(), trail.end());
      if (first.ok()) first = Status::Damaged(DescribeTrail(trail) + ": " + s.Message());
      if (damage == nullptr) return first;
      damage->push_back({std::move(trail), s.Message()});
      continue;
    }
    // Pushed backwards, so that tables come off the stack in file order.
    for (uint32_t i = list.count; i-- > 0;) {
      if (!list.Is(i, EntryType::Reference)) continue;
      pending.push_back(reached.size());
      reached.push_back({list.Off[i], list.Off[i + 1], at, i});
    }
  }
  return first;
}

}  // namespace atb
