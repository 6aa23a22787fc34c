#include "text/paths.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>

#include "store/table.h"

namespace atb {

namespace {

bool ParseUnsigned(std::string_view s, int base, uint32_t* v) {
  if (s.empty()) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), *v, base);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::string DescribeEntry(const KeyNames& names, uint32_t i, uint32_t key) {
  std::string out(1, '#');
  out += std::to_string(i);
  out += " (key ";
  out += std::to_string(key);
  std::string_view name = names.NameOf(key);
  if (!name.empty()) out += ", " + std::string(name);
  return out + ")";
}

// A lookup reads one table at a time; its blocks need little.
constexpr std::size_t kLookupBudget = 1 << 20;
constexpr std::size_t kLookupWindow = 1 << 16;

// One table on the way down to an entry, and the entry taken in it.
struct WayStep {
  int64_t table, end;
  CursorEntry entry;
};

// Walks the file as dump does, entry by entry from the root. Asked for a later entry than the
// last one it found, it goes on from there: entries asked for in order cost one walk.
class EntryWalk {
 public:
  EntryWalk(ByteSource& base, ByteSource& file, int64_t length, BlockBudget& budget)
      : base_(base), file_(file), length_(length), budget_(budget) {}

  // *way gets the tables from the root down to the one holding the n-th entry, the n-th entry
  // taken in the last.
  Status To(uint64_t n, std::vector<WayStep>* way) {
    if (!open_ || n < walked_ || (n == walked_ && !held_)) {
      Status s = Start();
      if (!s.ok()) return s;
    }
    Status s = GoOn(n, way);
    // A read that failed leaves the stack behind: the next walk starts again.
    if (!s.ok() && !s.refused()) open_ = false;
    return s;
  }

 private:
  struct Frame {
    EntryCursor cursor;
    WayStep step;
  };

  Status GoOn(uint64_t n, std::vector<WayStep>* way) {
    if (held_ && n == walked_) return Found(way);
    Status s;
    if (held_) {
      held_ = false;
      if (!(s = Descend(stack_.back().step.entry)).ok()) return s;
    }
    CursorEntry e;
    while (!stack_.empty()) {
      Frame& top = stack_.back();
      if (top.cursor.done()) {
        stack_.pop_back();
        continue;
      }
      if (!(s = top.cursor.Next(base_, &e)).ok()) return s;
      top.step.entry = e;
      if (++walked_ == n) {
        held_ = true;
        return Found(way);
      }
      if (!(s = Descend(e)).ok()) return s;
    }
    return Status::Refused("there is no entry @" + std::to_string(n) + ": the file holds " +
                           std::to_string(walked_));
  }

  Status Start() {
    stack_.clear();
    walked_ = 0;
    held_ = open_ = false;
    stack_.emplace_back();
    stack_[0].step = {ROOT_TABLE_OFFSET, length_, {}};
    Status s = stack_[0].cursor.Open(file_, ROOT_TABLE_OFFSET, length_, budget_);
    if (s.ioError()) return s;
    if (!s.ok()) return Status::Damaged("the table / is damaged: " + s.Message());
    open_ = true;
    return Status::Ok();
  }

  // Goes into the table that entry e holds, unless it holds none or a damaged one.
  Status Descend(const CursorEntry& e) {
    if (!e.Is(EntryType::Reference)) return Status::Ok();
    Frame nested;
    Status s = nested.cursor.Open(file_, e.start, e.end, budget_);
    if (s.ioError()) return s;
    if (!s.ok()) return Status::Ok();
    nested.step = {e.start, e.end, {}};
    stack_.push_back(std::move(nested));
    return Status::Ok();
  }

  Status Found(std::vector<WayStep>* way) const {
    way->clear();
    for (const Frame& f : stack_) way->push_back(f.step);
    return Status::Ok();
  }

