#include "patches/loose_apply.h"

#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "patches/diff.h"
#include "store/coding.h"
#include "store/hash.h"
#include "store/layout.h"
#include "store/table.h"
#include "text/dump.h"

namespace atb {

namespace {

constexpr std::size_t kChunk = 1 << 16;

// A table of the file a patch was made for and the one it matches in the other file, their
// entries matched by key as diff matches them.
struct Matched {
  EntryList made, now;
  int64_t madeStart = 0, nowStart = 0;
  std::vector<int64_t> nowOf, madeOf;  // the matching entry's index, -1 for none
  std::vector<uint32_t> nowWay;        // the other file's entry numbers down to the table
};

class TreeMatch {
 public:
  TreeMatch(ByteSource& made, int64_t madeLength, ByteSource& now, int64_t nowLength)
      : made_(made), now_(now), madeLength_(madeLength), nowLength_(nowLength) {}

  // The match of the table reached through `way` in the file the patch was made for; null with
  // *gone saying why where the other file has none.
  Status Table(const std::vector<uint32_t>& way, const Matched** out, std::string* gone) {
    auto found = tables_.find(way);
    if (found != tables_.end()) {
      *out = found->second.get();
      if (*out == nullptr) *gone = gones_[way];
      return Status::Ok();
    }
    Status s = Make(way, out, gone);
    if (!s.ok()) return s;
    if (*out == nullptr) gones_[way] = *gone;
    return Status::Ok();
  }

 private:
  Status Make(const std::vector<uint32_t>& way, const Matched** out, std::string* gone) {
    auto m = std::make_unique<Matched>();
    int64_t madeStart = ROOT_TABLE_OFFSET, madeEnd = madeLength_;
    int64_t nowStart = ROOT_TABLE_OFFSET, nowEnd = nowLength_;
    *out = nullptr;
    if (!way.empty()) {
      const std::vector<uint32_t> up(way.begin(), way.end() - 1);
      const Matched* parent;
      Status s = Table(up, &parent, gone);
      if (!s.ok() || parent == nullptr) return s;
      const uint32_t i = way.back();
      const int64_t j = parent->nowOf[i];
      if (j < 0) {
        *gone = "its table is gone";
      } else if (!parent->now.Is(static_cast<uint32_t>(j), EntryType::Reference)) {
        *gone = "its table is no longer a table";
      }
      if (!gone->empty()) {
        tables_[way] = nullptr;
        return Status::Ok();
      }
      const auto nj = static_cast<uint32_t>(j);
      madeStart = parent->made.ExtentStart(i);
      madeEnd = parent->made.ExtentEnd(i);
      nowStart = parent->now.ExtentStart(nj);
      nowEnd = parent->now.ExtentEnd(nj);
      m->nowWay = parent->nowWay;
      m->nowWay.push_back(nj);
    }
    Status s = ReadTable(made_, madeStart, madeEnd, &m->made);
    if (s.ok()) s = ReadTable(now_, nowStart, nowEnd, &m->now);
    if (s.damaged()) {
      *gone = way.empty() ? "the root table is damaged" : "its table is damaged";
      tables_[way] = nullptr;
      return Status::Ok();
    }
    if (!s.ok()) return s;
    m->madeStart = madeStart;
    m->nowStart = nowStart;
    std::vector<std::pair<uint32_t, uint32_t>> pairs;
    if (!(s = MatchEntries(made_, m->made, now_, m->now, &pairs)).ok()) return s;
    m->nowOf.assign(m->made.count, -1);
    m->madeOf.assign(m->now.count, -1);
    for (const auto& [a, b] : pairs) m->nowOf[a] = b, m->madeOf[b] = a;
    *out = m.get();
    tables_[way] = std::move(m);
    return Status::Ok();
  }

