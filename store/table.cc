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
  if (offset < 0 || endOffset - offset < COUNT_SIZE) return Status::Damaged();

  std::vector<uint8_t> block(static_cast<std::size_t>(std::min(endOffset - offset, kFirstRead)));
  Status s = source.ReadAt(offset, block.data(), block.size());
  if (!s.ok()) return s;
  const uint32_t count = DecodeFixed32(block.data());
  const int64_t data = DataStart(offset, count);
  if (data > endOffset) return Status::Damaged();

  list->ID.resize(count);
  list->Type.resize(count);
  list->Off.resize(static_cast<std::size_t>(count) + 1);
  std::size_t at = COUNT_SIZE;  // next entry's place in `block`
  int64_t previous = data;
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
    int64_t pos = data + DecodeFixed32(e + 8);
    if (pos > endOffset || pos < previous) return Status::Damaged();
    previous = pos;
    list->ID[i] = DecodeFixed32(e);
    list->Type[i] = DecodeFixed32(e + 4);
    list->Off[i] = static_cast<uint32_t>(pos);
  }
  list->Off[count] = static_cast<uint32_t>(endOffset);
  list->count = count;
  return Status::Ok();
}

Status CheckTree(ByteSource& source, int64_t offset, int64_t endOffset) {
  // An explicit stack: a hostile file can nest tables deeper than the call stack reaches.
  std::vector<std::pair<int64_t, int64_t>> pending{{offset, endOffset}};
  EntryList list;
  while (!pending.empty()) {
    auto [table, end] = pending.back();
    pending.pop_back();
    Status s = ReadTable(source, table, end, &list);
    if (!s.ok()) return s;
    for (uint32_t i = 0; i < list.count; ++i) {
      if (list.Is(i, EntryType::Reference)) pending.emplace_back(list.Off[i], list.Off[i + 1]);
    }
  }
  return Status::Ok();
}

}  // namespace atb
