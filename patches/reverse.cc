#include "patches/reverse.h"

#include <algorithm>
#include <map>
#include <optional>

#include "store/hash.h"
#include "store/layout.h"
#include "store/table.h"

namespace atb {

namespace {

// An entry of the file before the patch, as its paths name it: its key, and its place among the
// entries of its table with that key (0 where the path picks none: it was the only one).
struct Ref {
  uint32_t key = 0;
  uint32_t pick = 0;
  bool operator<(const Ref& o) const { return key != o.key ? key < o.key : pick < o.pick; }
  bool operator==(const Ref& o) const { return key == o.key && pick == o.pick; }
};

// A table that the patch adds to or takes from, matched with the one the patch made: which of
// its entries each entry before the patch became, and where each added and removed one lies.
struct TableMap {
  EntryList list;                        // the entries of the table in the file the patch made
  std::vector<uint32_t> picks;           // each one's place among those with its key
  std::map<uint32_t, uint32_t> withKey;  // how many have each key
  std::map<Ref, uint32_t> kept;
  std::map<const PatchChange*, uint32_t> added;
  // A removed entry goes back in front of the entry of this number; `order` keeps several in one
  // place in the order they stood.
  struct Gap {
    uint32_t before;
    int order;
  };
  std::map<const PatchChange*, Gap> removed;
};

class Reverser {
 public:
  Reverser(ByteSource& file, int64_t length, const Patch& patch, const KeyNames& names,
           std::vector<std::string>* why)
      : file_(file), length_(length), patch_(patch), names_(names), why_(why) {}

  Status Run(Patch* reversed);

 private:
  // What a path is translated into: the elements and text of the same entry or table in the
  // file the patch made.
  struct Translated {
    std::vector<PathElement> elements;
    std::string text = "/";
  };

  void Refuse(const PatchChange& c, const std::string& what) {
    why_->push_back(patch_.name + ": line " + std::to_string(c.line) + ": " + what);
  }
  bool Undoable(const PatchChange& c);
  Ref RefOf(const PathElement& e) const { return {KeyOfElement(e, names_), e.pick.value_or(0)}; }
  // A table before the patch, told by the entries on the way to it.
  std::string TableId(const std::vector<PathElement>& elements, std::size_t n) const;
  // The first n elements of a path of the file before the patch, as the file after it has them.
  // False, with the reason given, where they lead to no entry of it.
  bool Translate(const PatchChange& c, const std::vector<PathElement>& elements, std::size_t n,
                 Translated* out);
  // Entry i of a table of the file after the patch, whose own path is `table`.
  Translated EntryOf(const Translated& table, const TableMap& m, uint32_t i) const;
  Status MapTables(bool* fits);
  Status MapTable(const std::string& id, const std::vector<const PatchChange*>& changes,
                  bool* fits);
  bool Walk(TableMap& m, const std::vector<const PatchChange*>& changes);
  std::optional<Ref> AfterOf(const PatchChange& c) const {
    if (c.after.empty()) return std::nullopt;
    return RefOf(c.afterElements.back());
  }
  bool Reverse(const PatchChange& c, Patch* reversed,
               std::vector<std::pair<int, PatchChange>>* adds);

