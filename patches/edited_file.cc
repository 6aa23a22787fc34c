#include "patches/edited_file.h"

#include <algorithm>
#include <deque>
#include <memory>

#include "store/coding.h"
#include "store/table.h"
#include "store/table_builder.h"

namespace atb {

namespace {
constexpr int64_t kPiece = 1 << 20;
}  // namespace

class EditedFile::Table {
 public:
  // One entry: the file's own entry `orig` (or -1 for a new one), with what an edit gave it in
  // details[detail] (or -1 when it holds what the file holds).
  struct Slot {
    uint32_t key, type;
    int32_t orig, detail;
  };
  // What an edit gave an entry: its bytes, or the nested table that a later edit reached
  // through it, which then stands for them.
  struct Detail {
    std::string bytes;
    std::unique_ptr<Table> table;
  };

  Table* parent = nullptr;
  bool inFile = false;  // read from the file, at offset..end, as `list`
  int64_t offset = 0, end = 0;
  EntryList list;
  bool edited = false;  // an edit changed it, or a table inside it
  // Whether the keys ascend, once known; entries added or taken out make it unknown.
  mutable int ascending = -1;
  bool leadSet = false;
  std::string lead;  // when set; a table in memory always has it
  std::vector<Slot> slots;
  std::vector<Detail> details;

