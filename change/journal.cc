#include "change/journal.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "store/coding.h"
#include "store/layout.h"

namespace atb {

namespace {

constexpr char kMagic[8] = {'A', 'T', 'B', 'J', 'R', 'N', 'L', '1'};
constexpr int64_t kHeaderSize = 32;     // magic, plan size, plan hash, 8 spare bytes
constexpr int64_t kRecordHeader = 48;   // magic, kind, seq, chunk, data size, plan hash, own hash
constexpr int64_t kRecordTrailer = 16;  // seq, the header's hash
constexpr uint32_t kRecordMagic = 0x52425441;
constexpr uint32_t kChunkMoved = 1;
constexpr uint32_t kAllMoved = 2;
// The first bytes of the old file, kept to recognise it.
constexpr int64_t kPrefixBytes = 4096;

uint64_t Hash(const uint8_t* p, std::size_t n, uint64_t h = 0xCBF29CE484222325ull) {
  for (std::size_t i = 0; i < n; ++i) {
    h ^= p[i];
    h *= 0x100000001B3ull;
  }
  return h;
}

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

// Reads what Serialize wrote; false when it is not a sane plan.
class Reader {
 public:
  Reader(const std::string& bytes) : bytes_(bytes) {}
  bool Next(uint64_t* v) {
    if (bytes_.size() - at_ < 8) return false;
    *v = Get64(reinterpret_cast<const uint8_t*>(bytes_.data()) + at_);
    at_ += 8;
    return true;
  }
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

// A plan as the journal holds it: the plan, and the first bytes of the file before it changed.
struct Recorded {
  ChangePlan plan;
  std::string prefix;
};

std::string Serialize(const Recorded& r) {
  std::string out;
  const ChangePlan& p = r.plan;
  Put64(&out, static_cast<uint64_t>(p.oldLength));
  Put64(&out, static_cast<uint64_t>(p.newLength));
  Put64(&out, static_cast<uint64_t>(p.chunkBytes));
  Put64(&out, p.splices.size());
  for (const Splice& s : p.splices) {
    Put64(&out, static_cast<uint64_t>(s.pos));
    Put64(&out, static_cast<uint64_t>(s.removed));
    Put64(&out, static_cast<uint64_t>(s.inserted));
  }
  Put64(&out, p.writes.size());
  for (const ChangePlan::Write& w : p.writes) {
    Put64(&out, static_cast<uint64_t>(w.pos));
    Put64(&out, w.bytes.size());
    out += w.bytes;
  }
  Put64(&out, r.prefix.size());
  out += r.prefix;
  return out;
}

bool Deserialize(const std::string& bytes, Recorded* r) {
  Reader in(bytes);
  ChangePlan& p = r->plan;
  uint64_t oldLength, newLength, chunk, n;
  if (!in.Next(&oldLength) || !in.Next(&newLength) || !in.Next(&chunk) || !in.Next(&n)) {
    return false;
  }
  const auto limit = static_cast<uint64_t>(MAX_FILE_LENGTH);
  if (oldLength > limit || newLength > limit || chunk == 0 || chunk > (64 << 20) ||
      n > bytes.size() / 24) {
    return false;
  }
  p.oldLength = static_cast<int64_t>(oldLength);
  p.newLength = static_cast<int64_t>(newLength);
  p.chunkBytes = static_cast<int64_t>(chunk);
  int64_t previousEnd = 0;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t pos, removed, inserted;
    if (!in.Next(&pos) || !in.Next(&removed) || !in.Next(&inserted)) return false;
    if (pos > oldLength || removed > oldLength - pos || inserted > limit ||
        static_cast<int64_t>(pos) < previousEnd) {
      return false;
    }
    previousEnd = static_cast<int64_t>(pos + removed);
    p.splices.push_back(
        {static_cast<int64_t>(pos), static_cast<int64_t>(removed), static_cast<int64_t>(inserted)});
  }
  if (LengthAfter(p.splices, p.oldLength) != p.newLength) return false;
  if (!in.Next(&n) || n > bytes.size() / 16) return false;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t pos, size;
    ChangePlan::Write w;
    if (!in.Next(&pos) || !in.Next(&size) || pos > newLength || size > newLength - pos ||
        !in.Bytes(size, &w.bytes)) {
      return false;
    }
    w.pos = static_cast<int64_t>(pos);
    p.writes.push_back(std::move(w));
  }
  if (!in.Next(&n) || n > kPrefixBytes || n > oldLength || !in.Bytes(n, &r->prefix)) return false;
  return in.done();
}

// The journal file: its header and plan, then two slots that take the move's records in turn.
class Journal {
 public:
  Journal(Files& files, int fd, const std::string& planBytes, int64_t chunkBytes)
      : file_(files, fd),
        planHash_(Hash(reinterpret_cast<const uint8_t*>(planBytes.data()), planBytes.size())),
        slots_((kHeaderSize + static_cast<int64_t>(planBytes.size()) + 4095) / 4096 * 4096),
        slotSize_(kRecordHeader + chunkBytes + kRecordTrailer) {}

