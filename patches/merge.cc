#include "patches/merge.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

#include "patches/diff.h"
#include "patches/patch.h"
#include "store/coding.h"
#include "store/table.h"
#include "text/dump.h"
#include "text/paths.h"
#include "text/set_value.h"
#include "text/value_text.h"

namespace atb {

namespace {

// Where one table lies in each of the three files.
struct Three {
  int64_t base, baseEnd, ours, oursEnd, theirs, theirsEnd;
};

// One table being merged: its entries in each file, and how they match.
struct Level {
  const EntryList &b, &o, &t;
  const TableChain& chain;  // to the table in OURS
  TablePaths& paths;        // names its entries as BASE does
  std::vector<int64_t> oursOf, theirsOf, baseOfOurs, baseOfTheirs;
  // THEIRS's entries that OURS removed and THEIRS's side of a conflict brings back, placed as
  // new ones.
  std::vector<bool> revived;

  TableChain To(int64_t oi) const {
    TableChain c = chain;
    c.back().entry = static_cast<uint32_t>(oi);
    return c;
  }
};

// What the merge does to one table of OURS, by OURS's entry numbers: where an entry lies once
// merged follows from it.
struct TableEdits {
  std::vector<uint32_t> removed;
  std::vector<std::pair<uint32_t, uint32_t>> added;  // in front of which entry, and the key
  std::vector<uint32_t> keys;  // OURS's, kept where an entry OURS lacks is to be added back
};

// Where a conflict lies in OURS before the merge.
struct Trail {
  std::vector<int64_t> tables;  // the table of each step, by where it starts in OURS
  int64_t table = 0;            // the table that holds the entry
};

using PathOf = std::function<Status(std::string*)>;

class Merger {
 public:
  Merger(ByteSource& base, int64_t baseLength, ByteSource& ours, int64_t oursLength,
         ByteSource& theirs, int64_t theirsLength, const KeyNames& names, MergeSide side,
         Change* change, std::vector<MergeConflict>* conflicts, std::vector<std::string>* damaged)
      : base_(base),
        ours_(ours),
        theirs_(theirs),
        baseLength_(baseLength),
        oursLength_(oursLength),
        theirsLength_(theirsLength),
        names_(names),
        side_(side),
        change_(change),
        conflicts_(conflicts),
        damaged_(damaged) {}

  Status Run();

 private:
  Status Header();
  // Merges a table that is sound in all three files; `chain` leads to it in OURS. It is the root,
  // or the table of entry `entry` of the table that `parent` names in BASE.
  Status Table(const Three& at, const TableChain& chain, TablePaths* parent, uint32_t entry,
               int depth);
  Status Match(Level& l);
  Status Lead(const Three& at, const Level& l);
  // Merges BASE's entry bi.
  Status Entry(Level& l, uint32_t bi, int depth);
  Status EntryConflict(Level& l, uint32_t bi, int64_t oi, int64_t ti);
  // Places THEIRS's new entries among OURS's.
  Status Added(Level& l);
  // A key added on both sides with different values.
  Status Rival(Level& l, uint32_t ti, uint32_t oi);
  // What takes THEIRS's side of a conflict at OURS's entry oi (-1: OURS lacks it) and THEIRS's
  // ti (-1: THEIRS removed it).
  Status Advise(const Level& l, int64_t oi, int64_t ti, MergeConflict* c);
  // Whether `set` of `text` in OURS's entry oj gives the bytes `theirs`.
  Status SetGives(const EntryList& o, uint32_t oj, const std::string& text,
                  const std::string& theirs, bool* exact);
  // Gives OURS's entry oj THEIRS's entry tj: its type and whole extent.
  Status Take(const Level& l, uint32_t oj, uint32_t tj, const PathOf& path);
  void Remove(const Level& l, uint32_t oi) {
    change_->Remove(l.To(oi));
    edits_[l.chain.back().table].removed.push_back(oi);
  }
  void InsertAt(const Level& l, uint32_t before, uint32_t key, uint32_t type, std::string bytes) {
    change_->InsertAt(l.chain, before, key, type, std::move(bytes));
    edits_[l.chain.back().table].added.push_back({before, key});
  }
  // Keeps a conflict at entry oi of the table `chain` leads to (-1: OURS lacks the entry).
  void Record(const TableChain& chain, int64_t oi, MergeConflict c);
  // Gives every conflict the entry numbers it has in OURS once merged.
  void Locate();
  uint32_t Merged(int64_t table, uint32_t oi) const;
  // Where add puts an entry that OURS lacks back into `table` once merged.
  void Place(const TableEdits& table, MergeConflict* c) const;

