#include "change/journal.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <random>
#include <system_error>
#include <thread>

#include "platform/signals.h"
#include "store/coding.h"
#include "store/hash.h"
#include "store/layout.h"
#include "store/table.h"

namespace atb {

namespace {

// Every 512 bytes of the journal (a disk sector) is a frame that checks itself: 496 bytes of
// content, the sequence number of the record it belongs to (0 for the plan) and a hash of both
// seeded by the journal's nonce and the frame's place. A frame is whole, never written (all
// zero), or damaged; a write cut anywhere, or landed in part, leaves only the first two.
constexpr int64_t kFrame = 512;
constexpr int64_t kFrameContent = 496;
constexpr char kMagic[8] = {'A', 'T', 'B', 'J', 'R', 'N', 'L', '2'};
constexpr int64_t kHeaderBytes = 48;  // magic, nonce, inode, plan, payload and slot sizes
constexpr int64_t kRecordHead = 32;   // kind, step, data size, hash of what has moved
constexpr uint32_t kChunkMoved = 1;
constexpr uint32_t kAllMoved = 2;
// The first bytes of the old file and of each step's source, kept to recognise the file.
constexpr int64_t kPrefixBytes = 4096;
constexpr int64_t kSampleBytes = 4096;
// What a journal may make a recovery hold in memory.
constexpr int64_t kMaxSlotData = 64 << 20;
constexpr int64_t kMaxPlanBytes = 256 << 20;
constexpr int64_t kMaxPayloadBytes = int64_t{1} << 33;
// Frames read or written in one call.
constexpr int64_t kFramesPerIo = 128;

int64_t FramesFor(int64_t bytes) { return (bytes + kFrameContent - 1) / kFrameContent; }

void Put64(std::string* out, uint64_t v) {
  for (int k = 0; k < 8; ++k) out->push_back(static_cast<char>(v >> (8 * k)));
}

uint64_t Get64(const uint8_t* p) {
  return static_cast<uint64_t>(DecodeFixed32(p)) | static_cast<uint64_t>(DecodeFixed32(p + 4))
                                                       << 32;
}

void Encode64(uint8_t* p, uint64_t v) {
  EncodeFixed32(p, static_cast<uint32_t>(v));
  EncodeFixed32(p + 4, static_cast<uint32_t>(v >> 32));
}

uint64_t FrameCheck(const uint8_t* frame, int64_t at, uint64_t nonce) {
  return Hash64(frame, kFrame - 8, nonce ^ (static_cast<uint64_t>(at) * 0x9E3779B97F4A7C15ull));
}

uint64_t Fold(uint64_t fold, uint64_t check) {
  return std::rotl(fold ^ check, 23) * 0x9E3779B185EBCA87ull;
}

// Adds their checks to `count` frames laid out at `frames` for journal offset `at`.
void CheckFrames(uint8_t* frames, int64_t count, int64_t at, uint64_t nonce) {
  for (int64_t k = 0; k < count; ++k) {
    uint8_t* frame = frames + k * kFrame;
    Encode64(frame + kFrame - 8, FrameCheck(frame, at + k * kFrame, nonce));
  }
}

// A second thread that checks half the frames of a large record while the caller checks the
// other half: the checks are most of what journaling a step costs beyond its reads and writes.
class CheckHelper {
 public:
  CheckHelper() : worker_([this] { Work(); }) {}
  ~CheckHelper() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_one();
    worker_.join();
  }
  CheckHelper(const CheckHelper&) = delete;
  CheckHelper& operator=(const CheckHelper&) = delete;

  void Check(uint8_t* frames, int64_t count, int64_t at, uint64_t nonce) {
    const int64_t half = count / 2;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = {frames + half * kFrame, count - half, at + half * kFrame, nonce};
      pending_ = true;
    }
    wake_.notify_one();
    CheckFrames(frames, half, at, nonce);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return !pending_; });
  }

 private:
  struct Task {
    uint8_t* frames;
    int64_t count, at;
    uint64_t nonce;
  };
  void Work() {
    // The signals a change holds back must never land here, in the middle of it.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return pending_ || stop_; });
      if (stop_) return;
      CheckFrames(task_.frames, task_.count, task_.at, task_.nonce);
      pending_ = false;
      done_.notify_one();
    }
  }
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  Task task_{};
  bool pending_ = false, stop_ = false;
  std::thread worker_;
};

// Lays content out in frames of one sequence number at `out`, for journal offset `at`, piece by
// piece, so that a record's head and its data need not be copied together first. With no `out`
// it only computes the frames' checks. fold() sums the checks up: a hash of every byte laid out,
// its place and its record. With `deferChecks`, frames are laid out without their checks, for
// CheckFrames to add.
class Framer {
 public:
  Framer(uint8_t* out, int64_t at, uint64_t seq, uint64_t nonce, bool deferChecks = false)
      : out_(out != nullptr ? out : local_),
        store_(out != nullptr),
        defer_(deferChecks),
        at_(at),
        seq_(seq),
        nonce_(nonce) {}
  void Append(const uint8_t* p, int64_t n) {
    while (n > 0) {
      if (fill_ == 0) std::memset(out_, 0, kFrame);
      const int64_t piece = std::min(n, kFrameContent - fill_);
      std::memcpy(out_ + fill_, p, static_cast<std::size_t>(piece));
      fill_ += piece;
      p += piece;
      n -= piece;
      if (fill_ == kFrameContent) Seal();
    }
  }
  // Seals the last frame (an empty content makes one frame); answers the bytes laid out.
  int64_t Finish() {
    if (fill_ > 0 || used_ == 0) {
      if (fill_ == 0) std::memset(out_, 0, kFrame);
      Seal();
    }
    return used_;
  }
  uint64_t fold() const { return fold_; }

 private:
  void Seal() {
    Encode64(out_ + kFrameContent, seq_);
    if (!defer_) {
      const uint64_t check = FrameCheck(out_, at_, nonce_);
      Encode64(out_ + kFrame - 8, check);
      fold_ = Fold(fold_, check);
    }
    if (store_) out_ += kFrame;
    at_ += kFrame;
    used_ += kFrame;
    fill_ = 0;
  }
  uint8_t local_[kFrame];
  uint8_t* out_;
  bool store_, defer_;
  int64_t at_;
  uint64_t seq_, nonce_;
  int64_t fill_ = 0, used_ = 0;
  uint64_t fold_ = 0;
};

void MakeFrames(const uint8_t* content, int64_t n, uint64_t seq, int64_t at, uint64_t nonce,
                uint8_t* out) {
  Framer framer(out, at, seq, nonce);
  framer.Append(content, n);
  framer.Finish();
}

enum class FrameState { kZero, kWhole, kDamaged };

FrameState Inspect(const uint8_t* frame, int64_t at, uint64_t nonce, uint64_t* seq) {
  if (Get64(frame + kFrame - 8) == FrameCheck(frame, at, nonce)) {
    *seq = Get64(frame + kFrameContent);
    return FrameState::kWhole;
  }
  for (int64_t k = 0; k < kFrame; ++k) {
    if (frame[k] != 0) return FrameState::kDamaged;
  }
  return FrameState::kZero;
}

// Where things lie in a journal.
struct Layout {
  uint64_t nonce = 0;
  uint64_t inode = 0;
  int64_t planBytes = 0;
  int64_t payloadBytes = 0;
  int64_t slotData = 0;  // the most data one record holds

