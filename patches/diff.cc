#include "patches/diff.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <unordered_map>

#include "patches/patch.h"
#include "store/coding.h"
#include "store/hash.h"
#include "store/table.h"
#include "text/paths.h"
#include "text/value_text.h"

namespace atb {

namespace {

constexpr std::size_t kWindow = 1 << 20;
constexpr int64_t kChunk = 1 << 20;
// A middle stretch of keys whose difference needs more steps than this is not matched further:
// its entries are taken out and added whole, which is still exact.
constexpr int kMostSteps = 1024;

using Matches = std::vector<std::pair<uint32_t, uint32_t>>;

// Pairs equal symbols of two ascending stretches in order: a longest common subsequence of
// ascending sequences.
template <typename T>
void MatchAscending(const T* a, uint32_t a0, uint32_t a1, const T* b, uint32_t b0, uint32_t b1,
                    Matches* out) {
  while (a0 < a1 && b0 < b1) {
    if (a[a0] == b[b0]) {
      out->emplace_back(a0++, b0++);
    } else if (a[a0] < b[b0]) {
      ++a0;
    } else {
      ++b0;
    }
  }
}

// Myers's shortest edit script over [a0, a1) and [b0, b1); false when it needs more than
// kMostSteps steps.
template <typename T>
bool MatchShortest(const T* a, uint32_t a0, uint32_t a1, const T* b, uint32_t b0, uint32_t b1,
                   Matches* out) {
  const int n = static_cast<int>(a1 - a0), m = static_cast<int>(b1 - b0);
  const int most = std::min(n + m, kMostSteps);
  std::vector<std::vector<int>> trace;  // per step d: the furthest x on diagonals -d..d
  std::vector<int> v(static_cast<std::size_t>(2 * most + 3), 0);
  const int mid = most + 1;
  int found = -1;
  for (int d = 0; d <= most && found < 0; ++d) {
    for (int k = -d; k <= d; k += 2) {
      int x = (k == -d || (k != d && v[mid + k - 1] < v[mid + k + 1])) ? v[mid + k + 1]
                                                                       : v[mid + k - 1] + 1;
      int y = x - k;
      while (x < n && y < m && a[a0 + x] == b[b0 + y]) ++x, ++y;
      v[mid + k] = x;
      if (x >= n && y >= m) found = d;
    }
    trace.emplace_back(v.begin() + mid - d, v.begin() + mid + d + 1);
  }
  if (found < 0) return false;
  Matches back;
  int x = n, y = m;
  for (int d = found; d > 0; --d) {
    const std::vector<int>& prev = trace[static_cast<std::size_t>(d - 1)];
    const int k = x - y;
    const auto at = [&](int kk) { return prev[static_cast<std::size_t>(kk + d - 1)]; };
    const int prevK = (k == -d || (k != d && at(k - 1) < at(k + 1))) ? k + 1 : k - 1;
    const int prevX = at(prevK), prevY = prevX - prevK;
    const int startX = prevK == k + 1 ? prevX : prevX + 1;  // where this step's snake starts
    const int startY = startX - k;
    while (x > startX && y > startY) {
      --x, --y;
      back.emplace_back(a0 + static_cast<uint32_t>(x), b0 + static_cast<uint32_t>(y));
    }
    x = prevX;
    y = prevY;
  }
  while (x > 0 && y > 0) {
    --x, --y;
    back.emplace_back(a0 + static_cast<uint32_t>(x), b0 + static_cast<uint32_t>(y));
  }
  out->insert(out->end(), back.rbegin(), back.rend());
  return true;
}

// Matches equal symbols of [a0, a1) and [b0, b1) in order: the common ends first, then the
// middle, cheaply where it ascends on both sides. A middle too different to match cheaply stays
// unmatched, which is still exact.
template <typename T>
void MatchRange(const T* a, uint32_t a0, uint32_t a1, const T* b, uint32_t b0, uint32_t b1,
                Matches* out) {
  while (a0 < a1 && b0 < b1 && a[a0] == b[b0]) out->emplace_back(a0++, b0++);
  uint32_t tail = 0;
  while (a0 < a1 - tail && b0 < b1 - tail && a[a1 - 1 - tail] == b[b1 - 1 - tail]) ++tail;
  a1 -= tail;
  b1 -= tail;
  if (a0 < a1 && b0 < b1) {
    if (std::is_sorted(a + a0, a + a1) && std::is_sorted(b + b0, b + b1)) {
      MatchAscending(a, a0, a1, b, b0, b1, out);
    } else {
      MatchShortest(a, a0, a1, b, b0, b1, out);
    }
  }
  for (uint32_t t = 0; t < tail; ++t) out->emplace_back(a1 + t, b1 + t);
}

bool RepeatsAKey(const EntryList& l) {
  const auto end = l.ID.begin() + l.count;
  if (std::is_sorted(l.ID.begin(), end)) return std::adjacent_find(l.ID.begin(), end) != end;
  std::unordered_map<uint32_t, int> seen;
  for (uint32_t i = 0; i < l.count; ++i) {
    if (++seen[l.ID[i]] > 1) return true;
  }
  return false;
}

// A hash of each entry's key, type and extent.
Status Fingerprints(ByteSource& file, const EntryList& l, std::vector<uint64_t>* out) {
  out->resize(l.count);
  std::string bytes;
  for (uint32_t i = 0; i < l.count; ++i) {
    uint8_t head[8];
    EncodeFixed32(head, l.ID[i]);
    EncodeFixed32(head + 4, l.Type[i]);
    uint64_t h = Fnv1a64(std::string_view(reinterpret_cast<char*>(head), sizeof head));
    for (int64_t at = l.ExtentStart(i); at < l.ExtentEnd(i);) {
      const int64_t n = std::min(l.ExtentEnd(i) - at, kChunk);
      bytes.resize(static_cast<std::size_t>(n));
      Status s = file.ReadAt(at, bytes.data(), bytes.size());
      if (!s.ok()) return s;
      h = Fnv1a64(bytes, h);
      at += n;
    }
    (*out)[i] = h;
  }
  return Status::Ok();
}

}  // namespace

Status MatchEntries(ByteSource& aFile, const EntryList& a, ByteSource& bFile, const EntryList& b,
                    std::vector<std::pair<uint32_t, uint32_t>>* out) {
  out->clear();
  if (!RepeatsAKey(a) && !RepeatsAKey(b)) {
    MatchRange(a.ID.data(), 0, a.count, b.ID.data(), 0, b.count, out);
    return Status::Ok();
  }
  // Where keys repeat (a list), entries that stayed as they were anchor the match; between them,
  // entries of one key and type pair up, and then entries of one key.
  std::vector<uint64_t> fa, fb;
  Status s = Fingerprints(aFile, a, &fa);
  if (s.ok()) s = Fingerprints(bFile, b, &fb);
  if (!s.ok()) return s;
  std::vector<uint64_t> ka(a.count), kb(b.count);
  for (uint32_t i = 0; i < a.count; ++i) ka[i] = uint64_t{a.ID[i]} << 32 | a.Type[i];
  for (uint32_t j = 0; j < b.count; ++j) kb[j] = uint64_t{b.ID[j]} << 32 | b.Type[j];
  const std::vector<uint64_t>* levels[][2] = {{&fa, &fb}, {&ka, &kb}};
  // Matches [a0, a1) and [b0, b1) at `level`, and the stretches between those matches at the
  // levels below, the last by key alone.
  std::function<void(int, uint32_t, uint32_t, uint32_t, uint32_t)> refine =
      [&](int level, uint32_t a0, uint32_t a1, uint32_t b0, uint32_t b1) {
        if (level == 2) return MatchRange(a.ID.data(), a0, a1, b.ID.data(), b0, b1, out);
        Matches found;
        MatchRange(levels[level][0]->data(), a0, a1, levels[level][1]->data(), b0, b1, &found);
        for (const auto& [ai, bj] : found) {
          refine(level + 1, a0, ai, b0, bj);
          out->emplace_back(ai, bj);
          a0 = ai + 1;
          b0 = bj + 1;
        }
        refine(level + 1, a0, a1, b0, b1);
      };
  refine(0, 0, a.count, 0, b.count);
  return Status::Ok();
}

Status SameBytes(ByteSource& a, int64_t aStart, int64_t aEnd, ByteSource& b, int64_t bStart,
                 int64_t bEnd, bool* same) {
  *same = aEnd - aStart == bEnd - bStart;
  if (!*same) return Status::Ok();
  std::string x, y;
  for (int64_t at = 0; at < aEnd - aStart && *same;) {
    const int64_t n = std::min(aEnd - aStart - at, kChunk);
    x.resize(static_cast<std::size_t>(n));
    y.resize(static_cast<std::size_t>(n));
    Status s = a.ReadAt(aStart + at, x.data(), x.size());
    if (s.ok()) s = b.ReadAt(bStart + at, y.data(), y.size());
    if (!s.ok()) return s;
    *same = std::memcmp(x.data(), y.data(), x.size()) == 0;
    at += n;
  }
  return Status::Ok();
}

ComparingReader::ComparingReader(ByteSource& base) : base_(base), window_(base, kWindow) {}

Status ComparingReader::ReadAt(int64_t pos, void* buf, std::size_t n) {
  return n > kWindow / 4 ? base_.ReadAt(pos, buf, n) : window_.ReadAt(pos, buf, n);
}

namespace {

class Differ {
 public:
  Differ(ByteSource& a, int64_t aLength, ByteSource& b, int64_t bLength, const KeyNames& names,
         Sink& sink, bool reversible)
      : a_(a),
        b_(b),
        aLength_(aLength),
        bLength_(bLength),
        names_(names),
        sink_(sink),
        reversible_(reversible) {}

