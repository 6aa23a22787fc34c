// The mover on its own: every byte where the splices put it, the journal's records and the file
// flushed in turn, and a failure at any write or flush reported, leaving a change that
// recovery finishes.
#include "change/mover.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <map>

#include "change/journal.h"
#include "change/journal_writer.h"
#include "change/mark.h"
#include "store/layout.h"
#include "tests/memory_files.h"
#include "tests/random_files.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace journal;
using namespace build;
using testing::MemoryFiles;
using testing::RecoverOn;

const std::string kPath = "/d/f.atb";

// A file whose writes and flushes are watched while the mover runs: the journal written while
// the file has writes not yet flushed, or the file while the journal has, breaks the order that
// makes every state recover. Optionally fails its k-th write or flush.
class WatchedFiles : public MemoryFiles {
 public:
  explicit WatchedFiles(const Disk& disk) : MemoryFiles(disk) {}

  void Watch(int file, int journal, int failAt = 0) {
    file_ = file;
    journal_ = journal;
    failAt_ = failAt;
    calls_ = 0;
  }
  void Stop() { file_ = journal_ = -1; }
  int calls() const { return calls_; }
  int syncs() const { return syncs_; }
  const std::string& broken() const { return broken_; }
  // The last two things done: the mark taken away, then the file flushed.
  const std::vector<std::string>& done() const { return done_; }

  ssize_t Write(int fd, const void* buf, std::size_t n) override {
    if (Watched(fd) && Fails()) return -1;
    if (fd == file_ && dirty_[journal_]) broken_ = "the file written before its journal's flush";
    if (fd == journal_ && dirty_[file_]) broken_ = "the journal written before the file's flush";
    if (Watched(fd)) {
      dirty_[fd] = true;
      done_.push_back((fd == file_ ? "file " : "journal ") + std::to_string(n));
    }
    return MemoryFiles::Write(fd, buf, n);
  }
  int Truncate(int fd, int64_t length) override {
    if (Watched(fd)) dirty_[fd] = true;
    return MemoryFiles::Truncate(fd, length);
  }
  int Sync(int fd) override {
    if (Watched(fd) && Fails()) return -1;
    if (Watched(fd)) {
      dirty_[fd] = false;
      ++syncs_;
      done_.push_back(fd == file_ ? "flush file" : "flush journal");
    }
    return MemoryFiles::Sync(fd);
  }

 private:
  bool Watched(int fd) const { return fd != -1 && (fd == file_ || fd == journal_); }
  bool Fails() {
    if (++calls_ != failAt_) return false;
    errno = EIO;
    return true;
  }
  int file_ = -1, journal_ = -1, failAt_ = 0, calls_ = 0, syncs_ = 0;
  std::map<int, bool> dirty_;
  std::string broken_;
  std::vector<std::string> done_;
};

struct Case {
  Bytes before, after;
  ChangePlan plan;
};

Bytes RandomBytes(Random& r, int64_t n) {
  Bytes b(static_cast<std::size_t>(n), '\0');
  for (char& c : b) c = static_cast<char>(r.Below(256));
  return b;
}