  int64_t PlanAt() const { return kFrame; }
  int64_t PayloadAt() const { return PlanAt() + FramesFor(planBytes) * kFrame; }
  int64_t SlotFrames() const { return FramesFor(kRecordHead + slotData); }
  int64_t SlotAt(uint64_t seq) const {
    return PayloadAt() + FramesFor(payloadBytes) * kFrame +
           static_cast<int64_t>(seq % 2) * SlotFrames() * kFrame;
  }
  int64_t End() const { return SlotAt(0) + 2 * SlotFrames() * kFrame; }
};

// The bytes of a change's final writes, as the journal keeps them.
struct FinalWrite {
  int64_t pos;
  int64_t size;
  int64_t payloadAt;
  int64_t preimageAt;        // -1 when none: only a change that moves nothing keeps them
  const std::string* bytes;  // in memory, when the change has them there
};

// What the journal's plan holds, read back.
struct Recorded {
  int64_t oldLength = 0, newLength = 0, chunkBytes = 0;
  std::vector<Splice> splices;
  std::vector<FinalWrite> writes;
  std::string prefix;
  std::vector<uint64_t> samples;  // a hash of the start of each step's source
};

std::string Serialize(const Recorded& r) {
  std::string out;
  Put64(&out, static_cast<uint64_t>(r.oldLength));
  Put64(&out, static_cast<uint64_t>(r.newLength));
  Put64(&out, static_cast<uint64_t>(r.chunkBytes));
  Put64(&out, r.splices.size());
  for (const Splice& s : r.splices) {
    Put64(&out, static_cast<uint64_t>(s.pos));
    Put64(&out, static_cast<uint64_t>(s.removed));
    Put64(&out, static_cast<uint64_t>(s.inserted));
  }
  Put64(&out, r.writes.size());
  for (const FinalWrite& w : r.writes) {
    Put64(&out, static_cast<uint64_t>(w.pos));
    Put64(&out, static_cast<uint64_t>(w.size));
    Put64(&out, static_cast<uint64_t>(w.payloadAt));
    Put64(&out, static_cast<uint64_t>(w.preimageAt + 1));
  }
  Put64(&out, r.prefix.size());
  out += r.prefix;
  Put64(&out, r.samples.size());
  for (uint64_t h : r.samples) Put64(&out, h);
  return out;
}

class Reader {
 public:
  explicit Reader(const std::string& bytes) : bytes_(bytes) {}
  bool Next(uint64_t* v) {
    if (bytes_.size() - at_ < 8) return false;
    *v = Get64(reinterpret_cast<const uint8_t*>(bytes_.data()) + at_);
    at_ += 8;
    return true;
  }
  bool Count(uint64_t* n, uint64_t each) { return Next(n) && *n <= (bytes_.size() - at_) / each; }
  bool Bytes(uint64_t n, std::string* out) {
    if (bytes_.size() - at_ < n) return false;
    out->assign(bytes_, at_, n);
    at_ += n;
    return true;
  }
  bool done() const { return at_ == bytes_.size(); }

 private:
  const std::string& bytes_;
  std::size_t at_ = 0;
};

// The steps PlanMoves makes, counted without making them, so that a journal cannot make a
// recovery build an unbounded list.
uint64_t CountMoves(const std::vector<Splice>& splices, int64_t length, int64_t chunkBytes) {
  uint64_t count = 0;
  int64_t shift = 0;
  for (std::size_t j = 0; j < splices.size(); ++j) {
    shift += splices[j].inserted - splices[j].removed;
    const int64_t from = splices[j].pos + splices[j].removed;
    const int64_t to = j + 1 < splices.size() ? splices[j + 1].pos : length;
    if (from < to && shift != 0)
      count += static_cast<uint64_t>((to - from + chunkBytes - 1) / chunkBytes);
  }
  return count;
}

// False when the plan is not one this tool could have written.
bool Deserialize(const std::string& bytes, const Layout& layout, Recorded* r) {
  Reader in(bytes);
  uint64_t oldLength, newLength, chunk, n;
  const auto limit = static_cast<uint64_t>(MAX_FILE_LENGTH);
  if (!in.Next(&oldLength) || !in.Next(&newLength) || !in.Next(&chunk) || oldLength > limit ||
      newLength > limit || chunk == 0 || chunk > limit || !in.Count(&n, 24)) {
    return false;
  }
  r->oldLength = static_cast<int64_t>(oldLength);
  r->newLength = static_cast<int64_t>(newLength);
  r->chunkBytes = static_cast<int64_t>(chunk);
  int64_t previousEnd = 0;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t pos, removed, inserted;
    if (!in.Next(&pos) || !in.Next(&removed) || !in.Next(&inserted)) return false;
    if (pos > oldLength || removed > oldLength - pos || inserted > limit ||
        static_cast<int64_t>(pos) < previousEnd) {
      return false;
    }
    previousEnd = static_cast<int64_t>(pos + removed);
    r->splices.push_back(
        {static_cast<int64_t>(pos), static_cast<int64_t>(removed), static_cast<int64_t>(inserted)});
  }
  if (LengthAfter(r->splices, r->oldLength) != r->newLength || !in.Count(&n, 32)) return false;
  const auto payload = static_cast<uint64_t>(layout.payloadBytes);
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t pos, size, at, preimage;
    if (!in.Next(&pos) || !in.Next(&size) || !in.Next(&at) || !in.Next(&preimage) ||
        pos > newLength || size > newLength - pos || at > payload || size > payload - at ||
        (preimage != 0 && (preimage - 1 > payload || size > payload - (preimage - 1)))) {
      return false;
    }
    r->writes.push_back({static_cast<int64_t>(pos), static_cast<int64_t>(size),
                         static_cast<int64_t>(at), static_cast<int64_t>(preimage) - 1, nullptr});
  }
  if (!in.Next(&n) || n > static_cast<uint64_t>(kPrefixBytes) || n > oldLength ||
      !in.Bytes(n, &r->prefix) || !in.Count(&n, 8)) {
    return false;
  }
  if (n != CountMoves(r->splices, r->oldLength, r->chunkBytes)) return false;
  r->samples.resize(n);
  for (uint64_t& h : r->samples) in.Next(&h);
  return in.done();
}

// The regions that the final writes cover, merged, in ascending order.
using Regions = std::vector<std::pair<int64_t, int64_t>>;

