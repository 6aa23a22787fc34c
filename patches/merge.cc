#include "patches/merge.h"

#include <algorithm>
#include <functional>
#include <optional>

#include "patches/diff.h"
#include "patches/patch.h"
#include "store/coding.h"
#include "store/table.h"
#include "text/dump.h"
#include "text/paths.h"
#include "text/value_text.h"

namespace atb {

namespace {

// Where one table lies in each of the three files.
struct Three {
  int64_t base, baseEnd, ours, oursEnd, theirs, theirsEnd;
};

class Merger {
 public:
  Merger(ByteSource& base, int64_t baseLength, ByteSource& ours, int64_t oursLength,
         ByteSource& theirs, int64_t theirsLength, const KeyNames& names, Change* change,
         std::vector<std::string>* conflicts, std::vector<std::string>* damaged)
      : base_(base),
        ours_(ours),
        theirs_(theirs),
        baseLength_(baseLength),
        oursLength_(oursLength),
        theirsLength_(theirsLength),
        names_(names),
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
  Status Lead(const Three& at, const EntryList& b, const EntryList& o, const EntryList& t,
              const TableChain& chain, TablePaths& paths);
  // Places THEIRS's new entries among OURS's.
  Status Added(const EntryList& b, const EntryList& o, const EntryList& t,
               const std::vector<int64_t>& oursOf, const std::vector<int64_t>& baseOfOurs,
               const std::vector<int64_t>& baseOfTheirs, const TableChain& chain,
               TablePaths& paths);

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
  Status NoteDamage(const EntryList& l, uint32_t i,
                    const std::function<Status(std::string*)>& path) {
    if (!l.Is(i, EntryType::Reference)) return Status::Ok();
    std::string damage, where;
    Status s = DamageOfTable(theirs_, l.ExtentStart(i), l.ExtentEnd(i), &damage);
    if (!s.ok() || damage.empty() || !(s = path(&where)).ok()) return s;
    damaged_->push_back(where + ": writes THEIRS's damaged table (" + damage + ")");
    return Status::Ok();
  }
  void Conflict(const std::string& path, const std::string& base, const std::string& ours,
                const std::string& theirs) {
    conflicts_->push_back(path + ": base " + base + ", ours " + ours + ", theirs " + theirs);
  }