  ByteSource& made_;
  ByteSource& now_;
  int64_t madeLength_, nowLength_;
  std::map<std::vector<uint32_t>, std::unique_ptr<Matched>> tables_;
  std::map<std::vector<uint32_t>, std::string> gones_;
};

PathElement NumberElement(uint32_t i) {
  PathElement e{PathElement::kEntryNumber, i, {}, {}, {}};
  e.text.push_back('#');
  e.text += std::to_string(i);
  return e;
}

std::vector<PathElement> NumberPath(const std::vector<uint32_t>& way) {
  std::vector<PathElement> elements;
  for (uint32_t i : way) elements.push_back(NumberElement(i));
  return elements;
}

std::string NumberText(const std::vector<PathElement>& elements) {
  std::string text;
  for (const PathElement& e : elements) text += "/" + e.text;
  return text.empty() ? "/" : text;
}

// The value that the bytes [start, end) of `file` hold, as an expectation.
Status HashedValue(ByteSource& file, uint32_t type, int64_t start, int64_t end, PatchValue* v) {
  v->type = type;
  v->hashed = true;
  v->size = end - start;
  v->hash = kFnv1aStart;
  std::string buf;
  for (int64_t at = start; at < end;) {
    const auto n = static_cast<std::size_t>(std::min<int64_t>(end - at, kChunk));
    buf.resize(n);
    Status s = file.ReadAt(at, buf.data(), n);
    if (!s.ok()) return s;
    v->hash = Fnv1a64(buf, v->hash);
    at += static_cast<int64_t>(n);
  }
  return Status::Ok();
}

// Restates the changes of one patch against the other file, one change at a time.
class Restater {
 public:
  Restater(ByteSource& made, int64_t madeLength, ByteSource& now, int64_t nowLength,
           const Patch& patch, const std::vector<ChangePlace>& places, bool clashes)
      : now_(now),
        match_(made, madeLength, now, nowLength),
        patch_(patch),
        places_(places),
        clashes_(clashes) {}

  Status Run(Patch* restated, std::vector<LooseFate>* fates, const PatchChange** header);

 private:
  Status Entry(const PatchChange& c, const ChangePlace& p, LooseFate* fate, Patch* out);
  Status Add(const PatchChange& c, const ChangePlace& p, LooseFate* fate, Patch* out);
  // An add of a key new to its table, made once: one attribute with a key added there since.
  Status Attribute(const PatchChange& c, const Matched& m, bool* met, LooseFate* fate, Patch* out);
  Status Lead(const PatchChange& c, const ChangePlace& p, LooseFate* fate, Patch* out);
  Status Header(const PatchChange& c, LooseFate* fate);
  // Sorts a value that should hold `c.expected`: applies, already there (holds c.value), clashes.
  Status Judge(const PatchChange& c, uint32_t type, int64_t start, int64_t end, LooseFate* fate);
  // The table a change of place `p` goes in, as it is now; null, its change gone, when it is
  // gone.
  Status TableOrGone(const ChangePlace& p, const Matched** m, LooseFate* fate) {
    Status s = match_.Table(p.way, m, &fate->found);
    if (s.ok() && *m == nullptr) fate->kind = LooseFate::kGone;
    return s;
  }
  Status Describe(uint32_t type, int64_t start, int64_t end, std::string* text) {
    Sink sink(nullptr);
    Status s = AppendExpectedValue(now_, type, start, end, sink);
    *text = sink.buf();
    return s;
  }