// Up to four splices behind the header (none at times: a change that moves nothing), each
// inserted region then written, and now and then a write across the mark; steps of 64 to 1,600
// bytes, so that a move takes many batches.
Case RandomCase(Random& r) {
  Case c;
  c.before = RandomBytes(r, ROOT_TABLE_OFFSET + r.Below(6000));
  const auto length = static_cast<int64_t>(c.before.size());
  ChangePlan& plan = c.plan;
  plan.oldLength = length;
  plan.chunkBytes = 64 + r.Below(1537);
  int64_t next = ROOT_TABLE_OFFSET, copied = 0;
  for (int k = r.Below(5); k > 0 && next <= length; --k) {
    const int64_t pos = next + r.Below(static_cast<int>(length - next) + 1);
    const int64_t removed = r.Below(static_cast<int>(std::min<int64_t>(length - pos, 300)) + 1);
    const Bytes inserted = RandomBytes(r, r.Below(700));
    plan.splices.push_back({pos, removed, static_cast<int64_t>(inserted.size())});
    c.after +=
        c.before.substr(static_cast<std::size_t>(copied), static_cast<std::size_t>(pos - copied));
    ChangePlan::Write w;
    w.pos = static_cast<int64_t>(c.after.size());
    w.bytes = inserted;
    if (!inserted.empty()) plan.writes.push_back(w);
    c.after += inserted;
    copied = next = pos + removed;
  }
  c.after += c.before.substr(static_cast<std::size_t>(copied));
  if (plan.splices.empty() || r.OneIn(3)) {
    ChangePlan::Write w;
    w.pos = 8;
    w.bytes = RandomBytes(r, 40);
    c.after.replace(8, 40, w.bytes);
    plan.writes.push_back(w);
  }
  plan.newLength = static_cast<int64_t>(c.after.size());
  return c;
}

// A change made as RunJournaled makes it, up to its mark, then moved by the mover while `files`
// watches (failing its `failAt`-th write or flush, when not 0).
Status MoveJournaled(WatchedFiles& files, const ChangePlan& plan, bool durable, int failAt = 0) {
  const int fd = files.Open(kPath, O_RDWR, 0);
  PositionedFile file(files, fd);
  struct stat st;
  EXPECT_EQ(files.Stat(fd, &st), 0);
  JournalPlan j =
      PlanJournal(plan, PlanMoves(plan.splices, plan.oldLength, plan.chunkBytes), durable);
  const Steps& steps = *j.steps;
  StepBuffers buffers(steps, kSampleBytes);
  EXPECT_TRUE(buffers.ok());
  int jfd = -1;
  Status s = RecordTheFile(file, plan, st, buffers.pointers()[0], &j);
  if (s.ok()) s = CreateJournal(files, JournalPath(kPath), &jfd);
  Journal journal(files, jfd, j.layout);
  std::vector<uint8_t> scratch;
  std::vector<uint64_t> firstFolds;
  if (s.ok()) {
    s = WriteJournal(journal, {plan, j.recorded, j.planBytes, steps}, file, buffers.pointers(),
                     &scratch, &firstFolds, durable, "/d");
  }
  const std::string mark = MarkOf(j.layout.nonce);
  if (s.ok()) s = file.WriteAt(0, mark.data(), mark.size());
  if (s.ok() && files.Sync(fd) == -1) s = Status::FromErrno(errno);
  if (s.ok() && plan.newLength > plan.oldLength) s = file.SetLength(plan.newLength);
  EXPECT_TRUE(s.ok()) << s.Message();
  if (s.ok()) {
    files.Watch(fd, jfd, failAt);
    Mover mover({file, durable}, journal, j.recorded, steps, buffers.pointers(), scratch);
    s = mover.Run(0, &firstFolds, steps.size() == 0, j.layout.nonce);
    files.Stop();
  }
  files.Close(jfd);
  files.Close(fd);
  return s;
}

Status Recover(MemoryFiles& files) { return RecoverOn(files, kPath); }

MemoryFiles::Disk DiskOf(const Bytes& bytes) { return {{kPath, {bytes, 0, 0644}}}; }