  ByteSource& base_;
  ByteSource& file_;
  int64_t length_;
  BlockBudget& budget_;
  std::deque<Frame> stack_;
  uint64_t walked_ = 0;
  bool open_ = false;  // the stack is the walk's, up to entry walked_
  bool held_ = false;  // the stack's last frame holds entry walked_, not yet gone into
};

// What the walk down a path reads its tables through, holding one block of a table at a time:
// memory does not grow with the tables' sizes.
class StreamedTables {
 public:
  StreamedTables(ByteSource& base, int64_t length)
      : base_(base), length_(length), file_(base, kLookupWindow), budget_(kLookupBudget) {}

  Status Walk(uint64_t n, std::vector<WayStep>* way) {
    return EntryWalk(base_, file_, length_, budget_).To(n, way);
  }
  Status Open(int64_t table, int64_t end) {
    table_ = table;
    end_ = end;
    return cursor_.Open(file_, table, end, budget_);
  }
  uint32_t count() const { return cursor_.count(); }
  Status EntryAt(uint32_t i, CursorEntry* entry) {
    return ReadEntryAt(file_, table_, end_, cursor_.count(), i, entry);
  }
  template <typename Match>
  Status WithKey(uint32_t key, Match match) {
    Status s;
    CursorEntry entry;
    while (s.ok() && !cursor_.done()) {
      s = cursor_.Next(base_, &entry);
      if (s.ok() && entry.ID == key) match(entry);
    }
    return s;
  }
  template <typename Match>
  Status Named(const std::string& word, Match match) {
    Status s = cursor_.Open(file_, table_, end_, budget_);
    CursorEntry entry;
    while (s.ok() && !cursor_.done()) {
      s = cursor_.Next(base_, &entry);
      if (!s.ok() || !entry.Is(EntryType::Reference)) continue;
      bool listed;
      std::string name;
      Status n = NameOf(file_, entry, &listed, &name);
      if (!n.ok()) return n;
      if (listed && name == word) match(entry);
    }
    return s;
  }

  // *listed: whether the reference's table is sound and lists a name, *name.
  static Status NameOf(ByteSource& file, const CursorEntry& entry, bool* listed,
                       std::string* name) {
    *listed = false;
    TableShape nested;
    Status s = CheckTable(file, entry.start, entry.end, &nested);
    if (s.ioError()) return s;
    if (s.damaged()) return Status::Ok();
    return ReadReferenceName(file, entry.start, entry.end, listed, name);
  }