  Status Run(int64_t* changes);
  bool staleSizes() const { return staleSizes_; }

 private:
  // One pair of tables being compared: A's and B's, matched entry lists, and how far along.
  struct Frame {
    int64_t aTable, aEnd, bTable, bEnd;
    EntryList a, b;
    std::optional<TablePaths> paths;  // of A's entries
    int depth = 0;                    // tables from the root to this one
    std::vector<std::pair<uint32_t, uint32_t>> matches;
    std::size_t next = 0;  // the next match to look at
    uint32_t aNext = 0, bNext = 0;
    std::unordered_map<uint32_t, int64_t> keyCounts;  // of A's keys, made when first needed
    bool started = false;
  };

  Status Header();
  Status Open(Frame* f);
  // Takes out A's entries up to `aTo` and adds B's up to `bTo` in front of A's entry aTo.
  Status Gap(Frame& f, uint32_t aTo, uint32_t bTo);
  Status Pair(Frame& f, uint32_t i, uint32_t j, bool* descend);
  // An old value: whole when the patch is to be reversible, else as an expected value is shown.
  // One in front of "->" takes one line: a table there is its raw bytes.
  Status Old(uint32_t type, int64_t start, int64_t end, bool oneLine) {
    if (!reversible_) return AppendExpectedValue(a_, type, start, end, sink_);
    if (oneLine && type == static_cast<uint32_t>(EntryType::Reference)) {
      return AppendRawTable(a_, start, end, sink_);
    }
    return AppendNewValue(a_, type, start, end, names_, 0, sink_);
  }
  int64_t KeyCount(Frame& f, uint32_t key) {
    if (f.keyCounts.empty()) {
      for (uint32_t i = 0; i < f.a.count; ++i) ++f.keyCounts[f.a.ID[i]];
    }
    auto it = f.keyCounts.find(key);
    return it == f.keyCounts.end() ? 0 : it->second;
  }
  void EndLine() {
    sink_.buf().push_back('\n');
    sink_.Spill();
    ++changes_;
  }

