#include "store/table.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

#include "store/coding.h"
#include "store/text_end.h"
#include "store/tree_walk.h"

namespace atb {

namespace {
// Enough for a table of a few hundred entries, count included, in one read.
constexpr int64_t kFirstRead = 4096;
constexpr int64_t kEntriesPerRead = 65536;
// A cursor's block, and the least it gets once the walk's budget is spent.
constexpr uint32_t kCursorEntries = 4096;
constexpr uint32_t kLeastCursorEntries = 16;
// Picks worked out at once for a table whose keys do not ascend.
constexpr uint32_t kPickEntries = 1 << 19;
constexpr uint32_t kLeastPickEntries = 256;

// Checks the entries of the table at `offset` in order and calls fn(i, entry bytes, absolute
// position of its value) for each sound one. `block` is left holding the last block read, which
// begins at *blockAt.
template <typename Fn>
Status ScanEntries(ByteSource& source, int64_t offset, int64_t endOffset, int64_t entriesPerRead,
                   std::vector<uint8_t>& block, int64_t* blockAt, uint32_t* countOut, Fn fn,
                   std::size_t* sized = nullptr) {
  *countOut = 0;
  if (offset < 0 || endOffset - offset < COUNT_SIZE) {
    return Status::Damaged("extent of " + std::to_string(std::max<int64_t>(endOffset - offset, 0)) +
                           " bytes too short for a count");
  }
  block.resize(static_cast<std::size_t>(std::min(endOffset - offset, kFirstRead)));
  *blockAt = offset;
  Status s = source.ReadAt(offset, block.data(), block.size());
  if (!s.ok()) return s;
  const uint32_t count = DecodeFixed32(block.data());
  const int64_t data = DataStart(offset, count);
  if (data > endOffset) {
    return Status::Damaged("count " + std::to_string(count) + " too large for the extent of " +
                           std::to_string(endOffset - offset) + " bytes");
  }
  if (sized != nullptr) *sized = count;
  std::size_t at = COUNT_SIZE;  // next entry's place in `block`
  uint32_t previous = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (at + ENTRY_SIZE > block.size()) {
      int64_t left = count - i;
      block.resize(static_cast<std::size_t>(ENTRY_SIZE * std::min(left, entriesPerRead)));
      *blockAt = EntryPos(offset, i);
      s = source.ReadAt(*blockAt, block.data(), block.size());
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
    fn(i, e, pos);
  }
  *countOut = count;
  return Status::Ok();
}

Status Changed() { return Status::IoError(0, "the file changed while it was read"); }

// Calls fn(i, key) for the entries [first, last) of the table at `offset`, reading them a block
// at a time, until fn returns false.
template <typename Fn>
Status ForEachKey(ByteSource& source, int64_t offset, uint32_t first, uint32_t last, Fn fn) {
  std::vector<uint8_t> block;
  for (uint32_t i = first; i < last;) {
    const uint32_t n = std::min<uint32_t>(last - i, kCursorEntries);
    block.resize(static_cast<std::size_t>(ENTRY_SIZE) * n);
    Status s = source.ReadAt(EntryPos(offset, i), block.data(), block.size());
    if (!s.ok()) return s;
    for (uint32_t k = 0; k < n; ++k) {
      if (!fn(i + k, DecodeFixed32(block.data() + ENTRY_SIZE * k))) return Status::Ok();
    }
    i += n;
  }
  return Status::Ok();
}

}  // namespace

Status ReadTable(ByteSource& source, int64_t offset, int64_t endOffset, EntryList* list) {
  list->count = 0;
  list->ID.clear();
  list->Type.clear();
  list->Off.clear();
  std::vector<uint8_t> block;
  int64_t blockAt;
  uint32_t count;
  std::size_t sized = 0;
  Status s = ScanEntries(
      source, offset, endOffset, kEntriesPerRead, block, &blockAt, &count,
      [&](uint32_t i, const uint8_t* e, int64_t pos) {
        if (i == 0) {
          list->ID.resize(sized);
          list->Type.resize(sized);
          list->Off.resize(sized + 1);
        }
        list->ID[i] = DecodeFixed32(e);
        list->Type[i] = DecodeFixed32(e + 4);
        list->Off[i] = static_cast<uint32_t>(pos);
      },
      &sized);
  if (!s.ok()) return s;
  list->Off.resize(static_cast<std::size_t>(count) + 1);
  list->Off[count] = static_cast<uint32_t>(endOffset);
  list->count = count;
  return Status::Ok();
}

Status CheckTable(ByteSource& source, int64_t offset, int64_t endOffset, TableShape* shape) {
  std::vector<uint8_t> block;
  int64_t blockAt;
  uint32_t previous = 0;
  shape->keysAscend = true;
  Status s = ScanEntries(source, offset, endOffset, kCursorEntries, block, &blockAt, &shape->count,
                         [&](uint32_t i, const uint8_t* e, int64_t) {
                           const uint32_t key = DecodeFixed32(e);
                           if (i > 0 && key < previous) shape->keysAscend = false;
                           previous = key;
                         });
  return s;
}

std::size_t BlockBudget::Take(std::size_t want, std::size_t least) {
  const auto left = static_cast<std::size_t>(std::max<int64_t>(left_, 0));
  const std::size_t got = std::min(want, std::max(least, left));
  left_ -= static_cast<int64_t>(got);
  return got;
}

EntryCursor::~EntryCursor() { Release(); }

EntryCursor::EntryCursor(EntryCursor&& other) noexcept { *this = std::move(other); }

EntryCursor& EntryCursor::operator=(EntryCursor&& other) noexcept {
  if (this == &other) return *this;
  Release();
  table_ = other.table_;
  end_ = other.end_;
  count_ = other.count_;
  next_ = other.next_;
  keysAscend_ = other.keysAscend_;
  blockEntries_ = other.blockEntries_;
  blockAt_ = other.blockAt_;
  block_ = std::move(other.block_);
  budget_ = std::exchange(other.budget_, nullptr);
  taken_ = std::exchange(other.taken_, 0);
  other.count_ = other.next_ = 0;
  return *this;
}

void EntryCursor::Release() {
  if (budget_ != nullptr) budget_->Give(taken_);
  budget_ = nullptr;
  taken_ = 0;
}

Status EntryCursor::Open(ByteSource& source, int64_t offset, int64_t endOffset,
                         BlockBudget& budget) {
  Release();
  table_ = offset;
  end_ = endOffset;
  count_ = next_ = 0;
  uint32_t previous = 0;
  bool ascend = true;
  uint32_t count;
  Status s = ScanEntries(source, offset, endOffset, kCursorEntries, block_, &blockAt_, &count,
                         [&](uint32_t i, const uint8_t* e, int64_t) {
                           const uint32_t key = DecodeFixed32(e);
                           if (i > 0 && key < previous) ascend = false;
                           previous = key;
                         });
  if (!s.ok()) {
    block_ = {};
    return s;
  }
  count_ = count;
  keysAscend_ = ascend;
  const auto whole = static_cast<std::size_t>(EntryPos(0, count));
  if (blockAt_ == offset && block_.size() >= whole) {
    // The first read held every entry: keep just those, for the walk down the table.
    block_.resize(whole);
    block_.shrink_to_fit();
    blockEntries_ = count;
    return Status::Ok();
  }
  block_ = {};
  blockAt_ = 0;
  // One entry more than a block's share: the last entry's extent ends where the next begins.
  taken_ = budget.Take(ENTRY_SIZE * (std::min(count, kCursorEntries) + 1),
                       ENTRY_SIZE * (kLeastCursorEntries + 1));
  budget_ = &budget;
  blockEntries_ = static_cast<uint32_t>(taken_ / ENTRY_SIZE) - 1;
  return Status::Ok();
}

Status EntryCursor::Next(ByteSource& source, CursorEntry* entry) {
  const uint32_t i = next_;
  const int64_t from = EntryPos(table_, i);
  const int64_t upTo = EntryPos(table_, std::min<int64_t>(int64_t{i} + 2, count_));
  if (block_.empty() || from < blockAt_ || upTo > blockAt_ + static_cast<int64_t>(block_.size())) {
    const int64_t n = std::min<int64_t>(count_ - i, int64_t{blockEntries_} + 1);
    block_.resize(static_cast<std::size_t>(ENTRY_SIZE * n));
    blockAt_ = from;
    Status s = source.ReadAt(from, block_.data(), block_.size());
    if (!s.ok()) return s;
  }
  const int64_t data = DataStart(table_, count_);
  const uint8_t* e = block_.data() + (from - blockAt_);
  entry->index = i;
  entry->ID = DecodeFixed32(e);
  entry->Type = DecodeFixed32(e + 4);
  entry->start = data + DecodeFixed32(e + 8);
  entry->hasNext = i + 1 < count_;
  if (entry->hasNext) {
    entry->nextID = DecodeFixed32(e + ENTRY_SIZE);
    entry->end = data + DecodeFixed32(e + ENTRY_SIZE + 8);
  } else {
    entry->end = end_;
  }
  if (entry->start > entry->end || entry->end > end_) return Changed();
  ++next_;
  return Status::Ok();
}

KeyPicks::Block::~Block() {
  if (budget != nullptr) budget->Give(taken);
}

void KeyPicks::Start(int64_t table, uint32_t count, bool keysAscend) {
  ascend_ = keysAscend;
  index_ = runStart_ = 0;
  block_.reset();
  if (!keysAscend) {
    block_ = std::make_unique<Block>();
    block_->table = table;
    block_->count = count;
  }
}

void KeyPicks::Note(const CursorEntry& entry) {
  index_ = entry.index;
  if (!ascend_) return;
  if (entry.index == 0 || entry.ID != key_) runStart_ = entry.index;
  key_ = entry.ID;
  const bool repeated = entry.index > runStart_ || (entry.hasNext && entry.nextID == entry.ID);
  sortedPick_ = repeated ? static_cast<int32_t>(entry.index - runStart_) : -1;
}

Status KeyPicks::Pick(ByteSource& source, BlockBudget& budget, int32_t* pick) {
  if (ascend_) {
    *pick = sortedPick_;
    return Status::Ok();
  }
  Block& b = *block_;
  if (index_ >= b.first && index_ - b.first < b.picks.size()) {
    *pick = b.picks[index_ - b.first];
    return Status::Ok();
  }
  // The picks of the entries from this one on: how many entries before the block have each of
  // their keys, and how many in all, counted in one pass over the table's keys.
  b.picks = {};
  if (b.budget != nullptr) b.budget->Give(b.taken);
  const uint32_t want = std::min(b.count - index_, kPickEntries);
  b.taken =
      budget.Take(sizeof(int32_t) * want, sizeof(int32_t) * std::min(want, kLeastPickEntries));
  b.budget = &budget;
  const auto n = static_cast<uint32_t>(b.taken / sizeof(int32_t));
  b.first = index_;
  struct Counts {
    uint32_t before = 0, total = 0;
  };
  std::unordered_map<uint32_t, Counts> counts;
  std::vector<uint32_t> keys;
  keys.reserve(n);
  Status s = ForEachKey(source, b.table, index_, index_ + n, [&](uint32_t, uint32_t key) {
    keys.push_back(key);
    counts.try_emplace(key);
    return true;
  });
  if (s.ok()) {
    s = ForEachKey(source, b.table, 0, b.count, [&](uint32_t i, uint32_t key) {
      auto it = counts.find(key);
      if (it != counts.end()) {
        ++it->second.total;
        if (i < index_) ++it->second.before;
      }
      return true;
    });
  }
  if (!s.ok()) return s;
  b.picks.resize(n);
  for (uint32_t k = 0; k < n; ++k) {
    Counts& c = counts[keys[k]];
    b.picks[k] = c.total > 1 ? static_cast<int32_t>(c.before++) : -1;
  }
  *pick = b.picks[0];
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

namespace {

// Notes every damaged table, or stops at the first one.
class TreeCheck : public TreeVisitor {
 public:
  explicit TreeCheck(std::vector<TableDamage>* damage) : damage_(damage) {}

  Status Entry(TreeWalk&, const CursorEntry&) override { return Status::Ok(); }
  Status Damaged(TreeWalk& walk, const CursorEntry*, const Status& why) override {
    const std::size_t depth = walk.depth();
    if (first_.ok()) {
      std::vector<uint32_t> trail;
      for (std::size_t k = 0; k < depth; ++k) trail.push_back(walk.entry(k).index);
      first_ = Status::Damaged(DescribeTrail(trail) + ": " + why.Message());
    }
    if (damage_ == nullptr) return first_;
    TableDamage d;
    d.depth = depth;
    d.holder = depth > 0 ? walk.table(depth - 1).holder : 0;
    for (std::size_t k = depth > kDamageSteps ? depth - 1 : 0; k < depth; ++k) {
      int32_t pick;
      Status s = walk.Pick(k, &pick);
      if (!s.ok()) return s;
      d.trail.push_back(walk.entry(k).index);
      d.keys.push_back(walk.entry(k).ID);
      d.picks.push_back(pick);
    }
    d.reason = why.Message();
    damage_->push_back(std::move(d));
    return Status::Ok();
  }
  const Status& first() const { return first_; }

 private:
  std::vector<TableDamage>* damage_;
  Status first_ = Status::Ok();
};

// Counts what the walk meets; damaged tables count nothing.
class EntryCount : public TreeVisitor {
 public:
  Status Entry(TreeWalk&, const CursorEntry&) override { return Status::Ok(); }
  Status Damaged(TreeWalk&, const CursorEntry*, const Status&) override { return Status::Ok(); }
};

}  // namespace

Status CheckTree(ByteSource& source, int64_t offset, int64_t endOffset,
                 std::vector<TableDamage>* damage) {
  WalkOptions options;
  options.picks = damage != nullptr;
  TreeWalk walk(source, options);
  TreeCheck check(damage);
  Status s = walk.Run(offset, endOffset, check);
  return s.ok() ? check.first() : s;
}

Status CountEntries(ByteSource& source, int64_t offset, int64_t endOffset, uint64_t* count) {
  TreeWalk walk(source);
  EntryCount counter;
  Status s = walk.Run(offset, endOffset, counter);
  *count = walk.walked();
  return s;
}

Status ReadEntryAt(ByteSource& source, int64_t offset, int64_t endOffset, uint32_t count,
                   uint32_t i, CursorEntry* entry) {
  uint8_t e[2 * ENTRY_SIZE];
  const bool hasNext = i + 1 < count;
  Status s = source.ReadAt(EntryPos(offset, i), e, hasNext ? sizeof e : ENTRY_SIZE);
  if (!s.ok()) return s;
  const int64_t data = DataStart(offset, count);
  entry->index = i;
  entry->ID = DecodeFixed32(e);
  entry->Type = DecodeFixed32(e + 4);
  entry->start = data + DecodeFixed32(e + 8);
  entry->hasNext = hasNext;
  entry->nextID = hasNext ? DecodeFixed32(e + ENTRY_SIZE) : 0;
  entry->end = hasNext ? data + DecodeFixed32(e + ENTRY_SIZE + 8) : endOffset;
  if (data > endOffset || entry->start > entry->end || entry->end > endOffset) return Changed();
  return Status::Ok();
}

Status FindLeadEnd(ByteSource& source, int64_t offset, int64_t endOffset, uint32_t count,
                   int64_t* leadEnd) {
  *leadEnd = endOffset;
  if (count == 0) return Status::Ok();
  CursorEntry entry;
  Status s = ReadEntryAt(source, offset, endOffset, count, 0, &entry);
  if (s.ok()) *leadEnd = entry.start;
  return s;
}

Status FindFirstKey(ByteSource& source, int64_t offset, int64_t endOffset, uint32_t key,
                    bool* found, int64_t* start, int64_t* end) {
  *found = false;
  uint8_t countBytes[COUNT_SIZE];
  Status s = source.ReadAt(offset, countBytes, sizeof countBytes);
  if (!s.ok()) return s;
  const uint32_t count = DecodeFixed32(countBytes);
  if (DataStart(offset, count) > endOffset) return Changed();
  uint32_t at = count;
  s = ForEachKey(source, offset, 0, count, [&](uint32_t i, uint32_t k) {
    if (k == key) at = i;
    return k != key;
  });
  if (!s.ok() || at == count) return s;
  CursorEntry entry;
  s = ReadEntryAt(source, offset, endOffset, count, at, &entry);
  if (!s.ok()) return s;
  *found = true;
  *start = entry.start;
  *end = entry.end;
  return Status::Ok();
}

Status ReadReferenceName(ByteSource& source, int64_t offset, int64_t endOffset, bool* found,
                         std::string* name) {
  int64_t start, end;
  Status s = FindFirstKey(source, offset, endOffset, REF_NAME_KEY, found, &start, &end);
  if (!s.ok() || !*found) return s;
  return ReadUpToZero(source, start, start + REF_NAME_LIMIT, name);
}

}  // namespace atb