 private:
  ByteSource& base_;
  int64_t length_;
  WindowedSource file_;
  BlockBudget budget_;
  EntryCursor cursor_;
  int64_t table_ = 0, end_ = 0;
};

CursorEntry EntryOf(const EntryList& list, uint32_t i) {
  CursorEntry e;
  e.index = i;
  e.ID = list.ID[i];
  e.Type = list.Type[i];
  e.start = list.ExtentStart(i);
  e.end = list.ExtentEnd(i);
  e.hasNext = i + 1 < list.count;
  e.nextID = e.hasNext ? list.ID[i + 1] : 0;
  return e;
}

// Walks the path from the root through `tables`, checking each table on the way and calling
// step(table, end) for it; *chosen is set to each table's chosen entry in turn, the path's entry
// last.
template <typename Tables, typename Step>
Status FollowPath(Tables& tables, const std::vector<PathElement>& elements, const KeyNames& names,
                  int64_t length, Step step, CursorEntry* chosen) {
  int64_t table = ROOT_TABLE_OFFSET, end = length;
  std::string where = "/";
  // A read that fails on the way, whatever its kind, stops the lookup as the disk's fault.
  auto failed = [](const Status& s) {
    return s.ioError() ? s : Status::IoError(s.err(), s.Message());
  };
  std::size_t first = 0;
  if (!elements.empty() && elements[0].kind == PathElement::kCounted) {
    std::vector<WayStep> way;
    Status s = tables.Walk(elements[0].number, &way);
    if (!s.ok()) return s;
    for (std::size_t k = 0; k < way.size(); ++k) {
      if (k > 0) *chosen = way[k - 1].entry;
      step(way[k].table, way[k].end);
    }
    *chosen = way.back().entry;
    if (elements.size() == 1) return Status::Ok();
    if (!chosen->Is(EntryType::Reference)) {
      return Status::Refused("\"" + elements[0].text + "\" is not a reference");
    }
    table = chosen->start;
    end = chosen->end;
    where = elements[0].text;
    first = 1;
  }
  for (std::size_t e = first;; ++e) {
    Status s = tables.Open(table, end);
    if (s.ioError()) return s;
    if (!s.ok()) return Status::Damaged("the table " + where + " is damaged: " + s.Message());
    step(table, end);
    if (e == elements.size()) return Status::Ok();
    const PathElement& element = elements[e];
    // Every match is counted and the chosen one kept; all of them are listed only when the
    // path is ambiguous, so that a pick into a long run of equal keys holds nothing.
    uint32_t matched = 0;
    std::string listed;
    auto match = [&](const CursorEntry& entry) {
      if (element.pick ? matched == *element.pick : matched == 0) *chosen = entry;
      if (!element.pick) {
        listed.push_back(' ');
        listed += DescribeEntry(names, entry.index, entry.ID);
      }
      ++matched;
    };
    if (element.kind == PathElement::kEntryNumber) {
      if (element.number < tables.count()) {
        CursorEntry entry;
        s = tables.EntryAt(element.number, &entry);
        if (!s.ok()) return failed(s);
        match(entry);
      }
    } else {
      if (!(s = tables.WithKey(KeyOfElement(element, names), match)).ok()) return failed(s);
      if (matched == 0 && element.kind == PathElement::kWord) {
        if (!(s = tables.Named(element.word, match)).ok()) return failed(s);
      }
    }
    if (element.pick && *element.pick >= matched) {
      return Status::Refused("\"" + element.text + "\" in " + where + ": only " +
                             std::to_string(matched) + " entries match");
    }
    if (matched == 0)
      return Status::Refused("nothing matches \"" + element.text + "\" in " + where);
    if (!element.pick && matched > 1) {
      return Status::Refused("\"" + element.text + "\" matches " + std::to_string(matched) +
                             " entries in " + where + ":" + listed + "; pick one with [k]");
    }
    if (e + 1 == elements.size()) return Status::Ok();
    if (!chosen->Is(EntryType::Reference)) {
      return Status::Refused("\"" + element.text + "\" in " + where + " is not a reference");
    }
    table = chosen->start;
    end = chosen->end;
    if (where == "/") where.clear();
    where += "/";
    where += element.text;
  }
}

}  // namespace

Status ParsePathElement(std::string_view text, PathElement* element) {
  PathElement e;
  e.text = std::string(text);
  if (!text.empty() && text.back() == ']') {
    std::size_t open = text.rfind('[');
    uint32_t k;
    if (open == std::string_view::npos ||
        !ParseUnsigned(text.substr(open + 1, text.size() - open - 2), 10, &k)) {
      return Status::Invalid("\"" + e.text + "\": [k] needs a number");
    }
    e.pick = k;
    text = text.substr(0, open);
  }
  if (text.empty()) return Status::Invalid("an empty element in the path");
  if (text[0] == '#') {
    e.kind = PathElement::kEntryNumber;
    if (!ParseUnsigned(text.substr(1), 10, &e.number)) {
      return Status::Invalid("\"" + e.text + "\": # needs an entry number");
    }
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
             ParseUnsigned(text.substr(2), 16, &e.number)) {
    e.kind = PathElement::kKey;
  } else if (ParseUnsigned(text, 10, &e.number)) {
    e.kind = PathElement::kKey;
  } else if (LooksNumeric(text)) {
    return Status::Invalid("\"" + e.text + "\" is too large for a key");
  } else {
    e.kind = PathElement::kWord;
    e.word = std::string(text);
  }
  *element = std::move(e);
  return Status::Ok();
}