  uint64_t planHash() const { return planHash_; }

  // Writes a record whose data already lies in `record` after its header's room, with room for
  // the trailer behind it. One write, so that the trailer, written last, vouches for everything
  // in front of it.
  Status WriteRecord(uint8_t* record, uint32_t kind, uint64_t seq, int64_t dataSize) {
    EncodeFixed32(record, kRecordMagic);
    EncodeFixed32(record + 4, kind);
    Encode64(record + 8, seq);
    Encode64(record + 16, seq - 1);
    Encode64(record + 24, static_cast<uint64_t>(dataSize));
    Encode64(record + 32, planHash_);
    const uint64_t own = Hash(record, 40);
    Encode64(record + 40, own);
    uint8_t* trailer = record + kRecordHeader + dataSize;
    Encode64(trailer, seq);
    Encode64(trailer + 8, own);
    return file_.WriteAt(Slot(seq), record,
                         static_cast<std::size_t>(kRecordHeader + dataSize + kRecordTrailer));
  }

  // The newest whole record of this plan: its kind, seq and data; seq 0 when there is none.
  Status ReadNewest(uint32_t* kind, uint64_t* seq, std::string* data) {
    *seq = 0;
    for (uint64_t slot = 0; slot < 2; ++slot) {
      uint8_t head[kRecordHeader];
      Status s = file_.ReadAt(Slot(slot), head, sizeof head);
      if (!s.ok()) return s;
      const uint64_t recordSeq = Get64(head + 8);
      const uint64_t size = Get64(head + 24);
      if (DecodeFixed32(head) != kRecordMagic || Get64(head + 32) != planHash_ ||
          Get64(head + 40) != Hash(head, 40) || recordSeq % 2 != slot ||
          size > static_cast<uint64_t>(slotSize_ - kRecordHeader - kRecordTrailer) ||
          recordSeq <= *seq) {
        continue;
      }
      std::string body(size + kRecordTrailer, '\0');
      s = file_.ReadAt(Slot(slot) + kRecordHeader, body.data(), body.size());
      if (!s.ok()) return s;
      const auto* trailer = reinterpret_cast<const uint8_t*>(body.data()) + size;
      if (Get64(trailer) != recordSeq || Get64(trailer + 8) != Get64(head + 40)) continue;
      *kind = DecodeFixed32(head + 4);
      *seq = recordSeq;
      body.resize(size);
      *data = std::move(body);
    }
    return Status::Ok();
  }

 private:
  int64_t Slot(uint64_t seq) const { return slots_ + static_cast<int64_t>(seq % 2) * slotSize_; }

