// Making a change through its journal: planned, the memory, the space and the journal acquired,
// the journal written, the file marked, then its bytes moved. The journal's bytes are in
// change/journal_format.*, its writing in journal_writer.*, the moving of bytes in mover.*, and
// judging and finishing an interrupted change in recovery.cc.
#include "change/journal.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <random>

#include "change/journal_format.h"
#include "change/journal_writer.h"
#include "change/mark.h"
#include "change/mover.h"
#include "change/wait.h"
#include "platform/signals.h"
#include "store/hash.h"
#include "store/layout.h"
#include "store/table.h"

namespace atb {

using namespace journal;

namespace {

// Once the file has begun to change, every failure is one that leaves the change to the next
// open, whatever its kind: never "nothing was changed".
Status AfterTheFileChanged(const Status& s) {
  if (s.ok() || s.ioError()) return s;
  return Status::IoError(s.err(), s.noSpace() ? std::string() : s.Message());
}

// A change that moves nothing and writes within one sector needs no journal: a disk writes a
// sector whole or not at all, and one write call within a page is never cut by a kill. Its
// writes go in that one call.
bool InOneSector(const ChangePlan& plan, const std::vector<ChunkMove>& moves, int64_t* from,
                 int64_t* to) {
  if (!moves.empty() || plan.newLength != plan.oldLength) return false;
  *from = INT64_MAX;
  *to = 0;
  for (const ChangePlan::Write& w : plan.writes) {
    if (w.source != nullptr) return false;
    if (w.Size() == 0) continue;
    *from = std::min(*from, w.pos);
    *to = std::max(*to, w.pos + w.Size());
  }
  return *to == 0 || *from / kSector == (*to - 1) / kSector;
}

Status WriteInOneSector(ChangeTarget& target, const ChangePlan& plan, int64_t from, int64_t to) {
  if (to <= from) return Status::Ok();
  PositionedFile& file = target.file;
  Status s = WithinSizeLimit(file.files(), to, 0);
  if (!s.ok()) return s;
  std::string bytes(static_cast<std::size_t>(to - from), '\0');
  if (!(s = file.ReadAt(from, bytes.data(), bytes.size())).ok()) return s;
  for (const ChangePlan::Write& w : plan.writes) {
    bytes.replace(static_cast<std::size_t>(w.pos - from), w.bytes.size(), w.bytes);
  }
  if (!(s = file.WriteAt(from, bytes.data(), bytes.size())).ok()) return s;
  if (target.durable && file.files().Sync(file.fd()) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

// What a change acquires before the file changes, and gives back when it does not go ahead:
// the space reserved beyond the file's end, and its journal.
class Acquired {
 public:
  Acquired(ChangeTarget& target, const ChangePlan& plan)
      : files_(target.file.files()), target_(target), plan_(plan) {}
  int journal() const { return journal_; }

  // Space beyond the end, reserved without changing the file's length.
  Status ReserveSpace() {
    if (grows() &&
        files_.Allocate(target_.file.fd(), plan_.oldLength, plan_.newLength - plan_.oldLength,
                        true) == -1 &&
        errno != EOPNOTSUPP) {
      return GiveBack(Status::FromErrno(errno));
    }
    return Status::Ok();
  }
  Status CreateJournal() {
    Status s = journal::CreateJournal(files_, target_.journalPath, &journal_);
    return s.ok() ? s : GiveBack(s);
  }
  Status GiveBack(Status why) {
    if (grows()) files_.Truncate(target_.file.fd(), plan_.oldLength);
    return why;
  }
  // Until the file bears the mark, nothing of it has changed: the journal goes, and should a
  // crash keep it, it lies beside a file without its mark, which it never applies to.
  Status Withdraw(Status why) {
    GiveBack(Status::Ok());
    files_.Close(journal_);
    files_.Unlink(target_.journalPath);
    return why;
  }

 private:
  bool grows() const { return plan_.newLength > plan_.oldLength; }
  Files& files_;
  ChangeTarget& target_;
  const ChangePlan& plan_;
  int journal_ = -1;
};

// The mark, on the disk before the first byte moves: from here on the file says that it is in
// the middle of this change, under whatever name, and a crash finishes the change. A mark that
// fails is taken back, and the change withdrawn, when that can be made sure of.
Status MarkTheFile(ChangeTarget& target, const JournalPlan& j, Acquired& acquired) {
  PositionedFile& file = target.file;
  Files& files = file.files();
  const std::string mark = MarkOf(j.layout.nonce);
  Status s = file.WriteAt(0, mark.data(), mark.size());
  if (s.ok() && target.durable && files.Sync(file.fd()) == -1) s = Status::FromErrno(errno);
  if (s.ok()) return s;
  // Nothing has moved: the bytes under the mark go back, and with them the file is as it was.
  const Status undone =
      file.WriteAt(0, j.recorded.prefix.data(), static_cast<std::size_t>(kMarkBytes));
  if (undone.ok() && (!target.durable || files.Sync(file.fd()) == 0)) return acquired.Withdraw(s);
  files.Close(acquired.journal());
  return AfterTheFileChanged(s);
}

// Acquires the space and the journal, writes the journal, marks the file and moves its bytes.
Status JournalAndMove(ChangeTarget& target, const ChangePlan& plan, const JournalPlan& j,
                      const std::vector<uint8_t*>& buffers) {
  PositionedFile& file = target.file;
  Files& files = file.files();
  const Steps& steps = *j.steps;
  Acquired acquired(target, plan);
  Status s = acquired.ReserveSpace();
  if (!s.ok()) return s;
  // From the journal's creation on, a signal waits for the change: nothing is left half made.
  DeferSignals hold;
  if (!hold.ok()) {
    return acquired.GiveBack(Status::Refused("the signals that end a process cannot be held"));
  }
  if (!(s = acquired.CreateJournal()).ok()) return s;
  Journal journal(files, acquired.journal(), j.layout);
  std::vector<uint8_t> scratch;
  std::vector<uint64_t> firstFolds;
  // Memory that runs out before the mark leaves nothing behind: the change never began.
  try {
    s = WriteJournal(journal, {plan, j.recorded, j.planBytes, steps}, file, buffers, &scratch,
                     &firstFolds, target.durable, DirectoryOf(target.journalPath));
  } catch (const std::bad_alloc&) {
    s = Status::NoMemory("not enough memory for the change");
  }
  if (!s.ok()) return acquired.Withdraw(s);
  const int jfd = acquired.journal();
  if (!(s = MarkTheFile(target, j, acquired)).ok()) return s;
  if (plan.newLength > plan.oldLength) s = file.SetLength(plan.newLength);
  if (s.ok()) {
    Mover mover({file, target.durable}, journal, j.recorded, steps, buffers, scratch);
    s = mover.Run(0, &firstFolds, steps.size() == 0, j.layout.nonce);
  }
  files.Close(jfd);
  if (!s.ok()) return AfterTheFileChanged(s);
  // Without the mark the file is whole, and a journal beside it is never played back: its
  // removal need not reach the disk.
  if (files.Unlink(target.journalPath) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

Status RunLocked(ChangeTarget& target, const ChangePlan& plan, const struct stat& st) {
  std::vector<ChunkMove> moves = PlanMoves(plan.splices, plan.oldLength, plan.chunkBytes);
  int64_t from, to;
  if (InOneSector(plan, moves, &from, &to)) return WriteInOneSector(target, plan, from, to);
  if (!plan.splices.empty() && plan.splices.front().pos < ROOT_TABLE_OFFSET) {
    return Status::Refused("a change may not move the header");
  }
  JournalPlan j = PlanJournal(plan, std::move(moves), target.durable);
  // Everything the change needs is acquired before the file changes: memory, space, its journal.
  StepBuffers buffers(*j.steps, kSampleBytes);
  if (!buffers.ok()) return Status::NoMemory("not enough memory for the change");
  Status s = RecordTheFile(target.file, plan, st, buffers.pointers()[0], &j);
  if (!s.ok()) return s;
  const int64_t longest = std::max(plan.oldLength, plan.newLength);
  if (!(s = WithinSizeLimit(target.file.files(), longest, j.layout.End())).ok()) return s;
  return JournalAndMove(target, plan, j, buffers.pointers());
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
  Status s = AwaitChangeLock(files, target.file.fd(), true,
                             target.name.empty() ? BaseNameOf(target.journalPath) : target.name,
                             target.journalPath);
  if (!s.ok()) return s;
  FileMark mark;
  s = ReadFileMark(target.file, &mark);
  if (s.ok() && (mark.marked || mark.damaged)) {
    s = Status::Refused(
        "the file is in the middle of an interrupted change: atbutil recover "
        "finishes it");
  }
  if (s.ok()) s = RunLocked(target, plan, st);
  files.UnlockChanges(target.file.fd());
  return s;
}

}  // namespace atb