// Steps read in batches of one to four before they are written, with nothing journaled: every
// byte lands once where the splices put it.
TEST(Mover, MovesEveryByteOnceWhereverSplicesGrowOrShrink) {
  Random r(5);
  for (int c = 0; c < 300; ++c) {
    const Bytes before = RandomBytes(r, r.Below(400));
    std::vector<Splice> splices;
    Bytes expected;
    int64_t at = 0;
    for (int k = r.Below(5); k > 0 && at < static_cast<int64_t>(before.size()); --k) {
      const int64_t pos = at + r.Below(static_cast<int>(before.size() - at) + 1);
      const int64_t removed = r.Below(static_cast<int>(before.size() - pos) + 1) / 2;
      const int64_t inserted = r.Below(30);
      splices.push_back({pos, removed, inserted});
      expected += before.substr(at, pos - at) + Bytes(inserted, '?');
      at = pos + removed;
    }
    expected += before.substr(at);
    MemoryFiles files(DiskOf(before));
    const int fd = files.Open(kPath, O_RDWR, 0);
    PositionedFile file(files, fd);
    const auto length = static_cast<int64_t>(before.size());
    const int64_t newLength = LengthAfter(splices, length);
    const int64_t chunk = 1 + r.Below(16);
    const Steps steps(PlanMoves(splices, length, chunk), 1 + r.Below(4), {});
    StepBuffers buffers(steps, 1);
    ASSERT_TRUE(file.SetLength(std::max(length, newLength)).ok());
    ASSERT_TRUE(Mover::MoveUnjournaled(file, steps, buffers.pointers()).ok());
    ASSERT_TRUE(file.SetLength(newLength).ok());
    files.Close(fd);
    const Bytes after = files.Bytes(kPath);
    // What lies in the space made is unspecified: compare around it.
    ASSERT_EQ(after.size(), expected.size()) << c;
    for (std::size_t i = 0; i < after.size(); ++i) {
      if (expected[i] != '?') {
        ASSERT_EQ(after[i], expected[i]) << c << " at " << i;
      }
    }
  }
}

// Journaled, in batches with flushes or streamed without: the file the change makes, without
// its mark; with flushes, the file and the journal flushed in turn and the mark taken away
// last, once everything else is on the disk; without, never a flush.
TEST(Mover, JournaledMovesGiveTheChangedFileFlushedInTurn) {
  Random r(11);
  for (int c = 0; c < 200; ++c) {
    const Case k = RandomCase(r);
    for (const bool durable : {true, false}) {
      WatchedFiles files(DiskOf(k.before));
      const std::string where = std::to_string(c) + (durable ? " flushed" : " unflushed");
      ASSERT_TRUE(MoveJournaled(files, k.plan, durable).ok()) << where;
      ASSERT_EQ(files.Bytes(kPath), k.after) << where;
      if (durable) {
        ASSERT_EQ(files.broken(), "") << where;
        const std::vector<std::string>& done = files.done();
        ASSERT_GE(done.size(), 3u) << where;
        EXPECT_EQ(done[done.size() - 3], "flush file") << where;
        EXPECT_EQ(done[done.size() - 2], "file " + std::to_string(kMarkBytes)) << where;
        EXPECT_EQ(done.back(), "flush file") << where;
      } else {
        EXPECT_EQ(files.syncs(), 0) << where;
      }
    }
  }
}

// Any write or flush of the move that fails is reported, and leaves a change that the next open
// finishes to exactly the changed file.
TEST(Mover, AFailureAnywhereIsReportedAndRecoveryFinishesTheChange) {
  Random r(23);
  int failures = 0;
  for (int c = 0; c < 16; ++c) {
    const Case k = RandomCase(r);
    WatchedFiles counting(DiskOf(k.before));
    ASSERT_TRUE(MoveJournaled(counting, k.plan, true).ok());
    for (int at = 1; at <= counting.calls(); ++at) {
      WatchedFiles files(DiskOf(k.before));
      const std::string where = std::to_string(c) + ", call " + std::to_string(at);
      const Status s = MoveJournaled(files, k.plan, true, at);
      ASSERT_FALSE(s.ok()) << where;
      ASSERT_TRUE(s.ioError()) << where << ": " << s.Message();
      const Status recovered = Recover(files);
      ASSERT_EQ(files.Bytes(kPath), k.after) << where << ": " << recovered.Message();
      ++failures;
    }
  }
  EXPECT_GT(failures, 200);
}

}  // namespace
}  // namespace atb