  Status Same(ByteSource& x, const EntryList& xl, uint32_t xi, ByteSource& y, const EntryList& yl,
              uint32_t yi, bool* same) {
    *same = false;
    if (xl.Type[xi] != yl.Type[yi]) return Status::Ok();
    return SameBytes(x, xl.ExtentStart(xi), xl.ExtentEnd(xi), y, yl.ExtentStart(yi),
                     yl.ExtentEnd(yi), same);
  }
  static Status Bytes(ByteSource& f, int64_t start, int64_t end, std::string* bytes) {
    bytes->resize(static_cast<std::size_t>(end - start));
    return f.ReadAt(start, bytes->data(), bytes->size());
  }
  static Status Shown(ByteSource& f, const EntryList& l, uint32_t i, std::string* text) {
    Sink sink(nullptr);
    Status s = AppendExpectedValue(f, l.Type[i], l.ExtentStart(i), l.ExtentEnd(i), sink);
    *text = sink.buf();
    return s;
  }
  static Status Sound(ByteSource& f, const EntryList& l, uint32_t i, bool* sound) {
    EntryList nested;
    Status s = ReadTable(f, l.ExtentStart(i), l.ExtentEnd(i), &nested);
    *sound = s.ok();
    return s.ioError() ? s : Status::Ok();
  }
  // Says where THEIRS's table that the merge carries over is damaged: as a patch would mark it.
  Status NoteDamage(const EntryList& l, uint32_t i, const PathOf& path) {
    if (!l.Is(i, EntryType::Reference)) return Status::Ok();
    std::string damage, where;
    Status s = DamageOfTable(theirs_, l.ExtentStart(i), l.ExtentEnd(i), &damage);
    if (!s.ok() || damage.empty() || !(s = path(&where)).ok()) return s;
    damaged_->push_back(where + ": writes THEIRS's damaged table (" + damage + ")");
    return Status::Ok();
  }
  static MergeConflict Described(const std::string& path, const std::string& base,
                                 const std::string& ours, const std::string& theirs) {
    MergeConflict c;
    c.where = path;
    c.line = path + ": base " + base + ", ours " + ours + ", theirs " + theirs;
    return c;
  }

