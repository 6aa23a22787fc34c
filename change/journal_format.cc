#include "change/journal_format.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "store/coding.h"
#include "store/hash.h"
#include "store/layout.h"

namespace atb::journal {

namespace {

uint64_t FrameCheck(const uint8_t* frame, int64_t at, uint64_t nonce) {
  return Hash64(frame, kFrame - 8, nonce ^ (static_cast<uint64_t>(at) * 0x9E3779B97F4A7C15ull));
}

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

}  // namespace

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

void CheckFrames(uint8_t* frames, int64_t count, int64_t at, uint64_t nonce) {
  for (int64_t k = 0; k < count; ++k) {
    uint8_t* frame = frames + k * kFrame;
    Encode64(frame + kFrame - 8, FrameCheck(frame, at + k * kFrame, nonce));
  }
}

uint64_t Fold(uint64_t fold, uint64_t check) {
  return std::rotl(fold ^ check, 23) * 0x9E3779B185EBCA87ull;
}

CheckHelper::CheckHelper() : worker_([this] { Work(); }) {}

CheckHelper::~CheckHelper() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void CheckHelper::Check(uint8_t* frames, int64_t count, int64_t at, uint64_t nonce) {
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

void CheckHelper::Work() {
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

Framer::Framer(uint8_t* out, int64_t at, uint64_t seq, uint64_t nonce, bool deferChecks)
    : out_(out != nullptr ? out : local_),
      store_(out != nullptr),
      defer_(deferChecks),
      at_(at),
      seq_(seq),
      nonce_(nonce) {}

void Framer::Append(const uint8_t* p, int64_t n) {
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

int64_t Framer::Finish() {
  if (fill_ > 0 || used_ == 0) {
    if (fill_ == 0) std::memset(out_, 0, kFrame);
    Seal();
  }
  return used_;
}

void Framer::Seal() {
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

int64_t Layout::SlotFrames() const { return FramesFor(kRecordHead + slotData); }

int64_t Layout::SlotAt(int64_t slot) const {
  return PayloadAt() + FramesFor(payloadBytes) * kFrame + slot * SlotFrames() * kFrame;
}

int64_t Layout::SlotOfStep(uint64_t step) const {
  const auto b = static_cast<uint64_t>(batch);
  return static_cast<int64_t>((step / b) % 2 * b + step % b);
}

int64_t Layout::SlotOfAllMoved(uint64_t steps) const {
  // The half after the last batch's: that batch's records stay whole while it is written.
  if (steps == 0) return 0;
  const auto b = static_cast<uint64_t>(batch);
  return static_cast<int64_t>(((steps - 1) / b + 1) % 2 * b);
}

std::string Layout::Header() const {
  std::string head(kMagic, sizeof kMagic);
  for (uint64_t v :
       {nonce, inode, static_cast<uint64_t>(planBytes), static_cast<uint64_t>(payloadBytes),
        static_cast<uint64_t>(slotData), static_cast<uint64_t>(batch)}) {
    Put64(&head, v);
  }
  return head;
}

bool Layout::ReadHeader(const uint8_t* content) {
  if (std::memcmp(content, kMagic, sizeof kMagic) != 0) return false;
  nonce = Get64(content + 8);
  inode = Get64(content + 16);
  planBytes = static_cast<int64_t>(Get64(content + 24));
  payloadBytes = static_cast<int64_t>(Get64(content + 32));
  slotData = static_cast<int64_t>(Get64(content + 40));
  batch = static_cast<int64_t>(Get64(content + 48));
  return planBytes > 0 && planBytes <= kMaxPlanBytes && payloadBytes >= 0 &&
         payloadBytes <= kMaxPayloadBytes && slotData >= 0 && slotData <= kMaxSlotData &&
         batch >= 1 && batch <= kMaxBatch;
}

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

namespace {

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
}  // namespace

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

Steps::Steps(std::vector<ChunkMove> m, int64_t b, const Regions& covered)
    : moves(std::move(m)), batch(b), carries(moves.size()), folded(moves.size()) {
  for (const ChunkMove& move : moves) largest = std::max(largest, move.size);
  for (std::size_t t = 0; t < moves.size(); ++t) {
    const ChunkMove& move = moves[t];
    bool carry = std::abs(move.to - move.from) < move.size;
    for (std::size_t later = t + 1; !carry && later < BatchEnd(BatchStart(t)); ++later) {
      const ChunkMove& next = moves[later];
      carry = next.to < move.from + move.size && move.from < next.to + next.size;
    }
    carries[t] = carry;
    auto r = std::lower_bound(covered.begin(), covered.end(),
                              std::make_pair(move.to + move.size, INT64_MIN));
    folded[t] = carry && (r == covered.begin() || std::prev(r)->second <= move.to);
  }
}

uint64_t AddStep(const Steps& steps, std::size_t step, uint64_t h, const uint8_t* bytes,
                 uint64_t recordFold, const Regions& covered) {
  if (steps.folded[step]) return std::rotl(h ^ recordFold, 29) * 0xC2B2AE3D27D4EB4Full;
  const ChunkMove& m = steps.moves[step];
  return HashUncovered(h, m.to, bytes, m.size, covered);
}

Status Journal::WriteFramed(int64_t at, const uint8_t* content, int64_t n, uint64_t seq,
                            std::vector<uint8_t>* scratch) {
  scratch->resize(static_cast<std::size_t>(std::max<int64_t>(FramesFor(n), 1) * kFrame));
  Framer framer(scratch->data(), at, seq, layout_.nonce);
  framer.Append(content, n);
  framer.Finish();
  return file_.WriteAt(at, scratch->data(), scratch->size());
}

Status Journal::ReadFramed(int64_t region, int64_t pos, uint8_t* out, int64_t n, uint64_t seq) {
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

Status Journal::WriteRecord(uint32_t kind, uint64_t step, uint64_t movedHash, const uint8_t* data,
                            int64_t size, std::vector<uint8_t>* scratch, uint64_t* fold,
                            CheckHelper* helper) {
  const uint64_t seq = step + 1;
  const int64_t at =
      layout_.SlotAt(kind == kAllMoved ? layout_.SlotOfAllMoved(step) : layout_.SlotOfStep(step));
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

uint64_t Journal::RecordFold(uint64_t step, uint64_t movedHash, const uint8_t* data,
                             int64_t size) const {
  Framer framer(nullptr, layout_.SlotAt(layout_.SlotOfStep(step)), step + 1, layout_.nonce);
  LayOutRecord(&framer, kChunkMoved, step, movedHash, data, size);
  framer.Finish();
  return framer.fold();
}

void Journal::StartWriteback(uint64_t step) {
  file_.files().StartWriteback(file_.fd(), layout_.SlotAt(layout_.SlotOfStep(step)),
                               layout_.SlotFrames() * kFrame);
}

Status Journal::ReadRecords(std::vector<Record>* records) {
  records->clear();
  const int64_t frames = layout_.SlotFrames();
  std::vector<uint8_t> slot(static_cast<std::size_t>(frames * kFrame));
  std::vector<uint64_t> seqs(static_cast<std::size_t>(frames));
  std::vector<bool> whole(static_cast<std::size_t>(frames));
  for (int64_t k = 0; k < layout_.Slots(); ++k) {
    const int64_t at = layout_.SlotAt(k);
    Status s = file_.ReadAt(at, slot.data(), slot.size());
    if (!s.ok()) return s;
    for (int64_t f = 0; f < frames; ++f) {
      const FrameState state =
          Inspect(slot.data() + f * kFrame, at + f * kFrame, layout_.nonce, &seqs[f]);
      if (state == FrameState::kDamaged) return Status::Damaged("a record in it is damaged");
      whole[f] = state == FrameState::kWhole;
    }
    if (!whole[0]) continue;
    const uint8_t* head = slot.data();
    const uint32_t kind = DecodeFixed32(head);
    const uint64_t step = Get64(head + 8), size = Get64(head + 16);
    if ((kind != kChunkMoved && kind != kAllMoved) || step + 1 != seqs[0] ||
        (kind == kChunkMoved ? layout_.SlotOfStep(step) : layout_.SlotOfAllMoved(step)) != k ||
        size > static_cast<uint64_t>(layout_.slotData)) {
      return Status::Damaged("a record in it does not fit its place");
    }
    const int64_t need = FramesFor(kRecordHead + static_cast<int64_t>(size));
    bool complete = true;
    for (int64_t f = 0; f < need; ++f) complete = complete && whole[f] && seqs[f] == seqs[0];
    if (!complete) continue;  // cut short: the steps it guards were never started
    Record r;
    r.kind = kind;
    r.step = step;
    r.movedHash = Get64(head + 24);
    std::string content(static_cast<std::size_t>(need * kFrameContent), '\0');
    for (int64_t f = 0; f < need; ++f) {
      std::memcpy(content.data() + f * kFrameContent, slot.data() + f * kFrame, kFrameContent);
    }
    r.data = content.substr(kRecordHead, size);
    records->push_back(std::move(r));
  }
  return Status::Ok();
}

Status FramedSource::ReadAt(int64_t pos, void* buf, std::size_t n) {
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

StepRunner::StepRunner(ChangeFile target, Journal& journal, const Recorded& recorded,
                       const Steps& steps, const std::vector<uint8_t*>& buffers,
                       std::vector<uint8_t>& scratch)
    : target_(target),
      journal_(journal),
      recorded_(recorded),
      steps_(steps),
      covered_(FinalRegions(recorded.writes)),
      buffers_(buffers),
      scratch_(scratch) {
  // Only a move of many large steps gains from a second thread; without one it checks alone.
  if (steps.size() > 1 && steps.largest >= (256 << 10)) {
    try {
      helper_ = std::make_unique<CheckHelper>();
    } catch (const std::system_error&) {
    }
  }
}

uint64_t StepRunner::AddStepAgain(uint64_t h, std::size_t step, uint64_t batchHash,
                                  const uint8_t* bytes) const {
  const ChunkMove& m = steps_.moves[step];
  const uint64_t fold =
      steps_.folded[step] ? journal_.RecordFold(step, batchHash, bytes, m.size) : 0;
  return AddStep(steps_, step, h, bytes, fold, covered_);
}

Status StepRunner::Run(std::size_t first, const std::vector<uint64_t>* recorded, bool allRecorded,
                       uint64_t movedHash) {
  AtbFile& file = target_.file;
  std::vector<uint64_t> folds(buffers_.size());
  MoveHooks hooks;
  hooks.before = [&](std::size_t start, std::size_t end, uint8_t* const* bytes) {
    if (start == first && recorded != nullptr) {
      folds = *recorded;
      return Status::Ok();
    }
    // Every step before the batch is on the disk before its records say so, and before they
    // take the slots of the batch before last.
    Status s = FlushFile();
    for (std::size_t t = start; s.ok() && t < end; ++t) {
      s = journal_.WriteRecord(kChunkMoved, t, movedHash, bytes[t - start],
                               steps_.carries[t] ? steps_.moves[t].size : 0, &scratch_,
                               &folds[t - start], helper_.get());
      // The disk starts on it while the next is laid out.
      if (s.ok() && target_.durable) journal_.StartWriteback(t);
    }
    if (s.ok()) s = FlushJournal();
    return s;
  };
  hooks.after = [&](std::size_t t, const ChunkMove& m, const uint8_t* bytes) {
    if (target_.durable) file.files().StartWriteback(file.fd(), m.to, m.size);
    movedHash = AddStep(steps_, t, movedHash, bytes, folds[t - steps_.BatchStart(t)], covered_);
    return Status::Ok();
  };
  Status s = CopyMoves(file, steps_.moves, first, buffers_, hooks);
  if (!s.ok()) return s;
  if (!allRecorded) {
    if (!(s = FlushFile()).ok()) return s;
    s = journal_.WriteRecord(kAllMoved, steps_.size(), movedHash, nullptr, 0, &scratch_);
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

Status StepRunner::FlushFile() {
  if (target_.durable && target_.file.files().Sync(target_.file.fd()) == -1) {
    return Status::FromErrno(errno);
  }
  return Status::Ok();
}

Status StepRunner::FlushJournal() {
  if (target_.durable && journal_.file().files().Sync(journal_.file().fd()) == -1) {
    return Status::FromErrno(errno);
  }
  return Status::Ok();
}

Status StepRunner::CopyFromJournal(const FinalWrite& w) {
  // Through the scratch room, reserved before the file changed: no allocation here.
  scratch_.resize(scratch_.capacity());
  const auto room = static_cast<int64_t>(scratch_.size());
  const int64_t payload = journal_.layout().PayloadAt();
  for (int64_t done = 0; done < w.size;) {
    const int64_t n = std::min(w.size - done, room);
    Status s = journal_.ReadFramed(payload, w.payloadAt + done, scratch_.data(), n, 0);
    if (s.ok())
      s = target_.file.WriteAt(w.pos + done, scratch_.data(), static_cast<std::size_t>(n));
    if (!s.ok()) return s;
    done += n;
  }
  return Status::Ok();
}

std::size_t RecordRoom(int64_t largest) {
  return static_cast<std::size_t>(std::max(FramesFor(kRecordHead + largest), kFramesPerIo) *
                                  kFrame);
}

}  // namespace atb::journal