  // Entry i's detail, made when it has none.
  Detail& DetailOf(uint32_t i) {
    Slot& s = slots[i];
    if (s.detail < 0) {
      s.detail = static_cast<int32_t>(details.size());
      details.emplace_back();
    }
    return details[static_cast<std::size_t>(s.detail)];
  }
};

namespace {

int64_t LeadSize(const EditedFile::Table& t) {
  return t.leadSet ? static_cast<int64_t>(t.lead.size())
                   : t.list.Off[0] - DataStart(t.offset, t.list.count);
}

}  // namespace

EditedFile::EditedFile(PositionedFile& file, int64_t length)
    : file_(file), originalLength_(length), length_(length) {}

EditedFile::~EditedFile() = default;

Status EditedFile::Root(Table** root) {
  if (!root_) {
    auto t = std::make_unique<Table>();
    t->inFile = true;
    t->offset = ROOT_TABLE_OFFSET;
    t->end = originalLength_;
    Status s = ReadTable(file_, t->offset, t->end, &t->list);
    if (!s.ok()) return s;
    header_.resize(static_cast<std::size_t>(ROOT_TABLE_OFFSET));
    if (!(s = file_.ReadAt(0, header_.data(), header_.size())).ok()) return s;
    originalHeader_ = header_;
    for (uint32_t i = 0; i < t->list.count; ++i) {
      t->slots.push_back({t->list.ID[i], t->list.Type[i], static_cast<int32_t>(i), -1});
    }
    root_ = std::move(t);
  }
  *root = root_.get();
  return Status::Ok();
}

Status EditedFile::Nested(Table& t, uint32_t i, Table** nested) {
  Table::Slot& slot = t.slots[i];
  if (slot.type != static_cast<uint32_t>(EntryType::Reference)) {
    return Status::Refused("not a reference");
  }
  if (slot.detail >= 0 && t.details[static_cast<std::size_t>(slot.detail)].table) {
    *nested = t.details[static_cast<std::size_t>(slot.detail)].table.get();
    return Status::Ok();
  }
  auto child = std::make_unique<Table>();
  child->parent = &t;
  Status s;
  if (slot.detail >= 0) {
    // New bytes: the table they hold lives in memory from now on.
    const std::string& bytes = t.details[static_cast<std::size_t>(slot.detail)].bytes;
    MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    EntryList list;
    s = ReadTable(source, 0, static_cast<int64_t>(bytes.size()), &list);
    if (!s.ok()) return s;
    child->leadSet = true;
    child->lead = bytes.substr(DataStart(0, list.count), list.Off[0] - DataStart(0, list.count));
    for (uint32_t k = 0; k < list.count; ++k) {
      child->slots.push_back({list.ID[k], list.Type[k], -1, static_cast<int32_t>(k)});
      child->details.push_back({bytes.substr(list.Off[k], list.Off[k + 1] - list.Off[k]), {}});
    }
  } else {
    child->inFile = true;
    child->offset = t.list.ExtentStart(static_cast<uint32_t>(slot.orig));
    child->end = t.list.ExtentEnd(static_cast<uint32_t>(slot.orig));
    s = ReadTable(file_, child->offset, child->end, &child->list);
    if (!s.ok()) return s;
    for (uint32_t k = 0; k < child->list.count; ++k) {
      child->slots.push_back({child->list.ID[k], child->list.Type[k], static_cast<int32_t>(k), -1});
    }
  }
  Table::Detail& d = t.DetailOf(i);
  d.bytes.clear();
  d.bytes.shrink_to_fit();
  d.table = std::move(child);
  *nested = d.table.get();
  return Status::Ok();
}

Status EditedFile::FindNumbered(const std::vector<uint64_t>& numbers, std::size_t deepest,
                                std::vector<Way>* ways, uint64_t* walked) {
  ways->assign(numbers.size(), {});
  *walked = 0;
  Table* root;
  Status s = Root(&root);
  if (!s.ok()) return s;
  // Tables that no edit reached are walked with cursors, from the file or from the bytes an edit
  // gave them, and only the way to an entry found is read into tables.
  struct Held {
    explicit Held(std::string b)
        : bytes(std::move(b)),
          source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) {}
    std::string bytes;  // a copy: reading the way in turns an edit's bytes into a table
    MemorySource source;
  };
  struct Frame {
    Table* table = nullptr;  // walked slot by slot; else by the cursor
    uint32_t next = 0;
    std::shared_ptr<Held> held;
    ByteSource* source = nullptr;
    EntryCursor cursor;
    uint32_t taken = 0;  // the entry last walked
  };
  WindowedSource window(file_, 1 << 20);
  BlockBudget budget(8 << 20);
  std::deque<Frame> stack(1);
  stack[0].table = root;
  std::size_t want = 0;
  // The way to the entry just walked, read in as tables.
  auto found = [&]() {
    Way& way = (*ways)[want++];
    way.depth = stack.size();
    if (way.depth > deepest) return Status::Ok();
    Table* t = root;
    for (std::size_t k = 0; k < stack.size(); ++k) {
      way.steps.emplace_back(t, stack[k].taken);
      if (k + 1 == stack.size()) break;
      Status n = Nested(*t, stack[k].taken, &t);
      if (!n.ok())
        return n.ioError() ? n : Status::IoError(0, "the file changed while it was read");
    }
    return Status::Ok();
  };
  while (!stack.empty() && want < numbers.size()) {
    Frame& top = stack.back();
    Frame nested;
    int64_t start = 0, end = 0;
    if (top.table != nullptr) {
      if (top.next == Count(*top.table)) {
        stack.pop_back();
        continue;
      }
      const uint32_t i = top.taken = top.next++;
      ++*walked;
      while (want < numbers.size() && numbers[want] == *walked) {
        if (!(s = found()).ok()) return s;
      }
      const Table::Slot& slot = top.table->slots[i];
      if (slot.type != static_cast<uint32_t>(EntryType::Reference)) continue;
      if (slot.detail >= 0) {
        Table::Detail& d = top.table->details[static_cast<std::size_t>(slot.detail)];
        if (d.table) {
          nested.table = d.table.get();
          stack.push_back(std::move(nested));
          continue;
        }
        nested.held = std::make_shared<Held>(d.bytes);
        nested.source = &nested.held->source;
        end = static_cast<int64_t>(d.bytes.size());
      } else {
        nested.source = &window;
        start = top.table->list.ExtentStart(static_cast<uint32_t>(slot.orig));
        end = top.table->list.ExtentEnd(static_cast<uint32_t>(slot.orig));
      }
    } else {
      if (top.cursor.done()) {
        stack.pop_back();
        continue;
      }
      CursorEntry e;
      if (!(s = top.cursor.Next(*top.source, &e)).ok()) return s;
      top.taken = e.index;
      ++*walked;
      while (want < numbers.size() && numbers[want] == *walked) {
        if (!(s = found()).ok()) return s;
      }
      if (!e.Is(EntryType::Reference)) continue;
      nested.held = top.held;
      nested.source = top.source;
      start = e.start;
      end = e.end;
    }
    s = nested.cursor.Open(*nested.source, start, end, budget);
    if (s.ioError()) return s;
    if (s.ok()) stack.push_back(std::move(nested));
  }
  return Status::Ok();
}

uint32_t EditedFile::Count(const Table& t) { return static_cast<uint32_t>(t.slots.size()); }