  ComparingReader base_, ours_, theirs_;
  int64_t baseLength_, oursLength_, theirsLength_;
  const KeyNames& names_;
  MergeSide side_;
  Change* change_;
  std::vector<MergeConflict>* conflicts_;
  std::vector<std::string>* damaged_;
  std::vector<Trail> trails_;            // one for each conflict
  std::map<int64_t, TableEdits> edits_;  // by where the table starts in OURS
  std::vector<uint32_t> theirsTrail_;    // to the table being merged, in THEIRS
};

Status Merger::Run() {
  EntryList probe;
  const std::pair<ByteSource*, int64_t> files[] = {
      {&base_, baseLength_}, {&ours_, oursLength_}, {&theirs_, theirsLength_}};
  const char* const whose[] = {"BASE", "OURS", "THEIRS"};
  for (int k = 0; k < 3; ++k) {
    Status s = ReadTable(*files[k].first, ROOT_TABLE_OFFSET, files[k].second, &probe);
    if (s.damaged()) {
      return Status::Damaged(std::string(whose[k]) + "'s root table is damaged: " + s.Message());
    }
    if (!s.ok()) return s;
  }
  Status s = Header();
  if (!s.ok()) return s;
  s = Table({ROOT_TABLE_OFFSET, baseLength_, ROOT_TABLE_OFFSET, oursLength_, ROOT_TABLE_OFFSET,
             theirsLength_},
            {{ROOT_TABLE_OFFSET, oursLength_, 0}}, nullptr, 0, 0);
  if (s.ok() && side_ == MergeSide::kNone) Locate();
  return s;
}

Status Merger::Header() {
  std::string h[3];
  ByteSource* files[] = {&base_, &ours_, &theirs_};
  for (int k = 0; k < 3; ++k) {
    h[k].resize(ROOT_TABLE_OFFSET);
    Status s = files[k]->ReadAt(0, h[k].data(), h[k].size());
    if (!s.ok()) return s;
  }
  // The sizes follow each file's length; only the other bytes are merged.
  std::string masked[3];
  for (int k = 0; k < 3; ++k) {
    masked[k] = h[k];
    EncodeFixed32(reinterpret_cast<uint8_t*>(masked[k].data()) + OUTER_SIZE_OFFSET, 0);
    EncodeFixed32(reinterpret_cast<uint8_t*>(masked[k].data()) + ROOT_SIZE_OFFSET, 0);
  }
  if (masked[2] == masked[0] || masked[1] == masked[2]) return Status::Ok();
  if (masked[1] == masked[0] || side_ == MergeSide::kTheirs) change_->SetHeader(h[2]);
  if (masked[1] == masked[0]) return Status::Ok();
  std::string text[3];
  for (int k = 0; k < 3; ++k) AppendQuotedBytes(&text[k], h[k]);
  MergeConflict c = Described("header", text[0], text[1], text[2]);
  c.take = MergeConflict::kHeader;
  c.value = h[2];
  conflicts_->push_back(std::move(c));
  trails_.emplace_back();
  return Status::Ok();
}

Status Merger::Lead(const Three& at, const Level& l) {
  const EntryList &b = l.b, &o = l.o, &t = l.t;
  const int64_t bl = DataStart(at.base, b.count), ol = DataStart(at.ours, o.count),
                tl = DataStart(at.theirs, t.count);
  bool same;
  Status s = SameBytes(base_, bl, b.Off[0], theirs_, tl, t.Off[0], &same);
  if (!s.ok() || same) return s;
  if (!(s = SameBytes(base_, bl, b.Off[0], ours_, ol, o.Off[0], &same)).ok()) return s;
  const bool conflict = !same;
  if (conflict &&
      (!(s = SameBytes(ours_, ol, o.Off[0], theirs_, tl, t.Off[0], &same)).ok() || same)) {
    return s;  // the same change on both sides stands
  }
  std::string bytes;
  if (!conflict || side_ == MergeSide::kTheirs) {
    if (!(s = Bytes(theirs_, tl, t.Off[0], &bytes)).ok()) return s;
    change_->ReplaceLead(l.chain, std::move(bytes));
    if (!conflict) return s;
  }
  Sink text[4] = {Sink(nullptr), Sink(nullptr), Sink(nullptr), Sink(nullptr)};
  s = AppendBytesValue(base_, bl, b.Off[0], true, text[0]);
  if (s.ok()) s = AppendBytesValue(ours_, ol, o.Off[0], true, text[1]);
  if (s.ok()) s = AppendBytesValue(theirs_, tl, t.Off[0], true, text[2]);
  if (s.ok()) s = AppendBytesValue(theirs_, tl, t.Off[0], false, text[3]);
  if (!s.ok()) return s;
  std::string path = "lead ";
  if (!(s = l.paths.AppendTablePath(&path)).ok()) return s;
  MergeConflict c = Described(path, text[0].buf(), text[1].buf(), text[2].buf());
  c.take = MergeConflict::kLead;
  c.patch = text[1].buf() + " -> " + text[3].buf();
  Record(l.chain, -1, std::move(c));
  return s;
}

Status Merger::Table(const Three& at, const TableChain& chain, TablePaths* parent, uint32_t entry,
                     int depth) {
  EntryList b, o, t;
  Status s = ReadTable(base_, at.base, at.baseEnd, &b);
  if (s.ok()) s = ReadTable(ours_, at.ours, at.oursEnd, &o);
  if (s.ok()) s = ReadTable(theirs_, at.theirs, at.theirsEnd, &t);
  if (!s.ok()) return s;
  std::optional<TablePaths> paths;
  if (parent == nullptr) {
    paths.emplace(base_, names_, b);
  } else {
    paths.emplace(*parent, entry, b);
  }
  Level l{b, o, t, chain, *paths, {}, {}, {}, {}, {}};
  if (!(s = Lead(at, l)).ok() || !(s = Match(l)).ok()) return s;
  for (uint32_t bi = 0; bi < b.count; ++bi) {
    if (!(s = Entry(l, bi, depth)).ok()) return s;
  }
  return Added(l);
}

Status Merger::Match(Level& l) {
  l.oursOf.assign(l.b.count, -1);
  l.theirsOf.assign(l.b.count, -1);
  l.baseOfOurs.assign(l.o.count, -1);
  l.baseOfTheirs.assign(l.t.count, -1);
  l.revived.assign(l.t.count, false);
  std::vector<std::pair<uint32_t, uint32_t>> matches;
  Status s = MatchEntries(base_, l.b, ours_, l.o, &matches);
  if (!s.ok()) return s;
  for (const auto& [i, j] : matches) l.oursOf[i] = j, l.baseOfOurs[j] = i;
  if (!(s = MatchEntries(base_, l.b, theirs_, l.t, &matches)).ok()) return s;
  for (const auto& [i, j] : matches) l.theirsOf[i] = j, l.baseOfTheirs[j] = i;
  return s;
}

Status Merger::Entry(Level& l, uint32_t bi, int depth) {
  const EntryList &b = l.b, &o = l.o, &t = l.t;
  const int64_t ti = l.theirsOf[bi], oi = l.oursOf[bi];
  const auto oj = static_cast<uint32_t>(oi), tj = static_cast<uint32_t>(ti);
  bool theirsSame = false, oursSame = false;
  Status s;
  if (ti >= 0 && !(s = Same(base_, b, bi, theirs_, t, tj, &theirsSame)).ok()) return s;
  if (theirsSame) return s;        // OURS stands
  if (ti < 0 && oi < 0) return s;  // removed on both sides
  if (oi >= 0 && !(s = Same(base_, b, bi, ours_, o, oj, &oursSame)).ok()) return s;
  if (ti < 0 && oursSame) {
    Remove(l, oj);
    return s;
  }
  if (ti >= 0 && oi >= 0 && !oursSame) {
    bool agree = false;
    // The same change on both sides stands.
    if (!(s = Same(ours_, o, oj, theirs_, t, tj, &agree)).ok() || agree) return s;
  }
  // Changed on THEIRS (and maybe on OURS): a table sound in all three is merged inside.
  bool tables = ti >= 0 && oi >= 0 && depth + 1 < kDeepestPatchTable &&
                b.Is(bi, EntryType::Reference) && o.Is(oj, EntryType::Reference) &&
                t.Is(tj, EntryType::Reference);
  for (int k = 0; k < 3 && tables; ++k) {
    s = k == 0   ? Sound(base_, b, bi, &tables)
        : k == 1 ? Sound(ours_, o, oj, &tables)
                 : Sound(theirs_, t, tj, &tables);
    if (!s.ok()) return s;
  }
  if (tables) {
    TableChain nested = l.To(oi);
    nested.push_back({o.ExtentStart(oj), o.ExtentEnd(oj), 0});
    theirsTrail_.push_back(tj);
    s = Table({b.ExtentStart(bi), b.ExtentEnd(bi), o.ExtentStart(oj), o.ExtentEnd(oj),
               t.ExtentStart(tj), t.ExtentEnd(tj)},
              nested, &l.paths, bi, depth + 1);
    theirsTrail_.pop_back();
    return s;
  }
  if (oursSame) {
    return Take(l, oj, tj, [&](std::string* where) { return l.paths.AppendEntryPath(bi, where); });
  }
  return EntryConflict(l, bi, oi, ti);
}

Status Merger::Take(const Level& l, uint32_t oj, uint32_t tj, const PathOf& path) {
  std::string bytes;
  Status s = Bytes(theirs_, l.t.ExtentStart(tj), l.t.ExtentEnd(tj), &bytes);
  if (s.ok()) s = NoteDamage(l.t, tj, path);
  if (!s.ok()) return s;
  if (l.o.Type[oj] != l.t.Type[tj]) change_->SetType(l.To(oj), l.t.Type[tj]);
  change_->Replace(l.To(oj), l.o.ExtentStart(oj), l.o.ExtentEnd(oj) - l.o.ExtentStart(oj),
                   std::move(bytes));
  return s;
}

Status Merger::EntryConflict(Level& l, uint32_t bi, int64_t oi, int64_t ti) {
  const auto oj = static_cast<uint32_t>(oi), tj = static_cast<uint32_t>(ti);
  std::string shown[3] = {"", "removed", "removed"}, where;
  Status s = Shown(base_, l.b, bi, &shown[0]);
  if (s.ok() && oi >= 0) s = Shown(ours_, l.o, oj, &shown[1]);
  if (s.ok() && ti >= 0) s = Shown(theirs_, l.t, tj, &shown[2]);
  if (s.ok()) s = l.paths.AppendEntryPath(bi, &where);
  if (!s.ok()) return s;
  MergeConflict c = Described(where, shown[0], shown[1], shown[2]);
  if (side_ == MergeSide::kNone && !(s = Advise(l, oi, ti, &c)).ok()) return s;
  if (c.take == MergeConflict::kAdd) {
    std::vector<uint32_t>& keys = edits_[l.chain.back().table].keys;
    keys.assign(l.o.ID.begin(), l.o.ID.begin() + l.o.count);
  }
  Record(l.chain, oi, std::move(c));
  if (side_ != MergeSide::kTheirs) return s;
  if (ti < 0) {
    Remove(l, oj);
  } else if (oi < 0) {
    l.revived[tj] = true;
  } else {
    s = Take(l, oj, tj, [&](std::string* at) { return l.paths.AppendEntryPath(bi, at); });
  }
  return s;
}

Status Merger::Added(Level& l) {
  const EntryList &b = l.b, &o = l.o, &t = l.t;
  // For each base entry, the place in OURS just behind the last base entry up to it that OURS
  // still holds; and the place of the first one from it on.
  std::vector<int64_t> behind(b.count + 1, 0), from(b.count + 1, o.count);
  for (uint32_t bi = 0; bi < b.count; ++bi) {
    behind[bi + 1] = l.oursOf[bi] >= 0 ? l.oursOf[bi] + 1 : behind[bi];
  }
  for (uint32_t bi = b.count; bi-- > 0;) {
    from[bi] = l.oursOf[bi] >= 0 ? l.oursOf[bi] : from[bi + 1];
  }
  // A revived entry is placed as a new one.
  const auto baseOf = [&l](uint32_t ti) { return l.revived[ti] ? -1 : l.baseOfTheirs[ti]; };
  std::vector<int64_t> nextMatched(t.count + 1, b.count);
  for (uint32_t ti = t.count; ti-- > 0;) {
    nextMatched[ti] = baseOf(ti) >= 0 ? baseOf(ti) : nextMatched[ti + 1];
  }
  const auto countIn = [](const EntryList& list, uint32_t key) {
    return std::count(list.ID.begin(), list.ID.begin() + list.count, key);
  };
  Status s;
  int64_t previous = -1;  // THEIRS's last entry that base holds, as a base index
  int64_t cursor = -1;    // where THEIRS's last new entry went in OURS, since `previous`
  for (uint32_t ti = 0; ti < t.count; ++ti) {
    if (baseOf(ti) >= 0) {
      previous = baseOf(ti);
      cursor = -1;
      continue;
    }
    const uint32_t key = t.ID[ti];
    // Added alike on both sides: kept once. A key that both sides add differently conflicts
    // unless it is a list (held more than once somewhere).
    bool alike = false;
    int64_t rival = -1;
    for (uint32_t oi = 0; oi < o.count && !alike; ++oi) {
      if (l.baseOfOurs[oi] >= 0 || o.ID[oi] != key) continue;
      if (!(s = Same(ours_, o, oi, theirs_, t, ti, &alike)).ok()) return s;
      rival = oi;
    }
    if (alike) continue;
    if (rival >= 0 && countIn(b, key) <= 1 && countIn(o, key) <= 1 && countIn(t, key) <= 1) {
      if (!(s = Rival(l, ti, static_cast<uint32_t>(rival))).ok()) return s;
      continue;
    }
    const int64_t lo = std::max(cursor, behind[static_cast<std::size_t>(previous + 1)]);
    const int64_t hi = from[static_cast<std::size_t>(nextMatched[ti])];
    int64_t k = lo;
    while (k < hi && o.ID[static_cast<std::size_t>(k)] <= key) ++k;
    cursor = k;
    std::string bytes;
    if (!(s = Bytes(theirs_, t.ExtentStart(ti), t.ExtentEnd(ti), &bytes)).ok()) return s;
    s = NoteDamage(t, ti,
                   [&](std::string* where) { return l.paths.AppendNewEntryPath(key, where); });
    if (!s.ok()) return s;
    InsertAt(l, static_cast<uint32_t>(k), key, t.Type[ti], std::move(bytes));
  }
  return Status::Ok();
}

Status Merger::Rival(Level& l, uint32_t ti, uint32_t oi) {
  const PathOf path = [&](std::string* where) {
    return l.paths.AppendNewEntryPath(l.t.ID[ti], where);
  };
  Status s;
  // A revived entry's conflict is told already.
  if (!l.revived[ti]) {
    std::string ours, theirs, where;
    s = Shown(ours_, l.o, oi, &ours);
    if (s.ok()) s = Shown(theirs_, l.t, ti, &theirs);
    if (s.ok()) s = path(&where);
    if (!s.ok()) return s;
    MergeConflict c = Described(where, "absent", ours, theirs);
    if (side_ == MergeSide::kNone && !(s = Advise(l, oi, ti, &c)).ok()) return s;
    Record(l.chain, oi, std::move(c));
  }
  return side_ == MergeSide::kTheirs ? Take(l, oi, ti, path) : s;
}

Status Merger::Advise(const Level& l, int64_t oi, int64_t ti, MergeConflict* c) {
  c->oursHolds = oi >= 0;
  if (ti < 0) {
    c->take = MergeConflict::kRemove;
    return Status::Ok();
  }
  const EntryList &o = l.o, &t = l.t;
  const auto oj = static_cast<uint32_t>(oi), tj = static_cast<uint32_t>(ti);
  const int64_t start = t.ExtentStart(tj), end = t.ExtentEnd(tj);
  c->key = t.ID[tj];
  c->type = t.Type[tj];
  Status s;
  if (t.Is(tj, EntryType::Reference)) {
    std::string damage;
    if (!(s = DamageOfTable(theirs_, start, end, &damage)).ok()) return s;
    if (!damage.empty()) {
      c->value = "THEIRS's table is damaged (" + damage +
                 "), and insert takes in only a sound table: no atbutil command takes it in";
      return s;
    }
    c->take = MergeConflict::kTable;
    c->theirs = theirsTrail_;
    c->theirs.push_back(tj);
    return s;
  }
  Sink text(nullptr), now(nullptr);
  std::string theirs;
  if (!(s = AppendEntryText(theirs_, t, tj, text)).ok() ||
      !(s = AppendNewValue(theirs_, t.Type[tj], start, end, names_, 0, now)).ok() ||
      !(s = Bytes(theirs_, start, end, &theirs)).ok()) {
    return s;
  }
  bool exact = false;
  if (oi >= 0) {
    if (o.Type[oj] == t.Type[tj] && !(s = SetGives(o, oj, text.buf(), theirs, &exact)).ok()) {
      return s;
    }
    c->take = exact ? MergeConflict::kSet : MergeConflict::kPatchSet;
    c->value = text.buf();
    Sink old(nullptr);
    s = AppendExpectedValue(ours_, o.Type[oj], o.ExtentStart(oj), o.ExtentEnd(oj), old);
    c->patch = old.buf() + " -> " + now.buf();
    return s;
  }
  // add writes a value alone, of a type it has a word for; a patch writes any (Place chooses).
  c->take = MergeConflict::kAdd;
  c->patch = now.buf();
  const auto type = static_cast<EntryType>(c->type);
  ParsedValue parsed;
  if ((type == EntryType::Float || type == EntryType::Bool || type == EntryType::Text ||
       type == EntryType::LocalizedText) &&
      ParseValue(text.buf(), c->type, &parsed).ok() && !parsed.whole && parsed.bytes == theirs) {
    c->value = text.buf();
  }
  return s;
}

Status Merger::SetGives(const EntryList& o, uint32_t oj, const std::string& text,
                        const std::string& theirs, bool* exact) {
  int64_t pos = 0, removed = 0;
  std::string bytes, before, after;
  *exact = false;
  Status s = PlanSetValue(ours_, o, oj, text, {}, &pos, &removed, &bytes);
  if (!s.ok()) return s.ioError() ? s : Status::Ok();
  s = Bytes(ours_, o.ExtentStart(oj), pos, &before);
  if (s.ok()) s = Bytes(ours_, pos + removed, o.ExtentEnd(oj), &after);
  *exact = s.ok() && before + bytes + after == theirs;
  return s;
}

void Merger::Record(const TableChain& chain, int64_t oi, MergeConflict c) {
  Trail trail;
  trail.table = chain.back().table;
  for (std::size_t k = 0; k + 1 < chain.size(); ++k) {
    c.ours.push_back(chain[k].entry);
    trail.tables.push_back(chain[k].table);
  }
  if (oi >= 0) {
    c.ours.push_back(static_cast<uint32_t>(oi));
    trail.tables.push_back(chain.back().table);
  }
  conflicts_->push_back(std::move(c));
  trails_.push_back(std::move(trail));
}

uint32_t Merger::Merged(int64_t table, uint32_t oi) const {
  const auto it = edits_.find(table);
  if (it == edits_.end()) return oi;
  int64_t at = oi;
  for (const uint32_t removed : it->second.removed) at -= removed < oi;
  for (const auto& [before, key] : it->second.added) at += before <= oi;
  return static_cast<uint32_t>(at);
}

void Merger::Locate() {
  for (std::size_t n = 0; n < conflicts_->size(); ++n) {
    MergeConflict& c = (*conflicts_)[n];
    const Trail& trail = trails_[n];
    for (std::size_t k = 0; k < c.ours.size(); ++k) c.ours[k] = Merged(trail.tables[k], c.ours[k]);
    if (c.take == MergeConflict::kAdd) Place(edits_.at(trail.table), &c);
  }
}

void Merger::Place(const TableEdits& table, MergeConflict* c) const {
  // The table's keys once merged: entries added in front of one go in the order asked for.
  std::vector<std::pair<uint32_t, uint32_t>> added = table.added;
  std::stable_sort(added.begin(), added.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<uint32_t> removed = table.removed;
  std::sort(removed.begin(), removed.end());
  std::vector<uint32_t> keys;
  std::size_t a = 0;
  for (uint32_t i = 0; i <= table.keys.size(); ++i) {
    for (; a < added.size() && added[a].first == i; ++a) keys.push_back(added[a].second);
    if (i < table.keys.size() && !std::binary_search(removed.begin(), removed.end(), i)) {
      keys.push_back(table.keys[i]);
    }
  }
  // As add places an entry: in front of the first whose key is greater, or last.
  const auto at = std::find_if(keys.begin(), keys.end(), [c](uint32_t k) { return k > c->key; });
  const int64_t place = at - keys.begin();
  c->after = place - 1;
  c->before = at == keys.end() ? -1 : place;
  c->alike = std::count(keys.begin(), keys.end(), c->key);
  // add takes only a key that its table does not hold.
  if (c->value.empty() || c->alike > 0) c->take = MergeConflict::kPatchAdd;
}

}  // namespace

Status PlanMerge(ByteSource& base, int64_t baseLength, ByteSource& ours, int64_t oursLength,
                 ByteSource& theirs, int64_t theirsLength, const KeyNames& names, MergeSide side,
                 Change* change, std::vector<MergeConflict>* conflicts,
                 std::vector<std::string>* damaged) {
  std::vector<std::string> unwanted;
  return Merger(base, baseLength, ours, oursLength, theirs, theirsLength, names, side, change,
                conflicts, damaged != nullptr ? damaged : &unwanted)
      .Run();
}

}  // namespace atb
