#include "change/journal_format.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "change/mark.h"
#include "store/coding.h"
#include "store/hash.h"
#include "store/layout.h"

namespace atb::journal {

namespace {

uint64_t FrameSeed(int64_t at, uint64_t nonce) {
  return nonce ^ (static_cast<uint64_t>(at) * 0x9E3779B97F4A7C15ull);
}

uint64_t FrameCheck(const uint8_t* frame, int64_t at, uint64_t nonce) {
  return Hash64(frame, kFrame - 8, FrameSeed(at, nonce));
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

uint64_t Fold(uint64_t fold, uint64_t check) {
  return std::rotl(fold ^ check, 23) * 0x9E3779B185EBCA87ull;
}

RecordHead::RecordHead(uint32_t kind, uint64_t step, int64_t size, uint64_t movedHash) {
  EncodeFixed32(bytes, kind);
  EncodeFixed32(bytes + 4, 0);
  Encode64(bytes + 8, step);
  Encode64(bytes + 16, static_cast<uint64_t>(size));
  Encode64(bytes + 24, movedHash);
}

Framer::Framer(uint8_t* out, int64_t at, uint64_t seq, uint64_t nonce)
    : start_(out != nullptr ? out : local_),
      out_(start_),
      store_(out != nullptr),
      at_(at),
      seq_(seq),
      nonce_(nonce) {}

void Framer::Append(const uint8_t* p, int64_t n) {
  while (n > 0) {
    const int64_t piece = std::min(n, kFrameContent - fill_);
    std::memcpy(out_ + fill_, p, static_cast<std::size_t>(piece));
    fill_ += piece;
    p += piece;
    n -= piece;
    if (fill_ == kFrameContent) Seal();
  }
}

int64_t Framer::Finish() {
  if (fill_ > 0 || used_ == 0) Seal();
  if (store_) Check(used_ / kFrame);
  return used_;
}

void Framer::Seal() {
  std::memset(out_ + fill_, 0, static_cast<std::size_t>(kFrameContent - fill_));
  Encode64(out_ + kFrameContent, seq_);
  used_ += kFrame;
  fill_ = 0;
  if (!store_) {
    // One frame at a time in its own buffer.
    checked_ = 0;
    Check(1);
    at_ += kFrame;
    return;
  }
  out_ += kFrame;
  if (used_ / kFrame - checked_ == 8) Check(used_ / kFrame);
}

void Framer::Check(int64_t upTo) {
  // Eight frames side by side while they are still in the cache; the rest one at a time.
  while (checked_ < upTo) {
    const int64_t count = std::min<int64_t>(upTo - checked_, 8);
    uint8_t* first = start_ + (store_ ? checked_ * kFrame : 0);
    const int64_t at = store_ ? at_ + checked_ * kFrame : at_;
    uint64_t seeds[8], checks[8];
    for (int64_t k = 0; k < count; ++k) seeds[k] = FrameSeed(at + k * kFrame, nonce_);
    if (count == 8) {
      Hash64Eight(first, kFrame, kFrame - 8, seeds, checks);
    } else {
      for (int64_t k = 0; k < count; ++k) {
        checks[k] = Hash64(first + k * kFrame, kFrame - 8, seeds[k]);
      }
    }
    for (int64_t k = 0; k < count; ++k) {
      Encode64(first + k * kFrame + kFrame - 8, checks[k]);
      fold_ = Fold(fold_, checks[k]);
    }
    checked_ += count;
  }
}

int64_t Layout::SlotFrames() const { return FramesFor(kRecordHead + slotData); }

int64_t Layout::SlotAt(int64_t slot) const {
  return PayloadAt() + FramesFor(payloadBytes) * kFrame + slot * SlotFrames() * kFrame;
}

int64_t Layout::SlotOfStep(uint64_t step) const {
  const auto b = static_cast<uint64_t>(batch);
  return static_cast<int64_t>((step / b) % static_cast<uint64_t>(halves) * b + step % b);
}

std::string Layout::Header() const {
  std::string head(kMagic, sizeof kMagic);
  for (uint64_t v : {nonce, inode, static_cast<uint64_t>(planBytes),
                     static_cast<uint64_t>(payloadBytes), static_cast<uint64_t>(slotData),
                     static_cast<uint64_t>(batch), static_cast<uint64_t>(halves)}) {
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
  halves = static_cast<int64_t>(Get64(content + 56));
  return (halves == 1 || halves == 2) && planBytes > 0 && planBytes <= kMaxPlanBytes &&
         payloadBytes >= 0 && payloadBytes <= kMaxPayloadBytes && slotData >= 0 &&
         slotData <= kMaxSlotData && batch >= 1 && batch <= kMaxBatch;
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
  Put64(&out, r.unmarked.size());
  out += r.unmarked;
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
  return in.Next(&n) && n == static_cast<uint64_t>(kMarkBytes) && in.Bytes(n, &r->unmarked) &&
         in.done();
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

int64_t Pieces(const ChunkMove& m) {
  return m.size <= 0 ? 0 : (m.to + m.size - 1) / kSector - m.to / kSector + 1;
}

namespace {

// The checks of pieces [first, first + count) of m's destination, holding `bytes`: eight whole
// sectors side by side where they can.
void PieceChecks(const ChunkMove& m, const uint8_t* bytes, uint64_t nonce, int64_t first,
                 int64_t count, uint64_t* out) {
  const int64_t end = m.to + m.size;
  const int64_t base = m.to / kSector;
  auto begin = [&](int64_t k) { return std::max(m.to, (base + k) * kSector); };
  auto stop = [&](int64_t k) { return std::min(end, (base + k + 1) * kSector); };
  auto seed = [&](int64_t at) { return FrameSeed(at, ~nonce); };
  for (int64_t k = first; k < first + count;) {
    if (k + 8 <= first + count && begin(k) == (base + k) * kSector &&
        stop(k + 7) == (base + k + 8) * kSector) {
      uint64_t seeds[8];
      for (int64_t j = 0; j < 8; ++j) seeds[j] = seed(begin(k + j));
      Hash64Eight(bytes + (begin(k) - m.to), kSector, kSector, seeds, out + (k - first));
      k += 8;
    } else {
      out[k - first] = Hash64(bytes + (begin(k) - m.to),
                              static_cast<std::size_t>(stop(k) - begin(k)), seed(begin(k)));
      ++k;
    }
  }
}

// Calls each(begin, end) for the ranges of step t's source that its record holds, in ascending
// order (see Steps).
template <class Each>
void ForEachAtRisk(const Steps& steps, std::size_t t, Each&& each) {
  const ChunkMove& m = steps.moves[t];
  const int64_t from = m.from, end = m.from + m.size;
  // What the batch's other steps write over (destinations never overlap one another).
  std::pair<int64_t, int64_t> others[kMaxBatch];
  std::size_t n = 0;
  for (std::size_t j = steps.BatchStart(t); j < steps.BatchEnd(steps.BatchStart(t)); ++j) {
    const ChunkMove& o = steps.moves[j];
    const int64_t a = std::max(from, o.to), b = std::min(end, o.to + o.size);
    if (j != t && a < b) others[n++] = {a, b};
  }
  std::sort(others, others + n);
  std::size_t next = 0;
  auto emit = [&](int64_t a, int64_t b) {
    for (; next < n && others[next].first < a; ++next)
      each(others[next].first, others[next].second);
    each(a, b);
  };
  // What the step's own write moves out of its sector: of each sector, the last `shift` bytes
  // when it moves towards the end, the first when towards the front; all of it from a shift of a
  // sector on.
  const int64_t ownBegin = std::max(from, m.to), ownEnd = std::min(end, m.to + m.size);
  const int64_t shift = m.to - m.from;
  if (ownBegin < ownEnd && std::abs(shift) >= kSector) {
    emit(ownBegin, ownEnd);
  } else if (ownBegin < ownEnd) {
    const int64_t lo = shift > 0 ? kSector - shift : 0, hi = shift > 0 ? kSector : -shift;
    for (int64_t sector = ownBegin / kSector * kSector; sector < ownEnd; sector += kSector) {
      const int64_t a = std::max(ownBegin, sector + lo), b = std::min(ownEnd, sector + hi);
      if (a < b) emit(a, b);
    }
  }
  for (; next < n; ++next) each(others[next].first, others[next].second);
}

}  // namespace

Steps::Steps(std::vector<ChunkMove> m, int64_t b, const Regions& covered)
    : moves(std::move(m)), batch(b), recordBytes(moves.size()), folded(moves.size()) {
  for (std::size_t t = 0; t < moves.size(); ++t) {
    const ChunkMove& move = moves[t];
    largest = std::max(largest, move.size);
    int64_t bytes = 8 * Pieces(move);
    ForEachAtRisk(*this, t, [&](int64_t a, int64_t e) { bytes += e - a; });
    recordBytes[t] = bytes;
    largestRecord = std::max(largestRecord, bytes);
    auto r = std::lower_bound(covered.begin(), covered.end(),
                              std::make_pair(move.to + move.size, INT64_MIN));
    folded[t] = r == covered.begin() || std::prev(r)->second <= move.to;
  }
}

void AppendRecord(Framer& framer, const Steps& steps, std::size_t step, const uint8_t* bytes,
                  uint64_t nonce) {
  const ChunkMove& m = steps.moves[step];
  const int64_t pieces = Pieces(m);
  uint64_t checks[64];
  uint8_t encoded[sizeof checks];
  for (int64_t k = 0; k < pieces; k += 64) {
    const int64_t count = std::min<int64_t>(64, pieces - k);
    PieceChecks(m, bytes, nonce, k, count, checks);
    for (int64_t j = 0; j < count; ++j) Encode64(encoded + 8 * j, checks[j]);
    framer.Append(encoded, 8 * count);
  }
  ForEachAtRisk(steps, step,
                [&](int64_t a, int64_t e) { framer.Append(bytes + (a - m.from), e - a); });
}

Status RebuildStep(PositionedFile& file, const Steps& steps, std::size_t step,
                   const std::string& data, uint64_t nonce, uint8_t* out, uint8_t* room,
                   bool* fits) {
  const ChunkMove& m = steps.moves[step];
  const auto size = static_cast<std::size_t>(m.size);
  *fits = false;
  if (static_cast<int64_t>(data.size()) != steps.recordBytes[step]) return Status::Ok();
  // Where the bytes lay, then where they go: each piece there holds them, or what lay there.
  Status s = file.ReadAt(m.from, out, size);
  if (s.ok()) s = file.ReadAt(m.to, room, size);
  if (!s.ok()) return s;
  const auto* recorded = reinterpret_cast<const uint8_t*>(data.data());
  const int64_t pieces = Pieces(m);
  const int64_t base = m.to / kSector;
  uint64_t checks[64];
  for (int64_t k = 0; k < pieces; k += 64) {
    const int64_t count = std::min<int64_t>(64, pieces - k);
    PieceChecks(m, room, nonce, k, count, checks);
    for (int64_t j = 0; j < count; ++j) {
      if (checks[j] != Get64(recorded + 8 * (k + j))) continue;
      const int64_t a = std::max(m.to, (base + k + j) * kSector);
      const int64_t e = std::min(m.to + m.size, (base + k + j + 1) * kSector);
      std::memcpy(out + (a - m.to), room + (a - m.to), static_cast<std::size_t>(e - a));
    }
  }
  // The bytes that can be lost in between come from the record.
  const uint8_t* kept = recorded + 8 * pieces;
  ForEachAtRisk(steps, step, [&](int64_t a, int64_t e) {
    std::memcpy(out + (a - m.from), kept, static_cast<std::size_t>(e - a));
    kept += e - a;
  });
  for (int64_t k = 0; k < pieces; k += 64) {
    const int64_t count = std::min<int64_t>(64, pieces - k);
    PieceChecks(m, out, nonce, k, count, checks);
    for (int64_t j = 0; j < count; ++j) {
      if (checks[j] != Get64(recorded + 8 * (k + j))) return Status::Ok();
    }
  }
  *fits = true;
  return Status::Ok();
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

Status Journal::WriteAllMoved(uint64_t steps, uint64_t movedHash, std::vector<uint8_t>* scratch) {
  const int64_t at = layout_.AllMovedAt();
  scratch->resize(static_cast<std::size_t>(kFrame));
  Framer framer(scratch->data(), at, steps + 1, layout_.nonce);
  framer.Append(RecordHead(kAllMoved, steps, 0, movedHash).bytes, kRecordHead);
  framer.Finish();
  return file_.WriteAt(at, scratch->data(), static_cast<std::size_t>(kFrame));
}

Status Journal::WriteBlanks(int64_t at, int64_t frames, std::vector<uint8_t>* scratch) {
  scratch->resize(std::max(scratch->size(), static_cast<std::size_t>(kFrame)));
  const int64_t each = static_cast<int64_t>(scratch->size()) / kFrame;
  for (int64_t done = 0; done < frames;) {
    const int64_t n = std::min(each, frames - done);
    Framer framer(scratch->data(), at + done * kFrame, kBlankSeq, layout_.nonce);
    const uint8_t zero[kFrameContent] = {};
    for (int64_t k = 0; k < n; ++k) framer.Append(zero, kFrameContent);
    framer.Finish();
    Status s =
        file_.WriteAt(at + done * kFrame, scratch->data(), static_cast<std::size_t>(n * kFrame));
    if (!s.ok()) return s;
    done += n;
  }
  return Status::Ok();
}

int64_t Journal::LayOutRecord(const Steps& steps, std::size_t step, uint64_t movedHash,
                              const uint8_t* bytes, uint8_t* out, uint64_t* fold) const {
  Framer framer(out, layout_.SlotAt(layout_.SlotOfStep(step)), step + 1, layout_.nonce);
  framer.Append(RecordHead(kChunkMoved, step, steps.recordBytes[step], movedHash).bytes,
                kRecordHead);
  AppendRecord(framer, steps, step, bytes, layout_.nonce);
  const int64_t laidOut = framer.Finish();
  *fold = framer.fold();
  return laidOut;
}

Status Journal::WriteLaidOut(uint64_t step, const uint8_t* frames, int64_t bytes) {
  return file_.WriteAt(layout_.SlotAt(layout_.SlotOfStep(step)), frames,
                       static_cast<std::size_t>(bytes));
}

uint64_t Journal::RecordFold(const Steps& steps, std::size_t step, uint64_t movedHash,
                             const uint8_t* bytes) const {
  Framer framer(nullptr, layout_.SlotAt(layout_.SlotOfStep(step)), step + 1, layout_.nonce);
  framer.Append(RecordHead(kChunkMoved, step, steps.recordBytes[step], movedHash).bytes,
                kRecordHead);
  AppendRecord(framer, steps, step, bytes, layout_.nonce);
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
  // Reads `count` frames at `at`: each must be whole, since every one was written before the file
  // was marked.
  auto read = [&](int64_t at, int64_t count) {
    Status s = file_.ReadAt(at, slot.data(), static_cast<std::size_t>(count * kFrame));
    for (int64_t f = 0; s.ok() && f < count; ++f) {
      const FrameState state =
          Inspect(slot.data() + f * kFrame, at + f * kFrame, layout_.nonce, &seqs[f]);
      if (state == FrameState::kZero) {
        s = Status::Damaged("a frame of its records was never written or is lost");
      } else if (state == FrameState::kDamaged) {
        s = Status::Damaged("a record in it is damaged");
      }
    }
    return s;
  };
  auto take = [&](uint32_t kind, uint64_t step, uint64_t size) {
    Record r;
    r.kind = kind;
    r.step = step;
    r.movedHash = Get64(slot.data() + 24);
    const int64_t need = FramesFor(kRecordHead + static_cast<int64_t>(size));
    std::string content(static_cast<std::size_t>(need * kFrameContent), '\0');
    for (int64_t f = 0; f < need; ++f) {
      std::memcpy(content.data() + f * kFrameContent, slot.data() + f * kFrame, kFrameContent);
    }
    r.data = content.substr(kRecordHead, size);
    records->push_back(std::move(r));
  };
  for (int64_t k = 0; k < layout_.Slots(); ++k) {
    Status s = read(layout_.SlotAt(k), frames);
    if (!s.ok()) return s;
    if (seqs[0] == kBlankSeq) continue;
    const uint8_t* head = slot.data();
    const uint32_t kind = DecodeFixed32(head);
    const uint64_t step = Get64(head + 8), size = Get64(head + 16);
    if (kind != kChunkMoved || step + 1 != seqs[0] || layout_.SlotOfStep(step) != k ||
        size > static_cast<uint64_t>(layout_.slotData)) {
      return Status::Damaged("a record in it does not fit its place");
    }
    const int64_t need = FramesFor(kRecordHead + static_cast<int64_t>(size));
    bool complete = true;
    for (int64_t f = 0; f < need; ++f) complete = complete && seqs[f] == seqs[0];
    if (complete) take(kind, step, size);  // else cut short: the steps it guards never started
  }
  Status s = read(layout_.AllMovedAt(), 1);
  if (!s.ok()) return s;
  if (seqs[0] != kBlankSeq) {
    const uint64_t step = Get64(slot.data() + 8);
    if (DecodeFixed32(slot.data()) != kAllMoved || step + 1 != seqs[0] ||
        Get64(slot.data() + 16) != 0) {
      return Status::Damaged("a record in it does not fit its place");
    }
    take(kAllMoved, step, 0);
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

std::size_t RecordRoom(int64_t largest) {
  return static_cast<std::size_t>(std::max(FramesFor(kRecordHead + largest), kFramesPerIo) *
                                  kFrame);
}

}  // namespace atb::journal