  AtbFile file_;
  uint64_t planHash_;
  int64_t slots_;
  int64_t slotSize_;
};

// Goes on with the change from move `next`, journaling each step. `moves` is the plan's.
Status Continue(AtbFile& file, Journal& journal, const ChangePlan& plan,
                const std::vector<ChunkMove>& moves, std::size_t next) {
  Status s;
  const int64_t longest = std::max(plan.oldLength, plan.newLength);
  int64_t length;
  if (!(s = file.Length(&length)).ok()) return s;
  if (length < plan.newLength && !(s = file.SetLength(plan.newLength)).ok()) return s;
  Buffer record(static_cast<std::size_t>(kRecordHeader + plan.chunkBytes + kRecordTrailer),
                "DTA!=NULL");
  uint8_t* data = record.data() + kRecordHeader;
  for (std::size_t i = next; i < moves.size(); ++i) {
    const ChunkMove& m = moves[i];
    const auto n = static_cast<std::size_t>(m.size);
    if (!(s = file.ReadAt(m.from, data, n)).ok()) return s;
    // A chunk that overlaps its own source destroys bytes that exist nowhere else until the
    // write is whole: they go to the journal first. One that does not can be copied again.
    if (std::abs(m.to - m.from) < m.size) {
      s = journal.WriteRecord(record.data(), kChunkMoved, i + 1, m.size);
    } else {
      uint8_t progress[kRecordHeader + kRecordTrailer];
      s = journal.WriteRecord(progress, kChunkMoved, i + 1, 0);
    }
    if (!s.ok()) return s;
    if (!(s = file.WriteAt(m.to, data, n)).ok()) return s;
  }
  if (!(s = journal.WriteRecord(record.data(), kAllMoved, moves.size() + 1, 0)).ok()) return s;
  for (const ChangePlan::Write& w : plan.writes) {
    if (!(s = file.WriteAt(w.pos, w.bytes.data(), w.bytes.size())).ok()) return s;
  }
  if (plan.newLength < longest) return file.SetLength(plan.newLength);
  return Status::Ok();
}

// Whether the chunk's destination holds what a write of `data` cut short anywhere would leave:
// `data` up to some point, and behind it what the destination held before.
bool FitsAnInterruptedWrite(const ChunkMove& m, const std::string& data, const std::string& now) {
  const int64_t shift = m.to - m.from, size = m.size;
  int64_t written = 0;
  while (written < size && now[written] == data[written]) ++written;
  int64_t before = size;  // from here on, the old bytes are all in place
  for (int64_t x = size; x-- > 0;) {
    const int64_t source = x + shift;
    if (source >= 0 && source < size && now[x] != data[source]) break;
    before = x;
  }
  return before <= written;
}

Status Refuse(const std::string& why) {
  return Status::Damaged("an interrupted change cannot be finished: " + why);
}

}  // namespace

std::string JournalPath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, base) + "." + path.substr(base) + ".journal";
}

bool JournalExists(Files& files, const std::string& journalPath) {
  int fd = files.Open(journalPath, O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd == -1) return errno != ENOENT;
  files.Close(fd);
  return true;
}

Status RunJournaled(Files& files, AtbFile& file, const std::string& journalPath,
                    const ChangePlan& plan) {
  Recorded recorded{plan, {}};
  int64_t keep = std::min(plan.oldLength, kPrefixBytes);
  if (!plan.splices.empty()) keep = std::min(keep, plan.splices.front().pos);
  recorded.prefix.resize(static_cast<std::size_t>(keep));
  Status s = file.ReadAt(0, recorded.prefix.data(), recorded.prefix.size());
  if (!s.ok()) return s;
  const std::string planBytes = Serialize(recorded);

  const int fd = files.Open(journalPath, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd == -1) {
    if (errno == EEXIST) return Status::Damaged("an interrupted change is still to be finished");
    return Status::Damaged(std::string("cannot write its journal beside the file: ") +
                           std::strerror(errno));
  }
  Journal journal(files, fd, planBytes, plan.chunkBytes);
  std::string head(kMagic, sizeof kMagic);
  Put64(&head, planBytes.size());
  Put64(&head, journal.planHash());
  Put64(&head, 0);
  AtbFile journalFile(files, fd);
  s = journalFile.WriteAt(0, (head + planBytes).data(), head.size() + planBytes.size());
  if (!s.ok()) {
    // Nothing of the attribute file has changed: the change is refused, and leaves no trace.
    files.Close(fd);
    files.Unlink(journalPath);
    return Status::Damaged("cannot write its journal beside the file: " + s.Message());
  }
  s = Continue(file, journal, plan, PlanMoves(plan.splices, plan.oldLength, plan.chunkBytes), 0);
  if (!s.ok()) {
    files.Close(fd);
    return s;
  }
  if (files.Close(fd) == -1 || files.Unlink(journalPath) == -1) return Status::IoError(errno);
  return Status::Ok();
}