bool IsKeyElement(const PathElement& element) {
  return !element.pick && (element.kind == PathElement::kKey || element.kind == PathElement::kWord);
}

uint32_t KeyOfElement(const PathElement& element, const KeyNames& names) {
  return element.kind == PathElement::kKey ? element.number : names.KeyOfWord(element.word);
}

bool ParseLoneElement(std::string_view text, PathElement* element) {
  return text.find('/') == std::string_view::npos && ParsePathElement(text, element).ok();
}

bool ParseKey(std::string_view text, const KeyNames& names, uint32_t* key) {
  PathElement element;
  if (!ParseLoneElement(text, &element) || !IsKeyElement(element)) return false;
  *key = KeyOfElement(element, names);
  return true;
}

Status ParsePath(std::string_view path, std::vector<PathElement>* elements) {
  elements->clear();
  if (!path.empty() && path[0] == '@') {
    const std::size_t slash = path.find('/');
    PathElement e;
    e.kind = PathElement::kCounted;
    e.text = std::string(path.substr(0, slash));
    const std::string_view digits =
        path.substr(1, slash == std::string_view::npos ? slash : slash - 1);
    const bool digitsOnly =
        !digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos;
    if (!ParseUnsigned(digits, 10, &e.number) && digitsOnly) {
      return Status::Invalid("\"" + e.text + "\" is too large for an entry's number");
    }
    if (!digitsOnly || e.number == 0) {
      return Status::Invalid("\"" + e.text + "\": @ needs the number of an entry, from 1");
    }
    elements->push_back(std::move(e));
    if (slash == std::string_view::npos) return Status::Ok();
    path.remove_prefix(slash + 1);
    if (path.empty()) return Status::Invalid("an empty element in the path");
  } else {
    if (!path.empty() && path[0] == '/') path.remove_prefix(1);
    if (path.empty()) return Status::Ok();
  }
  for (;;) {
    std::size_t slash = path.find('/');
    PathElement e;
    Status s = ParsePathElement(path.substr(0, slash), &e);
    if (!s.ok()) return s;
    elements->push_back(std::move(e));
    if (slash == std::string_view::npos) return Status::Ok();
    path.remove_prefix(slash + 1);
  }
}

// What a resolver has read: each table whole, once, and what finds its entries without a scan.
class PathResolver::Tables {
 public:
  Tables(ByteSource& base, int64_t length)
      : base_(base),
        file_(base, kLookupWindow),
        budget_(kLookupBudget),
        walk_(base, file_, length, budget_) {}

  Status Read(int64_t table, int64_t end, const EntryList** list) {
    Held* held = nullptr;
    Status s = Get(table, end, &held);
    if (s.ok()) *list = &held->list;
    return s;
  }

