// Judging the journal of an interrupted change, and finishing the change when the journal is
// provably the file's own and the file holds what the change's own writes can have left.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "change/journal.h"
#include "change/journal_format.h"
#include "platform/signals.h"
#include "store/layout.h"

namespace atb {

using namespace journal;

namespace {

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
  const Steps& steps() const { return *steps_; }
  // "all moved" was written: only the final writes and the cut remain.
  bool allMoved() const { return allMoved_; }
  // Otherwise the first step of the newest batch whose records are all whole, and those
  // records; every step before it is on the disk.
  std::size_t batchStart() const { return batchStart_; }
  const std::map<uint64_t, Record>& batch() const { return batch_; }
  uint64_t movedHash() const { return movedHash_; }

 private:
  JournalVerdict Refuse(std::string why, bool discardable) {
    JournalVerdict v;
    v.kind = JournalVerdict::kRefused;
    v.reason = std::move(why);
    v.discardable = discardable;
    v.summary = summary_;
    return v;
  }
  // Picks the newest whole batch (or "all moved"); false when there is none.
  bool PickRecords(const std::vector<Record>& records, std::string* damage);
  // Why the file does not fit the journal, in *why; empty when it does.
  Status Fits(std::string* why);
  std::string Summary() const;

  Files& files_;
  AtbFile& file_;
  std::string path_;
  int fd_ = -1;
  std::unique_ptr<Journal> journal_;
  Recorded recorded_;
  std::unique_ptr<Steps> steps_;
  bool allMoved_ = false;
  std::size_t batchStart_ = 0;
  std::map<uint64_t, Record> batch_;
  uint64_t movedHash_ = 0;
  std::string summary_;
};

std::string Judged::Summary() const {
  std::string s = "a change from " + std::to_string(recorded_.oldLength) + " to " +
                  std::to_string(recorded_.newLength) + " bytes (" +
                  std::to_string(recorded_.splices.size()) + " places resized, " +
                  std::to_string(recorded_.writes.size()) + " writes), ";
  if (allMoved_) return s + "stopped in its final writes";
  return s + "stopped at step " + std::to_string(batchStart_ + 1) + " of " +
         std::to_string(steps_->size()) + " of its move";
}

bool Judged::PickRecords(const std::vector<Record>& records, std::string* damage) {
  const Steps& steps = *steps_;
  std::map<std::size_t, std::map<uint64_t, Record>> batches;
  for (const Record& r : records) {
    if (r.kind == kAllMoved) {
      if (r.step != steps.size()) {
        *damage = "a record in it does not fit its plan";
        return false;
      }
      allMoved_ = true;
      movedHash_ = r.movedHash;
      continue;
    }
    if (r.step >= steps.size() ||
        static_cast<int64_t>(r.data.size()) != steps.recordBytes[r.step]) {
      *damage = "a record in it does not fit its plan";
      return false;
    }
    batches[steps.BatchStart(r.step)][r.step] = r;
  }
  if (allMoved_) return true;
  for (auto b = batches.rbegin(); b != batches.rend(); ++b) {
    const std::size_t start = b->first;
    if (b->second.size() != steps.BatchEnd(start) - start) continue;  // cut short
    for (const auto& [step, r] : b->second) {
      if (r.movedHash != b->second.begin()->second.movedHash) {
        *damage = "the records of one batch disagree";
        return false;
      }
    }
    batchStart_ = start;
    batch_ = b->second;
    movedHash_ = batch_.begin()->second.movedHash;
    return true;
  }
  return false;
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
  // The journals of earlier versions: the first carries its magic unframed, the second in its
  // header frame.
  if (std::memcmp(head, "ATBJRNL1", 8) == 0 || std::memcmp(head, "ATBJRNL2", 8) == 0) {
    return Refuse(name +
                      " was written by an earlier version of this tool: finish the change with "
                      "that version",
                  true);
  }
  const bool ours = std::memcmp(head, kMagic, sizeof kMagic) == 0;
  if (headState == FrameState::kDamaged || seq != 0 || !ours) {
    return Refuse(name + (ours ? " is damaged: its header does not check out"
                               : " is not a journal this tool wrote"),
                  true);
  }
  Layout layout;
  if (!layout.ReadHeader(head)) {
    return Refuse(name + " is damaged: its header does not hold together", true);
  }
  journal_ = std::make_unique<Journal>(files_, fd_, layout);

  // Every frame of the plan and the payload: a damaged one is damage, one never written means
  // the journal was cut short before the file was touched.
  {
    const int64_t frames = FramesFor(layout.planBytes) + FramesFor(layout.payloadBytes);
    std::vector<uint8_t> io(static_cast<std::size_t>(kFramesPerIo * kFrame));
    std::string planBytes;
    for (int64_t f = 0; f < frames; f += kFramesPerIo) {
      const int64_t count = std::min(kFramesPerIo, frames - f);
      const int64_t at = layout.PlanAt() + f * kFrame;
      if (!(s = jfile.ReadAt(at, io.data(), static_cast<std::size_t>(count * kFrame))).ok()) {
        return Refuse(name + " cannot be read: " + s.Message(), false);
      }
      for (int64_t k = 0; k < count; ++k) {
        const FrameState state =
            Inspect(io.data() + k * kFrame, at + k * kFrame, layout.nonce, &seq);
        if (state == FrameState::kDamaged || (state == FrameState::kWhole && seq != 0)) {
          return Refuse(name + " is damaged: a frame of its plan does not check out", true);
        }
        if (state == FrameState::kZero) return cutOrDistrusted();
        if (f + k < FramesFor(layout.planBytes)) {
          planBytes.append(reinterpret_cast<const char*>(io.data() + k * kFrame), kFrameContent);
        }
      }
    }
    planBytes.resize(static_cast<std::size_t>(layout.planBytes));
    if (!Deserialize(planBytes, layout, &recorded_)) {
      return Refuse(name + " is damaged: its plan does not hold together", true);
    }
    steps_ = std::make_unique<Steps>(
        PlanMoves(recorded_.splices, recorded_.oldLength, recorded_.chunkBytes), layout.batch,
        FinalRegions(recorded_.writes));
    if (steps_->largestRecord > layout.slotData) {
      return Refuse(name + " is damaged: its plan does not fit its records", true);
    }
  }
  std::vector<Record> records;
  s = journal_->ReadRecords(&records);
  if (s.damaged()) return Refuse(name + " is damaged: " + s.Message(), true);
  if (!s.ok()) return Refuse(name + " cannot be read: " + s.Message(), false);
  std::string damage;
  if (!PickRecords(records, &damage)) {
    if (!damage.empty()) return Refuse(name + " is damaged: " + damage, true);
    return cutOrDistrusted();
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
// writes can have left: its first bytes, every step's destination before the batch in flight,
// the steps of that batch sector by sector, and the start of every source still to be moved.
Status Judged::Fits(std::string* why) {
  const Recorded& r = recorded_;
  const Steps& steps = *steps_;
  const int64_t longest = std::max(r.oldLength, r.newLength);
  int64_t length;
  Status s = file_.Length(&length);
  if (!s.ok()) return s;
  const int64_t shortest = allMoved_ ? r.newLength : r.oldLength;
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
        allMoved_ && std::any_of(covered.begin(), covered.end(),
                                 [&](const auto& c) { return c.first <= at && at < c.second; });
    if (!coveredByFinal) {
      *why = "its first bytes have changed since";
      return Status::Ok();
    }
  }
  const std::size_t done = allMoved_ ? steps.size() : batchStart_;
  Buffer buffer(static_cast<std::size_t>(std::max<int64_t>(steps.largest, kSampleBytes)));
  if (!buffer.ok()) return Status::Refused("not enough memory to check the file");
  uint64_t h = journal_->layout().nonce, batchHash = h;
  for (std::size_t i = 0; i < done; ++i) {
    const ChunkMove& m = steps.moves[i];
    if (!(s = file_.ReadAt(m.to, buffer.data(), static_cast<std::size_t>(m.size))).ok()) return s;
    if (i == steps.BatchStart(i)) batchHash = h;
    const uint64_t fold =
        steps.folded[i] ? journal_->RecordFold(steps, i, batchHash, buffer.data()) : 0;
    h = AddStep(steps, i, h, buffer.data(), fold, covered);
  }
  if (h != movedHash_) {
    *why = "bytes that the change moved have changed since";
    return Status::Ok();
  }
  if (allMoved_) {
    if (steps.size() == 0) {
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
          const auto k = static_cast<std::size_t>(at - w.pos);
          const auto n = static_cast<std::size_t>(stop - at);
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
  // The steps in flight: rebuilt from where their bytes lay, where they go and what their
  // records keep, they must give their records' checks.
  Buffer room(static_cast<std::size_t>(std::max<int64_t>(steps.largest, 1)));
  if (!room.ok()) return Status::Refused("not enough memory to check the file");
  for (const auto& [step, record] : batch_) {
    bool fits;
    s = RebuildStep(file_, steps, step, record.data, journal_->layout().nonce, buffer.data(),
                    room.data(), &fits);
    if (!s.ok()) return s;
    if (!fits) {
      *why = "bytes of the steps in flight have changed since";
      return Status::Ok();
    }
  }
  // Sources still to be moved.
  for (std::size_t i = steps.BatchEnd(batchStart_); i < steps.size(); ++i) {
    const ChunkMove& next = steps.moves[i];
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

// Once the file has begun to change, every failure is one that leaves the change to the next
// open, whatever its kind.
Status AsIoError(const Status& s) {
  if (s.ok() || s.ioError()) return s;
  return Status::IoError(s.err(), s.noSpace() ? std::string() : s.Message());
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
  const Steps& steps = judged.steps();
  // Everything the recovery needs is had before it writes.
  const auto each = static_cast<std::size_t>(std::max<int64_t>(steps.largest, 1));
  Buffer buffer(each * SourceBuffers(steps));
  Buffer room(each);
  std::vector<uint8_t> scratch;
  try {
    scratch.reserve(ScratchRoom(steps));
  } catch (const std::bad_alloc&) {
  }
  if (!buffer.ok() || !room.ok() || scratch.capacity() < ScratchRoom(steps)) {
    return Status::Refused("not enough memory to finish an interrupted change");
  }
  std::vector<uint8_t*> buffers;
  for (std::size_t k = 0; k < SourceBuffers(steps); ++k)
    buffers.push_back(buffer.data() + k * each);
  Status s;
  {
    DeferSignals hold;
    if (!hold.ok()) return Status::Refused("the signals that end a process cannot be held");
    StepRunner run({target.file, target.durable}, judged.journal(), r, steps, buffers, scratch);
    if (judged.allMoved()) {
      s = run.Run(steps.size(), nullptr, true, judged.movedHash());
    } else {
      // The steps in flight again, whole, in order, from the bytes the journal or their sources
      // kept.
      int64_t length;
      s = target.file.Length(&length);
      const int64_t longest = std::max(r.oldLength, r.newLength);
      if (s.ok() && length < longest) s = target.file.SetLength(longest);
      uint64_t h = judged.movedHash();
      for (const auto& [step, record] : judged.batch()) {
        if (!s.ok()) break;
        bool fits;
        s = RebuildStep(target.file, steps, step, record.data, judged.journal().layout().nonce,
                        buffers[step - judged.batchStart()], room.data(), &fits);
        if (s.ok() && !fits) s = Status::Damaged("the file changed while it was recovered");
      }
      for (const auto& [step, record] : judged.batch()) {
        if (!s.ok()) break;
        const ChunkMove& m = steps.moves[step];
        uint8_t* bytes = buffers[step - judged.batchStart()];
        s = target.file.WriteAt(m.to, bytes, static_cast<std::size_t>(m.size));
        h = run.AddStepAgain(h, step, judged.movedHash(), bytes);
      }
      if (s.ok()) s = run.Run(steps.BatchEnd(judged.batchStart()), nullptr, false, h);
    }
  }
  if (!s.ok()) return AsIoError(s);
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