  ComparingReader a_, b_;
  int64_t aLength_, bLength_;
  const KeyNames& names_;
  Sink& sink_;
  std::deque<Frame> stack_;  // a frame's paths refer to those of the frames below it
  int64_t changes_ = 0;
  bool staleSizes_ = false;
  bool reversible_;
};

Status Differ::Header() {
  std::string a(ROOT_TABLE_OFFSET, '\0'), b(ROOT_TABLE_OFFSET, '\0');
  Status s = a_.ReadAt(0, a.data(), a.size());
  if (s.ok()) s = b_.ReadAt(0, b.data(), b.size());
  if (!s.ok()) return s;
  if (a == b && aLength_ == bLength_) return Status::Ok();
  // A changed file always gets sizes that follow its length: the patch says those, and what
  // applying it gives differs from B in them alone.
  if (!HeaderSizesFollow(b, bLength_)) {
    staleSizes_ = true;
    SetHeaderSizes(&b, bLength_);
  }
  // What the file gets without a header change: its own header, with sizes that follow the new
  // length when that changes.
  std::string kept = a;
  if (aLength_ != bLength_) SetHeaderSizes(&kept, bLength_);
  if (kept == b) return Status::Ok();
  sink_.buf().append("header: ");
  AppendQuotedBytes(&sink_.buf(), a);
  sink_.buf().append(" -> ");
  AppendQuotedBytes(&sink_.buf(), b);
  EndLine();
  return Status::Ok();
}

Status Differ::Open(Frame* f) {
  Status s = ReadTable(a_, f->aTable, f->aEnd, &f->a);
  if (s.ok()) s = ReadTable(b_, f->bTable, f->bEnd, &f->b);
  if (!s.ok()) return s;
  return MatchEntries(a_, f->a, b_, f->b, &f->matches);
}

Status Differ::Gap(Frame& f, uint32_t aTo, uint32_t bTo) {
  Status s;
  for (uint32_t i = f.aNext; i < aTo; ++i) {
    sink_.buf().append("remove ");
    if (!(s = f.paths->AppendEntryPath(i, &sink_.buf())).ok()) return s;
    if (reversible_) {
      sink_.buf().append(" after ");
      s = i == 0 ? (sink_.buf().append("start"), Status::Ok())
                 : f.paths->AppendEntryPath(i - 1, &sink_.buf());
      sink_.buf().append(" before ");
      if (s.ok()) {
        s = i + 1 == f.a.count ? (sink_.buf().append("end"), Status::Ok())
                               : f.paths->AppendEntryPath(i + 1, &sink_.buf());
      }
      if (!s.ok()) return s;
    }
    if (const int64_t n = KeyCount(f, f.a.ID[i]); n > 1) {
      sink_.buf().append(" (of " + std::to_string(n) + ")");
    }
    sink_.buf().append(": ");
    if (!(s = Old(f.a.Type[i], f.a.ExtentStart(i), f.a.ExtentEnd(i), false)).ok()) return s;
    EndLine();
  }
  if (f.bNext < bTo) {
    std::string after = "start", before = "end";
    if (aTo > 0) {
      after.clear();
      s = f.paths->AppendEntryPath(aTo - 1, &after);
    }
    if (s.ok() && aTo < f.a.count) {
      before.clear();
      s = f.paths->AppendEntryPath(aTo, &before);
    }
    if (!s.ok()) return s;
    for (uint32_t j = f.bNext; j < bTo; ++j) {
      std::string& out = sink_.buf();
      out.append("add ");
      if (!(s = f.paths->AppendNewEntryPath(f.b.ID[j], &out)).ok()) return s;
      out.append(" after " + after + " before " + before);
      if (const int64_t n = KeyCount(f, f.b.ID[j]); n > 0) {
        out.append(" (of " + std::to_string(n) + ")");
      }
      out.append(": ");
      s = AppendNewValue(b_, f.b.Type[j], f.b.ExtentStart(j), f.b.ExtentEnd(j), names_, 0, sink_);
      if (!s.ok()) return s;
      EndLine();
    }
  }
  f.aNext = aTo;
  f.bNext = bTo;
  return Status::Ok();
}

Status Differ::Pair(Frame& f, uint32_t i, uint32_t j, bool* descend) {
  *descend = false;
  const int64_t aStart = f.a.ExtentStart(i), aEnd = f.a.ExtentEnd(i);
  const int64_t bStart = f.b.ExtentStart(j), bEnd = f.b.ExtentEnd(j);
  bool same = false;
  if (f.a.Type[i] == f.b.Type[j]) {
    Status s = SameBytes(a_, aStart, aEnd, b_, bStart, bEnd, &same);
    if (!s.ok()) return s;
  }
  if (same) return Status::Ok();
  if (f.a.Is(i, EntryType::Reference) && f.b.Is(j, EntryType::Reference) &&
      f.depth + 2 <= kDeepestPatchTable) {
    // Sound on both sides: compared inside.
    EntryList probe;
    Status s = ReadTable(a_, aStart, aEnd, &probe);
    if (s.ioError()) return s;
    if (s.ok()) s = ReadTable(b_, bStart, bEnd, &probe);
    if (s.ioError()) return s;
    if (s.ok()) {
      *descend = true;
      return Status::Ok();
    }
  }
  sink_.buf().append("set ");
  Status s = f.paths->AppendEntryPath(i, &sink_.buf());
  if (!s.ok()) return s;
  sink_.buf().append(": ");
  if (!(s = Old(f.a.Type[i], aStart, aEnd, true)).ok()) return s;
  sink_.buf().append(" -> ");
  if (!(s = AppendNewValue(b_, f.b.Type[j], bStart, bEnd, names_, 0, sink_)).ok()) return s;
  EndLine();
  return Status::Ok();
}

Status Differ::Run(int64_t* changes) {
  stack_.emplace_back();
  Frame& root = stack_.back();
  root.aTable = root.bTable = ROOT_TABLE_OFFSET;
  root.aEnd = aLength_;
  root.bEnd = bLength_;
  Status s = ReadTable(a_, ROOT_TABLE_OFFSET, aLength_, &root.a);
  if (s.damaged()) return Status::Refused("the first file's root table is damaged: " + s.Message());
  if (s.ok()) s = ReadTable(b_, ROOT_TABLE_OFFSET, bLength_, &root.b);
  if (s.damaged()) {
    return Status::Refused("the second file's root table is damaged: " + s.Message());
  }
  if (!s.ok()) return s;
  if (!(s = Header()).ok()) return s;
  root.paths.emplace(a_, names_, root.a);
  if (!(s = MatchEntries(a_, root.a, b_, root.b, &root.matches)).ok()) return s;
  while (!stack_.empty()) {
    Frame& f = stack_.back();
    if (!f.started) {
      f.started = true;
      const int64_t aLead = DataStart(f.aTable, f.a.count), bLead = DataStart(f.bTable, f.b.count);
      bool same;
      if (!(s = SameBytes(a_, aLead, f.a.Off[0], b_, bLead, f.b.Off[0], &same)).ok()) return s;
      if (!same) {
        sink_.buf().append("lead ");
        if (!(s = f.paths->AppendTablePath(&sink_.buf())).ok()) return s;
        sink_.buf().append(": ");
        if (!(s = AppendBytesValue(a_, aLead, f.a.Off[0], !reversible_, sink_)).ok()) return s;
        sink_.buf().append(" -> ");
        if (!(s = AppendBytesValue(b_, bLead, f.b.Off[0], false, sink_)).ok()) return s;
        EndLine();
      }
    }
    if (f.next == f.matches.size()) {
      if (!(s = Gap(f, f.a.count, f.b.count)).ok()) return s;
      stack_.pop_back();
      continue;
    }
    const auto [i, j] = f.matches[f.next++];
    if (!(s = Gap(f, i, j)).ok()) return s;
    f.aNext = i + 1;
    f.bNext = j + 1;
    bool descend;
    if (!(s = Pair(f, i, j, &descend)).ok()) return s;
    if (!descend) continue;
    stack_.emplace_back();
    Frame& nested = stack_.back();
    nested.aTable = f.a.ExtentStart(i);
    nested.aEnd = f.a.ExtentEnd(i);
    nested.bTable = f.b.ExtentStart(j);
    nested.bEnd = f.b.ExtentEnd(j);
    nested.depth = f.depth + 1;
    if (!(s = Open(&nested)).ok()) return s;
    nested.paths.emplace(*f.paths, i, nested.a);
  }
  if (changes_ > 0) {
    sink_.buf().append("end " + std::to_string(changes_) +
                       (changes_ == 1 ? " change\n" : " changes\n"));
  }
  *changes = changes_;
  return Status::Ok();
}

}  // namespace

Status WritePatch(ByteSource& a, int64_t aLength, ByteSource& b, int64_t bLength,
                  const KeyNames& names, Sink& sink, int64_t* changes, bool* staleSizes,
                  bool reversible) {
  Differ differ(a, aLength, b, bLength, names, sink, reversible);
  Status s = differ.Run(changes);
  if (staleSizes != nullptr) *staleSizes = differ.staleSizes();
  return s;
}

}  // namespace atb