void EditedFile::EntriesWithKey(const Table& t, uint32_t key, std::vector<uint32_t>* out) {
  out->clear();
  const auto byKey = [](const Table::Slot& s, uint32_t k) { return s.key < k; };
  if (t.ascending < 0) {
    t.ascending =
        std::is_sorted(t.slots.begin(), t.slots.end(),
                       [](const Table::Slot& a, const Table::Slot& b) { return a.key < b.key; })
            ? 1
            : 0;
  }
  auto i = t.ascending == 1 ? std::lower_bound(t.slots.begin(), t.slots.end(), key, byKey)
                            : t.slots.begin();
  for (; i != t.slots.end(); ++i) {
    if (i->key == key) {
      out->push_back(static_cast<uint32_t>(i - t.slots.begin()));
    } else if (t.ascending == 1) {
      break;
    }
  }
}
uint32_t EditedFile::Key(const Table& t, uint32_t i) { return t.slots[i].key; }
uint32_t EditedFile::Type(const Table& t, uint32_t i) { return t.slots[i].type; }

int64_t EditedFile::Size(const Table& t, uint32_t i) const {
  const Table::Slot& slot = t.slots[i];
  if (slot.detail < 0) {
    const auto k = static_cast<uint32_t>(slot.orig);
    return t.list.ExtentEnd(k) - t.list.ExtentStart(k);
  }
  const Table::Detail& d = t.details[static_cast<std::size_t>(slot.detail)];
  return d.table ? TableSize(*d.table) : static_cast<int64_t>(d.bytes.size());
}

int64_t EditedFile::TableSize(const Table& t) const {
  if (t.inFile && !t.edited) return t.end - t.offset;
  int64_t size = TableBuilder::HeadSize(static_cast<int64_t>(t.slots.size()), LeadSize(t));
  for (uint32_t i = 0; i < t.slots.size(); ++i) size += Size(t, i);
  return size;
}

namespace {

Status ForEachFilePiece(ByteSource& file, int64_t start, int64_t end,
                        const std::function<void(std::string_view)>& fn) {
  std::string piece;
  for (int64_t at = start; at < end;) {
    const int64_t n = std::min(end - at, kPiece);
    piece.resize(static_cast<std::size_t>(n));
    Status s = file.ReadAt(at, piece.data(), piece.size());
    if (!s.ok()) return s;
    fn(piece);
    at += n;
  }
  return Status::Ok();
}

}  // namespace

Status EditedFile::ForEachPiece(const Table& t, uint32_t i,
                                const std::function<void(std::string_view)>& fn) const {
  const Table::Slot& slot = t.slots[i];
  if (slot.detail < 0) {
    const auto k = static_cast<uint32_t>(slot.orig);
    return ForEachFilePiece(file_, t.list.ExtentStart(k), t.list.ExtentEnd(k), fn);
  }
  const Table::Detail& d = t.details[static_cast<std::size_t>(slot.detail)];
  if (d.table) return ForEachTablePiece(*d.table, fn);
  if (!d.bytes.empty()) fn(d.bytes);
  return Status::Ok();
}

Status EditedFile::ForEachTablePiece(const Table& t,
                                     const std::function<void(std::string_view)>& fn) const {
  if (t.inFile && !t.edited) return ForEachFilePiece(file_, t.offset, t.end, fn);
  std::string lead;
  Status s = Lead(t, &lead);
  if (!s.ok()) return s;
  TableBuilder head;
  head.SetLead(std::move(lead));
  for (uint32_t i = 0; i < t.slots.size(); ++i)
    head.AddSized(t.slots[i].key, t.slots[i].type, Size(t, i));
  fn(head.Head());
  for (uint32_t i = 0; i < t.slots.size(); ++i) {
    if (!(s = ForEachPiece(t, i, fn)).ok()) return s;
  }
  return Status::Ok();
}

Status EditedFile::Extent(const Table& t, uint32_t i, std::string* bytes) const {
  bytes->clear();
  return ForEachPiece(t, i, [bytes](std::string_view piece) { bytes->append(piece); });
}

Status EditedFile::Encode(const Table& t, std::string* bytes) const {
  bytes->clear();
  return ForEachTablePiece(t, [bytes](std::string_view piece) { bytes->append(piece); });
}

Status EditedFile::Lead(const Table& t, std::string* bytes) const {
  if (t.leadSet) {
    *bytes = t.lead;
    return Status::Ok();
  }
  const int64_t start = DataStart(t.offset, t.list.count);
  bytes->resize(static_cast<std::size_t>(t.list.Off[0] - start));
  return file_.ReadAt(start, bytes->data(), bytes->size());
}

void EditedFile::Edited(Table& t) {
  for (Table* at = &t; at != nullptr && !at->edited; at = at->parent) at->edited = true;
}

void EditedFile::FollowLength() {
  if (length_ == originalLength_ && !headerSet_) {
    header_ = originalHeader_;
    return;
  }
  SetHeaderSizes(&header_, length_);
}