  Status Walk(uint64_t n, std::vector<WayStep>* way) { return walk_.To(n, way); }
  Status Open(int64_t table, int64_t end) { return Get(table, end, &current_); }
  uint32_t count() const { return current_->list.count; }
  Status EntryAt(uint32_t i, CursorEntry* entry) {
    *entry = EntryOf(current_->list, i);
    return Status::Ok();
  }
  template <typename Match>
  Status WithKey(uint32_t key, Match match) {
    Held& t = *current_;
    const EntryList& list = t.list;
    const auto ids = list.ID.begin(), idsEnd = ids + list.count;
    if (t.ascending < 0) {
      t.ascending = std::is_sorted(ids, idsEnd) ? 1 : 0;
      if (t.ascending == 0) {
        t.byKey.resize(list.count);
        for (uint32_t i = 0; i < list.count; ++i) t.byKey[i] = i;
        std::stable_sort(t.byKey.begin(), t.byKey.end(),
                         [&](uint32_t a, uint32_t b) { return list.ID[a] < list.ID[b]; });
      }
    }
    if (t.ascending == 1) {
      for (auto i = std::lower_bound(ids, idsEnd, key); i != idsEnd && *i == key; ++i) {
        match(EntryOf(list, static_cast<uint32_t>(i - ids)));
      }
      return Status::Ok();
    }
    auto i = std::lower_bound(t.byKey.begin(), t.byKey.end(), key,
                              [&](uint32_t e, uint32_t k) { return list.ID[e] < k; });
    for (; i != t.byKey.end() && list.ID[*i] == key; ++i) match(EntryOf(list, *i));
    return Status::Ok();
  }
  template <typename Match>
  Status Named(const std::string& word, Match match) {
    Held& t = *current_;
    if (!t.namesRead) {
      std::vector<std::pair<std::string, uint32_t>> names;
      for (uint32_t i = 0; i < t.list.count; ++i) {
        if (!t.list.Is(i, EntryType::Reference)) continue;
        bool listed;
        std::string name;
        Status s = StreamedTables::NameOf(file_, EntryOf(t.list, i), &listed, &name);
        if (!s.ok()) return s;
        if (listed) names.emplace_back(std::move(name), i);
      }
      std::sort(names.begin(), names.end());
      t.names = std::move(names);
      t.namesRead = true;
    }
    auto i = std::lower_bound(t.names.begin(), t.names.end(), word,
                              [](const std::pair<std::string, uint32_t>& n, const std::string& w) {
                                return n.first < w;
                              });
    for (; i != t.names.end() && i->first == word; ++i) match(EntryOf(t.list, i->second));
    return Status::Ok();
  }

 private:
  struct Held {
    EntryList list;
    int ascending = -1;           // whether the keys ascend, once a key was looked up
    std::vector<uint32_t> byKey;  // entry numbers in the order of their keys, where they do not
    bool namesRead = false;
    std::vector<std::pair<std::string, uint32_t>> names;  // of sound references, in order
  };

  Status Get(int64_t table, int64_t end, Held** held) {
    auto it = held_.find({table, end});
    if (it == held_.end()) {
      Held read;
      Status s = ReadTable(base_, table, end, &read.list);
      if (!s.ok()) return s;
      it = held_.emplace(std::make_pair(table, end), std::move(read)).first;
    }
    *held = &it->second;
    return Status::Ok();
  }

  ByteSource& base_;
  WindowedSource file_;
  BlockBudget budget_;
  EntryWalk walk_;  // where the last entry counted through the file was found
  std::map<std::pair<int64_t, int64_t>, Held> held_;
  Held* current_ = nullptr;
};

PathResolver::PathResolver(ByteSource& file, int64_t length, const KeyNames& names)
    : names_(names), length_(length), tables_(std::make_unique<Tables>(file, length)) {}

PathResolver::~PathResolver() = default;

Status PathResolver::Resolve(const std::vector<PathElement>& elements,
                             std::vector<PathStep>* chain) {
  chain->clear();
  CursorEntry chosen;
  auto step = [&](int64_t table, int64_t end) {
    if (!chain->empty()) chain->back().entry = chosen.index;
    chain->push_back({table, end, nullptr, 0});
  };
  Status s = FollowPath(*tables_, elements, names_, length_, step, &chosen);
  if (!s.ok()) return s;
  if (!elements.empty()) chain->back().entry = chosen.index;
  for (PathStep& s : *chain) {
    Status read = tables_->Read(s.table, s.end, &s.list);
    if (read.ioError()) return read;
    if (!read.ok()) return Status::Damaged("the file changed while it was read");
  }
  return Status::Ok();
}

Status PathResolver::Read(int64_t table, int64_t end, const EntryList** list) {
  return tables_->Read(table, end, list);
}

Status FindEntry(ByteSource& file, int64_t length, const std::vector<PathElement>& elements,
                 const KeyNames& names, FoundEntry* found) {
  auto step = [&](int64_t table, int64_t end) {
    found->table = table;
    found->tableEnd = end;
  };
  StreamedTables tables(file, length);
  return FollowPath(tables, elements, names, length, step, &found->entry);
}

