#include "companion/paths.h"

#include <algorithm>
#include <charconv>
#include <cstring>
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

// Walks the path from the root, checking each table on the way and calling step(table, end)
// for it; *chosen is set to each table's chosen entry in turn, the path's entry last.
template <typename Step>
Status Resolve(ByteSource& base, int64_t length, const std::vector<PathElement>& elements,
               const KeyNames& names, Step step, CursorEntry* chosen) {
  int64_t table = ROOT_TABLE_OFFSET, end = length;
  std::string where = "/";
  // A read that fails on the way, whatever its kind, stops the lookup as the disk's fault.
  auto failed = [](const Status& s) {
    return s.ioError() ? s : Status::IoError(s.err(), s.Message());
  };
  // Nested tables lie close to the entries that hold them: small reads go through one window.
  WindowedSource file(base, kLookupWindow);
  BlockBudget budget(kLookupBudget);
  EntryCursor cursor;
  for (std::size_t e = 0;; ++e) {
    Status s = cursor.Open(file, table, end, budget);
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
      if (element.number < cursor.count()) {
        CursorEntry entry;
        s = ReadEntryAt(file, table, end, cursor.count(), element.number, &entry);
        if (!s.ok()) return failed(s);
        match(entry);
      }
    } else {
      const uint32_t key =
          element.kind == PathElement::kKey ? element.number : names.KeyOfWord(element.word);
      CursorEntry entry;
      while (s.ok() && !cursor.done()) {
        s = cursor.Next(base, &entry);
        if (s.ok() && entry.ID == key) match(entry);
      }
      if (!s.ok()) return failed(s);
      if (matched == 0 && element.kind == PathElement::kWord) {
        s = cursor.Open(file, table, end, budget);
        while (s.ok() && !cursor.done()) {
          s = cursor.Next(base, &entry);
          if (!s.ok() || !entry.Is(EntryType::Reference)) continue;
          TableShape nested;
          Status n = CheckTable(file, entry.start, entry.end, &nested);
          if (n.ioError()) return failed(n);
          if (n.damaged()) continue;
          bool named;
          std::string name;
          n = ReadReferenceName(file, entry.start, entry.end, &named, &name);
          if (!n.ok()) return failed(n);
          if (named && name == element.word) match(entry);
        }
        if (!s.ok()) return failed(s);
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

Status ParsePath(std::string_view path, std::vector<PathElement>* elements) {
  elements->clear();
  if (!path.empty() && path[0] == '/') path.remove_prefix(1);
  if (path.empty()) return Status::Ok();
  for (;;) {
    std::size_t slash = path.find('/');
    std::string_view text = path.substr(0, slash);
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
    elements->push_back(std::move(e));
    if (slash == std::string_view::npos) return Status::Ok();
    path.remove_prefix(slash + 1);
  }
}

Status ResolvePath(ByteSource& file, int64_t length, const std::vector<PathElement>& elements,
                   const KeyNames& names, std::vector<PathStep>* chain) {
  chain->clear();
  CursorEntry chosen;
  auto step = [&](int64_t table, int64_t end) {
    if (!chain->empty()) chain->back().entry = chosen.index;
    chain->push_back({table, end, {}, 0});
  };
  Status s = Resolve(file, length, elements, names, step, &chosen);
  if (!s.ok()) return s;
  if (!elements.empty()) chain->back().entry = chosen.index;
  // The changes that use the chain work on whole tables.
  for (PathStep& s : *chain) {
    Status read = ReadTable(file, s.table, s.end, &s.list);
    if (read.ioError()) return read;
    if (!read.ok()) return Status::Damaged("the file changed while it was read");
  }
  return Status::Ok();
}

Status FindEntry(ByteSource& file, int64_t length, const std::vector<PathElement>& elements,
                 const KeyNames& names, FoundEntry* found) {
  auto step = [&](int64_t table, int64_t end) {
    found->table = table;
    found->tableEnd = end;
  };
  return Resolve(file, length, elements, names, step, &found->entry);
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

std::string CanonicalTablePath(ByteSource& file, int64_t length, const std::vector<uint32_t>& trail,
                               const KeyNames& names) {
  if (trail.empty()) return "/";
  std::string path;
  int64_t table = ROOT_TABLE_OFFSET, end = length;
  BlockBudget budget(kLookupBudget);
  EntryCursor cursor;
  for (uint32_t i : trail) {
    CursorEntry chosen, entry;
    if (!cursor.Open(file, table, end, budget).ok() || i >= cursor.count() ||
        !ReadEntryAt(file, table, end, cursor.count(), i, &chosen).ok()) {
      return path + "/?";
    }
    uint32_t before = 0, total = 0;
    while (!cursor.done()) {
      if (!cursor.Next(file, &entry).ok()) return path + "/?";
      if (entry.ID != chosen.ID) continue;
      ++total;
      if (entry.index < i) ++before;
    }
    path.push_back('/');
    AppendPathElement(names, chosen.ID, total > 1 ? static_cast<int32_t>(before) : -1, &path);
    table = chosen.start;
    end = chosen.end;
  }
  return path;
}

std::string DamagedTablePath(const KeyNames& names, const TableDamage& damage) {
  if (damage.keys.empty()) return "/";
  std::string path;
  for (std::size_t k = 0; k < damage.keys.size(); ++k) {
    path.push_back('/');
    AppendPathElement(names, damage.keys[k], damage.picks[k], &path);
  }
  return path;
}

}  // namespace atb