void EditedFile::Set(Table& t, uint32_t i, uint32_t type, std::string extent) {
  length_ += static_cast<int64_t>(extent.size()) - Size(t, i);
  t.slots[i].type = type;
  Table::Detail& d = t.DetailOf(i);
  d.table.reset();
  d.bytes = std::move(extent);
  Edited(t);
  FollowLength();
}

void EditedFile::Insert(Table& t, uint32_t before, uint32_t key, uint32_t type,
                        std::string extent) {
  length_ += ENTRY_SIZE + static_cast<int64_t>(extent.size());
  t.slots.insert(t.slots.begin() + before, {key, type, -1, static_cast<int32_t>(t.details.size())});
  t.details.push_back({std::move(extent), {}});
  t.ascending = -1;
  Edited(t);
  FollowLength();
}

void EditedFile::Remove(Table& t, uint32_t i) {
  length_ -= ENTRY_SIZE + Size(t, i);
  if (t.slots[i].detail >= 0) t.details[static_cast<std::size_t>(t.slots[i].detail)] = {};
  t.slots.erase(t.slots.begin() + i);
  t.ascending = -1;
  Edited(t);
  FollowLength();
}

void EditedFile::SetLead(Table& t, std::string bytes) {
  length_ += static_cast<int64_t>(bytes.size()) - LeadSize(t);
  t.leadSet = true;
  t.lead = std::move(bytes);
  Edited(t);
  FollowLength();
}

void EditedFile::SetHeader(std::string header) {
  header.resize(static_cast<std::size_t>(ROOT_TABLE_OFFSET));
  header_ = std::move(header);
  headerSet_ = true;
  FollowLength();
}

Status EditedFile::Plan(const Table& t, TableChain chain, Change* change) const {
  if (!t.edited) return Status::Ok();
  if (t.leadSet) change->ReplaceLead(chain, t.lead);
  // The file's entries that are still there, in order; new ones go in front of the next.
  std::vector<bool> kept(t.list.count, false);
  for (const Table::Slot& s : t.slots) {
    if (s.orig >= 0) kept[static_cast<std::size_t>(s.orig)] = true;
  }
  for (uint32_t k = 0; k < t.list.count; ++k) {
    if (kept[k]) continue;
    TableChain at = chain;
    at.back().entry = k;
    change->Remove(std::move(at));
  }
  uint32_t next = t.list.count;  // the file's entry in front of which new ones go
  std::vector<uint32_t> before(t.slots.size());
  for (std::size_t i = t.slots.size(); i-- > 0;) {
    if (t.slots[i].orig >= 0) next = static_cast<uint32_t>(t.slots[i].orig);
    before[i] = next;
  }
  Status s;
  for (uint32_t i = 0; i < t.slots.size(); ++i) {
    const Table::Slot& slot = t.slots[i];
    const Table::Detail* d =
        slot.detail >= 0 ? &t.details[static_cast<std::size_t>(slot.detail)] : nullptr;
    if (slot.orig < 0) {
      std::string bytes;
      if (d->table) {
        if (!(s = Encode(*d->table, &bytes)).ok()) return s;
      } else {
        bytes = d->bytes;
      }
      change->InsertAt(chain, before[i], slot.key, slot.type, std::move(bytes));
      continue;
    }
    const auto k = static_cast<uint32_t>(slot.orig);
    TableChain at = chain;
    at.back().entry = k;
    if (slot.type != t.list.Type[k]) change->SetType(at, slot.type);
    if (d == nullptr) continue;
    const int64_t start = t.list.ExtentStart(k), size = t.list.ExtentEnd(k) - start;
    if (d->table && d->table->inFile) {
      at.push_back({d->table->offset, d->table->end, 0});
      if (!(s = Plan(*d->table, std::move(at), change)).ok()) return s;
    } else if (d->table) {
      std::string bytes;
      if (!(s = Encode(*d->table, &bytes)).ok()) return s;
      change->Replace(std::move(at), start, size, std::move(bytes));
    } else {
      change->Replace(std::move(at), start, size, d->bytes);
    }
  }
  return Status::Ok();
}

Status EditedFile::Commit(ChangeTarget& target) {
  Change change;
  if (root_) {
    Status s = Plan(*root_, {{ROOT_TABLE_OFFSET, originalLength_, 0}}, &change);
    if (!s.ok()) return s;
  }
  if (headerSet_) change.SetHeader(header_);
  return change.Apply(target);
}

}  // namespace atb