void AppendPathElement(const KeyNames& names, uint32_t key, int32_t pick, std::string* path) {
  std::string_view name = names.PathNameOf(key);
  if (name.empty()) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, key);
    path->append(buf, r.ptr);
  } else {
    path->append(name);
  }
  if (pick >= 0) {
    path->push_back('[');
    path->append(std::to_string(pick));
    path->push_back(']');
  }
}

ElementNamer::ElementNamer(const KeyNames& names, const EntryList& list)
    : names_(&names), picks_(list.count, -1) {
  if (std::is_sorted(list.ID.begin(), list.ID.begin() + list.count)) {
    for (uint32_t i = 0; i < list.count;) {
      uint32_t j = i + 1;
      while (j < list.count && list.ID[j] == list.ID[i]) ++j;
      if (j - i > 1) {
        for (uint32_t k = i; k < j; ++k) picks_[k] = static_cast<int32_t>(k - i);
      }
      i = j;
    }
    return;
  }
  std::unordered_map<uint32_t, int32_t> seen, next;
  for (uint32_t i = 0; i < list.count; ++i) ++seen[list.ID[i]];
  for (uint32_t i = 0; i < list.count; ++i) {
    if (seen[list.ID[i]] > 1) picks_[i] = next[list.ID[i]]++;
  }
}

void AppendCountedPath(uint64_t holder, std::string_view element, std::string* path) {
  path->push_back('@');
  path->append(std::to_string(holder));
  path->push_back('/');
  path->append(element);
}

TablePaths::TablePaths(ByteSource& file, const KeyNames& names, const EntryList& list)
    : file_(file), names_(names), list_(list), namer_(names, list), counted_(true) {
  countedNumber_ = 1;
}

TablePaths::TablePaths(TablePaths& parent, uint32_t i, const EntryList& list)
    : file_(parent.file_),
      names_(parent.names_),
      list_(list),
      parent_(&parent),
      entry_(i),
      namer_(parent.names_, list) {
  std::string element;
  parent.namer_.AppendElement(parent.list_, i, &element);
  if (PrintedInFull(parent.tooLong_ ? kLongestFullPath : parent.full_.size(), element.size())) {
    full_ = parent.full_ + "/" + element;
  } else {
    tooLong_ = true;
  }
}

Status TablePaths::Count() {
  if (counted_) return Status::Ok();
  Status s = parent_->Number(entry_, &number_);
  if (!s.ok()) return s;
  counted_ = true;
  countedNumber_ = number_ + 1;
  return Status::Ok();
}

Status TablePaths::Number(uint32_t i, uint64_t* number) {
  Status s = Count();
  if (!s.ok()) return s;
  if (i < countedTo_) {  // asked out of order: counted again from the start
    countedTo_ = 0;
    countedNumber_ = number_ + 1;
  }
  for (; countedTo_ < i; ++countedTo_) {
    uint64_t inside = 0;
    if (list_.Is(countedTo_, EntryType::Reference)) {
      s = CountEntries(file_, list_.ExtentStart(countedTo_), list_.ExtentEnd(countedTo_), &inside);
      if (!s.ok()) return s;
    }
    countedNumber_ += 1 + inside;
  }
  *number = countedNumber_;
  return Status::Ok();
}

Status TablePaths::AppendPath(std::string_view element, std::string* path) {
  if (parent_ == nullptr ||
      PrintedInFull(tooLong_ ? kLongestFullPath : full_.size(), element.size())) {
    path->append(full_);
    path->push_back('/');
    path->append(element);
    return Status::Ok();
  }
  Status s = Count();
  if (!s.ok()) return s;
  AppendCountedPath(number_, element, path);
  return Status::Ok();
}

Status TablePaths::AppendEntryPath(uint32_t i, std::string* path) {
  std::string element;
  namer_.AppendElement(list_, i, &element);
  return AppendPath(element, path);
}

Status TablePaths::AppendNewEntryPath(uint32_t key, std::string* path) {
  std::string element;
  AppendPathElement(names_, key, -1, &element);
  return AppendPath(element, path);
}

