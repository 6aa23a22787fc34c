// Examining the journal of an interrupted change, and finishing the change when the journal is
// provably the file's own and the file holds what the change's own writes can have left.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <optional>

#include "change/journal.h"
#include "change/journal_format.h"
#include "change/mark.h"
#include "change/mover.h"
#include "platform/quote.h"
#include "platform/signals.h"
#include "store/layout.h"

namespace atb {

using namespace journal;

namespace {

const std::string kDamagedMark = "the file bears a damaged mark of an interrupted change";

// What the file's mark and the journal beside it say of a change that may have been
// interrupted: examined without changing anything, with what a recovery needs to go on from
// where the change stopped.
class InterruptedChange {
 public:
  InterruptedChange(Files& files, PositionedFile& file, std::string path)
      : files_(files), file_(file), path_(std::move(path)) {}
  ~InterruptedChange() {
    if (fd_ != -1) files_.Close(fd_);
  }

  JournalVerdict Examine(Finisher finisher, bool forWriting);

  Journal& journal() { return *journal_; }
  const Recorded& recorded() const { return recorded_; }
  const Steps& steps() const { return *steps_; }
  // Whether the plan could be read.
  bool planRead() const { return steps_ != nullptr; }
  // "all moved" was written: only the final writes and the cut remain.
  bool allMoved() const { return allMoved_; }
  // Otherwise the first step of the newest batch whose records are all whole, and those
  // records; every step before it is on the disk.
  std::size_t batchStart() const { return batchStart_; }
  const std::map<uint64_t, Record>& batch() const { return batch_; }
  uint64_t movedHash() const { return movedHash_; }
  uint64_t inode() const { return journal_ ? journal_->layout().inode : 0; }

 private:
  JournalVerdict Verdict(JournalVerdict::Kind kind, std::string reason, bool discardable) {
    JournalVerdict v;
    v.kind = kind;
    v.reason = std::move(reason);
    v.discardable = discardable;
    v.summary = summary_;
    v.marked = marked_;
    v.nonce = nonce_;
    v.owner = owner_;
    v.ours = written_;
    if (marked_ && kind == JournalVerdict::kRefused) {
      v.found = FindJournalsOf(files_, DirectoryOf(path_), nonce_);
      v.found.erase(std::remove(v.found.begin(), v.found.end(), path_), v.found.end());
    }
    return v;
  }
  JournalVerdict Refuse(std::string why, bool discardable) {
    return Verdict(JournalVerdict::kRefused, std::move(why), discardable);
  }
  // A journal beside a file without its mark, said as what lies there.
  JournalVerdict Stale(std::string what);
  // Reads the header, the plan and (with `all`) every other frame; empty, or what is wrong.
  std::string ReadJournal(bool all);
  // Picks the newest whole batch (or "all moved"); false when there is none.
  bool PickRecords(const std::vector<Record>& records, std::string* damage);
  // The journal's place looked at and the journal opened: a verdict when that decides it.
  std::optional<JournalVerdict> OpenJournal(const FileMark& mark, bool forWriting);
  // The verdicts for a file without the mark of the journal's change, and with it; `wrong` says
  // what is wrong with the journal's header or plan, when anything is.
  JournalVerdict JudgeUnmarked(const FileMark& mark, const std::string& wrong);
  JournalVerdict JudgeMarked(Finisher finisher, std::string wrong);
  // Why `finisher` may not finish the journal (its mode, its owner), in *distrust; a verdict when
  // the file cannot be looked at.
  std::optional<JournalVerdict> Distrust(Finisher finisher, std::string* distrust);
  // Why the file does not hold what the journal's change can have left, in *why; empty when it
  // does. One function per check.
  Status CheckTheFile(std::string* why);
  Status CheckLength(std::string* why);
  Status CheckFirstBytes(std::string* why);
  Status CheckMoved(std::string* why);
  Status CheckFinalWrites(std::string* why);
  Status CheckStepsInFlight(std::string* why);
  Status CheckSourcesToMove(std::string* why);
  // "its journal NAME", as messages name it.
  std::string Name() const { return "its journal " + QuotedName(path_); }
  std::string Summary() const;