  ComparingReader base_, ours_, theirs_;
  int64_t baseLength_, oursLength_, theirsLength_;
  const KeyNames& names_;
  Change* change_;
  std::vector<std::string>* conflicts_;
  std::vector<std::string>* damaged_;
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
  return Table({ROOT_TABLE_OFFSET, baseLength_, ROOT_TABLE_OFFSET, oursLength_, ROOT_TABLE_OFFSET,
                theirsLength_},
               {{ROOT_TABLE_OFFSET, oursLength_, 0}}, nullptr, 0, 0);
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
  if (masked[1] == masked[0]) {
    change_->SetHeader(h[2]);
    return Status::Ok();
  }
  std::string text[3];
  for (int k = 0; k < 3; ++k) AppendQuotedBytes(&text[k], h[k]);
  Conflict("header", text[0], text[1], text[2]);
  return Status::Ok();
}

Status Merger::Lead(const Three& at, const EntryList& b, const EntryList& o, const EntryList& t,
                    const TableChain& chain, TablePaths& paths) {
  const int64_t bl = DataStart(at.base, b.count), ol = DataStart(at.ours, o.count),
                tl = DataStart(at.theirs, t.count);
  bool same;
  Status s = SameBytes(base_, bl, b.Off[0], theirs_, tl, t.Off[0], &same);
  if (!s.ok() || same) return s;
  if (!(s = SameBytes(base_, bl, b.Off[0], ours_, ol, o.Off[0], &same)).ok()) return s;
  std::string bytes;
  if (same) {
    if (!(s = Bytes(theirs_, tl, t.Off[0], &bytes)).ok()) return s;
    change_->ReplaceLead(chain, std::move(bytes));
    return Status::Ok();
  }
  if (!(s = SameBytes(ours_, ol, o.Off[0], theirs_, tl, t.Off[0], &same)).ok() || same) return s;
  Sink text[3] = {Sink(nullptr), Sink(nullptr), Sink(nullptr)};
  s = AppendBytesValue(base_, bl, b.Off[0], true, text[0]);
  if (s.ok()) s = AppendBytesValue(ours_, ol, o.Off[0], true, text[1]);
  if (s.ok()) s = AppendBytesValue(theirs_, tl, t.Off[0], true, text[2]);
  if (!s.ok()) return s;
  std::string path = "lead ";
  if (!(s = paths.AppendTablePath(&path)).ok()) return s;
  Conflict(path, text[0].buf(), text[1].buf(), text[2].buf());
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
  if (!(s = Lead(at, b, o, t, chain, *paths)).ok()) return s;

  std::vector<int64_t> oursOf(b.count, -1), theirsOf(b.count, -1);
  std::vector<int64_t> baseOfOurs(o.count, -1), baseOfTheirs(t.count, -1);
  std::vector<std::pair<uint32_t, uint32_t>> matches;
  if (!(s = MatchEntries(base_, b, ours_, o, &matches)).ok()) return s;
  for (const auto& [i, j] : matches) oursOf[i] = j, baseOfOurs[j] = i;
  if (!(s = MatchEntries(base_, b, theirs_, t, &matches)).ok()) return s;
  for (const auto& [i, j] : matches) theirsOf[i] = j, baseOfTheirs[j] = i;
  const auto chainTo = [&chain](int64_t oi) {
    TableChain c = chain;
    c.back().entry = static_cast<uint32_t>(oi);
    return c;
  };

  for (uint32_t bi = 0; bi < b.count; ++bi) {
    const int64_t ti = theirsOf[bi], oi = oursOf[bi];
    bool theirsSame = false, oursSame = false;
    const auto oj = static_cast<uint32_t>(oi), tj = static_cast<uint32_t>(ti);
    if (ti >= 0 && !(s = Same(base_, b, bi, theirs_, t, tj, &theirsSame)).ok()) return s;
    if (theirsSame) continue;        // OURS stands
    if (ti < 0 && oi < 0) continue;  // removed on both sides
    if (oi >= 0 && !(s = Same(base_, b, bi, ours_, o, oj, &oursSame)).ok()) return s;
    if (ti < 0 && oursSame) {
      change_->Remove(chainTo(oi));
      continue;
    }
    bool agree = false;
    if (ti >= 0 && oi >= 0 && !oursSame) {
      if (!(s = Same(ours_, o, oj, theirs_, t, tj, &agree)).ok()) return s;
      if (agree) continue;  // the same change on both sides
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
      TableChain nested = chainTo(oi);
      nested.push_back({o.ExtentStart(oj), o.ExtentEnd(oj), 0});
      s = Table({b.ExtentStart(bi), b.ExtentEnd(bi), o.ExtentStart(oj), o.ExtentEnd(oj),
                 t.ExtentStart(tj), t.ExtentEnd(tj)},
                nested, &*paths, bi, depth + 1);
      if (!s.ok()) return s;
      continue;
    }
    if (oursSame) {
      std::string bytes;
      if (!(s = Bytes(theirs_, t.ExtentStart(tj), t.ExtentEnd(tj), &bytes)).ok()) return s;
      s = NoteDamage(t, tj, [&](std::string* where) { return paths->AppendEntryPath(bi, where); });
      if (!s.ok()) return s;
      if (o.Type[oj] != t.Type[tj]) change_->SetType(chainTo(oi), t.Type[tj]);
      change_->Replace(chainTo(oi), o.ExtentStart(oj), o.ExtentEnd(oj) - o.ExtentStart(oj),
                       std::move(bytes));
      continue;
    }
    std::string shown[3] = {"", "removed", "removed"};
    if (!(s = Shown(base_, b, bi, &shown[0])).ok()) return s;
    if (oi >= 0 && !(s = Shown(ours_, o, oj, &shown[1])).ok()) return s;
    if (ti >= 0 && !(s = Shown(theirs_, t, tj, &shown[2])).ok()) return s;
    std::string where;
    if (!(s = paths->AppendEntryPath(bi, &where)).ok()) return s;
    Conflict(where, shown[0], shown[1], shown[2]);
  }
  return Added(b, o, t, oursOf, baseOfOurs, baseOfTheirs, chain, *paths);
}

Status Merger::Added(const EntryList& b, const EntryList& o, const EntryList& t,
                     const std::vector<int64_t>& oursOf, const std::vector<int64_t>& baseOfOurs,
                     const std::vector<int64_t>& baseOfTheirs, const TableChain& chain,
                     TablePaths& paths) {
  // For each base entry, the place in OURS just behind the last base entry up to it that OURS
  // still holds; and the place of the first one from it on.
  std::vector<int64_t> behind(b.count + 1, 0), from(b.count + 1, o.count);
  for (uint32_t bi = 0; bi < b.count; ++bi) {
    behind[bi + 1] = oursOf[bi] >= 0 ? oursOf[bi] + 1 : behind[bi];
  }
  for (uint32_t bi = b.count; bi-- > 0;) from[bi] = oursOf[bi] >= 0 ? oursOf[bi] : from[bi + 1];
  std::vector<int64_t> nextMatched(t.count + 1, b.count);
  for (uint32_t ti = t.count; ti-- > 0;) {
    nextMatched[ti] = baseOfTheirs[ti] >= 0 ? baseOfTheirs[ti] : nextMatched[ti + 1];
  }
  const auto countIn = [](const EntryList& l, uint32_t key) {
    return std::count(l.ID.begin(), l.ID.begin() + l.count, key);
  };
  Status s;
  int64_t previous = -1;  // THEIRS's last entry that base holds, as a base index
  int64_t cursor = -1;    // where THEIRS's last new entry went in OURS, since `previous`
  for (uint32_t ti = 0; ti < t.count; ++ti) {
    if (baseOfTheirs[ti] >= 0) {
      previous = baseOfTheirs[ti];
      cursor = -1;
      continue;
    }
    const uint32_t key = t.ID[ti];
    // Added alike on both sides: kept once. A key that both sides add differently conflicts
    // unless it is a list (held more than once somewhere).
    bool alike = false, rival = false;
    for (uint32_t oi = 0; oi < o.count && !alike; ++oi) {
      if (baseOfOurs[oi] >= 0 || o.ID[oi] != key) continue;
      bool same;
      if (!(s = Same(ours_, o, oi, theirs_, t, ti, &same)).ok()) return s;
      alike = same;
      rival = true;
    }
    if (alike) continue;
    if (rival && countIn(b, key) <= 1 && countIn(o, key) <= 1 && countIn(t, key) <= 1) {
      std::string ours, theirs;
      for (uint32_t oi = 0; oi < o.count; ++oi) {
        if (baseOfOurs[oi] < 0 && o.ID[oi] == key && !(s = Shown(ours_, o, oi, &ours)).ok()) {
          return s;
        }
      }
      if (!(s = Shown(theirs_, t, ti, &theirs)).ok()) return s;
      std::string where;
      if (!(s = paths.AppendNewEntryPath(key, &where)).ok()) return s;
      Conflict(where, "absent", ours, theirs);
      continue;
    }
    const int64_t lo = std::max(cursor, behind[static_cast<std::size_t>(previous + 1)]);
    const int64_t hi = from[static_cast<std::size_t>(nextMatched[ti])];
    int64_t k = lo;
    while (k < hi && o.ID[static_cast<std::size_t>(k)] <= key) ++k;
    cursor = k;
    std::string bytes;
    if (!(s = Bytes(theirs_, t.ExtentStart(ti), t.ExtentEnd(ti), &bytes)).ok()) return s;
    s = NoteDamage(t, ti, [&](std::string* where) { return paths.AppendNewEntryPath(key, where); });
    if (!s.ok()) return s;
    change_->InsertAt(chain, static_cast<uint32_t>(k), key, t.Type[ti], std::move(bytes));
  }
  return Status::Ok();
}

}  // namespace

Status PlanMerge(ByteSource& base, int64_t baseLength, ByteSource& ours, int64_t oursLength,
                 ByteSource& theirs, int64_t theirsLength, const KeyNames& names, Change* change,
                 std::vector<std::string>* conflicts, std::vector<std::string>* damaged) {
  std::vector<std::string> unwanted;
  return Merger(base, baseLength, ours, oursLength, theirs, theirsLength, names, change, conflicts,
                damaged != nullptr ? damaged : &unwanted)
      .Run();
}

}  // namespace atb
