#include "patches/mods.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "patches/diff.h"
#include "store/table.h"
#include "text/dump.h"
#include "text/paths.h"

namespace atb {

namespace {

// The tables of BASE that the mods reach, read once, for the paths and values of what they touch.
class BaseTables {
 public:
  struct Held {
    EntryList list;
    int64_t start = 0;
    std::optional<ElementNamer> namer;
    std::string path;  // in full; empty for the root
  };

  BaseTables(ByteSource& base, int64_t length, const KeyNames& names)
      : base_(base), length_(length), names_(names) {}

  Status Table(const std::vector<uint32_t>& way, const Held** out) {
    auto found = held_.find(way);
    if (found != held_.end()) {
      *out = found->second.get();
      return Status::Ok();
    }
    auto h = std::make_unique<Held>();
    int64_t start = ROOT_TABLE_OFFSET, end = length_;
    if (!way.empty()) {
      const Held* parent;
      Status s = Table({way.begin(), way.end() - 1}, &parent);
      if (!s.ok()) return s;
      start = parent->list.ExtentStart(way.back());
      end = parent->list.ExtentEnd(way.back());
      h->path = parent->path + "/";
      parent->namer->AppendElement(parent->list, way.back(), &h->path);
    }
    Status s = ReadTable(base_, start, end, &h->list);
    if (!s.ok()) return s;
    h->start = start;
    h->namer.emplace(names_, h->list);
    *out = h.get();
    held_[way] = std::move(h);
    return Status::Ok();
  }

  // The path of the table, or (with `entry`) of its entry, as dump prints it.
  Status Path(const std::vector<uint32_t>& way, std::optional<uint32_t> entry, std::string* path) {
    const Held* t;
    Status s = Table(way, &t);
    if (!s.ok()) return s;
    *path = t->path;
    if (entry) {
      *path += "/";
      t->namer->AppendElement(t->list, *entry, path);
    }
    if (path->empty()) path->push_back('/');
    const std::size_t depth = way.size() + (entry ? 1 : 0);
    if (depth > 1 && path->size() > kLongestFullPath) {
      std::vector<uint32_t> trail = way;
      if (entry) trail.push_back(*entry);
      *path = CanonicalTablePath(base_, length_, trail, names_);
    }
    return Status::Ok();
  }

  ByteSource& base() { return base_; }

 private:
  ByteSource& base_;
  int64_t length_;
  const KeyNames& names_;
  std::map<std::vector<uint32_t>, std::unique_ptr<Held>> held_;
};

// One mod's change that touches an item: its own (direct), or one that takes out or replaces
// whole a table holding it.
struct Touch {
  std::size_t mod, change;
  bool direct;
};

// An entry, a new one, a lead or the header, as the mods touch it.
struct Item {
  enum What { kEntry, kNew, kLead, kHeader };
  What what = kEntry;
  std::vector<uint32_t> way;  // of its table
  uint32_t index = 0;         // kEntry: in its table
  uint32_t key = 0;           // kNew
  std::vector<int64_t> order;
  std::vector<Touch> touches;
};

// Where an item lies in the order of BASE: entries at odd places, the room in front of entry g
// at 2g, a table's lead in front of its first entry, the header first.
std::vector<int64_t> OrderOf(const std::vector<uint32_t>& way) {
  std::vector<int64_t> order;
  for (uint32_t i : way) order.push_back(2 * static_cast<int64_t>(i) + 1);
  return order;
}

class Installer {
 public:
  Installer(PositionedFile& base, int64_t baseLength, const std::vector<Mod>& mods,
            const KeyNames& names)
      : base_(base),
        baseLength_(baseLength),
        mods_(mods),
        names_(names),
        tables_(base, baseLength, names) {}

  Status Run(bool all, Scratch& scratch, ModsOutcome* outcome);

 private:
  Status Locate(std::vector<std::string>* refused);
  void Gather();
  void AddAncestors();
  Status Describe(const Item& item, ModEntry* entry);
  Status TouchValue(const Touch& t, std::string* value, std::string* effect);
  void Judge(const Item& item, const std::vector<std::string>& effects, ModEntry* entry) const;
  bool Took(const Touch& t) const { return fates_[t.mod][t.change].kind != LooseFate::kGone; }
  const PatchChange& ChangeOf(const Touch& t) const { return mods_[t.mod].patch.changes[t.change]; }