Status RecoverChange(Files& files, AtbFile& file, const std::string& journalPath, bool* recovered) {
  *recovered = false;
  const int fd = files.Open(journalPath, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd == -1) return errno == ENOENT ? Status::Ok() : Status::IoError(errno);
  struct Closer {
    Files& files;
    int fd;
    ~Closer() {
      if (fd != -1) files.Close(fd);
    }
  } closer{files, fd};
  auto finish = [&]() {
    *recovered = true;
    const int closing = closer.fd;
    closer.fd = -1;
    if (files.Close(closing) == -1 || files.Unlink(journalPath) == -1) {
      return Status::IoError(errno);
    }
    return Status::Ok();
  };

  AtbFile journalFile(files, fd);
  int64_t journalLength;
  Status s = journalFile.Length(&journalLength);
  if (!s.ok()) return s;
  uint8_t head[kHeaderSize];
  std::size_t got;
  if (!(s = journalFile.ReadUpTo(0, head, sizeof head, &got)).ok()) return s;
  const uint64_t planSize = got == sizeof head ? Get64(head + 8) : 0;
  std::string planBytes;
  if (got == sizeof head && std::memcmp(head, kMagic, sizeof kMagic) == 0 &&
      planSize <= static_cast<uint64_t>(journalLength - kHeaderSize)) {
    planBytes.resize(planSize);
    if (!(s = journalFile.ReadAt(kHeaderSize, planBytes.data(), planBytes.size())).ok()) return s;
  }
  Recorded recorded;
  if (planBytes.empty() ||
      Get64(head + 16) !=
          Hash(reinterpret_cast<const uint8_t*>(planBytes.data()), planBytes.size()) ||
      !Deserialize(planBytes, &recorded)) {
    // The journal was cut short before the change wrote anything: the file is as it was.
    if (got == sizeof head && std::memcmp(head, kMagic, sizeof kMagic) != 0) {
      return Refuse("its journal " + journalPath + " is not one this tool wrote");
    }
    return finish();
  }
  const ChangePlan& plan = recorded.plan;

  // The file must still be the one the journal speaks of.
  int64_t length;
  if (!(s = file.Length(&length)).ok()) return s;
  const int64_t longest = std::max(plan.oldLength, plan.newLength);
  if (length != plan.oldLength && length != longest && length != plan.newLength) {
    return Refuse("the file is " + std::to_string(length) + " bytes long, where the change left " +
                  std::to_string(plan.oldLength) + " or " + std::to_string(plan.newLength));
  }
  std::string prefix(recorded.prefix.size(), '\0');
  if (!(s = file.ReadAt(0, prefix.data(), prefix.size())).ok()) return s;
  std::string after = recorded.prefix;
  for (const ChangePlan::Write& w : plan.writes) {
    for (std::size_t k = 0; k < w.bytes.size(); ++k) {
      const auto at = static_cast<std::size_t>(w.pos) + k;
      if (at < after.size()) after[at] = w.bytes[k];
    }
  }
  for (std::size_t k = 0; k < prefix.size(); ++k) {
    if (prefix[k] != recorded.prefix[k] && prefix[k] != after[k]) {
      return Refuse("its first bytes have changed since");
    }
  }

  Journal journal(files, fd, planBytes, plan.chunkBytes);
  const std::vector<ChunkMove> moves = PlanMoves(plan.splices, plan.oldLength, plan.chunkBytes);
  uint32_t kind = 0;
  uint64_t seq;
  std::string data;
  if (!(s = journal.ReadNewest(&kind, &seq, &data)).ok()) return s;
  std::size_t next = 0;
  if (seq == 0) {
    if (length != plan.oldLength && length != longest) return Refuse("its length does not fit");
  } else if (kind == kAllMoved && seq == moves.size() + 1) {
    next = moves.size();
  } else if (kind == kChunkMoved && seq <= moves.size()) {
    // The chunk written last may have been cut short: write it again.
    const ChunkMove& m = moves[seq - 1];
    if (length != longest) return Refuse("its length does not fit");
    if (data.empty()) {
      data.resize(static_cast<std::size_t>(m.size));
      if (!(s = file.ReadAt(m.from, data.data(), data.size())).ok()) return s;
    } else {
      std::string now(static_cast<std::size_t>(m.size), '\0');
      if (data.size() != now.size()) return Refuse("its journal does not fit its plan");
      if (!(s = file.ReadAt(m.to, now.data(), now.size())).ok()) return s;
      if (!FitsAnInterruptedWrite(m, data, now)) return Refuse("its bytes have changed since");
    }
    if (!(s = file.WriteAt(m.to, data.data(), data.size())).ok()) return s;
    next = seq;
  } else {
    return Refuse("its journal does not fit its plan");
  }
  if (!(s = Continue(file, journal, plan, moves, next)).ok()) return s;
  return finish();
}

}  // namespace atb
