#include "change/journal_writer.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "change/mark.h"
#include "change/mover.h"
#include "store/table.h"

namespace atb::journal {

namespace {

// With flushes, the records of this many steps go to the disk at once: fewer, larger flushes.
constexpr int64_t kDurableBatch = 8;

// What the finished file holds where the mark lies: what lies there now, but for what the final
// writes put there.
Status UnmarkedBytes(const ChangePlan& plan, const std::string& prefix, std::string* out) {
  *out = prefix.substr(0, static_cast<std::size_t>(kMarkBytes));
  for (const ChangePlan::Write& w : plan.writes) {
    for (int64_t at = w.pos; at < std::min(w.pos + w.Size(), kMarkBytes); ++at) {
      uint8_t byte = 0;
      if (w.source != nullptr) {
        Status s = w.source->ReadAt(at - w.pos, &byte, 1);
        if (!s.ok()) return s;
      } else {
        byte = static_cast<uint8_t>(w.bytes[static_cast<std::size_t>(at - w.pos)]);
      }
      (*out)[static_cast<std::size_t>(at)] = static_cast<char>(byte);
    }
  }
  return Status::Ok();
}

}  // namespace

JournalPlan PlanJournal(const ChangePlan& plan, std::vector<ChunkMove> moves, bool durable) {
  JournalPlan j;
  Recorded& recorded = j.recorded;
  recorded.oldLength = plan.oldLength;
  recorded.newLength = plan.newLength;
  recorded.chunkBytes = plan.chunkBytes;
  recorded.splices = plan.splices;
  int64_t payloadBytes = 0;
  for (const ChangePlan::Write& w : plan.writes) {
    recorded.writes.push_back({w.pos, w.Size(), payloadBytes, -1, w.source ? nullptr : &w.bytes});
    payloadBytes += w.Size();
  }
  // A journal holds the slots of the steps in flight and no more: one batch, or two halves of
  // batches that take turns.
  const int64_t batch =
      std::clamp<int64_t>(static_cast<int64_t>(moves.size()), 1, durable ? kDurableBatch : 1);
  const int64_t halves = static_cast<int64_t>(moves.size()) > batch ? 2 : 1;
  j.steps.emplace(std::move(moves), batch, FinalRegions(recorded.writes));
  // A change that moves nothing keeps what its writes replace: it is all a recovery can check
  // the file against.
  if (j.steps->size() == 0) {
    for (FinalWrite& w : recorded.writes) {
      w.preimageAt = payloadBytes;
      payloadBytes += w.size;
    }
  }
  j.layout.payloadBytes = payloadBytes;
  j.layout.slotData = j.steps->largestRecord;
  j.layout.batch = j.steps->batch;
  j.layout.halves = halves;
  return j;
}

Status RecordTheFile(PositionedFile& file, const ChangePlan& plan, const struct stat& st,
                     uint8_t* buffer, JournalPlan* j) {
  Recorded& recorded = j->recorded;
  int64_t keep = std::min(plan.oldLength, kPrefixBytes);
  if (!plan.splices.empty()) keep = std::min(keep, plan.splices.front().pos);
  recorded.prefix.resize(static_cast<std::size_t>(keep));
  Status s = file.ReadAt(0, recorded.prefix.data(), recorded.prefix.size());
  if (s.ok()) s = UnmarkedBytes(plan, recorded.prefix, &recorded.unmarked);
  if (!s.ok()) return s;
  for (const ChunkMove& m : j->steps->moves) {
    s = file.ReadAt(m.from, buffer, static_cast<std::size_t>(std::min(m.size, kSampleBytes)));
    if (!s.ok()) return s;
    recorded.samples.push_back(SampleHash(m, buffer));
  }
  j->planBytes = Serialize(recorded);
  j->layout.nonce = NewNonce();
  j->layout.inode = static_cast<uint64_t>(st.st_ino);
  j->layout.planBytes = static_cast<int64_t>(j->planBytes.size());
  return Status::Ok();
}

Status CreateJournal(Files& files, const std::string& path, int* fd) {
  *fd = files.Open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (*fd != -1) return Status::Ok();
  if (errno == EEXIST) return Status::Refused("a journal lies beside the file: " + path);
  if (errno == ENOSPC || errno == EDQUOT) return Status::NoSpace();
  return Status::Refused(std::string("cannot write its journal beside the file: ") +
                         std::strerror(errno));
}

namespace {

// The header frame and the plan's frames, in one write.
Status WriteHead(Journal& journal, const std::string& planBytes) {
  const Layout& layout = journal.layout();
  std::vector<uint8_t> frames(static_cast<std::size_t>((1 + FramesFor(layout.planBytes)) * kFrame));
  const std::string head = layout.Header();
  Framer header(frames.data(), 0, 0, 0);
  header.Append(reinterpret_cast<const uint8_t*>(head.data()), static_cast<int64_t>(head.size()));
  header.Finish();
  Framer planFrames(frames.data() + kFrame, layout.PlanAt(), 0, layout.nonce);
  planFrames.Append(reinterpret_cast<const uint8_t*>(planBytes.data()), layout.planBytes);
  planFrames.Finish();
  return journal.file().WriteAt(0, frames.data(), frames.size());
}

// The payload, streamed into its frames: every final write's bytes, then what a change that
// moves nothing replaces.
Status WritePayload(Journal& journal, const ChangePlan& plan, const Recorded& recorded,
                    PositionedFile& file, std::vector<uint8_t>* scratch) {
  std::vector<uint8_t> pending;
  int64_t at = journal.layout().PayloadAt();
  auto flush = [&](bool last) {
    const int64_t whole = static_cast<int64_t>(pending.size()) / kFrameContent;
    const int64_t n = last ? static_cast<int64_t>(pending.size()) : whole * kFrameContent;
    if (n == 0) return Status::Ok();
    Status w = journal.WriteFramed(at, pending.data(), n, 0, scratch);
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
  Status s;
  for (const ChangePlan::Write& w : plan.writes) {
    if (w.source != nullptr) {
      s = append(*w.source, 0, w.size);
    } else {
      MemorySource bytes(reinterpret_cast<const uint8_t*>(w.bytes.data()), w.bytes.size());
      s = append(bytes, 0, w.Size());
    }
    if (!s.ok()) return s;
  }
  for (const FinalWrite& w : recorded.writes) {
    if (w.preimageAt >= 0 && !(s = append(file, w.pos, w.size)).ok()) return s;
  }
  return flush(true);
}

// Tables that are inserted are checked where they can no longer change.
Status CheckInsertedTables(Journal& journal, const ChangePlan& plan, const Recorded& recorded) {
  for (std::size_t i = 0; i < plan.writes.size(); ++i) {
    if (!plan.writes[i].table) continue;
    FramedSource kept(journal, journal.layout().PayloadAt(), recorded.writes[i].payloadAt,
                      recorded.writes[i].size);
    Status s = CheckTree(kept, 0, recorded.writes[i].size);
    if (s.damaged()) return Status::Refused("the table to insert is damaged: " + s.Message());
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

// Every slot is written, blank where no record goes yet, and the first batch's records with the
// plan: on a marked file, a frame never written is then a lost sector.
Status WriteSlots(Journal& journal, const Steps& steps, PositionedFile& file,
                  const std::vector<uint8_t*>& buffers, std::vector<uint8_t>* scratch,
                  std::vector<uint64_t>* firstFolds) {
  const Layout& layout = journal.layout();
  firstFolds->resize(static_cast<std::size_t>(steps.batch));
  Status s;
  for (int64_t slot = 0; s.ok() && slot < layout.Slots(); ++slot) {
    const auto t = static_cast<std::size_t>(slot);
    int64_t written = 0;
    if (slot < steps.batch && t < steps.size()) {
      const ChunkMove& m = steps.moves[t];
      s = file.ReadAt(m.from, buffers[t], static_cast<std::size_t>(m.size));
      if (s.ok()) {
        scratch->resize(scratch->capacity());
        written = journal.LayOutRecord(steps, t, layout.nonce, buffers[t], scratch->data(),
                                       &(*firstFolds)[t]);
        s = journal.WriteLaidOut(t, scratch->data(), written);
      }
    }
    if (s.ok()) {
      s = journal.WriteBlanks(layout.SlotAt(slot) + written, layout.SlotFrames() - written / kFrame,
                              scratch);
    }
  }
  if (s.ok()) {
    s = steps.size() == 0 ? journal.WriteAllMoved(0, layout.nonce, scratch)
                          : journal.WriteBlanks(layout.AllMovedAt(), 1, scratch);
  }
  return s;
}

}  // namespace

Status WriteJournal(Journal& journal, const JournalContent& content, PositionedFile& file,
                    const std::vector<uint8_t*>& buffers, std::vector<uint8_t>* scratch,
                    std::vector<uint64_t>* firstFolds, bool durable, const std::string& dir) {
  Files& files = journal.file().files();
  const int fd = journal.file().fd();
  const int64_t end = journal.layout().End();
  if (files.Allocate(fd, 0, end, false) == -1) {
    if (errno != EOPNOTSUPP) return Status::FromErrno(errno);
    if (files.Truncate(fd, end) == -1) return Status::FromErrno(errno);
  }
  // The mover's scratch space too: acquired before the file changes.
  scratch->reserve(ScratchRoom(content.steps));
  Status s = WriteHead(journal, content.planBytes);
  if (s.ok()) s = WritePayload(journal, content.plan, content.recorded, file, scratch);
  if (s.ok()) s = CheckInsertedTables(journal, content.plan, content.recorded);
  if (s.ok()) s = WriteSlots(journal, content.steps, file, buffers, scratch, firstFolds);
  if (!s.ok()) return s;
  if (durable && (files.Sync(fd) == -1 || files.SyncDirectory(dir) == -1)) {
    return Status::FromErrno(errno);
  }
  return Status::Ok();
}

}  // namespace atb::journal