  PositionedFile& base_;
  int64_t baseLength_;
  const std::vector<Mod>& mods_;
  const KeyNames& names_;
  BaseTables tables_;
  std::vector<std::vector<ChangePlace>> places_;
  std::vector<std::vector<LooseFate>> fates_;
  std::map<std::vector<int64_t>, Item> items_;
};

Status Installer::Locate(std::vector<std::string>* refused) {
  std::set<std::string> seen;
  for (const Mod& mod : mods_) {
    if (!seen.insert(mod.name).second) refused->push_back(mod.name + ": given twice");
  }
  if (!refused->empty()) return Status::Ok();
  places_.resize(mods_.size());
  for (std::size_t m = 0; m < mods_.size(); ++m) {
    Patch named = mods_[m].patch;
    named.name = mods_[m].name;
    PatchOutcome outcome;
    Status s = LocatePatch(base_, baseLength_, named, names_, &places_[m], &outcome);
    if (!s.ok()) return s;
    refused->insert(refused->end(), outcome.failures.begin(), outcome.failures.end());
  }
  return Status::Ok();
}

void Installer::Gather() {
  for (std::size_t m = 0; m < mods_.size(); ++m) {
    const std::vector<PatchChange>& changes = mods_[m].patch.changes;
    for (std::size_t k = 0; k < changes.size(); ++k) {
      const PatchChange& c = changes[k];
      const ChangePlace& p = places_[m][k];
      Item item;
      item.way = p.way;
      std::vector<int64_t> id;
      item.order = OrderOf(p.way);
      switch (c.kind) {
        case PatchChange::kSet:
        case PatchChange::kRemove:
          id = {2};
          item.index = p.index;
          item.order.push_back(2 * static_cast<int64_t>(p.index) + 1);
          break;
        case PatchChange::kAdd: {
          item.what = Item::kNew;
          item.key = c.key;
          // A key new to its table that the mod adds once is one attribute for every mod.
          const std::size_t made = static_cast<std::size_t>(
              std::count_if(changes.begin(), changes.end(), [&](const PatchChange& o) {
                return o.kind == PatchChange::kAdd && o.key == c.key &&
                       places_[m][static_cast<std::size_t>(&o - changes.data())].way == p.way;
              }));
          const BaseTables::Held* t;
          const bool fresh =
              tables_.Table(p.way, &t).ok() &&
              std::count(t->list.ID.begin(), t->list.ID.begin() + t->list.count, c.key) == 0;
          id = fresh && made == 1
                   ? std::vector<int64_t>{3, c.key}
                   : std::vector<int64_t>{4, static_cast<int64_t>(m), static_cast<int64_t>(k)};
          item.order.insert(item.order.end(), {2 * static_cast<int64_t>(p.index),
                                               static_cast<int64_t>(m), static_cast<int64_t>(k)});
          break;
        }
        case PatchChange::kLead:
          item.what = Item::kLead;
          id = {1};
          item.order.push_back(-1);
          break;
        case PatchChange::kHeader:
          item.what = Item::kHeader;
          id = {0};
          item.order = {-2};
          break;
      }
      id.insert(id.end(), p.way.begin(), p.way.end());
      if (item.what == Item::kEntry) id.push_back(p.index);
      auto [at, fresh] = items_.emplace(id, std::move(item));
      (void)fresh;
      at->second.touches.push_back({m, k, true});
    }
  }
}

void Installer::AddAncestors() {
  // The changes that take out or replace an entry whole, by its place in BASE.
  std::map<std::vector<uint32_t>, std::vector<Touch>> wholes;
  for (std::size_t m = 0; m < mods_.size(); ++m) {
    const std::vector<PatchChange>& changes = mods_[m].patch.changes;
    for (std::size_t k = 0; k < changes.size(); ++k) {
      if (changes[k].kind != PatchChange::kSet && changes[k].kind != PatchChange::kRemove) continue;
      std::vector<uint32_t> trail = places_[m][k].way;
      trail.push_back(places_[m][k].index);
      wholes[trail].push_back({m, k, false});
    }
  }
  if (wholes.empty()) return;
  for (auto& [id, item] : items_) {
    if (item.what == Item::kHeader) continue;
    for (std::size_t d = 1; d <= item.way.size(); ++d) {
      auto found =
          wholes.find({item.way.begin(), item.way.begin() + static_cast<std::ptrdiff_t>(d)});
      if (found == wholes.end()) continue;
      for (const Touch& t : found->second) item.touches.push_back(t);
    }
    std::stable_sort(item.touches.begin(), item.touches.end(),
                     [](const Touch& a, const Touch& b) { return a.mod < b.mod; });
  }
}

Status Installer::TouchValue(const Touch& t, std::string* value, std::string* effect) {
  const PatchChange& c = ChangeOf(t);
  if (!t.direct) {
    const ChangePlace& p = places_[t.mod][t.change];
    std::string holder;
    Status s = tables_.Path(p.way, p.index, &holder);
    if (!s.ok()) return s;
    const bool removed = c.kind == PatchChange::kRemove;
    *value = (removed ? "removed with " : "replaced with ") + holder;
    *effect = removed ? "removed" : *value;
    return Status::Ok();
  }
  switch (c.kind) {
    case PatchChange::kRemove:
      *value = "removed";
      break;
    case PatchChange::kLead:
    case PatchChange::kHeader:
      *value = PatchValueText(c.value, false);
      break;
    default:
      *value = PatchValueText(c.value, true);
      break;
  }
  *effect = *value;
  return Status::Ok();
}

void Installer::Judge(const Item& item, const std::vector<std::string>& effects,
                      ModEntry* entry) const {
  const std::vector<Touch>& touches = item.touches;
  for (const Touch& t : touches) {
    if (Took(t)) entry->winner = mods_[t.mod].name;
  }
  if (touches.size() == 1) {
    entry->kind = ModEntry::kSingle;
    return;
  }
  const bool allTook =
      std::all_of(touches.begin(), touches.end(), [this](const Touch& t) { return Took(t); });
  if (allTook && std::all_of(effects.begin(), effects.end(),
                             [&](const std::string& e) { return e == effects.front(); })) {
    entry->kind = ModEntry::kAgree;
    return;
  }
  // An earlier mod's change of the entry, and a later one that takes out or replaces whole its
  // table: the earlier edit is lost without a word.
  for (std::size_t a = 0; a < touches.size(); ++a) {
    for (std::size_t b = a + 1; b < touches.size(); ++b) {
      if (touches[a].direct && !touches[b].direct && Took(touches[b]) && effects[a] != effects[b]) {
        entry->kind = ModEntry::kLost;
        return;
      }
    }
  }
  entry->kind = allTook ? ModEntry::kOverride : ModEntry::kHidden;
}

Status Installer::Describe(const Item& item, ModEntry* entry) {
  Status s;
  const BaseTables::Held* t = nullptr;
  if (item.what != Item::kHeader && !(s = tables_.Table(item.way, &t)).ok()) return s;
  Sink sink(nullptr);
  switch (item.what) {
    case Item::kEntry:
      s = tables_.Path(item.way, item.index, &entry->path);
      if (s.ok()) {
        s = AppendExpectedValue(tables_.base(), t->list.Type[item.index],
                                t->list.ExtentStart(item.index), t->list.ExtentEnd(item.index),
                                sink);
      }
      break;
    case Item::kNew:
      entry->inBase = false;
      s = tables_.Path(item.way, std::nullopt, &entry->path);
      if (entry->path != "/") entry->path += "/";
      AppendPathElement(names_, item.key, -1, &entry->path);
      break;
    case Item::kLead:
      s = tables_.Path(item.way, std::nullopt, &entry->path);
      entry->path = "lead " + entry->path;
      if (s.ok()) {
        s = AppendBytesValue(tables_.base(), DataStart(t->start, t->list.count), t->list.Off[0],
                             true, sink);
      }
      break;
    case Item::kHeader:
      entry->path = "header";
      s = AppendBytesValue(tables_.base(), 0, ROOT_TABLE_OFFSET, true, sink);
      break;
  }
  if (!s.ok()) return s;
  entry->base = sink.buf();
  std::vector<std::string> effects;
  for (const Touch& touch : item.touches) {
    ModEntry::Touch shown{mods_[touch.mod].name, {}};
    effects.emplace_back();
    if (!(s = TouchValue(touch, &shown.value, &effects.back())).ok()) return s;
    entry->mods.push_back(std::move(shown));
  }
  Judge(item, effects, entry);
  return Status::Ok();
}

Status Installer::Run(bool all, Scratch& scratch, ModsOutcome* outcome) {
  *outcome = ModsOutcome();
  Status s = Locate(&outcome->refused);
  if (!s.ok() || !outcome->refused.empty()) return s;
  ChangeTarget* target;
  if (!(s = scratch.CopyOf(base_, baseLength_, &target)).ok()) return s;
  fates_.resize(mods_.size());
  for (std::size_t m = 0; m < mods_.size(); ++m) {
    Patch named = mods_[m].patch;
    named.name = mods_[m].name;
    s = LooseApply(base_, baseLength_, named, places_[m], true, names_, *target, &fates_[m]);
    if (!s.ok()) return s.In(mods_[m].name);
  }
  outcome->result = target;
  if (!(s = target->file.Length(&outcome->resultLength)).ok()) return s;
  Gather();
  AddAncestors();
  std::vector<const Item*> shown;
  for (const auto& [id, item] : items_) {
    if (all || item.touches.size() > 1) shown.push_back(&item);
  }
  std::stable_sort(shown.begin(), shown.end(),
                   [](const Item* a, const Item* b) { return a->order < b->order; });
  for (const Item* item : shown) {
    outcome->entries.emplace_back();
    if (!(s = Describe(*item, &outcome->entries.back())).ok()) return s;
  }
  return Status::Ok();
}

}  // namespace

std::string_view ModKindWord(ModEntry::Kind kind) {
  switch (kind) {
    case ModEntry::kAgree:
      return "agree";
    case ModEntry::kOverride:
      return "override";
    case ModEntry::kLost:
      return "lost";
    case ModEntry::kHidden:
      return "hidden";
    case ModEntry::kSingle:
      break;
  }
  return "single";
}

Status ModOfFile(ByteSource& base, int64_t baseLength, ByteSource& file, int64_t fileLength,
                 const KeyNames& names, Patch* patch) {
  Sink sink(nullptr);
  int64_t changes;
  Status s = WritePatch(base, baseLength, file, fileLength, names, sink, &changes);
  if (!s.ok()) return s;
  return ParsePatch(sink.buf(), names, patch);
}

Status InstallMods(PositionedFile& base, int64_t baseLength, const std::vector<Mod>& mods,
                   const KeyNames& names, bool all, Scratch& scratch, ModsOutcome* outcome) {
  return Installer(base, baseLength, mods, names).Run(all, scratch, outcome);
}

}  // namespace atb
