// A failing disk: the k-th open, read, write, seek, truncation or close fails, for every k that a
// growth, an add and a rip make (with ATB_TESTS_WHOLE=1; otherwise for a sample of them, the
// first and the last of each kind among them). The tool must say so, return to the file prompt
// after a failed change, never claim success, and leave the attribute file untouched when it
// refuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "change/change.h"
#include "change/journal.h"
#include "tests/sampling.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::FaultyFiles;

struct Scenario {
  const char* name;
  std::string script;
  std::string success;   // what only a successful run prints
  const char* sideFile;  // written by the scenario, "" if none
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

const Table kTree{
    {RefEntry(1, {{FloatEntry(1, 1), TextEntry(2, "ab"), FloatEntry(3, 3), NameEntry("n")}}),
     FloatEntry(2, 2)}};
const Table kSide{{FloatEntry(5, 5)}};
const std::string kRootListing =
    testing::Listing({"0 REF(ID:1):n", "1 ID:2:2.000000"}) + testing::kMenu;

const Scenario kScenarios[] = {
    {"growth", "t.atb\n0\n1\nabcdefgh\n999\nquit\n", "new text?" + kRootListing, ""},
    {"add", "t.atb\n0\n998\n7\n999\nquit\n", "ID of reference to add?" + kRootListing, ""},
    {"rip", "t.atb\n0\n997\n1\n999\n999\nquit\n", "", "2"},
};

const char* const kFailures[] = {"\nwrite failed: ", "\nread failed: "};
const char* const kRefusals[] = {"\nbug opening ", "\nfile not found", "\ncan't write side file "};

class Faults : public ::testing::TestWithParam<Scenario> {
 protected:
  void SetUp() override {
    unlink(JournalPath(dir_ / "t.atb").c_str());
    WriteFile(dir_ / "t.atb", EncodeFile(kTree));
    WriteFile(dir_ / "7", EncodeTable(kSide));
    unlink((dir_ / "2").c_str());
  }
  std::string Run(Files& files) {
    testing::Dialogue d = testing::RunDialogue(dir_.path(), GetParam().script, files);
    err_ = d.err;
    return d.out;
  }
  std::string err_;
  testing::TempDir dir_;
};

TEST_P(Faults, EveryFailingCallIsReportedAndNothingIsClaimed) {
  const Scenario& sc = GetParam();
  FaultyFiles counting;
  const std::string clean = Run(counting);
  ASSERT_EQ(clean.find("failed"), std::string::npos);
  ASSERT_NE(clean.find(sc.success), std::string::npos);
  const Bytes original = EncodeFile(kTree);
  const Bytes cleanResult = ReadFile(dir_ / "t.atb");
  int runs = 0;
  build::Random r(77);
  for (int op = FaultyFiles::kOpen; op < FaultyFiles::kOps; ++op) {
    for (bool shortWrite : {false, true}) {
      if (shortWrite && op != FaultyFiles::kWrite) continue;
      const int calls = counting.Calls(static_cast<FaultyFiles::Op>(op));
      for (const int pick : testing::Picks(calls, 16, 8, r)) {
        const int k = pick + 1;
        SetUp();
        FaultyFiles faulty;
        faulty.FailAt(static_cast<FaultyFiles::Op>(op), k, EIO, shortWrite);
        const std::string out = Run(faulty);
        ++runs;
        const std::string where = std::string(sc.name) + ": op " + std::to_string(op) + " call " +
                                  std::to_string(k) + (shortWrite ? " (short)" : "");
        std::size_t failedAt = std::string::npos;
        for (const char* f : kFailures) failedAt = std::min(failedAt, out.find(f));
        std::size_t refusedAt = std::string::npos;
        for (const char* f : kRefusals) refusedAt = std::min(refusedAt, out.find(f));
        if (err_.find("change refused") != std::string::npos) {
          // Refused before the file changed: the journal could not be written.
          EXPECT_EQ(ReadFile(dir_ / "t.atb"), original) << where << " refused yet changed";
        } else if (failedAt == std::string::npos && refusedAt == std::string::npos) {
          // Unreported only when it did no harm, such as closing a side file that was read.
          EXPECT_EQ(out, clean) << where << " was not reported";
          EXPECT_EQ(ReadFile(dir_ / "t.atb"), cleanResult) << where << " was not reported";
        } else if (failedAt != std::string::npos) {
          // Straight back to the file prompt; nothing claimed before it, unless the failure
          // came after the change was done (a close that reports a deferred write error).
          std::size_t lineEnd = out.find('\n', failedAt + 1);
          EXPECT_EQ(out.compare(lineEnd + 1, testing::kPrompt.size(), testing::kPrompt), 0)
              << where;
          if (!sc.success.empty() && op != FaultyFiles::kClose) {
            EXPECT_EQ(out.find(sc.success), std::string::npos) << where;
          }
          // The next open finishes what the failure interrupted, or finds nothing begun.
          testing::RunDialogue(dir_.path(), "t.atb\n999\nquit\n");
          const Bytes after = ReadFile(dir_ / "t.atb");
          EXPECT_TRUE(after == original || after == cleanResult) << where << " not recovered";
        } else {
          EXPECT_EQ(ReadFile(dir_ / "t.atb"), original) << where << " refused yet changed";
        }
        // A failed rip never leaves part of an extent behind.
        if (*sc.sideFile && access((dir_ / sc.sideFile).c_str(), F_OK) == 0) {
          Bytes side = ReadFile(dir_ / sc.sideFile);
          EXPECT_TRUE(side.empty() || side == Bytes("ab\0", 3)) << where;
        }
      }
    }
  }
  EXPECT_GT(runs, 10);
}

INSTANTIATE_TEST_SUITE_P(Changes, Faults, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

// A signal that would end the process, arriving in the middle of a change, waits until the change
// is done: the handler runs once the file is as after the change and its journal is gone.
volatile sig_atomic_t delivered = 0, journalGoneWhenDelivered = 0;
const char* journalToCheck = nullptr;

class SignallingFiles : public Files {
 public:
  explicit SignallingFiles(int atWrite) : atWrite_(atWrite) {}
  ssize_t Write(int fd, const void* buf, std::size_t n) override {
    if (++writes_ == atWrite_) kill(getpid(), SIGTERM);
    return Files::Write(fd, buf, n);
  }
  ssize_t WriteAt(int fd, const void* buf, std::size_t n, int64_t pos) override {
    return SeekAndWrite(fd, buf, n, pos);
  }

 private:
  int atWrite_;
  int writes_ = 0;
};

TEST(Signals, AreHeldUntilTheChangeIsDone) {
  testing::TempDir dir;
  const Bytes before = EncodeFile({{TextEntry(1, "abc"), {2, 7, Bytes(20000, 'x')}}});
  const std::string path = dir / "f.atb", journal = JournalPath(path);
  journalToCheck = journal.c_str();
  struct sigaction action = {}, old;
  action.sa_handler = [](int) {
    delivered = 1;
    journalGoneWhenDelivered = access(journalToCheck, F_OK) != 0;
  };
  ASSERT_EQ(sigaction(SIGTERM, &action, &old), 0);
  for (int at : {4, 6, 9}) {
    WriteFile(path, before);
    delivered = 0;
    journalGoneWhenDelivered = 0;
    SignallingFiles files(at);
    const int fd = open(path.c_str(), O_RDWR);
    PositionedFile file(files, fd);
    ChangeTarget target{file, journal, false};
    Change change;
    change.set_chunk_bytes(4096);
    change.Replace({{ROOT_TABLE_OFFSET, static_cast<int64_t>(before.size()), 0}}, 56 + 24, 3,
                   "a longer text");
    ASSERT_TRUE(change.Apply(target).ok());
    close(fd);
    EXPECT_EQ(delivered, 1) << at;
    EXPECT_EQ(journalGoneWhenDelivered, 1) << "delivered in the middle of the change, write " << at;
    EXPECT_EQ(ReadFile(path),
              EncodeFile({{TextEntry(1, "a longer text"), {2, 7, Bytes(20000, 'x')}}}));
  }
  sigaction(SIGTERM, &old, nullptr);
}

}  // namespace
}  // namespace atb