  Files& files_;
  PositionedFile& file_;
  std::string path_;
  bool marked_ = false;
  uint64_t nonce_ = 0;
  uid_t owner_ = 0;
  bool written_ = false;  // empty, or begun by this tool (any version)
  mode_t mode_ = 0;
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

std::string InterruptedChange::Summary() const {
  std::string s = "a change from " + std::to_string(recorded_.oldLength) + " to " +
                  std::to_string(recorded_.newLength) + " bytes, " +
                  std::to_string(recorded_.splices.size()) + " places resized, " +
                  std::to_string(recorded_.writes.size()) + " writes";
  if (allMoved_) return s + ", stopped in its final writes";
  if (batch_.empty()) return s;
  return s + ", stopped at step " + std::to_string(batchStart_ + 1) + " of " +
         std::to_string(steps_->size()) + " of its move";
}

bool InterruptedChange::PickRecords(const std::vector<Record>& records, std::string* damage) {
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
  *damage = "it holds no whole batch of records";
  return false;
}

std::string InterruptedChange::ReadJournal(bool all) {
  recorded_ = Recorded();
  allMoved_ = false;
  batch_.clear();
  PositionedFile jfile(files_, fd_);
  Status s;
  uint8_t head[kFrame] = {};
  std::size_t got;
  if (!(s = jfile.ReadUpTo(0, head, sizeof head, &got)).ok()) {
    return "cannot be read: " + s.Message();
  }
  uint64_t seq;
  const FrameState headState = Inspect(head, 0, 0, &seq);
  // A header that never landed is ours too when the journal was made as ours are.
  written_ = got == 0 || (got >= 7 && std::memcmp(head, "ATBJRNL", 7) == 0) ||
             (headState == FrameState::kZero && (mode_ & 07777) == 0600);
  if (got == 0) return "is empty";
  if (headState == FrameState::kZero) return "is damaged: its header is lost";
  // The journals of earlier versions: the first carries its magic unframed, the later ones in
  // their header frame.
  for (const char* earlier : {"ATBJRNL1", "ATBJRNL2", "ATBJRNL3"}) {
    if (std::memcmp(head, earlier, 8) == 0) {
      return "was written by an earlier version of this tool: finish the change with that version";
    }
  }
  const bool ours = std::memcmp(head, kMagic, sizeof kMagic) == 0;
  if (headState == FrameState::kDamaged || seq != 0 || !ours) {
    return ours ? "is damaged: its header does not check out" : "is not a journal this tool wrote";
  }
  Layout layout;
  if (!layout.ReadHeader(head)) return "is damaged: its header does not hold together";
  journal_ = std::make_unique<Journal>(files_, fd_, layout);
  if (all) {
    int64_t size;
    if (!(s = jfile.Length(&size)).ok()) return "cannot be read: " + s.Message();
    if (size < layout.End()) {
      return "is damaged: it is cut short (" + std::to_string(size) + " bytes of " +
             std::to_string(layout.End()) + ")";
    }
  }
  // The plan, and with `all` the payload: every frame whole, as written before the mark.
  const int64_t planFrames = FramesFor(layout.planBytes);
  const int64_t frames = planFrames + (all ? FramesFor(layout.payloadBytes) : 0);
  std::vector<uint8_t> io(static_cast<std::size_t>(kFramesPerIo * kFrame));
  std::string planBytes;
  for (int64_t f = 0; f < frames; f += kFramesPerIo) {
    const int64_t count = std::min(kFramesPerIo, frames - f);
    const int64_t at = layout.PlanAt() + f * kFrame;
    if (!(s = jfile.ReadAt(at, io.data(), static_cast<std::size_t>(count * kFrame))).ok()) {
      return "cannot be read: " + s.Message();
    }
    for (int64_t k = 0; k < count; ++k) {
      const FrameState state = Inspect(io.data() + k * kFrame, at + k * kFrame, layout.nonce, &seq);
      if (state == FrameState::kZero) return "is damaged: a frame of its plan is lost";
      if (state == FrameState::kDamaged || seq != 0) {
        return "is damaged: a frame of its plan does not check out";
      }
      if (f + k < planFrames) {
        planBytes.append(reinterpret_cast<const char*>(io.data() + k * kFrame), kFrameContent);
      }
    }
  }
  planBytes.resize(static_cast<std::size_t>(layout.planBytes));
  if (!Deserialize(planBytes, layout, &recorded_)) {
    return "is damaged: its plan does not hold together";
  }
  auto steps = std::make_unique<Steps>(
      PlanMoves(recorded_.splices, recorded_.oldLength, recorded_.chunkBytes), layout.batch,
      FinalRegions(recorded_.writes));
  if (steps->largestRecord > layout.slotData ||
      (layout.halves == 1 && static_cast<int64_t>(steps->size()) > layout.batch)) {
    return "is damaged: its plan does not fit its records";
  }
  steps_ = std::move(steps);
  summary_ = Summary();
  if (!all) return {};
  std::vector<Record> records;
  s = journal_->ReadRecords(&records);
  if (s.damaged()) return "is damaged: " + s.Message();
  if (!s.ok()) return "cannot be read: " + s.Message();
  std::string damage;
  if (!PickRecords(records, &damage)) return "is damaged: " + damage;
  summary_ = Summary();
  return {};
}

JournalVerdict InterruptedChange::Stale(std::string what) {
  JournalVerdict v = Verdict(JournalVerdict::kStale, std::move(what), false);
  // A journal of a file renamed since still belongs to it.
  if (journal_ != nullptr) {
    const Layout& layout = journal_->layout();
    v.belongsTo =
        FindMarkedFiles(files_, DirectoryOf(path_), static_cast<ino_t>(layout.inode), layout.nonce);
  }
  return v;
}

JournalVerdict InterruptedChange::Examine(Finisher finisher, bool forWriting) {
  // The file's mark first: a journal is played back only on the file that bears its mark.
  FileMark mark;
  Status s = ReadFileMark(file_, &mark);
  if (!s.ok()) {
    JournalVerdict failed = Refuse("the file cannot be read", false);
    failed.failed = s;
    return failed;
  }
  marked_ = mark.marked;
  nonce_ = mark.nonce;
  if (std::optional<JournalVerdict> v = OpenJournal(mark, forWriting)) return *v;
  std::string wrong = ReadJournal(false);
  // A mark with a byte or two lost is still the mark of the journal's change.
  if (wrong.empty() && !marked_ && mark.Near(journal_->layout().nonce)) {
    marked_ = true;
    nonce_ = journal_->layout().nonce;
  }
  return marked_ ? JudgeMarked(finisher, wrong) : JudgeUnmarked(mark, wrong);
}

std::optional<JournalVerdict> InterruptedChange::OpenJournal(const FileMark& mark,
                                                             bool forWriting) {
  // Whether what lies at the journal's place decides the verdict (the file bears a mark, or what
  // may be one) or is only to be said.
  const bool suspect = mark.marked || mark.damaged;
  const std::string name = Name();
  struct stat jst;
  if (files_.StatPath(path_, &jst) == -1) {
    if (errno == ENOENT && !suspect) return JournalVerdict{};
    if (errno == ENOENT) {
      return Refuse(mark.marked ? name + " is missing" : kDamagedMark + ", and no journal", true);
    }
    const std::string why = std::string(" cannot be looked at: ") + std::strerror(errno);
    return suspect ? Refuse(name + why, false) : Stale("it" + why);
  }
  owner_ = jst.st_uid;
  if (S_ISLNK(jst.st_mode) || !S_ISREG(jst.st_mode)) {
    const std::string what =
        S_ISLNK(jst.st_mode) ? " is a symbolic link, not a journal" : " is not a regular file";
    return suspect ? Refuse(name + what, S_ISLNK(jst.st_mode)) : Stale("it" + what);
  }
  fd_ =
      files_.Open(path_, (forWriting ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd_ == -1) {
    const std::string why = std::string(" cannot be opened: ") + std::strerror(errno) +
                            "; it belongs to user " + std::to_string(jst.st_uid);
    return suspect ? Refuse(name + why, false) : Stale("it" + why);
  }
  struct stat st;
  if (files_.Stat(fd_, &st) == -1) {
    return Refuse(name + " cannot be looked at: " + std::strerror(errno), false);
  }
  if (!S_ISREG(st.st_mode)) {
    return suspect ? Refuse(name + " is not a regular file", false)
                   : Stale("it is not a regular file");
  }
  owner_ = st.st_uid;
  mode_ = st.st_mode;
  return std::nullopt;
}

JournalVerdict InterruptedChange::JudgeUnmarked(const FileMark& mark, const std::string& wrong) {
  // Whatever it holds, it never applies to this file: the file was never touched by its change
  // (the power failed before the mark was on the disk), or its change is done, or it was put
  // there from elsewhere. An earlier version's journal is kept for that version.
  if (mark.damaged) return Refuse(kDamagedMark + ", and " + Name() + " is not its journal", true);
  if (wrong.find("earlier version") != std::string::npos) return Refuse(Name() + " " + wrong, true);
  if (!wrong.empty()) return Stale("it " + wrong);
  return Stale("it records " + summary_);
}

std::optional<JournalVerdict> InterruptedChange::Distrust(Finisher finisher,
                                                          std::string* distrust) {
  const uid_t me = files_.UserId();
  struct stat fst;
  if (files_.Stat(file_.fd(), &fst) == -1) {
    return Refuse("the file cannot be looked at: " + std::string(std::strerror(errno)), false);
  }
  // A reading command finishes only its own user's changes; a change also those of the file's
  // owner and of the superuser, who may change anyone's file.
  const bool trusted =
      (mode_ & 07777) == 0600 &&
      (owner_ == me || (finisher == Finisher::kEditor && (owner_ == fst.st_uid || owner_ == 0)));
  if ((mode_ & 07777) != 0600) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(mode_ & 07777));
    *distrust = Name() + " was not made by this tool (mode " + mode + ", not 0600)";
  } else if (!trusted) {
    *distrust = Name() + " belongs to user " + std::to_string(owner_) +
                (finisher == Finisher::kReader && owner_ != me
                     ? ": a reading command finishes only its own user's changes"
                     : "");
  }
  return std::nullopt;
}

JournalVerdict InterruptedChange::JudgeMarked(Finisher finisher, std::string wrong) {
  const std::string name = Name();
  std::string distrust;
  if (std::optional<JournalVerdict> v = Distrust(finisher, &distrust)) return *v;
  const std::string distrustNote = distrust.empty() ? "" : " (" + distrust + ")";
  if (wrong.empty() && journal_->layout().nonce != nonce_) {
    return Refuse("the journal beside it, " + QuotedName(path_) + ", belongs to another change (" +
                      NonceText(journal_->layout().nonce) + ", " + summary_ + ")",
                  true);
  }
  if (wrong.empty()) wrong = ReadJournal(true);
  if (!wrong.empty()) {
    const bool unreadable = wrong.rfind("cannot be read", 0) == 0;
    return Refuse(name + " " + wrong + distrustNote, !unreadable);
  }
  std::string why;
  if (Status s = CheckTheFile(&why); !s.ok()) {
    return Refuse(name + ": the file cannot be read: " + s.Message(), false);
  }
  if (!why.empty())
    return Refuse("the file no longer fits " + name + ": " + why + distrustNote, true);
  if (!distrust.empty()) {
    return Refuse(distrust +
                      "; it records an interrupted change that its owner or root can "
                      "finish with atbutil recover",
                  false);
  }
  return Verdict(JournalVerdict::kFits, {}, false);
}

// Checks, from what the journal records, that the file holds exactly what the change's own
// writes can have left; each check stops the rest once *why says what differs.
Status InterruptedChange::CheckTheFile(std::string* why) {
  Status s = CheckLength(why);
  if (s.ok() && why->empty()) s = CheckFirstBytes(why);
  if (s.ok() && why->empty()) s = CheckMoved(why);
  if (allMoved_) {
    if (s.ok() && why->empty() && steps_->size() == 0) s = CheckFinalWrites(why);
    return s;
  }
  if (s.ok() && why->empty()) s = CheckStepsInFlight(why);
  if (s.ok() && why->empty()) s = CheckSourcesToMove(why);
  return s;
}

Status InterruptedChange::CheckLength(std::string* why) {
  const Recorded& r = recorded_;
  const int64_t longest = std::max(r.oldLength, r.newLength);
  int64_t length;
  Status s = file_.Length(&length);
  if (!s.ok()) return s;
  const int64_t shortest = allMoved_ ? r.newLength : r.oldLength;
  if (length < shortest || length > longest) {
    *why = "it is " + std::to_string(length) + " bytes long, where the change left between " +
           std::to_string(shortest) + " and " + std::to_string(longest);
  }
  return Status::Ok();
}

// Before the final writes begin, nothing in front of the first splice has changed but the mark;
// after, only what they cover.
Status InterruptedChange::CheckFirstBytes(std::string* why) {
  const Recorded& r = recorded_;
  const Regions covered = FinalRegions(r.writes);
  std::string prefix(r.prefix.size(), '\0');
  if (Status s = file_.ReadAt(0, prefix.data(), prefix.size()); !s.ok()) return s;
  for (std::size_t k = static_cast<std::size_t>(kMarkBytes); k < prefix.size(); ++k) {
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
  return Status::Ok();
}

// Every destination of the batches before the one in flight (of all of them once all moved),
// against the one hash of them the newest records hold.
Status InterruptedChange::CheckMoved(std::string* why) {
  const Steps& steps = *steps_;
  const Regions covered = FinalRegions(recorded_.writes);
  const std::size_t done = allMoved_ ? steps.size() : batchStart_;
  Buffer buffer(static_cast<std::size_t>(std::max<int64_t>(steps.largest, kSampleBytes)));
  if (!buffer.ok()) return Status::NoMemory("not enough memory to check the file");
  uint64_t h = journal_->layout().nonce, batchHash = h;
  for (std::size_t i = 0; i < done; ++i) {
    const ChunkMove& m = steps.moves[i];
    Status s = file_.ReadAt(m.to, buffer.data(), static_cast<std::size_t>(m.size));
    if (!s.ok()) return s;
    if (i == steps.BatchStart(i)) batchHash = h;
    const uint64_t fold =
        steps.folded[i] ? journal_->RecordFold(steps, i, batchHash, buffer.data()) : 0;
    h = AddStep(steps, i, h, buffer.data(), fold, covered);
  }
  if (h != movedHash_) *why = "bytes that the change moved have changed since";
  return Status::Ok();
}

// For a change that moves nothing: what each final write covers is, sector by sector, as before
// it or as after it.
Status InterruptedChange::CheckFinalWrites(std::string* why) {
  std::string now, old, fresh;
  for (const FinalWrite& w : recorded_.writes) {
    if (w.preimageAt < 0) continue;
    now.resize(static_cast<std::size_t>(w.size));
    old.resize(now.size());
    fresh.resize(now.size());
    Status s = file_.ReadAt(w.pos, now.data(), now.size());
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
    // The mark lies where it lies, whatever the write puts there in the end.
    for (int64_t at = std::max(w.pos, kMarkBytes); at < w.pos + w.size;) {
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
  return Status::Ok();
}

// The steps in flight: rebuilt from where their bytes lay, where they go and what their records
// keep, they must give their records' checks.
Status InterruptedChange::CheckStepsInFlight(std::string* why) {
  const Steps& steps = *steps_;
  Buffer buffer(static_cast<std::size_t>(std::max<int64_t>(steps.largest, kSampleBytes)));
  Buffer room(static_cast<std::size_t>(std::max<int64_t>(steps.largest, 1)));
  if (!buffer.ok() || !room.ok()) return Status::NoMemory("not enough memory to check the file");
  for (const auto& [step, record] : batch_) {
    bool fits;
    Status s = RebuildStep(file_, steps, step, record.data, journal_->layout().nonce, buffer.data(),
                           room.data(), &fits);
    if (!s.ok()) return s;
    if (!fits) {
      *why = "bytes of the steps in flight have changed since";
      return Status::Ok();
    }
  }
  return Status::Ok();
}

// The start of every source still to be moved, against the hash the plan holds.
Status InterruptedChange::CheckSourcesToMove(std::string* why) {
  const Steps& steps = *steps_;
  Buffer buffer(static_cast<std::size_t>(kSampleBytes));
  if (!buffer.ok()) return Status::NoMemory("not enough memory to check the file");
  for (std::size_t i = steps.BatchEnd(batchStart_); i < steps.size(); ++i) {
    const ChunkMove& next = steps.moves[i];
    Status s = file_.ReadAt(next.from, buffer.data(),
                            static_cast<std::size_t>(std::min(next.size, kSampleBytes)));
    if (!s.ok()) return s;
    if (SampleHash(next, buffer.data()) != recorded_.samples[i]) {
      *why = "bytes that the change has still to move have changed since";
      return Status::Ok();
    }
  }
  return Status::Ok();
}

}  // namespace

JournalVerdict ExamineJournal(Files& files, PositionedFile& file, const std::string& journalPath,
                              Finisher finisher) {
  InterruptedChange interrupted(files, file, journalPath);
  return interrupted.Examine(finisher, false);
}

Status RefusalOf(const JournalVerdict& v, const std::string& name) {
  if (!v.failed.ok()) return v.failed;
  if (!v.marked) return Status::Refused("an interrupted change cannot be finished: " + v.reason);
  std::string how;
  // Commands to paste: names as shell words.
  const std::string file = name.empty() ? "FILE" : ShellWord(name);
  if (!v.found.empty()) {
    how = "; " + QuotedName(v.found.front()) + " holds it: `atbutil recover --journal " +
          ShellWord(v.found.front()) + " " + file + "` finishes it";
  } else if (v.discardable) {
    how = "; `atbutil recover --journal JOURNAL " + file +
          "` finishes it from its journal, wherever that is now; `atbutil recover --discard " +
          file + "` takes the mark away instead and leaves the file as the change left it";
  }
  return Status::Refused("a change to it was interrupted (change " + NonceText(v.nonce) +
                         ") and cannot be finished: " + v.reason + how);
}

std::string StaleNote(const JournalVerdict& v, const std::string& journalPath) {
  return QuotedName(journalPath) + ", a journal that belongs to no change of the file as it is (" +
         v.reason + ")";
}

namespace {

// Removes a stale journal, unless it still belongs to the file under another name.
Status RemoveStale(Files& files, const JournalVerdict& v, const std::string& journalPath,
                   bool durable, std::string* note) {
  // Only what is provably our own leftover goes: anything else at that name may be someone's.
  if (v.owner != files.UserId()) {
    return Status::Refused(QuotedName(journalPath) + ", which belongs to user " +
                           std::to_string(v.owner) + " and lies where the file's journal goes (" +
                           v.reason +
                           "), is left as it is: its owner can remove it if nothing needs it");
  }
  if (!v.ours) {
    return Status::Refused(QuotedName(journalPath) + " lies where the file's journal goes (" +
                           v.reason + "): move it away to change the file");
  }
  if (!v.belongsTo.empty()) {
    return Status::Refused(
        QuotedName(journalPath) + " belongs to " + QuotedName(v.belongsTo.front()) +
        ", which is in the middle of its change: `atbutil recover --journal " +
        ShellWord(journalPath) + " " + ShellWord(v.belongsTo.front()) + "` finishes it first");
  }
  if (files.Unlink(journalPath) == -1) {
    return Status::Refused(QuotedName(journalPath) + ", a journal of user " +
                           std::to_string(v.owner) +
                           " that belongs to no change of the file as it is, cannot be removed (" +
                           std::strerror(errno) + "): its owner or root can remove it");
  }
  if (durable) files.SyncDirectory(DirectoryOf(journalPath));
  if (note != nullptr) {
    *note = "removed " + StaleNote(v, journalPath);
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

Status RecoverChange(ChangeTarget& target, Finisher finisher, bool* finished, std::string* note) {
  *finished = false;
  Files& files = target.file.files();
  InterruptedChange interrupted(files, target.file, target.journalPath);
  const JournalVerdict verdict = interrupted.Examine(finisher, true);
  switch (verdict.kind) {
    case JournalVerdict::kNone:
      return Status::Ok();
    case JournalVerdict::kStale:
      return RemoveStale(files, verdict, target.journalPath, target.durable, note);
    case JournalVerdict::kRefused:
      return RefusalOf(verdict, target.name);
    case JournalVerdict::kFits:
      break;
  }
  const Recorded& r = interrupted.recorded();
  const Steps& steps = interrupted.steps();
  int64_t longest = std::max(r.oldLength, r.newLength);
  Status s = WithinSizeLimit(files, longest, interrupted.journal().layout().End());
  if (!s.ok()) return s;
  // Everything the recovery needs is acquired before it writes.
  StepBuffers buffers(steps, 1);
  Buffer room(static_cast<std::size_t>(std::max<int64_t>(steps.largest, 1)));
  std::vector<uint8_t> scratch;
  try {
    scratch.reserve(ScratchRoom(steps));
  } catch (const std::bad_alloc&) {
  }
  if (!buffers.ok() || !room.ok() || scratch.capacity() < ScratchRoom(steps)) {
    return Status::NoMemory("not enough memory to finish an interrupted change");
  }
  {
    DeferSignals hold;
    if (!hold.ok()) return Status::Refused("the signals that end a process cannot be held");
    Mover mover({target.file, target.durable}, interrupted.journal(), r, steps, buffers.pointers(),
                scratch);
    s = interrupted.allMoved() ? mover.Run(steps.size(), nullptr, true, interrupted.movedHash())
                               : mover.Resume(interrupted.batchStart(), interrupted.batch(),
                                              interrupted.movedHash(), room.data());
  }
  if (!s.ok()) return AsIoError(s);
  *finished = true;
  // Without its mark the file is whole: the journal's removal need not reach the disk.
  if (files.Unlink(target.journalPath) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

namespace {

// Copies the `size` bytes of the journal `source` to a new journal at `path`, made as a change
// makes one; nothing is left at `path` when that fails.
Status CopyJournal(Files& files, PositionedFile& source, int64_t size, const std::string& path,
                   bool durable) {
  const int to = files.Open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (to == -1) return Status::FromErrno(errno).In(path);
  PositionedFile copy(files, to);
  Status s;
  std::vector<uint8_t> chunk(static_cast<std::size_t>(kFramesPerIo * kFrame));
  for (int64_t at = 0; s.ok() && at < size;) {
    const auto n = static_cast<std::size_t>(std::min<int64_t>(size - at, chunk.size()));
    s = source.ReadAt(at, chunk.data(), n);
    if (s.ok()) s = copy.WriteAt(at, chunk.data(), n);
    at += static_cast<int64_t>(n);
  }
  if (s.ok() && durable && (files.Sync(to) == -1 || files.SyncDirectory(DirectoryOf(path)) == -1)) {
    s = Status::FromErrno(errno);
  }
  files.Close(to);
  if (!s.ok()) files.Unlink(path);
  return s;
}

}  // namespace

Status RecoverFromJournal(ChangeTarget& target, const std::string& journalPath, bool* finished) {
  *finished = false;
  Files& files = target.file.files();
  FileMark mark;
  Status s = ReadFileMark(target.file, &mark);
  if (!s.ok()) return s;
  // What lies beside the file now goes first, if it may.
  JournalVerdict own = ExamineJournal(files, target.file, target.journalPath, Finisher::kEditor);
  if (own.kind == JournalVerdict::kFits) return RecoverChange(target, Finisher::kEditor, finished);
  if (JournalExists(files, target.journalPath)) {
    struct stat a, b;
    if (files.StatPath(target.journalPath, &a) == 0 && files.StatPath(journalPath, &b) == 0 &&
        a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
      return RefusalOf(own, target.name);
    }
    if (own.kind == JournalVerdict::kRefused &&
        own.reason.find("belongs to another change") == std::string::npos) {
      return RefusalOf(own, target.name);
    }
    return Status::Refused("a journal of another change lies beside it, " +
                           QuotedName(target.journalPath) + ": move it away first");
  }
  // The journal named: read as it lies, it must be of this file's change.
  const int from = files.Open(journalPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
  if (from == -1) return Status::FromErrno(errno).In(journalPath);
  PositionedFile source(files, from);
  struct stat st, fst;
  uint8_t head[kFrame] = {};
  std::size_t got = 0;
  Layout layout;
  uint64_t seq;
  int64_t size = 0;
  s = source.ReadUpTo(0, head, sizeof head, &got);
  if (s.ok()) s = source.Length(&size);
  if (s.ok() && (files.Stat(from, &st) == -1 || files.Stat(target.file.fd(), &fst) == -1)) {
    s = Status::FromErrno(errno);
  }
  if (s.ok() && (!S_ISREG(st.st_mode) || got != sizeof head ||
                 Inspect(head, 0, 0, &seq) != FrameState::kWhole || !layout.ReadHeader(head))) {
    s = Status::Refused("is not a journal this tool wrote");
  } else if (s.ok() && !mark.marked && !mark.damaged && !mark.Near(layout.nonce)) {
    s = Status::Refused(
        "holds a change that the file is not in the middle of: the file bears no "
        "mark of a change");
  } else if (s.ok() && !(mark.marked ? mark.nonce == layout.nonce : mark.Near(layout.nonce))) {
    s = Status::Refused("holds another change (" + NonceText(layout.nonce) +
                        ") than the one the file is in the middle of" +
                        (mark.marked ? " (" + NonceText(mark.nonce) + ")" : std::string()));
  }
  if (!s.ok()) {
    files.Close(from);
    return s.In(journalPath);
  }
  // The file's own journal, renamed with it: moved beside it. A copy's: copied, so that the file
  // it was written for keeps it.
  const bool own_file = layout.inode == static_cast<uint64_t>(fst.st_ino) &&
                        files.Rename(journalPath, target.journalPath) == 0;
  if (!own_file) {
    s = CopyJournal(files, source, size, target.journalPath, target.durable);
    if (!s.ok()) {
      files.Close(from);
      return s;
    }
  } else if (target.durable) {
    files.SyncDirectory(DirectoryOf(target.journalPath));
  }
  files.Close(from);
  s = RecoverChange(target, Finisher::kEditor, finished);
  // Refused: everything as it was.
  if (!s.ok() && !*finished && !s.ioError()) {
    if (own_file) {
      files.Rename(target.journalPath, journalPath);
    } else {
      files.Unlink(target.journalPath);
    }
  }
  return s;
}

Status DiscardJournal(Files& files, PositionedFile& file, const std::string& journalPath,
                      std::string* summary, std::string* lost) {
  InterruptedChange interrupted(files, file, journalPath);
  const JournalVerdict verdict = interrupted.Examine(Finisher::kEditor, false);
  *summary = verdict.summary;
  lost->clear();
  switch (verdict.kind) {
    case JournalVerdict::kNone:
      return Status::Refused("there is no interrupted change to discard");
    case JournalVerdict::kFits:
      return Status::Refused(
          "the interrupted change still fits the file and can be finished: "
          "atbutil recover finishes it");
    case JournalVerdict::kStale:
      return RemoveStale(files, verdict, journalPath, true, nullptr);
    case JournalVerdict::kRefused:
      if (!verdict.discardable) return RefusalOf(verdict, {});
      break;
  }
  // Another change's journal may be the only one of the file it belongs to.
  if (verdict.marked && interrupted.planRead() &&
      interrupted.journal().layout().nonce != verdict.nonce) {
    summary->clear();
    return Status::Refused("the journal beside it, " + QuotedName(journalPath) +
                           ", belongs to another change (" +
                           NonceText(interrupted.journal().layout().nonce) + ", " +
                           verdict.summary + "): move it away first, to discard this file's own");
  }
  if (JournalExists(files, journalPath) && files.Unlink(journalPath) == -1) {
    return Status::FromErrno(errno).In(journalPath);
  }
  if (files.SyncDirectory(DirectoryOf(journalPath)) == -1) return Status::FromErrno(errno);
  if (!verdict.marked) return Status::Ok();
  // The bytes under the mark: from the journal when its plan could be read (what lay there
  // before the change, or what the finished file holds once its final writes began), zeros
  // otherwise.
  std::string under(static_cast<std::size_t>(kMarkBytes), '\0');
  const bool known =
      interrupted.planRead() && interrupted.journal().layout().nonce == verdict.nonce;
  if (known) {
    under = interrupted.allMoved() ? interrupted.recorded().unmarked
                                   : interrupted.recorded().prefix.substr(0, under.size());
  }
  *lost = std::string("the file is left in the middle of its change") +
          (known ? "; the bytes under the mark are as its journal kept them"
                 : "; the first " + std::to_string(kMarkBytes) +
                       " bytes of its header, which only the journal held, are zeros now");
  Status s = file.WriteAt(0, under.data(), under.size());
  if (s.ok() && files.Sync(file.fd()) == -1) s = Status::FromErrno(errno);
  return s;
}

}  // namespace atb