Status TablePaths::AppendTablePath(std::string* path) {
  if (parent_ == nullptr) {
    path->push_back('/');
    return Status::Ok();
  }
  return parent_->AppendEntryPath(entry_, path);
}

std::string CanonicalTablePath(ByteSource& file, int64_t length, const std::vector<uint32_t>& trail,
                               const KeyNames& names) {
  if (trail.empty()) return "/";
  std::deque<EntryList> lists;
  std::deque<TablePaths> tables;
  int64_t table = ROOT_TABLE_OFFSET, end = length;
  for (std::size_t k = 0; k < trail.size(); ++k) {
    lists.emplace_back();
    EntryList& list = lists.back();
    if (!ReadTable(file, table, end, &list).ok() || trail[k] >= list.count) return "?";
    if (k == 0) {
      tables.emplace_back(file, names, list);
    } else {
      tables.emplace_back(tables.back(), trail[k - 1], list);
    }
    table = list.ExtentStart(trail[k]);
    end = list.ExtentEnd(trail[k]);
  }
  std::string path;
  return tables.back().AppendEntryPath(trail.back(), &path).ok() ? path : "?";
}

Status EntryPaths(ByteSource& file, int64_t length,
                  const std::vector<std::vector<uint32_t>>& trails, const KeyNames& names,
                  std::vector<std::string>* paths) {
  paths->assign(trails.size(), "/");
  std::vector<std::size_t> order(trails.size());
  for (std::size_t n = 0; n < order.size(); ++n) order[n] = n;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return trails[a] < trails[b]; });
  // The tables held: the root, then the one that each entry of `held` leads to.
  std::deque<EntryList> lists;
  std::deque<TablePaths> tables;
  std::vector<uint32_t> held;
  for (const std::size_t n : order) {
    const std::vector<uint32_t>& trail = trails[n];
    if (trail.empty()) continue;
    std::size_t keep = 0;
    while (keep < held.size() && keep + 1 < trail.size() && held[keep] == trail[keep]) ++keep;
    for (; held.size() > keep; held.pop_back()) tables.pop_back(), lists.pop_back();
    if (lists.empty()) {
      lists.emplace_back();
      Status s = ReadTable(file, ROOT_TABLE_OFFSET, length, &lists.back());
      if (!s.ok()) return s;
      tables.emplace_back(file, names, lists.back());
    }
    for (;;) {
      const EntryList& list = lists.back();
      const uint32_t i = trail[held.size()];
      if (i >= list.count ||
          (held.size() + 1 < trail.size() && !list.Is(i, EntryType::Reference))) {
        return Status::Damaged("no entry lies where the trail leads");
      }
      if (held.size() + 1 == trail.size()) break;
      EntryList nested;
      Status s = ReadTable(file, list.ExtentStart(i), list.ExtentEnd(i), &nested);
      if (!s.ok()) return s;
      lists.push_back(std::move(nested));
      tables.emplace_back(tables.back(), i, lists.back());
      held.push_back(i);
    }
    (*paths)[n].clear();
    Status s = tables.back().AppendEntryPath(trail.back(), &(*paths)[n]);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

// A way kept whole is always short enough to tell whether it is printed in full.
static_assert(2 * (kDamageSteps + 1) > kLongestFullPath);

std::string DamagedTablePath(const KeyNames& names, const TableDamage& damage) {
  if (damage.depth == 0) return "/";
  if (damage.keys.size() == damage.depth) {
    std::string path;
    for (std::size_t k = 0; k < damage.keys.size(); ++k) {
      path.push_back('/');
      AppendPathElement(names, damage.keys[k], damage.picks[k], &path);
    }
    if (damage.depth == 1 || path.size() <= kLongestFullPath) return path;
  }
  std::string element, path;
  AppendPathElement(names, damage.keys.back(), damage.picks.back(), &element);
  AppendCountedPath(damage.holder, element, &path);
  return path;
}

}  // namespace atb