  ByteSource& now_;
  TreeMatch match_;
  const Patch& patch_;
  const std::vector<ChangePlace>& places_;
  const bool clashes_;
  // Entries of the other file that an alike add of this patch stands for already.
  std::set<std::pair<const Matched*, uint32_t>> taken_;
  // Where the patch's last add between two neighbours went, so that the next one goes behind it.
  std::map<std::pair<const Matched*, uint32_t>, uint32_t> cursor_;
};

Status Restater::Judge(const PatchChange& c, uint32_t type, int64_t start, int64_t end,
                       LooseFate* fate) {
  bool holds;
  Status s = HoldsValue(now_, type, start, end, c.value, &holds);
  if (!s.ok() || holds) {
    fate->kind = LooseFate::kAlready;
    return s;
  }
  if (!(s = HoldsValue(now_, type, start, end, c.expected, &holds)).ok() || holds) {
    fate->kind = LooseFate::kApplied;
    return s;
  }
  fate->kind = LooseFate::kClash;
  return Describe(type, start, end, &fate->found);
}

Status Restater::Entry(const PatchChange& c, const ChangePlace& p, LooseFate* fate, Patch* out) {
  const Matched* m;
  Status s = match_.Table(p.way, &m, &fate->found);
  const bool removing = c.kind == PatchChange::kRemove;
  if (!s.ok()) return s;
  const int64_t j = m == nullptr ? -1 : m->nowOf[p.index];
  if (j < 0) {
    fate->kind = removing ? LooseFate::kAlready : LooseFate::kGone;
    if (m != nullptr) fate->found = "the entry is gone";
    if (removing) fate->found.clear();
    return Status::Ok();
  }
  const auto nj = static_cast<uint32_t>(j);
  const uint32_t type = m->now.Type[nj];
  const int64_t start = m->now.ExtentStart(nj), end = m->now.ExtentEnd(nj);
  if (removing) {
    bool holds;
    if (!(s = HoldsValue(now_, type, start, end, c.expected, &holds)).ok()) return s;
    fate->kind = holds ? LooseFate::kApplied : LooseFate::kClash;
    if (!holds && !(s = Describe(type, start, end, &fate->found)).ok()) return s;
  } else if (!(s = Judge(c, type, start, end, fate)).ok()) {
    return s;
  }
  if (fate->kind == LooseFate::kAlready || (fate->kind == LooseFate::kClash && !clashes_)) {
    return Status::Ok();
  }
  PatchChange r = c;
  std::vector<uint32_t> way = m->nowWay;
  way.push_back(nj);
  r.elements = NumberPath(way);
  r.alike = -1;
  r.value.unmarkedDamage.clear();  // the damage was let through where the patch was made
  if (fate->kind == LooseFate::kClash &&
      !(s = HashedValue(now_, type, start, end, &r.expected)).ok()) {
    return s;
  }
  out->changes.push_back(std::move(r));
  return Status::Ok();
}

Status Restater::Attribute(const PatchChange& c, const Matched& m, bool* met, LooseFate* fate,
                           Patch* out) {
  *met = false;
  if (std::count(m.made.ID.begin(), m.made.ID.begin() + m.made.count, c.key) != 0) {
    return Status::Ok();
  }
  const std::vector<uint32_t>& table =
      places_[static_cast<std::size_t>(&c - patch_.changes.data())].way;
  int made = 0;
  for (std::size_t k = 0; k < patch_.changes.size(); ++k) {
    const PatchChange& o = patch_.changes[k];
    made += o.kind == PatchChange::kAdd && o.key == c.key && places_[k].way == table;
  }
  std::vector<uint32_t> held;
  for (uint32_t j = 0; j < m.now.count; ++j) {
    if (m.now.ID[j] == c.key) held.push_back(j);
  }
  if (made != 1 || held.size() != 1) return Status::Ok();
  *met = true;
  const uint32_t j = held[0];
  const uint32_t type = m.now.Type[j];
  const int64_t start = m.now.ExtentStart(j), end = m.now.ExtentEnd(j);
  bool holds;
  Status s = HoldsValue(now_, type, start, end, c.value, &holds);
  if (!s.ok() || holds) {
    fate->kind = LooseFate::kAlready;
    return s;
  }
  fate->kind = LooseFate::kClash;
  if (!(s = Describe(type, start, end, &fate->found)).ok() || !clashes_) return s;
  // The later value stands instead of the one added since.
  PatchChange r;
  r.kind = PatchChange::kSet;
  r.line = c.line;
  r.path = c.path;
  std::vector<uint32_t> way = m.nowWay;
  way.push_back(j);
  r.elements = NumberPath(way);
  r.value = c.value;
  r.value.unmarkedDamage.clear();
  if (!(s = HashedValue(now_, type, start, end, &r.expected)).ok()) return s;
  out->changes.push_back(std::move(r));
  return Status::Ok();
}

Status Restater::Add(const PatchChange& c, const ChangePlace& p, LooseFate* fate, Patch* out) {
  const Matched* m;
  Status s = TableOrGone(p, &m, fate);
  if (!s.ok() || m == nullptr) return s;
  bool met;
  if (!(s = Attribute(c, *m, &met, fate, out)).ok() || met) return s;
  // Between the last entry in front of the place that is still there and the first behind it.
  uint32_t lo = 0, hi = m->now.count;
  for (uint32_t i = p.index; i-- > 0;) {
    if (m->nowOf[i] >= 0) {
      lo = static_cast<uint32_t>(m->nowOf[i]) + 1;
      break;
    }
  }
  for (uint32_t i = p.index; i < m->made.count; ++i) {
    if (m->nowOf[i] >= 0) {
      hi = static_cast<uint32_t>(m->nowOf[i]);
      break;
    }
  }
  for (uint32_t j = lo; j < hi; ++j) {
    if (m->madeOf[j] >= 0 || m->now.ID[j] != c.key || taken_.count({m, j}) != 0) continue;
    bool holds;
    s = HoldsValue(now_, m->now.Type[j], m->now.ExtentStart(j), m->now.ExtentEnd(j), c.value,
                   &holds);
    if (!s.ok()) return s;
    if (holds) {
      taken_.insert({m, j});
      fate->kind = LooseFate::kAlready;
      return Status::Ok();
    }
  }
  auto cursor = cursor_.find({m, p.index});
  uint32_t at = cursor == cursor_.end() ? lo : std::max(lo, cursor->second);
  while (at < hi && m->now.ID[at] <= c.key) ++at;
  cursor_[{m, p.index}] = at;
  PatchChange r = c;
  r.elements = NumberPath(m->nowWay);
  r.alike = -1;
  r.value.unmarkedDamage.clear();
  auto neighbour = [&](uint32_t i, std::string* text, std::vector<PathElement>* elements) {
    std::vector<uint32_t> way = m->nowWay;
    way.push_back(i);
    *elements = NumberPath(way);
    *text = NumberText(*elements);
  };
  r.after.clear();
  r.before.clear();
  r.afterElements.clear();
  r.beforeElements.clear();
  if (at > 0) neighbour(at - 1, &r.after, &r.afterElements);
  if (at < m->now.count) neighbour(at, &r.before, &r.beforeElements);
  fate->kind = LooseFate::kApplied;
  out->changes.push_back(std::move(r));
  return Status::Ok();
}

Status Restater::Lead(const PatchChange& c, const ChangePlace& p, LooseFate* fate, Patch* out) {
  const Matched* m;
  Status s = TableOrGone(p, &m, fate);
  if (!s.ok() || m == nullptr) return s;
  const int64_t start = DataStart(m->nowStart, m->now.count), end = m->now.Off[0];
  std::string lead(static_cast<std::size_t>(end - start), '\0');
  if (!(s = now_.ReadAt(start, lead.data(), lead.size())).ok()) return s;
  auto holds = [&lead](const PatchValue& v) {
    return v.hashed ? static_cast<int64_t>(lead.size()) == v.size && Fnv1a64(lead) == v.hash
                    : lead == v.bytes;
  };
  if (holds(c.value)) {
    fate->kind = LooseFate::kAlready;
    return Status::Ok();
  }
  fate->kind = holds(c.expected) ? LooseFate::kApplied : LooseFate::kClash;
  PatchChange r = c;
  if (fate->kind == LooseFate::kClash) {
    PatchValue found;
    found.bytes = lead;
    fate->found = PatchValueText(found, false);
    if (!clashes_) return Status::Ok();
    r.expected = found;
  }
  r.elements = NumberPath(m->nowWay);
  out->changes.push_back(std::move(r));
  return Status::Ok();
}

// A header without its two sizes, which follow each file's length.
std::string Unsized(std::string header) {
  header.resize(static_cast<std::size_t>(ROOT_TABLE_OFFSET));
  EncodeFixed32(reinterpret_cast<uint8_t*>(header.data()) + OUTER_SIZE_OFFSET, 0);
  EncodeFixed32(reinterpret_cast<uint8_t*>(header.data()) + ROOT_SIZE_OFFSET, 0);
  return header;
}

Status Restater::Header(const PatchChange& c, LooseFate* fate) {
  std::string header(static_cast<std::size_t>(ROOT_TABLE_OFFSET), '\0');
  Status s = now_.ReadAt(0, header.data(), header.size());
  if (!s.ok()) return s;
  const std::string now = Unsized(header);
  if (now == Unsized(c.value.bytes)) {
    fate->kind = LooseFate::kAlready;
  } else if (now == Unsized(c.expected.bytes)) {
    fate->kind = LooseFate::kApplied;
  } else {
    fate->kind = LooseFate::kClash;
    PatchValue found;
    found.bytes = header;
    fate->found = PatchValueText(found, false);
  }
  return Status::Ok();
}

Status Restater::Run(Patch* restated, std::vector<LooseFate>* fates, const PatchChange** header) {
  restated->name = patch_.name;
  fates->assign(patch_.changes.size(), {});
  *header = nullptr;
  for (std::size_t k = 0; k < patch_.changes.size(); ++k) {
    const PatchChange& c = patch_.changes[k];
    LooseFate& fate = (*fates)[k];
    Status s;
    switch (c.kind) {
      case PatchChange::kSet:
      case PatchChange::kRemove:
        s = Entry(c, places_[k], &fate, restated);
        break;
      case PatchChange::kAdd:
        s = Add(c, places_[k], &fate, restated);
        break;
      case PatchChange::kLead:
        s = Lead(c, places_[k], &fate, restated);
        break;
      case PatchChange::kHeader:
        s = Header(c, &fate);
        if (fate.kind == LooseFate::kApplied || (fate.kind == LooseFate::kClash && clashes_)) {
          *header = &c;
        }
        break;
    }
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

}  // namespace

Status HoldsValue(ByteSource& file, uint32_t type, int64_t start, int64_t end,
                  const PatchValue& value, bool* holds) {
  *holds = false;
  if (type != value.type) return Status::Ok();
  if (value.hashed) {
    if (end - start != value.size) return Status::Ok();
    PatchValue v;
    Status s = HashedValue(file, type, start, end, &v);
    *holds = s.ok() && v.hash == value.hash;
    return s;
  }
  if (end - start != static_cast<int64_t>(value.bytes.size())) return Status::Ok();
  std::string buf;
  for (int64_t at = start; at < end;) {
    const auto n = static_cast<std::size_t>(std::min<int64_t>(end - at, kChunk));
    buf.resize(n);
    Status s = file.ReadAt(at, buf.data(), n);
    if (!s.ok()) return s;
    if (value.bytes.compare(static_cast<std::size_t>(at - start), n, buf) != 0) return Status::Ok();
    at += static_cast<int64_t>(n);
  }
  *holds = true;
  return Status::Ok();
}

Status LooseApply(ByteSource& made, int64_t madeLength, const Patch& patch,
                  const std::vector<ChangePlace>& places, bool clashes, const KeyNames& names,
                  ChangeTarget& target, std::vector<LooseFate>* fates) {
  int64_t length;
  Status s = target.file.Length(&length);
  if (!s.ok()) return s;
  Patch restated;
  const PatchChange* header;
  {
    ComparingReader made2(made), now(target.file);
    Restater restater(made2, madeLength, now, length, patch, places, clashes);
    if (!(s = restater.Run(&restated, fates, &header)).ok()) return s;
  }
  if (!restated.changes.empty()) {
    PatchOutcome outcome;
    s = ApplyPatches(target.file, length, {restated}, names, &target, &outcome);
    if (!s.ok()) return s;
    if (!outcome.failures.empty()) {
      // Every change was stated against what the file holds: a failure here is a fault of ours.
      return Status::Refused("the changes cannot be made again: " + outcome.failures.front());
    }
  }
  if (header != nullptr) {
    Change change;
    change.SetHeader(header->value.bytes);
    if (!(s = change.Apply(target)).ok()) return s;
  }
  return Status::Ok();
}

}  // namespace atb
