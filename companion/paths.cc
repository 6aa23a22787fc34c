#include "companion/paths.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <unordered_map>

#include "store/table.h"

namespace atb {

namespace {

constexpr std::size_t kNameLimit = 64 << 10;

bool ParseUnsigned(std::string_view s, int base, uint32_t* v) {
  if (s.empty()) return false;
  auto r = std::from_chars(s.data(), s.data() + s.size(), *v, base);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

std::string DescribeEntry(const KeyNames& names, const EntryList& list, uint32_t i) {
  std::string out(1, '#');
  out += std::to_string(i);
  out += " (key ";
  out += std::to_string(list.ID[i]);
  std::string_view name = names.NameOf(list.ID[i]);
  if (!name.empty()) out += ", " + std::string(name);
  return out + ")";
}

}  // namespace

bool ParsePath(std::string_view path, std::vector<PathElement>* elements, std::string* error) {
  elements->clear();
  if (!path.empty() && path[0] == '/') path.remove_prefix(1);
  if (path.empty()) return true;
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
        *error = "\"" + e.text + "\": [k] needs a number";
        return false;
      }
      e.pick = k;
      text = text.substr(0, open);
    }
    if (text.empty()) {
      *error = "an empty element in the path";
      return false;
    }
    if (text[0] == '#') {
      e.kind = PathElement::kEntryNumber;
      if (!ParseUnsigned(text.substr(1), 10, &e.number)) {
        *error = "\"" + e.text + "\": # needs an entry number";
        return false;
      }
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
               ParseUnsigned(text.substr(2), 16, &e.number)) {
      e.kind = PathElement::kKey;
    } else if (ParseUnsigned(text, 10, &e.number)) {
      e.kind = PathElement::kKey;
    } else if (LooksNumeric(text)) {
      *error = "\"" + e.text + "\" is too large for a key";
      return false;
    } else {
      e.kind = PathElement::kWord;
      e.word = std::string(text);
    }
    elements->push_back(std::move(e));
    if (slash == std::string_view::npos) return true;
    path.remove_prefix(slash + 1);
  }
}

std::optional<std::string> ReferenceName(ByteSource& file, const EntryList& nested) {
  for (uint32_t i = 0; i < nested.count; ++i) {
    if (nested.ID[i] != REF_NAME_KEY) continue;
    const int64_t size = std::min<int64_t>(nested.ExtentEnd(i) - nested.ExtentStart(i), kNameLimit);
    std::string name(static_cast<std::size_t>(size), '\0');
    if (!file.ReadAt(nested.Off[i], name.data(), name.size()).ok()) return std::nullopt;
    name.resize(std::min(name.size(), name.find('\0')));
    return name;
  }
  return std::nullopt;
}

bool ResolvePath(ByteSource& file, int64_t length, const std::vector<PathElement>& elements,
                 const KeyNames& names, std::vector<PathStep>* chain, std::string* error,
                 bool* ioError) {
  *ioError = false;
  chain->clear();
  int64_t table = ROOT_TABLE_OFFSET, end = length;
  std::string where = "/";
  for (std::size_t e = 0;; ++e) {
    PathStep step{table, end, {}, 0};
    Status s = ReadTable(file, table, end, &step.list);
    if (!s.ok()) {
      *ioError = s.ioError();
      *error = s.ioError() ? s.Message() : "the table " + where + " is damaged: " + s.Message();
      return false;
    }
    chain->push_back(std::move(step));
    if (e == elements.size()) return true;
    PathStep& here = chain->back();
    const EntryList& list = here.list;
    const PathElement& element = elements[e];
    std::vector<uint32_t> matches;
    if (element.kind == PathElement::kEntryNumber) {
      if (element.number < list.count) matches.push_back(element.number);
    } else {
      const uint32_t key =
          element.kind == PathElement::kKey ? element.number : names.KeyOfWord(element.word);
      for (uint32_t i = 0; i < list.count; ++i) {
        if (list.ID[i] == key) matches.push_back(i);
      }
      if (matches.empty() && element.kind == PathElement::kWord) {
        for (uint32_t i = 0; i < list.count; ++i) {
          if (!list.Is(i, EntryType::Reference)) continue;
          EntryList nested;
          Status n = ReadTable(file, list.ExtentStart(i), list.ExtentEnd(i), &nested);
          if (n.ioError()) {
            *ioError = true;
            *error = n.Message();
            return false;
          }
          if (n.ok() && ReferenceName(file, nested) == element.word) matches.push_back(i);
        }
      }
    }
    if (element.pick) {
      if (*element.pick >= matches.size()) {
        *error = "\"" + element.text + "\" in " + where + ": only " +
                 std::to_string(matches.size()) + " entries match";
        return false;
      }
      matches = {matches[*element.pick]};
    }
    if (matches.empty()) {
      *error = "nothing matches \"" + element.text + "\" in " + where;
      return false;
    }
    if (matches.size() > 1) {
      *error = "\"" + element.text + "\" matches " + std::to_string(matches.size()) +
               " entries in " + where + ":";
      for (uint32_t m : matches) *error += " " + DescribeEntry(names, list, m);
      *error += "; pick one with [k]";
      return false;
    }
    here.entry = matches[0];
    if (e + 1 == elements.size()) return true;
    if (!list.Is(here.entry, EntryType::Reference)) {
      *error = "\"" + element.text + "\" in " + where + " is not a reference";
      return false;
    }
    table = list.ExtentStart(here.entry);
    end = list.ExtentEnd(here.entry);
    where = (where == "/" ? "" : where) + "/" + element.text;
  }
}

ElementNamer::ElementNamer(const KeyNames& names, const EntryList& list)
    : names_(&names), picks_(list.count, -1) {
  const bool sorted = std::is_sorted(list.ID.begin(), list.ID.begin() + list.count);
  if (sorted) {
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
  std::unordered_map<uint32_t, int32_t> seen;
  for (uint32_t i = 0; i < list.count; ++i) ++seen[list.ID[i]];
  std::unordered_map<uint32_t, int32_t> next;
  for (uint32_t i = 0; i < list.count; ++i) {
    if (seen[list.ID[i]] > 1) picks_[i] = next[list.ID[i]]++;
  }
}

void ElementNamer::AppendElement(const EntryList& list, uint32_t i, std::string* path) const {
  std::string_view name = names_->PathNameOf(list.ID[i]);
  if (name.empty()) {
    char buf[16];
    auto r = std::to_chars(buf, buf + sizeof buf, list.ID[i]);
    path->append(buf, r.ptr);
  } else {
    path->append(name);
  }
  if (picks_[i] >= 0) {
    path->push_back('[');
    path->append(std::to_string(picks_[i]));
    path->push_back(']');
  }
}

std::string CanonicalTablePath(ByteSource& file, int64_t length, const std::vector<uint32_t>& trail,
                               const KeyNames& names) {
  if (trail.empty()) return "/";
  std::string path;
  int64_t table = ROOT_TABLE_OFFSET, end = length;
  EntryList list;
  for (uint32_t i : trail) {
    if (!ReadTable(file, table, end, &list).ok() || i >= list.count) return path + "/?";
    path.push_back('/');
    ElementNamer(names, list).AppendElement(list, i, &path);
    table = list.ExtentStart(i);
    end = list.ExtentEnd(i);
  }
  return path;
}

}  // namespace atb