Regions FinalRegions(const std::vector<FinalWrite>& writes) {
  Regions regions;
  for (const FinalWrite& w : writes) {
    if (w.size > 0) regions.push_back({w.pos, w.pos + w.size});
  }
  std::sort(regions.begin(), regions.end());
  Regions merged;
  for (const auto& r : regions) {
    if (!merged.empty() && r.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  return merged;
}

// Adds to `h` the bytes at [at, at + n) that no final write covers: what a step left in the
// file, before the final writes and after them alike.
uint64_t HashUncovered(uint64_t h, int64_t at, const uint8_t* bytes, int64_t n,
                       const Regions& covered) {
  auto r = std::upper_bound(covered.begin(), covered.end(), std::make_pair(at, INT64_MAX));
  if (r != covered.begin() && std::prev(r)->second > at) --r;
  int64_t pos = at;
  const int64_t end = at + n;
  while (pos < end) {
    const int64_t stop = r != covered.end() ? std::min(end, r->first) : end;
    if (stop > pos) {
      h = Hash64(bytes + (pos - at), static_cast<std::size_t>(stop - pos),
                 h ^ static_cast<uint64_t>(pos));
    }
    if (r == covered.end() || r->first >= end) break;
    pos = std::max(pos, r->second);
    ++r;
  }
  return h;
}

uint64_t SampleHash(const ChunkMove& m, const uint8_t* source) {
  return Hash64(source, static_cast<std::size_t>(std::min(m.size, kSampleBytes)),
                static_cast<uint64_t>(m.from));
}

bool Overlaps(const ChunkMove& m) { return std::abs(m.to - m.from) < m.size; }

// The newest whole record of a journal.
struct Record {
  uint64_t seq = 0;  // 0 when there is none
  uint32_t kind = 0;
  uint64_t step = 0;
  uint64_t movedHash = 0;
  std::string data;
};

void LayOutRecord(Framer* framer, uint32_t kind, uint64_t step, uint64_t movedHash,
                  const uint8_t* data, int64_t size) {
  uint8_t head[kRecordHead];
  EncodeFixed32(head, kind);
  EncodeFixed32(head + 4, 0);
  Encode64(head + 8, step);
  Encode64(head + 16, static_cast<uint64_t>(size));
  Encode64(head + 24, movedHash);
  framer->Append(head, kRecordHead);
  framer->Append(data, size);
}

// What step `step` adds to the hash of everything moved. When its bytes went to the journal and
// no final write covers its destination, the checks of its record's frames already hash them:
// the fold of those. Otherwise its bytes themselves, but for what final writes cover.
bool FoldedStep(const ChunkMove& m, const Regions& covered) {
  if (!Overlaps(m)) return false;
  auto r =
      std::lower_bound(covered.begin(), covered.end(), std::make_pair(m.to + m.size, INT64_MIN));
  return r == covered.begin() || std::prev(r)->second <= m.to;
}

uint64_t AddStep(uint64_t h, const ChunkMove& m, const uint8_t* bytes, uint64_t recordFold,
                 const Regions& covered) {
  if (FoldedStep(m, covered)) return std::rotl(h ^ recordFold, 29) * 0xC2B2AE3D27D4EB4Full;
  return HashUncovered(h, m.to, bytes, m.size, covered);
}

// An open journal: framed reads and writes.
class Journal {
 public:
  Journal(Files& files, int fd, Layout layout) : file_(files, fd), layout_(layout) {}

  AtbFile& file() { return file_; }
  const Layout& layout() const { return layout_; }

  // Writes `n` content bytes as frames of `seq` at `at`.
  Status WriteFramed(int64_t at, const uint8_t* content, int64_t n, uint64_t seq,
                     std::vector<uint8_t>* scratch) {
    scratch->resize(static_cast<std::size_t>(std::max<int64_t>(FramesFor(n), 1) * kFrame));
    MakeFrames(content, n, seq, at, layout_.nonce, scratch->data());
    return file_.WriteAt(at, scratch->data(), scratch->size());
  }

  // Reads `n` content bytes at content position `pos` of the region of frames at `region`,
  // every frame whole and of `seq`.
  Status ReadFramed(int64_t region, int64_t pos, uint8_t* out, int64_t n, uint64_t seq) {
    uint8_t frames[kFramesPerIo * kFrame];
    int64_t frame = pos / kFrameContent;
    int64_t skip = pos % kFrameContent;
    while (n > 0) {
      const int64_t count = std::min(kFramesPerIo, FramesFor(skip + n));
      const int64_t at = region + frame * kFrame;
      Status s = file_.ReadAt(at, frames, static_cast<std::size_t>(count * kFrame));
      if (!s.ok()) return s;
      for (int64_t k = 0; k < count && n > 0; ++k) {
        uint64_t got;
        if (Inspect(frames + k * kFrame, at + k * kFrame, layout_.nonce, &got) !=
                FrameState::kWhole ||
            got != seq) {
          return Status::Damaged("its journal changed while it was read");
        }
        const int64_t piece = std::min(n, kFrameContent - skip);
        std::memcpy(out, frames + k * kFrame + skip, static_cast<std::size_t>(piece));
        out += piece;
        n -= piece;
        skip = 0;
      }
      frame += count;
    }
    return Status::Ok();
  }

  // *fold, when given, gets the fold of the record's frame checks; `helper`, when given, checks
  // half of them.
  Status WriteRecord(uint32_t kind, uint64_t step, uint64_t movedHash, const uint8_t* data,
                     int64_t size, std::vector<uint8_t>* scratch, uint64_t* fold = nullptr,
                     CheckHelper* helper = nullptr) {
    const uint64_t seq = step + 1;
    const int64_t at = layout_.SlotAt(seq);
    scratch->resize(static_cast<std::size_t>(FramesFor(kRecordHead + size) * kFrame));
    Framer framer(scratch->data(), at, seq, layout_.nonce, /*deferChecks=*/true);
    LayOutRecord(&framer, kind, step, movedHash, data, size);
    const int64_t bytes = framer.Finish();
    const int64_t frames = bytes / kFrame;
    if (helper != nullptr && frames >= 64) {
      helper->Check(scratch->data(), frames, at, layout_.nonce);
    } else {
      CheckFrames(scratch->data(), frames, at, layout_.nonce);
    }
    if (fold != nullptr) {
      *fold = 0;
      for (int64_t k = 0; k < frames; ++k) {
        *fold = Fold(*fold, Get64(scratch->data() + k * kFrame + kFrame - 8));
      }
    }
    return file_.WriteAt(at, scratch->data(), static_cast<std::size_t>(bytes));
  }

  // The fold of the frame checks a record of step `step` holding `data` has.
  uint64_t RecordFold(uint64_t step, uint64_t movedHash, const uint8_t* data, int64_t size) const {
    Framer framer(nullptr, layout_.SlotAt(step + 1), step + 1, layout_.nonce);
    LayOutRecord(&framer, kChunkMoved, step, movedHash, data, size);
    framer.Finish();
    return framer.fold();
  }

  // The newest whole record in the two slots. Damaged when a slot holds a damaged frame.
  Status ReadNewest(Record* newest) {
    newest->seq = 0;
    const int64_t frames = layout_.SlotFrames();
    std::vector<uint8_t> slot(static_cast<std::size_t>(frames * kFrame));
    for (uint64_t k = 0; k < 2; ++k) {
      const int64_t at = layout_.SlotAt(k);
      Status s = file_.ReadAt(at, slot.data(), slot.size());
      if (!s.ok()) return s;
      std::vector<uint64_t> seqs(static_cast<std::size_t>(frames));
      std::vector<bool> whole(static_cast<std::size_t>(frames));
      for (int64_t f = 0; f < frames; ++f) {
        const FrameState state =
            Inspect(slot.data() + f * kFrame, at + f * kFrame, layout_.nonce, &seqs[f]);
        if (state == FrameState::kDamaged) return Status::Damaged("a record in it is damaged");
        whole[f] = state == FrameState::kWhole;
      }
      if (!whole[0] || seqs[0] == 0 || seqs[0] % 2 != k || seqs[0] <= newest->seq) continue;
      const uint8_t* head = slot.data();
      const uint64_t size = Get64(head + 16);
      if (size > static_cast<uint64_t>(layout_.slotData) || Get64(head + 8) + 1 != seqs[0]) {
        return Status::Damaged("a record in it does not fit its plan");
      }
      const int64_t need = FramesFor(kRecordHead + static_cast<int64_t>(size));
      bool complete = true;
      for (int64_t f = 0; f < need; ++f) complete = complete && whole[f] && seqs[f] == seqs[0];
      if (!complete) continue;  // cut short: the step it guards was never started
      newest->seq = seqs[0];
      newest->kind = DecodeFixed32(head);
      newest->step = Get64(head + 8);
      newest->movedHash = Get64(head + 24);
      std::string content(static_cast<std::size_t>(need * kFrameContent), '\0');
      for (int64_t f = 0; f < need; ++f) {
        std::memcpy(content.data() + f * kFrameContent, slot.data() + f * kFrame, kFrameContent);
      }
      newest->data = content.substr(kRecordHead, size);
    }
    return Status::Ok();
  }

 private:
  AtbFile file_;
  Layout layout_;
};

// The content of a journal region as a source, for checking a table kept there.
class FramedSource : public ByteSource {
 public:
  FramedSource(Journal& journal, int64_t region, int64_t start, int64_t size)
      : journal_(journal), region_(region), start_(start), size_(size) {}
  Status ReadAt(int64_t pos, void* buf, std::size_t n) override {
    auto* out = static_cast<uint8_t*>(buf);
    int64_t avail =
        pos >= 0 && pos < size_ ? std::min<int64_t>(size_ - pos, static_cast<int64_t>(n)) : 0;
    if (avail > 0) {
      Status s = journal_.ReadFramed(region_, start_ + pos, out, avail, 0);
      if (!s.ok()) return s;
    }
    std::memset(out + avail, 0, n - static_cast<std::size_t>(avail));
    return Status::Ok();
  }

 private:
  Journal& journal_;
  int64_t region_, start_, size_;
};

// The steps of a change from a given one on, journaled, then the final writes and the cut: what
// a change does once its journal is in place, and what a recovery does to finish it.
class StepRunner {
 public:
  // `scratch` must already hold room for the largest record (see RecordRoom).
  StepRunner(ChangeTarget& target, Journal& journal, const Recorded& recorded,
             const std::vector<ChunkMove>& moves, uint8_t* buffer, int64_t bufferBytes,
             std::vector<uint8_t>& scratch)
      : target_(target),
        journal_(journal),
        recorded_(recorded),
        moves_(moves),
        covered_(FinalRegions(recorded.writes)),
        buffer_(buffer),
        bufferBytes_(bufferBytes),
        scratch_(scratch) {
    // Only a move of many large steps gains from a second thread; without one it checks alone.
    int64_t largest = 0;
    for (const ChunkMove& m : moves) largest = std::max(largest, m.size);
    if (moves.size() > 1 && largest >= (256 << 10)) {
      try {
        helper_ = std::make_unique<CheckHelper>();
      } catch (const std::system_error&) {
      }
    }
  }

  // What step `step`, moved with `bytes`, adds to `h`, the hash of the steps before it.
  uint64_t AddStepAgain(uint64_t h, std::size_t step, const uint8_t* bytes) const {
    const ChunkMove& m = moves_[step];
    const uint64_t fold = FoldedStep(m, covered_) ? journal_.RecordFold(step, h, bytes, m.size) : 0;
    return AddStep(h, m, bytes, fold, covered_);
  }

  // Carries out the steps from `first` on: the record of step `first` is already on the disk
  // when `firstRecorded` (its frames' checks folded into `firstFold`); "all moved" too when first
  // is the number of steps and `allRecorded`.
  Status Run(std::size_t first, bool firstRecorded, uint64_t firstFold, bool allRecorded,
             uint64_t movedHash) {
    AtbFile& file = target_.file;
    MoveHooks hooks;
    uint64_t fold = firstFold;
    hooks.before = [&](std::size_t i, const ChunkMove& m, const uint8_t* bytes) {
      if (i == first && firstRecorded) return Status::Ok();
      Status s = FlushFile();  // the step before is whole before its guard can be overwritten
      if (s.ok()) {
        s = journal_.WriteRecord(kChunkMoved, i, movedHash, bytes, Overlaps(m) ? m.size : 0,
                                 &scratch_, &fold, helper_.get());
      }
      if (s.ok()) s = FlushJournal();
      return s;
    };
    hooks.after = [&](std::size_t, const ChunkMove& m, const uint8_t* bytes) {
      movedHash = AddStep(movedHash, m, bytes, fold, covered_);
      return Status::Ok();
    };
    Status s = CopyMoves(file, moves_, first, buffer_, hooks);
    if (!s.ok()) return s;
    if (!allRecorded) {
      if (!(s = FlushFile()).ok()) return s;
      s = journal_.WriteRecord(kAllMoved, moves_.size(), movedHash, nullptr, 0, &scratch_);
      if (!s.ok() || !(s = FlushJournal()).ok()) return s;
    }
    for (const FinalWrite& w : recorded_.writes) {
      if (w.bytes != nullptr) {
        s = file.WriteAt(w.pos, w.bytes->data(), w.bytes->size());
      } else {
        s = CopyFromJournal(w);
      }
      if (!s.ok()) return s;
    }
    if (recorded_.newLength < std::max(recorded_.oldLength, recorded_.newLength)) {
      if (!(s = file.SetLength(recorded_.newLength)).ok()) return s;
    }
    return FlushFile();
  }

  Status FlushFile() {
    if (target_.durable && target_.file.files().Sync(target_.file.fd()) == -1) {
      return Status::FromErrno(errno);
    }
    return Status::Ok();
  }
  Status FlushJournal() {
    if (target_.durable && journal_.file().files().Sync(journal_.file().fd()) == -1) {
      return Status::FromErrno(errno);
    }
    return Status::Ok();
  }

 private:
  Status CopyFromJournal(const FinalWrite& w) {
    const int64_t payload = journal_.layout().PayloadAt();
    for (int64_t done = 0; done < w.size;) {
      const int64_t n = std::min(w.size - done, bufferBytes_);
      Status s = journal_.ReadFramed(payload, w.payloadAt + done, buffer_, n, 0);
      if (s.ok()) s = target_.file.WriteAt(w.pos + done, buffer_, static_cast<std::size_t>(n));
      if (!s.ok()) return s;
      done += n;
    }
    return Status::Ok();
  }

  ChangeTarget& target_;
  Journal& journal_;
  const Recorded& recorded_;
  const std::vector<ChunkMove>& moves_;
  Regions covered_;
  uint8_t* buffer_;
  int64_t bufferBytes_;
  std::vector<uint8_t>& scratch_;
  std::unique_ptr<CheckHelper> helper_;
};

// What a record of `largest` bytes of data takes in frames, and what writing the payload takes:
// reserved before the file changes, so that no allocation can fail in the middle of a change.
std::size_t RecordRoom(int64_t largest) {
  return static_cast<std::size_t>(std::max(FramesFor(kRecordHead + largest), kFramesPerIo) *
                                  kFrame);
}

// Once the file has begun to change, every failure is one that leaves the change to the next
// open, whatever its kind: never "nothing was changed".
Status AfterTheFileChanged(const Status& s) {
  if (s.ok() || s.ioError()) return s;
  return Status::IoError(s.err(), s.noSpace() ? std::string() : s.Message());
}

uint64_t NewNonce() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

int64_t LargestMove(const std::vector<ChunkMove>& moves) {
  int64_t largest = 0;
  for (const ChunkMove& m : moves) largest = std::max(largest, m.size);
  return largest;
}

}  // namespace

std::string JournalPath(const std::string& realPath) {
  const std::size_t slash = realPath.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  const std::string dir = realPath.substr(0, base), name = realPath.substr(base);
  std::string plain = "." + name + ".journal";
  if (plain.size() <= 255) return dir + plain;
  // Too long for one name: a prefix and a hash of the whole name. Only these end in "ljournal",
  // so no plain journal name can be one of them.
  const uint64_t h = Fnv1a64(name);
  char hex[17];
  for (int i = 0; i < 16; ++i) hex[i] = "0123456789abcdef"[(h >> (60 - 4 * i)) & 15];
  hex[16] = '\0';
  return dir + "." + name.substr(0, 228) + "~" + hex + ".ljournal";
}

bool JournalExists(Files& files, const std::string& journalPath) {
  struct stat st;
  return files.StatPath(journalPath, &st) == 0 || errno != ENOENT;
}

namespace {

Status RunLocked(ChangeTarget& target, const ChangePlan& plan, const struct stat& st);

}  // namespace

Status RunJournaled(ChangeTarget& target, const ChangePlan& plan) {
  Files& files = target.file.files();
  struct stat st;
  if (files.Stat(target.file.fd(), &st) == -1) return Status::FromErrno(errno);
  if (st.st_nlink > 1) {
    return Status::Refused(
        "the file has " + std::to_string(st.st_nlink) +
        " names (hard links), and a change interrupted under one name could not be found under "
        "the others: give it a name of its own first (cp NAME NAME.new && mv NAME.new NAME)");
  }
  // Readers wait for the change, and the change for them.
  if (files.LockChanges(target.file.fd(), true) == -1) return Status::FromErrno(errno);
  Status s = RunLocked(target, plan, st);
  files.UnlockChanges(target.file.fd());
  return s;
}

namespace {

Status RunLocked(ChangeTarget& target, const ChangePlan& plan, const struct stat& st) {
  AtbFile& file = target.file;
  Files& files = file.files();
  const std::vector<ChunkMove> moves = PlanMoves(plan.splices, plan.oldLength, plan.chunkBytes);
  const int64_t largest = LargestMove(moves);

  // Everything the change needs is had before the file changes: memory, room, its journal.
  bool streamed = false;
  for (const ChangePlan::Write& w : plan.writes) streamed = streamed || w.source != nullptr;
  const int64_t bufferBytes = std::max<int64_t>(largest, streamed ? (1 << 20) : 4096);
  Buffer buffer(static_cast<std::size_t>(bufferBytes));
  if (!buffer.ok()) return Status::Refused("not enough memory for the change");

  Recorded recorded;
  recorded.oldLength = plan.oldLength;
  recorded.newLength = plan.newLength;
  recorded.chunkBytes = plan.chunkBytes;
  recorded.splices = plan.splices;
  int64_t keep = std::min(plan.oldLength, kPrefixBytes);
  if (!plan.splices.empty()) keep = std::min(keep, plan.splices.front().pos);
  recorded.prefix.resize(static_cast<std::size_t>(keep));
  Status s = file.ReadAt(0, recorded.prefix.data(), recorded.prefix.size());
  if (!s.ok()) return s;
  for (const ChunkMove& m : moves) {
    if (!(s = file.ReadAt(m.from, buffer.data(),
                          static_cast<std::size_t>(std::min(m.size, kSampleBytes))))
             .ok()) {
      return s;
    }
    recorded.samples.push_back(SampleHash(m, buffer.data()));
  }
  int64_t payloadBytes = 0;
  for (const ChangePlan::Write& w : plan.writes) {
    recorded.writes.push_back({w.pos, w.Size(), payloadBytes, -1, w.source ? nullptr : &w.bytes});
    payloadBytes += w.Size();
  }
  // A change that moves nothing keeps what its writes replace: it is all a recovery can check
  // the file against.
  if (moves.empty()) {
    for (FinalWrite& w : recorded.writes) {
      w.preimageAt = payloadBytes;
      payloadBytes += w.size;
    }
  }
  const std::string planBytes = Serialize(recorded);
  Layout layout;
  layout.nonce = NewNonce();
  layout.inode = static_cast<uint64_t>(st.st_ino);
  layout.planBytes = static_cast<int64_t>(planBytes.size());
  layout.payloadBytes = payloadBytes;
  layout.slotData = largest;

  // Room beyond the end, reserved without changing the file's length; given back on refusal.
  const bool grows = plan.newLength > plan.oldLength;
  auto giveBack = [&](Status why) {
    if (grows) files.Truncate(file.fd(), plan.oldLength);
    return why;
  };
  if (grows &&
      files.Allocate(file.fd(), plan.oldLength, plan.newLength - plan.oldLength, true) == -1 &&
      errno != EOPNOTSUPP) {
    return giveBack(Status::FromErrno(errno));
  }
  const int jfd =
      files.Open(target.journalPath, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (jfd == -1) {
    if (errno == EEXIST)
      return giveBack(Status::Refused("an interrupted change is still to be finished"));
    if (errno == ENOSPC || errno == EDQUOT) return giveBack(Status::NoSpace());
    return giveBack(Status::Refused(std::string("cannot write its journal beside the file: ") +
                                    std::strerror(errno)));
  }
  Journal journal(files, jfd, layout);
  const std::string dir = DirectoryOf(target.journalPath);
  bool committed = false;  // the journal is whole on the disk: a crash now finishes the change
  // Nothing of the file has changed: the journal goes, and a crash cannot bring it back whole.
  // A journal whose header is gone is one that was never written: the next open removes it,
  // should the removal here fail. One still whole could be finished by the next open, though,
  // and that is then said instead of the refusal.
  auto withdraw = [&](Status why) {
    giveBack(Status::Ok());
    bool neutral = !committed;
    if (committed) {
      uint8_t zero[kFrame] = {};
      neutral = journal.file().WriteAt(0, zero, sizeof zero).ok() &&
                (!target.durable || files.Sync(jfd) == 0);
    }
    files.Close(jfd);
    const bool removed = files.Unlink(target.journalPath) == 0 &&
                         (!committed || !target.durable || files.SyncDirectory(dir) == 0);
    if (!neutral && !removed) {
      return Status::IoError(errno, why.Message() + "; its journal could not be withdrawn, and " +
                                        "the next open may finish the change");
    }
    return why;
  };
  if (files.Allocate(jfd, 0, layout.End(), false) == -1) {
    if (errno != EOPNOTSUPP) return withdraw(Status::FromErrno(errno));
    if (files.Truncate(jfd, layout.End()) == -1) return withdraw(Status::FromErrno(errno));
  }
  std::vector<uint8_t> scratch;
  try {
    scratch.reserve(RecordRoom(largest));
  } catch (const std::bad_alloc&) {
    return withdraw(Status::Refused("not enough memory for the change"));
  }
  {
    std::string head(kMagic, sizeof kMagic);
    Put64(&head, layout.nonce);
    Put64(&head, layout.inode);
    Put64(&head, static_cast<uint64_t>(layout.planBytes));
    Put64(&head, static_cast<uint64_t>(layout.payloadBytes));
    Put64(&head, static_cast<uint64_t>(layout.slotData));
    std::vector<uint8_t> frames(
        static_cast<std::size_t>((1 + FramesFor(layout.planBytes)) * kFrame));
    MakeFrames(reinterpret_cast<const uint8_t*>(head.data()), kHeaderBytes, 0, 0, 0, frames.data());
    MakeFrames(reinterpret_cast<const uint8_t*>(planBytes.data()), layout.planBytes, 0,
               layout.PlanAt(), layout.nonce, frames.data() + kFrame);
    if (!(s = journal.file().WriteAt(0, frames.data(), frames.size())).ok()) return withdraw(s);
  }
  // The payload, streamed frame by frame: new bytes first, then what a change that moves
  // nothing replaces.
  {
    std::vector<uint8_t> pending;
    int64_t at = layout.PayloadAt();
    auto flush = [&](bool last) {
      const int64_t whole = static_cast<int64_t>(pending.size()) / kFrameContent;
      const int64_t n = last ? static_cast<int64_t>(pending.size()) : whole * kFrameContent;
      if (n == 0) return Status::Ok();
      Status w = journal.WriteFramed(at, pending.data(), n, 0, &scratch);
      at += FramesFor(n) * kFrame;
      pending.erase(pending.begin(), pending.begin() + n);
      return w;
    };
    auto append = [&](ByteSource& source, int64_t from, int64_t size) {
      for (int64_t done = 0; done < size;) {
        const int64_t n = std::min(size - done, kFramesPerIo * kFrameContent);
        const std::size_t old = pending.size();
        pending.resize(old + static_cast<std::size_t>(n));
        Status r = source.ReadAt(from + done, pending.data() + old, static_cast<std::size_t>(n));
        if (r.ok()) r = flush(false);
        if (!r.ok()) return r;
        done += n;
      }
      return Status::Ok();
    };
    for (const ChangePlan::Write& w : plan.writes) {
      if (w.source != nullptr) {
        s = append(*w.source, 0, w.size);
      } else {
        MemorySource bytes(reinterpret_cast<const uint8_t*>(w.bytes.data()), w.bytes.size());
        s = append(bytes, 0, w.Size());
      }
      if (!s.ok()) return withdraw(s);
    }
    for (const FinalWrite& w : recorded.writes) {
      if (w.preimageAt >= 0 && !(s = append(file, w.pos, w.size)).ok()) return withdraw(s);
    }
    if (!(s = flush(true)).ok()) return withdraw(s);
  }
  // Tables that are inserted are checked where they can no longer change.
  for (std::size_t i = 0; i < plan.writes.size(); ++i) {
    if (!plan.writes[i].table) continue;
    FramedSource kept(journal, layout.PayloadAt(), recorded.writes[i].payloadAt,
                      recorded.writes[i].size);
    s = CheckTree(kept, 0, recorded.writes[i].size);
    if (s.damaged())
      return withdraw(Status::Refused("the table to insert is damaged: " + s.Message()));
    if (!s.ok()) return withdraw(s);
  }
  // The first record belongs to the same write as the plan: without it the plan is cut short.
  uint64_t firstFold = 0;
  if (moves.empty()) {
    s = journal.WriteRecord(kAllMoved, 0, layout.nonce, nullptr, 0, &scratch);
  } else {
    const ChunkMove& m = moves[0];
    s = file.ReadAt(m.from, buffer.data(), static_cast<std::size_t>(m.size));
    if (s.ok()) {
      s = journal.WriteRecord(kChunkMoved, 0, layout.nonce, buffer.data(), Overlaps(m) ? m.size : 0,
                              &scratch, &firstFold);
    }
  }
  if (!s.ok()) return withdraw(s);
  if (target.durable) {
    if (files.Sync(jfd) == -1) return withdraw(Status::FromErrno(errno));
    committed = true;
    if (files.SyncDirectory(dir) == -1) return withdraw(Status::FromErrno(errno));
  }
  committed = true;

  // From here on the file changes; a failure leaves the journal for the next open.
  DeferSignals hold;
  if (!hold.ok()) return withdraw(Status::Refused("the signals that end a process cannot be held"));
  if (plan.newLength > plan.oldLength && !(s = file.SetLength(plan.newLength)).ok()) {
    return withdraw(s);
  }
  StepRunner runner(target, journal, recorded, moves, buffer.data(), bufferBytes, scratch);
  s = runner.Run(0, true, firstFold, moves.empty(), layout.nonce);
  if (!s.ok()) {
    files.Close(jfd);
    return AfterTheFileChanged(s);
  }
  if (files.Close(jfd) == -1 || files.Unlink(target.journalPath) == -1) {
    return Status::FromErrno(errno);
  }
  if (target.durable && files.SyncDirectory(dir) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

// A journal read and judged, with what a recovery needs to go on from where the change stopped.
class Judged {
 public:
  Judged(Files& files, AtbFile& file, std::string path)
      : files_(files), file_(file), path_(std::move(path)) {}
  ~Judged() {
    if (fd_ != -1) files_.Close(fd_);
  }

  JournalVerdict Judge(Finisher finisher, bool forWriting);

  Journal& journal() { return *journal_; }
  const Recorded& recorded() const { return recorded_; }
  const std::vector<ChunkMove>& moves() const { return moves_; }
  const Record& newest() const { return newest_; }
  int fd() const { return fd_; }

 private:
  JournalVerdict Refuse(std::string why, bool discardable) {
    JournalVerdict v;
    v.kind = JournalVerdict::kRefused;
    v.reason = std::move(why);
    v.discardable = discardable;
    v.summary = summary_;
    return v;
  }
  // Why the file does not fit the journal; empty when it does.
  Status Fits(std::string* why);
  std::string Summary() const;

  Files& files_;
  AtbFile& file_;
  std::string path_;
  int fd_ = -1;
  std::unique_ptr<Journal> journal_;
  Recorded recorded_;
  std::vector<ChunkMove> moves_;
  Record newest_;
  std::string summary_;
};

std::string Judged::Summary() const {
  std::string s = "a change from " + std::to_string(recorded_.oldLength) + " to " +
                  std::to_string(recorded_.newLength) + " bytes (" +
                  std::to_string(recorded_.splices.size()) + " places resized, " +
                  std::to_string(recorded_.writes.size()) + " writes), ";
  if (newest_.kind == kAllMoved) return s + "stopped in its final writes";
  return s + "stopped at step " + std::to_string(newest_.step + 1) + " of " +
         std::to_string(moves_.size()) + " of its move";
}

JournalVerdict Judged::Judge(Finisher finisher, bool forWriting) {
  const std::string name = "its journal " + path_;
  struct stat jst;
  if (files_.StatPath(path_, &jst) == -1) {
    if (errno == ENOENT) return {};
    return Refuse(name + " cannot be looked at: " + std::strerror(errno), false);
  }
  if (S_ISLNK(jst.st_mode)) return Refuse(name + " is a symbolic link, not a journal", true);
  if (!S_ISREG(jst.st_mode)) return Refuse(name + " is not a regular file", false);
  fd_ =
      files_.Open(path_, (forWriting ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd_ == -1) {
    return Refuse(name + " cannot be opened: " + std::strerror(errno) + " (it belongs to user " +
                      std::to_string(jst.st_uid) + ")",
                  false);
  }
  struct stat st, fst;
  if (files_.Stat(fd_, &st) == -1 || files_.Stat(file_.fd(), &fst) == -1) {
    return Refuse(name + " cannot be looked at: " + std::strerror(errno), false);
  }
  if (!S_ISREG(st.st_mode)) return Refuse(name + " is not a regular file", false);
  const uid_t me = files_.UserId();
  // A reading command finishes only its own user's changes; a change also those of the file's
  // owner and of the superuser, who may change anyone's file.
  const bool trusted = (st.st_mode & 07777) == 0600 &&
                       (st.st_uid == me || (finisher == Finisher::kEditor &&
                                            (st.st_uid == fst.st_uid || st.st_uid == 0)));
  std::string distrust;
  if ((st.st_mode & 07777) != 0600) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    distrust = name + " was not made by this tool (mode " + mode + ", not 0600)";
  } else if (!trusted) {
    distrust = name + " belongs to user " + std::to_string(st.st_uid) +
               (finisher == Finisher::kReader && st.st_uid != me
                    ? ": a reading command finishes only its own user's changes"
                    : "");
  }

  AtbFile jfile(files_, fd_);
  Status s;
  uint8_t head[kFrame] = {};
  std::size_t got;
  if (!(s = jfile.ReadUpTo(0, head, sizeof head, &got)).ok()) {
    return Refuse(name + " cannot be read: " + s.Message(), false);
  }
  JournalVerdict cut;
  cut.kind = JournalVerdict::kCut;
  uint64_t seq;
  const FrameState headState = Inspect(head, 0, 0, &seq);
  auto cutOrDistrusted = [&]() {
    if (distrust.empty()) return cut;
    return Refuse(distrust + "; it was written only in part and changed nothing", true);
  };
  // Never written whole: the file is touched only once the journal is.
  if (headState == FrameState::kZero) return cutOrDistrusted();
  if (headState == FrameState::kDamaged || seq != 0 || std::memcmp(head, kMagic, 8) != 0) {
    const bool ours = std::memcmp(head, kMagic, 8) == 0;
    return Refuse(name + (ours ? " is damaged: its header does not check out"
                               : " is not a journal this tool wrote"),
                  true);
  }
  Layout layout;
  layout.nonce = Get64(head + 8);
  layout.inode = Get64(head + 16);
  layout.planBytes = static_cast<int64_t>(Get64(head + 24));
  layout.payloadBytes = static_cast<int64_t>(Get64(head + 32));
  layout.slotData = static_cast<int64_t>(Get64(head + 40));
  if (layout.planBytes <= 0 || layout.planBytes > kMaxPlanBytes || layout.payloadBytes < 0 ||
      layout.payloadBytes > kMaxPayloadBytes || layout.slotData < 0 ||
      layout.slotData > kMaxSlotData) {
    return Refuse(name + " is damaged: its header does not hold together", true);
  }
  journal_ = std::make_unique<Journal>(files_, fd_, layout);

  // Every frame of the plan and the payload: a damaged one is damage, one never written means
  // the journal was cut short before the file was touched.
  bool incomplete = false;
  {
    const int64_t frames = FramesFor(layout.planBytes) + FramesFor(layout.payloadBytes);
    std::vector<uint8_t> io(static_cast<std::size_t>(kFramesPerIo * kFrame));
    std::string planBytes;
    for (int64_t f = 0; f < frames && !incomplete; f += kFramesPerIo) {
      const int64_t count = std::min(kFramesPerIo, frames - f);
      const int64_t at = layout.PlanAt() + f * kFrame;
      if (!(s = jfile.ReadAt(at, io.data(), static_cast<std::size_t>(count * kFrame))).ok()) {
        return Refuse(name + " cannot be read: " + s.Message(), false);
      }
      for (int64_t k = 0; k < count && !incomplete; ++k) {
        const FrameState state =
            Inspect(io.data() + k * kFrame, at + k * kFrame, layout.nonce, &seq);
        if (state == FrameState::kDamaged || (state == FrameState::kWhole && seq != 0)) {
          return Refuse(name + " is damaged: a frame of its plan does not check out", true);
        }
        incomplete = state == FrameState::kZero;
        if (!incomplete && f + k < FramesFor(layout.planBytes)) {
          planBytes.append(reinterpret_cast<const char*>(io.data() + k * kFrame), kFrameContent);
        }
      }
    }
    if (incomplete) return cutOrDistrusted();
    {
      planBytes.resize(static_cast<std::size_t>(layout.planBytes));
      if (!Deserialize(planBytes, layout, &recorded_)) {
        return Refuse(name + " is damaged: its plan does not hold together", true);
      }
      if (LargestMove(PlanMoves(recorded_.splices, recorded_.oldLength, recorded_.chunkBytes)) >
          layout.slotData) {
        return Refuse(name + " is damaged: its plan does not fit its records", true);
      }
      moves_ = PlanMoves(recorded_.splices, recorded_.oldLength, recorded_.chunkBytes);
    }
  }
  s = journal_->ReadNewest(&newest_);
  if (s.damaged()) return Refuse(name + " is damaged: " + s.Message(), true);
  if (!s.ok()) return Refuse(name + " cannot be read: " + s.Message(), false);
  if (newest_.seq == 0) return cutOrDistrusted();
  if ((newest_.kind != kChunkMoved && newest_.kind != kAllMoved) ||
      (newest_.kind == kChunkMoved &&
       (newest_.step >= moves_.size() ||
        (!newest_.data.empty() &&
         static_cast<int64_t>(newest_.data.size()) != moves_[newest_.step].size))) ||
      (newest_.kind == kAllMoved && newest_.step != moves_.size())) {
    return Refuse(name + " is damaged: its newest record does not fit its plan", true);
  }
  summary_ = Summary();

  std::string why;
  if (layout.inode != static_cast<uint64_t>(fst.st_ino)) {
    why = "the file is not the one its journal was written for: it was replaced since";
  } else if (!(s = Fits(&why)).ok()) {
    return Refuse(name + ": the file cannot be read: " + s.Message(), false);
  }
  if (!why.empty()) {
    return Refuse("the file no longer fits " + name + ": " + why +
                      (distrust.empty() ? "" : " (" + distrust + ")"),
                  true);
  }
  if (!distrust.empty()) {
    return Refuse(distrust +
                      "; it records an interrupted change that its owner or root can "
                      "finish with atbutil recover",
                  false);
  }
  JournalVerdict fits;
  fits.kind = JournalVerdict::kFits;
  fits.summary = summary_;
  return fits;
}

// Checks, from what the journal records, that the file holds exactly what the change's own
// writes can have left: its first bytes, every step's destination so far, the step in flight
// sector by sector, and the start of every source still to be moved.
Status Judged::Fits(std::string* why) {
  const Recorded& r = recorded_;
  const bool allMoved = newest_.kind == kAllMoved;
  const int64_t longest = std::max(r.oldLength, r.newLength);
  int64_t length;
  Status s = file_.Length(&length);
  if (!s.ok()) return s;
  const int64_t shortest = allMoved ? r.newLength : r.oldLength;
  if (length < shortest || length > longest) {
    *why = "it is " + std::to_string(length) + " bytes long, where the change left between " +
           std::to_string(shortest) + " and " + std::to_string(longest);
    return Status::Ok();
  }
  const Regions covered = FinalRegions(r.writes);
  // Before the final writes begin, nothing in front of the first splice has changed; after,
  // only what they cover.
  std::string prefix(r.prefix.size(), '\0');
  if (!(s = file_.ReadAt(0, prefix.data(), prefix.size())).ok()) return s;
  for (std::size_t k = 0; k < prefix.size(); ++k) {
    if (prefix[k] == r.prefix[k]) continue;
    const auto at = static_cast<int64_t>(k);
    const bool coveredByFinal =
        allMoved && std::any_of(covered.begin(), covered.end(),
                                [&](const auto& c) { return c.first <= at && at < c.second; });
    if (!coveredByFinal) {
      *why = "its first bytes have changed since";
      return Status::Ok();
    }
  }
  const std::size_t done = allMoved ? moves_.size() : newest_.step;
  const int64_t largest = LargestMove(moves_);
  Buffer buffer(static_cast<std::size_t>(std::max<int64_t>(largest, 1)));
  if (!buffer.ok()) return Status::Refused("not enough memory to check the file");
  uint64_t h = journal_->layout().nonce;
  for (std::size_t i = 0; i < done; ++i) {
    const ChunkMove& m = moves_[i];
    if (!(s = file_.ReadAt(m.to, buffer.data(), static_cast<std::size_t>(m.size))).ok()) return s;
    const uint64_t fold =
        FoldedStep(m, covered) ? journal_->RecordFold(i, h, buffer.data(), m.size) : 0;
    h = AddStep(h, m, buffer.data(), fold, covered);
  }
  if (h != newest_.movedHash) {
    *why = "bytes that the change moved have changed since";
    return Status::Ok();
  }
  if (allMoved) {
    if (moves_.empty()) {
      // What each final write covers is, sector by sector, as before it or as after it.
      std::string now, old, fresh;
      for (const FinalWrite& w : r.writes) {
        if (w.preimageAt < 0) continue;
        now.resize(static_cast<std::size_t>(w.size));
        old.resize(now.size());
        fresh.resize(now.size());
        s = file_.ReadAt(w.pos, now.data(), now.size());
        if (s.ok()) {
          s = journal_->ReadFramed(journal_->layout().PayloadAt(), w.preimageAt,
                                   reinterpret_cast<uint8_t*>(old.data()), w.size, 0);
        }
        if (s.ok()) {
          s = journal_->ReadFramed(journal_->layout().PayloadAt(), w.payloadAt,
                                   reinterpret_cast<uint8_t*>(fresh.data()), w.size, 0);
        }
        if (s.damaged()) return Status::Ok();
        if (!s.ok()) return s;
        for (int64_t at = w.pos; at < w.pos + w.size;) {
          const int64_t stop = std::min(w.pos + w.size, (at / 512 + 1) * 512);
          const auto k = static_cast<std::size_t>(at - w.pos),
                     n = static_cast<std::size_t>(stop - at);
          if (now.compare(k, n, old, k, n) != 0 && now.compare(k, n, fresh, k, n) != 0) {
            *why = "bytes that the change writes have changed since";
            return Status::Ok();
          }
          at = stop;
        }
      }
    }
    return Status::Ok();
  }
  // The step in flight: each sector of its destination holds the step's bytes, or what lay there
  // before where that is known (the part of its own source it overwrites).
  const ChunkMove& m = moves_[newest_.step];
  std::string data = newest_.data;
  if (data.empty()) {
    data.resize(static_cast<std::size_t>(m.size));
    if (!(s = file_.ReadAt(m.from, data.data(), data.size())).ok()) return s;
  }
  std::string now(static_cast<std::size_t>(m.size), '\0');
  if (!(s = file_.ReadAt(m.to, now.data(), now.size())).ok()) return s;
  for (int64_t at = m.to; at < m.to + m.size;) {
    const int64_t stop = std::min(m.to + m.size, (at / 512 + 1) * 512);
    const auto k = static_cast<std::size_t>(at - m.to), n = static_cast<std::size_t>(stop - at);
    if (now.compare(k, n, data, k, n) != 0) {
      for (int64_t p = at; p < stop; ++p) {
        if (p >= m.from && p < m.from + m.size &&
            now[static_cast<std::size_t>(p - m.to)] != data[static_cast<std::size_t>(p - m.from)]) {
          *why = "bytes of the step in flight have changed since";
          return Status::Ok();
        }
      }
    }
    at = stop;
  }
  // Sources still to be moved (and this step's own, when the journal does not hold its bytes).
  for (std::size_t i = newest_.data.empty() ? newest_.step : newest_.step + 1; i < moves_.size();
       ++i) {
    const ChunkMove& next = moves_[i];
    if (!(s = file_.ReadAt(next.from, buffer.data(),
                           static_cast<std::size_t>(std::min(next.size, kSampleBytes))))
             .ok()) {
      return s;
    }
    if (SampleHash(next, buffer.data()) != r.samples[i]) {
      *why = "bytes that the change has still to move have changed since";
      return Status::Ok();
    }
  }
  return Status::Ok();
}

}  // namespace

JournalVerdict ExamineJournal(Files& files, AtbFile& file, const std::string& journalPath,
                              Finisher finisher) {
  Judged judged(files, file, journalPath);
  return judged.Judge(finisher, false);
}

Status RecoverChange(ChangeTarget& target, Finisher finisher, bool* finished) {
  *finished = false;
  Files& files = target.file.files();
  Judged judged(files, target.file, target.journalPath);
  const JournalVerdict verdict = judged.Judge(finisher, true);
  const std::string dir = DirectoryOf(target.journalPath);
  auto remove = [&]() {
    *finished = true;
    if (files.Unlink(target.journalPath) == -1) return Status::FromErrno(errno);
    if (target.durable && files.SyncDirectory(dir) == -1) return Status::FromErrno(errno);
    return Status::Ok();
  };
  switch (verdict.kind) {
    case JournalVerdict::kNone:
      return Status::Ok();
    case JournalVerdict::kCut:
      return remove();
    case JournalVerdict::kRefused: {
      std::string how = verdict.discardable
                            ? "; if the file was replaced or restored on purpose, `atbutil recover "
                              "--discard` removes the journal"
                            : "";
      return Status::Refused("an interrupted change cannot be finished: " + verdict.reason + how);
    }
    case JournalVerdict::kFits:
      break;
  }
  const Recorded& r = judged.recorded();
  const std::vector<ChunkMove>& moves = judged.moves();
  const Record& newest = judged.newest();
  const int64_t largest = LargestMove(moves);
  bool streamed = false;
  for (const FinalWrite& w : r.writes) streamed = streamed || w.size > 0;
  const int64_t bufferBytes = std::max<int64_t>(largest, streamed ? (1 << 20) : 4096);
  Buffer buffer(static_cast<std::size_t>(bufferBytes));
  std::vector<uint8_t> scratch;
  try {
    scratch.reserve(RecordRoom(largest));
  } catch (const std::bad_alloc&) {
  }
  if (!buffer.ok() || scratch.capacity() < RecordRoom(largest)) {
    return Status::Refused("not enough memory to finish an interrupted change");
  }
  Status s;
  {
    DeferSignals hold;
    if (!hold.ok()) return Status::Refused("the signals that end a process cannot be held");
    StepRunner run(target, judged.journal(), r, moves, buffer.data(), bufferBytes, scratch);
    if (newest.kind == kAllMoved) {
      s = run.Run(moves.size(), true, 0, true, newest.movedHash);
    } else {
      // The step in flight again, whole, from the bytes the journal or its source kept.
      const ChunkMove& m = moves[newest.step];
      int64_t length;
      s = target.file.Length(&length);
      const int64_t longest = std::max(r.oldLength, r.newLength);
      if (s.ok() && length < longest) s = target.file.SetLength(longest);
      if (s.ok()) {
        if (newest.data.empty()) {
          s = target.file.ReadAt(m.from, buffer.data(), static_cast<std::size_t>(m.size));
        } else {
          std::memcpy(buffer.data(), newest.data.data(), newest.data.size());
        }
      }
      if (s.ok()) s = target.file.WriteAt(m.to, buffer.data(), static_cast<std::size_t>(m.size));
      if (s.ok()) {
        const uint64_t h = run.AddStepAgain(newest.movedHash, newest.step, buffer.data());
        s = run.Run(newest.step + 1, false, 0, false, h);
      }
    }
  }
  if (!s.ok()) return AfterTheFileChanged(s);
  return remove();
}

Status DiscardJournal(Files& files, AtbFile& file, const std::string& journalPath,
                      std::string* summary) {
  Judged judged(files, file, journalPath);
  const JournalVerdict verdict = judged.Judge(Finisher::kEditor, false);
  *summary = verdict.summary;
  switch (verdict.kind) {
    case JournalVerdict::kNone:
      return Status::Refused("there is no interrupted change to discard");
    case JournalVerdict::kFits:
      return Status::Refused(
          "the interrupted change still fits the file and can be finished: "
          "atbutil recover finishes it");
    case JournalVerdict::kCut:
      break;
    case JournalVerdict::kRefused:
      if (!verdict.discardable) return Status::Refused(verdict.reason);
      break;
  }
  if (files.Unlink(journalPath) == -1) return Status::FromErrno(errno);
  if (files.SyncDirectory(DirectoryOf(journalPath)) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

}  // namespace atb