  ByteSource& file_;
  int64_t length_;
  const Patch& patch_;
  const KeyNames& names_;
  std::vector<std::string>* why_;
  std::map<std::string, TableMap> maps_;
};

bool Reverser::Undoable(const PatchChange& c) {
  for (const auto* elements : {&c.elements, &c.afterElements, &c.beforeElements}) {
    for (const PathElement& e : *elements) {
      if (e.kind == PathElement::kCounted || e.kind == PathElement::kEntryNumber) {
        Refuse(c, e.text +
                      ": a path that counts entries of the file before the patch cannot be "
                      "found again after it");
        return false;
      }
    }
  }
  const bool old =
      c.kind == PatchChange::kSet || c.kind == PatchChange::kRemove || c.kind == PatchChange::kLead;
  if (old && c.expected.hashed) {
    Refuse(c, c.path +
                  ": its old value is given only by its size and hash, which cannot be "
                  "written back (diff --reversible gives it whole)");
    return false;
  }
  if (c.kind == PatchChange::kRemove && !c.placed) {
    Refuse(c, c.path +
                  ": the removal does not say between which entries it stood (diff "
                  "--reversible says so)");
    return false;
  }
  return true;
}

std::string Reverser::TableId(const std::vector<PathElement>& elements, std::size_t n) const {
  std::string id;
  for (std::size_t k = 0; k < n; ++k) {
    const Ref r = RefOf(elements[k]);
    id += std::to_string(r.key) + "[" + std::to_string(r.pick) + "]/";
  }
  return id;
}

Reverser::Translated Reverser::EntryOf(const Translated& table, const TableMap& m,
                                       uint32_t i) const {
  const uint32_t key = m.list.ID[i];
  const bool several = m.withKey.at(key) > 1;
  PathElement e{PathElement::kKey, key, {}, std::nullopt, {}};
  if (several) e.pick = m.picks[i];
  AppendPathElement(names_, key, several ? static_cast<int32_t>(m.picks[i]) : -1, &e.text);
  Translated out = table;
  out.text += (out.text == "/" ? "" : "/") + e.text;
  out.elements.push_back(std::move(e));
  return out;
}

bool Reverser::Translate(const PatchChange& c, const std::vector<PathElement>& elements,
                         std::size_t n, Translated* out) {
  *out = Translated();
  for (std::size_t d = 0; d < n; ++d) {
    const Ref r = RefOf(elements[d]);
    auto map = maps_.find(TableId(elements, d));
    if (map == maps_.end()) {
      // A table that gained and lost nothing holds the same entries with each key.
      PathElement e{PathElement::kKey, r.key, {}, elements[d].pick, {}};
      AppendPathElement(names_, r.key, e.pick ? static_cast<int32_t>(*e.pick) : -1, &e.text);
      out->text += (out->text == "/" ? "" : "/") + e.text;
      out->elements.push_back(std::move(e));
      continue;
    }
    auto kept = map->second.kept.find(r);
    if (kept == map->second.kept.end()) {
      Refuse(c, elements[d].text + ": not in the file as the patch leaves it");
      return false;
    }
    *out = EntryOf(*out, map->second, kept->second);
  }
  return true;
}

// Lays the entries before the patch over those after it, in order: in each place, first the
// entries added there (they must be there, in the patch's order), then an entry removed there,
// else the next entry of the file, which was there before.
bool Reverser::Walk(TableMap& m, const std::vector<const PatchChange*>& changes) {
  // The adds and removes of the table by the entry they follow, in the patch's order.
  std::map<std::optional<Ref>, std::vector<const PatchChange*>> adds, removes;
  for (const PatchChange* c : changes) {
    (c->kind == PatchChange::kAdd ? adds : removes)[AfterOf(*c)].push_back(c);
  }
  std::map<uint32_t, uint32_t> seen;  // entries before the patch met, by key
  std::optional<Ref> last;            // the last of them; none at the start
  std::size_t placed = 0;
  uint32_t at = 0;
  int order = 0;
  for (;;) {
    if (auto here = adds.find(last); here != adds.end()) {
      for (const PatchChange* c : here->second) {
        if (at >= m.list.count || m.list.ID[at] != c->key) {
          Refuse(*c, c->path + ": the entry it adds is not where it goes");
          return false;
        }
        m.added[c] = at++;
        ++placed;
      }
      adds.erase(here);
    }
    if (auto here = removes.find(last); here != removes.end()) {
      const PatchChange& c = *here->second.front();
      const Ref self = RefOf(c.elements.back());
      if (here->second.size() > 1 || self.pick != seen[self.key]) {
        Refuse(c, c.path + ": the entries with its key do not fit the file");
        return false;
      }
      removes.erase(here);
      ++seen[self.key];
      m.removed[&c] = {at, order++};
      ++placed;
      last = self;
      continue;
    }
    if (at == m.list.count) break;
    const Ref r{m.list.ID[at], seen[m.list.ID[at]]++};
    m.kept[r] = at++;
    last = r;
  }
  if (placed < changes.size()) {
    const PatchChange& c =
        !adds.empty() ? *adds.begin()->second.front() : *removes.begin()->second.front();
    Refuse(c, c.path + ": its place is not in the file");
    return false;
  }
  return true;
}

Status Reverser::MapTable(const std::string& id, const std::vector<const PatchChange*>& changes,
                          bool* fits) {
  const PatchChange& first = *changes.front();
  const std::vector<PathElement>& way = first.elements;
  const std::size_t depth = first.kind == PatchChange::kAdd ? way.size() : way.size() - 1;
  Translated table;
  if (!Translate(first, way, depth, &table)) {
    *fits = false;
    return Status::Ok();
  }
  TableMap& m = maps_[id];
  int64_t start = ROOT_TABLE_OFFSET, end = length_;
  if (!table.elements.empty()) {
    FoundEntry found;
    Status s = FindEntry(file_, length_, table.elements, names_, &found);
    if (s.ioError()) return s;
    if (!s.ok() || !found.entry.Is(EntryType::Reference)) {
      Refuse(first, table.text + ": no table there in the file as the patch leaves it");
      *fits = false;
      return Status::Ok();
    }
    start = found.entry.start;
    end = found.entry.end;
  }
  Status s = ReadTable(file_, start, end, &m.list);
  if (s.ioError()) return s;
  if (!s.ok()) {
    Refuse(first, table.text + ": " + s.Message());
    *fits = false;
    return Status::Ok();
  }
  for (uint32_t i = 0; i < m.list.count; ++i) m.picks.push_back(m.withKey[m.list.ID[i]]++);
  *fits = Walk(m, changes);
  return Status::Ok();
}

Status Reverser::MapTables(bool* fits) {
  // The tables that entries are added to or removed from, the outer ones first: an inner one is
  // found by the places its outer ones give.
  std::map<std::string, std::vector<const PatchChange*>> tables;
  std::vector<std::pair<std::size_t, std::string>> order;
  for (const PatchChange& c : patch_.changes) {
    if (c.kind != PatchChange::kAdd && c.kind != PatchChange::kRemove) continue;
    const std::size_t depth =
        c.kind == PatchChange::kAdd ? c.elements.size() : c.elements.size() - 1;
    const std::string id = TableId(c.elements, depth);
    if (tables[id].empty()) order.emplace_back(depth, id);
    tables[id].push_back(&c);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  *fits = true;
  for (const auto& [depth, id] : order) {
    Status s = MapTable(id, tables[id], fits);
    if (!s.ok() || !*fits) return s;
  }
  return Status::Ok();
}

bool Reverser::Reverse(const PatchChange& c, Patch* reversed,
                       std::vector<std::pair<int, PatchChange>>* adds) {
  PatchChange r;
  r.line = c.line;
  r.expected = c.value;
  r.value = c.expected;
  // What stood there goes back as it was, damaged or not.
  r.value.unmarkedDamage.clear();
  Translated at;
  switch (c.kind) {
    case PatchChange::kHeader:
      r.kind = PatchChange::kHeader;
      r.path = c.path;
      break;
    case PatchChange::kSet:
    case PatchChange::kLead:
      if (!Translate(c, c.elements, c.elements.size(), &at)) return false;
      r.kind = c.kind;
      r.path = at.text;
      r.elements = std::move(at.elements);
      break;
    case PatchChange::kAdd: {
      if (!Translate(c, c.elements, c.elements.size(), &at)) return false;
      const TableMap& m = maps_.at(TableId(c.elements, c.elements.size()));
      const uint32_t i = m.added.at(&c);
      Translated entry = EntryOf(at, m, i);
      r.kind = PatchChange::kRemove;
      r.path = entry.text;
      r.elements = std::move(entry.elements);
      r.placed = true;
      if (i > 0) {
        Translated after = EntryOf(at, m, i - 1);
        r.after = after.text;
        r.afterElements = std::move(after.elements);
      }
      if (i + 1 < m.list.count) {
        Translated before = EntryOf(at, m, i + 1);
        r.before = before.text;
        r.beforeElements = std::move(before.elements);
      }
      const int64_t alike = m.withKey.at(c.key);
      r.alike = alike > 1 ? alike : -1;
      break;
    }
    case PatchChange::kRemove: {
      const std::size_t depth = c.elements.size() - 1;
      if (!Translate(c, c.elements, depth, &at)) return false;
      const TableMap& m = maps_.at(TableId(c.elements, depth));
      const TableMap::Gap gap = m.removed.at(&c);
      r.kind = PatchChange::kAdd;
      r.key = RefOf(c.elements.back()).key;
      r.elements = at.elements;
      std::string key;
      AppendPathElement(names_, r.key, -1, &key);
      r.path = at.text + (at.text == "/" ? "" : "/") + key;
      if (gap.before > 0) {
        Translated after = EntryOf(at, m, gap.before - 1);
        r.after = after.text;
        r.afterElements = std::move(after.elements);
      }
      if (gap.before < m.list.count) {
        Translated before = EntryOf(at, m, gap.before);
        r.before = before.text;
        r.beforeElements = std::move(before.elements);
      }
      const auto alike = m.withKey.find(r.key);
      r.alike = alike != m.withKey.end() ? static_cast<int64_t>(alike->second) : -1;
      adds->emplace_back(gap.order, std::move(r));
      return true;
    }
  }
  reversed->changes.push_back(std::move(r));
  return true;
}

Status Reverser::Run(Patch* reversed) {
  reversed->name = patch_.name;
  reversed->changes.clear();
  const std::size_t refused = why_->size();
  for (const PatchChange& c : patch_.changes) Undoable(c);
  if (why_->size() > refused) return Status::Refused("the patch cannot be undone");
  bool fits;
  Status s = MapTables(&fits);
  if (!s.ok()) return s;
  if (!fits) return Status::Refused("the patch cannot be undone");
  // Entries removed in one place go back in the order they stood.
  std::vector<std::pair<int, PatchChange>> adds;
  for (const PatchChange& c : patch_.changes) {
    if (!Reverse(c, reversed, &adds)) return Status::Refused("the patch cannot be undone");
  }
  std::stable_sort(adds.begin(), adds.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [order, c] : adds) reversed->changes.push_back(std::move(c));
  return Status::Ok();
}

}  // namespace

Status ReversePatch(ByteSource& file, int64_t length, const Patch& patch, const KeyNames& names,
                    Patch* reversed, std::vector<std::string>* why) {
  return Reverser(file, length, patch, names, why).Run(reversed);
}

Status ReverseFolderPatch(const FolderPatch& patch, const std::vector<ChangedFile>& changed,
                          const KeyNames& names, FolderPatch* reversed,
                          std::vector<std::string>* why) {
  reversed->name = patch.name;
  reversed->files.clear();
  std::size_t next = 0;
  Status worst;
  for (const FilePatch& f : patch.files) {
    FilePatch r;
    r.line = f.line;
    r.relative = f.relative;
    if (f.kind == FilePatch::kRemove) {
      why->push_back(patch.name + ": line " + std::to_string(f.line) + ": " + f.relative +
                     ": a removed file is given only by its size and hash, from which it cannot "
                     "be made again");
      worst = Status::Refused("the patch cannot be undone");
      continue;
    }
    if (f.kind == FilePatch::kAdd) {
      r.kind = FilePatch::kRemove;
      r.size = static_cast<int64_t>(f.bytes.size());
      r.hash = Fnv1a64(f.bytes);
    } else {
      const ChangedFile& file = changed.at(next++);
      Status s = ReversePatch(*file.file, file.length, f.patch, names, &r.patch, why);
      if (s.ioError()) return s.In(f.relative);
      if (!s.ok()) worst = s;
    }
    reversed->files.push_back(std::move(r));
  }
  return worst;
}

}  // namespace atb
