// What recovery does with a journal that is not, or no longer, this file's own: real atbutil
// processes killed in the middle of a change, then the file restored from a backup, reached by
// another name, given a journal that someone else wrote, or its journal damaged by one byte.
// Every time the file is refused (and it and its journal stay as they were) or recovered to
// exactly before or after.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <set>

#include "change/journal.h"
#include "platform/output_file.h"
#include "tests/random_files.h"
#include "tests/sampling.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::Shell;

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

const std::string kUtil = Quoted(ATBUTIL_BINARY);

// A file whose change moves about 8 MiB, long enough to be killed in the middle, of bytes that
// no shift leaves as they were.
Bytes BigFile() {
  Table root;
  for (uint32_t key = 1; key <= 4; ++key) root.entries.push_back(TextEntry(key, "a long text"));
  Bytes payload(8 << 20, '\0');
  uint32_t x = 2463534242u;
  for (char& c : payload) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(x);
  }
  root.entries.push_back({100, 7, payload});
  return EncodeFile(root);
}

// Runs `command` (an atbutil command line) and kills it at random instants until one is killed
// with the move under way and its first steps done (the file's bytes at 3 MiB moved, for a
// change at the front), its journal left beside `journalAt`. Answers the file as the kill left
// it.
Bytes KilledMidway(const std::string& file, const Bytes& before, const std::string& command,
                   const std::string& journalAt, Random& r) {
  // The kill comes between `early` and `late` microseconds after the start; a kill that finds the
  // change not yet far enough, or already done, narrows the window, so that a loaded machine
  // still gets there.
  WriteFile(file, before);
  const auto start = std::chrono::steady_clock::now();
  Shell("ATB_SYNC=0 " + command + " 2>/dev/null");
  int64_t early = 0, late = 2 * std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count();
  for (int attempt = 0; attempt < 200; ++attempt) {
    WriteFile(file, before);
    const pid_t pid = fork();
    if (pid == 0) {
      // Killed, not powered off: flushing would only make each try slower.
      execl("/bin/sh", "sh", "-c", ("ATB_SYNC=0 exec " + command + " 2>/dev/null").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    const int64_t delay = early + r.Below(static_cast<int>(late - early) + 1);
    usleep(static_cast<useconds_t>(delay));
    kill(pid, SIGKILL);
    int status;
    waitpid(pid, &status, 0);
    const Bytes now = ReadFile(file);
    const std::size_t probe = 3 << 20;
    const bool journal = access(JournalPath(journalAt).c_str(), F_OK) == 0;
    const bool moved = testing::Marked(now) && now.size() >= probe + 64 &&
                       now.compare(probe, 64, before, probe, 64) != 0;
    if (journal && moved) return now;
    if (journal || now == before) {
      early = delay;  // not far enough yet
    } else {
      late = delay;  // done already
    }
    if (late - early < 2000) early = 0, late = std::max<int64_t>(late * 2, 4000);
    unlink(JournalPath(journalAt).c_str());
  }
  ADD_FAILURE() << "no kill landed in the middle of " << command;
  return {};
}

class Recovery : public ::testing::Test {
 protected:
  // Runs an atbutil command line on the file; answers its exit status and what it said.
  testing::Outcome Util(const std::string& args) { return Shell(kUtil + " " + args + " 2>&1"); }

  // Puts back the file as a kill left it (into the same inode) and its journal (a new one).
  void Restore(const Bytes& file, const Bytes& journal) {
    WriteFile(file_, file);
    RestoreJournal(journal);
  }
  // Puts back the journal only, beside a file known to be as the kill left it.
  void RestoreJournal(const Bytes& journal) {
    unlink(JournalPath(file_).c_str());
    const int fd = open(JournalPath(file_).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_NE(fd, -1);
    ASSERT_EQ(write(fd, journal.data(), journal.size()), static_cast<ssize_t>(journal.size()));
    close(fd);
  }

  testing::TempDir dir_;
  const std::string file_ = dir_ / "f.atb";
  const std::string f_ = Quoted(file_);
  Random r_{271828};
};

// A move of large steps journals on a second thread, and without flushes: killed at any instant,
// the next open still finds the file as before or as after.
TEST_F(Recovery, AMoveOfLargeStepsKilledAnywhereEndsBeforeOrAfter) {
  const Bytes before = BigFile();
  for (const std::string value : {"\"\"", "\"a text now a good deal longer than it was\""}) {
    const std::string command = kUtil + " set " + f_ + " 1 '" + value + "'";
    WriteFile(file_, before);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Shell("ATB_SYNC=0 " + command).status, 0);
    const Bytes after = ReadFile(file_);
    const int64_t took = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    int interrupted = 0;
    for (int kill = 0; kill < 4; ++kill) {
      WriteFile(file_, before);
      const pid_t pid = fork();
      ASSERT_NE(pid, -1);
      if (pid == 0) {
        execl("/bin/sh", "sh", "-c", ("ATB_SYNC=0 exec " + command + " 2>/dev/null").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
      }
      usleep(static_cast<useconds_t>(r_.Below(static_cast<int>(took + took / 4) + 1)));
      ::kill(pid, SIGKILL);
      int status;
      waitpid(pid, &status, 0);
      interrupted += access(JournalPath(file_).c_str(), F_OK) == 0;
      const testing::Outcome recovered = Util("recover " + f_);
      EXPECT_EQ(recovered.status, 0) << recovered.out;
      const Bytes now = ReadFile(file_);
      ASSERT_TRUE(now == before || now == after) << value << ", kill " << kill;
    }
    RecordProperty("interrupted", interrupted);
  }
}

// A file restored from a backup bears no mark: it is whole, and a journal beside it, put back
// too or left from a change finished since, never applies to it.
TEST_F(Recovery, AJournalBesideAFileWithoutItsMarkNeverApplies) {
  const Bytes before = BigFile();
  const Bytes killed = KilledMidway(file_, before, kUtil + " set " + f_ + " 1 '\"\"'", file_, r_);
  const Bytes journal = ReadFile(JournalPath(file_));
  // A journal that still fits is not discarded: it can be finished.
  testing::Outcome kept = Util("recover --discard " + f_);
  EXPECT_EQ(kept.status, 1) << kept.out;
  EXPECT_NE(kept.out.find("still fits"), std::string::npos) << kept.out;
  EXPECT_EQ(ReadFile(file_), killed);
  EXPECT_EQ(Util("recover " + f_).status, 0);
  EXPECT_EQ(Util("get " + f_ + " 1").out, "\"\"\n");

  const std::string ignored = "atbutil: " + file_ + ": ignored " + JournalPath(file_) +
                              ", a journal that belongs to no change of the file as it is (it "
                              "records a change from 8388772 to 8388761 bytes, 1 places "
                              "resized, 4 writes)\n";
  // cp keeps the inode; a rebuilt file is renamed into place.
  for (const bool renamed : {false, true}) {
    Restore(killed, journal);
    if (renamed) {
      WriteFile(dir_ / "backup", before);
      ASSERT_EQ(rename((dir_ / "backup").c_str(), file_.c_str()), 0);
    } else {
      WriteFile(file_, before);
    }
    EXPECT_EQ(Util("get " + f_ + " 1").out, ignored + "\"a long text\"\n");
    EXPECT_EQ(Util("check " + f_).out, ignored);
    EXPECT_EQ(ReadFile(JournalPath(file_)), journal);
    // The next change removes it, saying what it recorded.
    testing::Outcome set = Util("set " + f_ + " 2 '\"x\"'");
    EXPECT_EQ(set.status, 0) << set.out;
    EXPECT_NE(set.out.find("removed " + JournalPath(file_) +
                           ", a journal that belongs to no change of the file as it is (it "
                           "records a change from 8388772 to 8388761 bytes"),
              std::string::npos)
        << set.out;
    EXPECT_NE(access(JournalPath(file_).c_str(), F_OK), 0);
    EXPECT_EQ(Util("get " + f_ + " 2").out, "\"x\"\n");
  }

  // Saved while the change was in flight, put back after it was finished and the file changed
  // again by as many bytes: the later change stays.
  Restore(killed, journal);
  ASSERT_EQ(Util("recover " + f_).status, 0);
  ASSERT_EQ(Util("set " + f_ + " 3 '\"b long text\"'").status, 0);
  const Bytes later = ReadFile(file_);
  const int fd = open(JournalPath(file_).c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_EQ(write(fd, journal.data(), journal.size()), static_cast<ssize_t>(journal.size()));
  close(fd);
  EXPECT_EQ(Util("get " + f_ + " 3").out, ignored + "\"b long text\"\n");
  EXPECT_EQ(ReadFile(file_), later);
}

// Whatever name a file in the middle of a change is read by, it says so, names the journal that
// holds its change, and is never read as if whole nor changed further; recover --journal
// finishes it from there.
TEST_F(Recovery, AFileThatLeftItsJournalSaysSoUnderEveryName) {
  const Bytes before = BigFile();
  const std::string shrink = " set " + f_ + " 1 '\"\"'";
  WriteFile(file_, before);
  ASSERT_EQ(Util(shrink).status, 0);
  const Bytes after = ReadFile(file_);
  const Bytes killed = KilledMidway(file_, before, kUtil + shrink, file_, r_);
  const Bytes journal = ReadFile(JournalPath(file_));
  const std::string journalPath = JournalPath(file_);
  auto refusedEverywhere = [&](const std::string& other) {
    const std::string o = Quoted(other);
    for (const std::string& args : {"check " + o, "dump " + o, "dump --json " + o,
                                    "get " + o + " 2", "set " + o + " 2 '\"x\"'", "recover " + o}) {
      testing::Outcome r = Util(args);
      EXPECT_EQ(r.status, 1) << args << ": " << r.out;
      EXPECT_NE(r.out.find("a change to it was interrupted"), std::string::npos) << r.out;
      EXPECT_NE(r.out.find(journalPath + " holds it: `atbutil recover --journal " + journalPath +
                           " " + other + "` finishes it"),
                std::string::npos)
          << args << ": " << r.out;
    }
    testing::Outcome shown = Util("textconv " + o);
    EXPECT_EQ(shown.status, 0);
    EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 1) << shown.out;
    EXPECT_EQ(shown.out.rfind("/ = a change to it was interrupted", 0), 0u) << shown.out;
    // The kill may come before or after the file was cut to its new length.
    EXPECT_NE(shown.out.find("(" + std::to_string(killed.size()) + " bytes fnv64 0x"),
              std::string::npos)
        << shown.out;
    // The same bytes give the same line, whatever their name: git reads them from a copy.
    EXPECT_EQ(shown.out.find(dir_.path()), std::string::npos) << shown.out;
    EXPECT_EQ(ReadFile(other), killed);
  };
  // What is no file at all still shows as one line, as git needs of textconv.
  testing::Outcome folder = Util("textconv " + Quoted(dir_.path()));
  EXPECT_EQ(folder.status, 0) << folder.out;
  EXPECT_EQ(folder.out.rfind("/ = ", 0), 0u) << folder.out;

  // Renamed: the journal goes with it, and the file is as after.
  const std::string moved = dir_ / "g.atb";
  ASSERT_EQ(rename(file_.c_str(), moved.c_str()), 0);
  refusedEverywhere(moved);
  testing::Outcome o = Util("recover --journal " + Quoted(journalPath) + " " + Quoted(moved));
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("recovered an interrupted change from " + journalPath), std::string::npos)
      << o.out;
  EXPECT_EQ(ReadFile(moved), after);
  EXPECT_NE(access(journalPath.c_str(), F_OK), 0);
  EXPECT_NE(access(JournalPath(moved).c_str(), F_OK), 0);

  // Copied, or committed to git and checked out elsewhere: each copy is finished from a copy of
  // the journal, which stays for the file it was written for.
  Restore(killed, journal);
  const std::string copy = dir_ / "c.atb";
  ASSERT_EQ(Shell("cp " + f_ + " " + Quoted(copy)).status, 0);
  const std::string git = "cd " + Quoted(dir_.path()) + " && git -c user.name=t -c user.email=t@t ";
  ASSERT_EQ(Shell(git + "init -q && " + git + "add f.atb && " + git + "commit -qm x && " + git +
                  "show HEAD:f.atb > from-git.atb")
                .status,
            0);
  for (const std::string& other : {copy, dir_ / "from-git.atb"}) {
    refusedEverywhere(other);
    o = Util("recover --journal " + Quoted(journalPath) + " " + Quoted(other));
    EXPECT_EQ(o.status, 0) << o.out;
    EXPECT_EQ(ReadFile(other), after);
    EXPECT_EQ(ReadFile(journalPath), journal);
  }
  // The journal of another change is refused, and the file stays as it is.
  EXPECT_EQ(Util("recover " + f_).status, 0);
  KilledMidway(file_, before, kUtil + shrink, file_, r_);
  const Bytes another = ReadFile(journalPath);
  WriteFile(copy, killed);
  o = Util("recover --journal " + Quoted(journalPath) + " " + Quoted(copy));
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.out.find("holds another change"), std::string::npos) << o.out;
  EXPECT_EQ(ReadFile(copy), killed);
  EXPECT_EQ(ReadFile(journalPath), another);
  EXPECT_NE(access(JournalPath(copy).c_str(), F_OK), 0);

  // A second name, in the same folder: the change is finished by the name the journal lies
  // beside.
  Restore(killed, journal);
  ASSERT_EQ(::link(file_.c_str(), (dir_ / "h.atb").c_str()), 0);
  refusedEverywhere(dir_ / "h.atb");
  EXPECT_EQ(Util("recover " + f_).status, 0);
  EXPECT_EQ(ReadFile(dir_ / "h.atb"), after);
}

// A journal that lost a sector, or was cut short, while the file bears its mark: the file is
// refused, never "recovered" into something that is neither before nor after; discarding takes
// the mark away and says what is lost.
TEST_F(Recovery, AJournalThatLostASectorIsRefusedNeverTakenForACut) {
  const Bytes before = BigFile();
  const Bytes killed = KilledMidway(file_, before, kUtil + " set " + f_ + " 1 '\"\"'", file_, r_);
  const Bytes journal = ReadFile(JournalPath(file_));
  std::vector<Bytes> damaged;
  damaged.push_back(journal.substr(0, 4096));
  for (const std::size_t frame :
       {std::size_t{0}, std::size_t{1}, journal.size() / 1024, journal.size() / 512 - 1}) {
    Bytes lost = journal;
    std::fill_n(lost.begin() + static_cast<std::ptrdiff_t>(frame * 512), 512, '\0');
    damaged.push_back(lost);
  }
  for (const Bytes& variant : damaged) {
    Restore(killed, variant);
    for (const std::string& args : {"recover " + f_, "get " + f_ + " 1", "check " + f_}) {
      testing::Outcome o = Util(args);
      EXPECT_EQ(o.status, 1) << args << ": " << o.out;
      EXPECT_NE(o.out.find("is damaged"), std::string::npos) << args << ": " << o.out;
      EXPECT_EQ(o.out.find("recovered"), std::string::npos) << args << ": " << o.out;
    }
    EXPECT_EQ(ReadFile(file_), killed);
    EXPECT_EQ(ReadFile(JournalPath(file_)), variant);
  }
  // Its plan still reads: the bytes under the mark come back from it.
  testing::Outcome o = Util("recover --discard " + f_);
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("the file is left in the middle of its change; the bytes under the mark "
                       "are as its journal kept them"),
            std::string::npos)
      << o.out;
  EXPECT_FALSE(testing::Marked(ReadFile(file_)));
  EXPECT_EQ(ReadFile(file_).compare(0, 40, before, 0, 40), 0);
  EXPECT_NE(access(JournalPath(file_).c_str(), F_OK), 0);
  // No journal at all: they are lost.
  Restore(killed, journal);
  unlink(JournalPath(file_).c_str());
  o = Util("get " + f_ + " 1");
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.out.find("its journal " + JournalPath(file_) + " is missing"), std::string::npos)
      << o.out;
  o = Util("recover --discard " + f_);
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("the first 24 bytes of its header, which only the journal held, are zeros"),
            std::string::npos)
      << o.out;
  EXPECT_EQ(ReadFile(file_).substr(0, 24), Bytes(24, '\0'));
  EXPECT_EQ(ReadFile(file_).compare(24, 16, before, 24, 16), 0);
  // Another change's journal beside it is not discarded with it: it may be its file's only one.
  KilledMidway(file_, before, kUtil + " set " + f_ + " 1 '\"\"'", file_, r_);
  const Bytes foreign = ReadFile(JournalPath(file_));
  Restore(killed, foreign);
  o = Util("recover --discard " + f_);
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.out.find("belongs to another change"), std::string::npos) << o.out;
  EXPECT_EQ(ReadFile(file_), killed);
  EXPECT_EQ(ReadFile(JournalPath(file_)), foreign);
}

// Real kills of a growth, a shrink, an add, a remove and a patch: any one frame of the journal
// zeroed, or the journal cut at any frame, is refused and leaves both files as they were. A
// sample of frames, its first and last among them; every one with ATB_POWER_LOSS_EVERY_SECTOR=1
// or ATB_TESTS_WHOLE=1.
TEST_F(Recovery, EveryKindOfChangeRefusesAJournalThatLostAFrameOrWasCut) {
  const Bytes before = BigFile();
  WriteFile(dir_ / "p.patch",
            "set /2: text \"a long text\" -> text \"a longer text than it was\"\n"
            "end 1 change\n");
  const std::string commands[] = {
      "set " + f_ + " 1 '\"a text now a good deal longer than it was\"'",
      "set " + f_ + " 1 '\"\"'",
      "add " + f_ + " 9 float 1",
      "remove " + f_ + " 3",
      "apply " + f_ + " " + Quoted(dir_ / "p.patch"),
  };
  const bool every = std::getenv("ATB_POWER_LOSS_EVERY_SECTOR") != nullptr || testing::Whole();
  for (const std::string& command : commands) {
    const Bytes killed = KilledMidway(file_, before, kUtil + " " + command, file_, r_);
    ASSERT_TRUE(testing::Marked(killed)) << command;
    const Bytes journal = ReadFile(JournalPath(file_));
    const auto frames = static_cast<int>(journal.size() / 512);
    const int sample = every ? frames : testing::kSanitized ? 12 : 32;
    std::set<int> tried;
    for (int f = 0; f < frames; ++f) {
      if (frames <= sample || f < sample / 4 || f >= frames - sample / 4) tried.insert(f);
    }
    while (static_cast<int>(tried.size()) < std::min(frames, sample)) {
      tried.insert(r_.Below(frames));
    }
    // The file is put back once: each refusal below is checked to leave it as it was.
    WriteFile(file_, killed);
    for (const int f : tried) {
      for (const bool cut : {false, true}) {
        Bytes variant = journal;
        if (cut) {
          variant.resize(static_cast<std::size_t>(f) * 512);
        } else {
          std::fill_n(variant.begin() + static_cast<std::ptrdiff_t>(f) * 512, 512, '\0');
        }
        RestoreJournal(variant);
        const std::string at = command + (cut ? ", cut at frame " : ", frame lost ") +
                               std::to_string(f) + " of " + std::to_string(frames);
        const testing::Outcome o = Util(f % 2 == 0 ? "recover " + f_ : "get " + f_ + " 1");
        EXPECT_EQ(o.status, 1) << at << ": " << o.out;
        EXPECT_NE(o.out.find(f == 0 && cut ? "is empty" : "is damaged"), std::string::npos)
            << at << ": " << o.out;
        EXPECT_EQ(o.out.find("recovered"), std::string::npos) << at << ": " << o.out;
        ASSERT_EQ(ReadFile(file_), killed) << at;
        ASSERT_EQ(ReadFile(JournalPath(file_)), variant) << at;
      }
    }
    // Whole, it finishes the change.
    Restore(killed, journal);
    EXPECT_EQ(Util("recover " + f_).status, 0) << command;
    EXPECT_FALSE(testing::Marked(ReadFile(file_))) << command;
    EXPECT_EQ(Util("check " + f_).status, 0) << command;
  }
}

TEST_F(Recovery, EveryNameOfTheFileFindsItsJournal) {
  const Bytes before = BigFile();
  ASSERT_EQ(mkdir((dir_ / "A").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir_ / "B").c_str(), 0755), 0);
  const std::string real = dir_ / "B/k.atb", link = dir_ / "A/k.atb";
  ASSERT_EQ(symlink("../B/k.atb", link.c_str()), 0);
  // Killed through the link: the journal lies beside the file itself.
  KilledMidway(real, before, kUtil + " set " + Quoted(link) + " 1 '\"\"'", real, r_);
  EXPECT_NE(access(JournalPath(link).c_str(), F_OK), 0);
  EXPECT_EQ(Util("get " + Quoted(real) + " 1").out,
            "atbutil: " + real + ": recovered an interrupted change\n\"\"\n");
  EXPECT_EQ(Util("get " + Quoted(dir_ / "A/../B/k.atb") + " 1").out, "\"\"\n");
  EXPECT_NE(access(JournalPath(real).c_str(), F_OK), 0);

  // A second hard link: a change is refused, saying how to go on, and nothing is written.
  ASSERT_EQ(::link(real.c_str(), (dir_ / "A/hard.atb").c_str()), 0);
  const Bytes now = ReadFile(real);
  testing::Outcome refused = Util("set " + Quoted(dir_ / "A/hard.atb") + " 2 '\"x\"'");
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("names (hard links)"), std::string::npos) << refused.out;
  EXPECT_EQ(ReadFile(real), now);
  EXPECT_EQ(Util("get " + Quoted(dir_ / "A/hard.atb") + " 2").out, "\"a long text\"\n");
}

TEST_F(Recovery, OnlyOurOwnJournalsAreActedOn) {
  const Bytes before = BigFile();
  const std::string shrink = kUtil + " set " + f_ + " 1 '\"\"'";
  const std::string journalPath = JournalPath(file_);
  // Every command gives the same verdict on the same journal, and names the journal.
  auto everyCommandRefuses = [&](const std::string& why) {
    const Bytes file = ReadFile(file_);
    for (const std::string& args :
         {"get " + f_ + " 1", "dump " + f_, "check " + f_, "set " + f_ + " 2 '\"x\"'",
          "recover " + f_, "extract " + f_ + " 2 " + Quoted(dir_ / "out")}) {
      testing::Outcome o = Util(args);
      EXPECT_EQ(o.status, 1) << args << ": " << o.out;
      EXPECT_NE(o.out.find("its journal " + journalPath), std::string::npos)
          << args << ": " << o.out;
      EXPECT_NE(o.out.find(why), std::string::npos) << args << ": " << o.out;
    }
    EXPECT_EQ(ReadFile(file_), file);
    testing::Outcome shown = Util("textconv " + f_);
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("/ = a change to it was interrupted"), std::string::npos) << shown.out;
  };

  const Bytes killed = KilledMidway(file_, before, shrink, file_, r_);
  const Bytes journal = ReadFile(journalPath);
  ASSERT_EQ(chmod(journalPath.c_str(), 0644), 0);
  everyCommandRefuses("was not made by this tool (mode 0644, not 0600)");
  unlink(journalPath.c_str());

  ASSERT_EQ(symlink("elsewhere", journalPath.c_str()), 0);
  everyCommandRefuses("is a symbolic link");
  unlink(journalPath.c_str());
  ASSERT_EQ(mkdir(journalPath.c_str(), 0700), 0);
  everyCommandRefuses("is not a regular file");
  rmdir(journalPath.c_str());

  // One flipped byte in the plan or in a record is damage, never a cut.
  for (const std::size_t at : {std::size_t{600}, journal.size() - 1024 * 3 / 2}) {
    Bytes flipped = journal;
    flipped[at] ^= 0x10;
    Restore(killed, flipped);
    everyCommandRefuses("is damaged");
  }

  if (geteuid() != 0) {
    GTEST_SKIP() << "journals of other users need root to make; skipped";
  }
  // Another user's journal, even an empty one, is never applied by root: not by a reading
  // command, and not to a file that user does not own.
  for (const Bytes& foreign : {journal, Bytes()}) {
    Restore(killed, foreign);
    ASSERT_EQ(chown(journalPath.c_str(), 65534, 65534), 0);
    everyCommandRefuses("belongs to user 65534");
  }
}

TEST_F(Recovery, NamesTooLongForAJournalNameGetAShortenedOne) {
  const std::string name = Bytes(250, 'n') + ".atb";
  const std::string file = dir_ / name;
  const Bytes before = BigFile();
  WriteFile(file, before);
  // Nothing interrupted: check calls it sound.
  EXPECT_EQ(Util("check " + Quoted(file)).out, "");
  const std::string journal = JournalPath(file);
  EXPECT_LE(journal.size() - dir_.path().size() - 1, 255u);
  KilledMidway(file, before, kUtil + " set " + Quoted(file) + " 1 '\"\"'", file, r_);
  EXPECT_EQ(Util("check " + Quoted(file)).out,
            file + ": an interrupted change, finished by the next open (atbutil recover)\n");
  testing::Outcome got = Util("get " + Quoted(file) + " 1");
  EXPECT_EQ(got.status, 0) << got.out;
  EXPECT_NE(access(journal.c_str(), F_OK), 0);
}

// Readers share a lock that a change takes alone: a dump beside a set prints the file before or
// after it, never a mix; and a file held open by the dialogue stays readable.
TEST_F(Recovery, ReadersSeeOneStateAndTheDialogueDoesNotKeepThemOut) {
  const Bytes before = BigFile();
  WriteFile(file_, before);
  const std::string dumpBefore = Util("dump " + f_ + " | md5sum").out;
  ASSERT_EQ(Util("set " + f_ + " 1 '\"a much longer first text\"'").status, 0);
  const std::string dumpAfter = Util("dump " + f_ + " | md5sum").out;
  for (int round = 0; round < 3; ++round) {
    WriteFile(file_, before);
    testing::Outcome both =
        Shell("(" + kUtil + " set " + f_ + " 1 '\"a much longer first text\"' &" +
              " for i in 1 2 3 4; do " + kUtil + " dump " + f_ + " | md5sum; done; wait)");
    std::size_t at = 0;
    for (int k = 0; k < 4; ++k) {
      const std::string one = both.out.substr(at, dumpBefore.size());
      EXPECT_TRUE(one == dumpBefore || one == dumpAfter) << "dump " << k << ": " << one;
      at += dumpBefore.size();
    }
  }
  // The dialogue holds the file open, waiting at its menu.
  WriteFile(file_, EncodeFile({{FloatEntry(2, 2.5f)}}));
  testing::Outcome held = Shell("cd " + Quoted(dir_.path()) + " && (echo f.atb; sleep 2) | " +
                                Quoted(ATB_BINARY) + " >/dev/null & sleep 0.5; " + kUtil + " get " +
                                f_ + " 2; " + kUtil + " set " + f_ + " 2 3 2>&1; wait");
  EXPECT_EQ(held.out, "2.5\natbutil: " + file_ + ": locked by another atb\n");
}

// A command that has to wait for another process says for whom after a second, waits for as
// long as that process moves on, and gives up on one that is stopped or stuck on a full pipe.
TEST_F(Recovery, AWaitSaysWhomItWaitsForAndGivesUpOnAStalledHolder) {
  const Bytes before = BigFile();
  WriteFile(file_, before);
  // A change stopped in its middle: its journal is still there once it is stopped. On a busy
  // machine the stop may come too late; then it is tried again.
  pid_t writer = -1;
  for (int attempt = 0; attempt < 50 && writer == -1; ++attempt) {
    WriteFile(file_, before);
    const pid_t pid = fork();
    ASSERT_NE(pid, -1);
    if (pid == 0) {
      execl("/bin/sh", "sh", "-c",
            ("ATB_SYNC=0 exec " + kUtil + " set " + f_ + " 1 '\"a longer text\"'").c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    int status;
    while (access(JournalPath(file_).c_str(), F_OK) != 0 && waitpid(pid, &status, WNOHANG) == 0) {
    }
    kill(pid, SIGSTOP);
    if (waitpid(pid, &status, WUNTRACED) != pid || !WIFSTOPPED(status)) continue;  // ended
    // Its journal there is not enough: on a busy machine it may have given up the change lock
    // already, just before taking the journal away.
    const int fd = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    const bool holding = fd != -1 && SystemFiles().ChangeLockHolder(fd, false) == pid;
    if (fd != -1) close(fd);
    if (holding && access(JournalPath(file_).c_str(), F_OK) == 0) {
      writer = pid;
      break;
    }
    kill(pid, SIGCONT);
    waitpid(pid, &status, 0);
  }
  ASSERT_NE(writer, -1) << "no change was stopped in its middle";
  const std::string who = "process " + std::to_string(writer) + " (atbutil set)";
  testing::Outcome got = Util("--wait 1.5 get " + f_ + " 1");
  EXPECT_EQ(got.status, 2) << got.out;
  EXPECT_NE(got.out.find("waiting for " + who + ", which is changing the file\n"),
            std::string::npos)
      << got.out;
  EXPECT_NE(got.out.find("locked by a stalled " + who +
                         ", which is changing the file and is stopped, and made no progress for "
                         "1.5 seconds"),
            std::string::npos)
      << got.out;
  testing::Outcome shown = Shell("ATB_WAIT=1 " + kUtil + " textconv " + f_ + " 2>/dev/null");
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out.rfind("/ = locked by a stalled " + who, 0), 0u) << shown.out;
  EXPECT_EQ(std::count(shown.out.begin(), shown.out.end(), '\n'), 1) << shown.out;
  kill(writer, SIGCONT);
  int status;
  waitpid(writer, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << (WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                              : "exit " + std::to_string(WEXITSTATUS(status)));
  EXPECT_EQ(Util("get " + f_ + " 1").out, "\"a longer text\"\n");

  // A reader stuck on a full pipe keeps a change out; the change says so and gives up.
  Table many;
  for (uint32_t key = 1; key <= 20000; ++key) many.entries.push_back(FloatEntry(key, 1.5f));
  const Bytes floats = EncodeFile(many);
  WriteFile(file_, floats);
  testing::Outcome stuck = Shell("(" + kUtil + " dump " + f_ + " | sleep 3) & sleep 0.5; " + kUtil +
                                 " --wait 1 set " + f_ + " 1 '\"x\"' 2>&1; echo \"exit $?\"; wait");
  EXPECT_NE(stuck.out.find("(atbutil dump), which is reading the file, and made no progress"),
            std::string::npos)
      << stuck.out;
  EXPECT_NE(stuck.out.find("exit 2\n"), std::string::npos) << stuck.out;
  EXPECT_EQ(ReadFile(file_), floats);

  // A change that moves on is waited for, however much longer than the bound it takes.
  WriteFile(file_, before);
  const std::string journal = Quoted(JournalPath(file_));
  testing::Outcome slow = Shell(
      kUtil + " set " + f_ + " 1 '\"a text a good deal longer\"' & while [ ! -e " + journal +
      " ] && kill -0 $! 2>/dev/null; do :; done; " + kUtil + " --wait 0.05 get " + f_ + " 1; wait");
  EXPECT_EQ(slow.out, "\"a text a good deal longer\"\n") << slow.out;
}

// Readers that find a change interrupted all print the file as finished: one finishes it, and
// the others wait for it, never taking the file for locked or half made.
TEST_F(Recovery, ReadersBesideARecoveryWaitForIt) {
  const Bytes before = BigFile();
  const std::string shrink = kUtil + " set " + f_ + " 1 '\"\"'";
  WriteFile(file_, before);
  ASSERT_EQ(Shell(shrink).status, 0);
  const std::string dumped = Util("dump " + f_).out;
  const Bytes killed = KilledMidway(file_, before, shrink, file_, r_);
  const Bytes journal = ReadFile(JournalPath(file_));
  for (int round = 0; round < 3; ++round) {
    Restore(killed, journal);
    std::string readers;
    for (int k = 0; k < 3; ++k) {
      for (const char* command : {"dump", "textconv"}) {
        readers += kUtil + " " + command + " " + f_ + " > " +
                   Quoted(dir_ / (command + std::to_string(k))) + " 2>>" + Quoted(dir_ / "said") +
                   " & ";
      }
    }
    unlink((dir_ / "said").c_str());
    ASSERT_EQ(Shell(readers + "wait").status, 0);
    for (int k = 0; k < 3; ++k) {
      EXPECT_EQ(ReadFile(dir_ / ("dump" + std::to_string(k))), dumped) << round;
      EXPECT_EQ(ReadFile(dir_ / ("textconv" + std::to_string(k))), dumped) << round;
    }
    EXPECT_EQ(ReadFile(dir_ / "said"), "atbutil: " + file_ + ": recovered an interrupted change\n");
  }
}

// In a folder that all may write to but where only its owner may remove a file (as /tmp), another
// user's journal beside a file, even an empty one, is not this file's: a reader reads the file
// and says once that it ignored it; a change is refused, naming the journal's owner. A file that
// its owner made read-only is refused as read-only, for its owner as for root.
// A change removes a stale journal only when it is provably its own tool's leftover: what else
// lies at that name may be someone's, and stays, refusing the change.
TEST_F(Recovery, WhatIsNotProvablyOurLeftoverIsNeverRemoved) {
  const Bytes bytes = EncodeFile({{TextEntry(1, "abc"), FloatEntry(2, 2.5f)}});
  const std::string journal = JournalPath(file_);
  for (const char* what : {"my precious notes",
                           "\x7f"
                           "ELF"}) {
    WriteFile(file_, bytes);
    Restore(bytes, what);
    testing::Outcome o = Util("set " + f_ + " 1 '\"a longer text\"'");
    EXPECT_EQ(o.status, 1) << o.out;
    EXPECT_EQ(o.out, "atbutil: " + file_ + ": " + journal +
                         " lies where the file's journal goes (it is not a journal this tool "
                         "wrote): move it away to change the file\n");
    EXPECT_EQ(ReadFile(journal), what);
    EXPECT_EQ(ReadFile(file_), bytes);
    EXPECT_EQ(Util("get " + f_ + " 2").status, 0);
  }
  // An empty one is what a change killed as it began leaves: removed, and said.
  Restore(bytes, "");
  testing::Outcome o = Util("set " + f_ + " 1 '\"a longer text\"'");
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_NE(o.out.find("removed " + journal), std::string::npos) << o.out;
  EXPECT_NE(access(journal.c_str(), F_OK), 0);
}

TEST_F(Recovery, AnotherUsersJournalInASharedFolderKeepsOnlyChangesOut) {
  if (geteuid() != 0) GTEST_SKIP() << "acting as two users needs root; skipped";
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  const std::string shared = dir_ / "shared";
  ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
  ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
  const std::string file = shared + "/f.atb", journal = JournalPath(file);
  const Bytes bytes = EncodeFile({{TextEntry(1, "abc"), FloatEntry(2, 2.5f)}});
  WriteFile(file, bytes);
  ASSERT_EQ(chown(file.c_str(), 65534, 65534), 0);
  WriteFile(journal, "");
  ASSERT_EQ(chmod(journal.c_str(), 0600), 0);
  ASSERT_EQ(chown(journal.c_str(), 4242, 4242), 0);
  const std::string as = "setpriv --reuid=65534 --regid=65534 --clear-groups " + kUtil + " ";
  const std::string f = Quoted(file);
  testing::Outcome dumped = Shell(as + "dump " + f + " 2>&1");
  EXPECT_EQ(dumped.status, 0) << dumped.out;
  EXPECT_EQ(dumped.out, "atbutil: " + file + ": ignored " + journal +
                            ", a journal that belongs to no change of the file as it is (it "
                            "cannot be opened: Permission denied; it belongs to user 4242)\n/1 = "
                            "\"abc\"\n/2 = 2.5\n");
  for (const std::string& args : {"set " + f + " 2 3", "recover --discard " + f}) {
    testing::Outcome o = Shell(as + args + " 2>&1");
    EXPECT_EQ(o.status, 1) << args << ": " << o.out;
    EXPECT_NE(o.out.find(journal + ", which belongs to user 4242 and lies where the file's "
                                   "journal goes (it cannot be opened: Permission denied; it "
                                   "belongs to user 4242), is left as it is: its owner can "
                                   "remove it if nothing needs it"),
              std::string::npos)
        << args << ": " << o.out;
  }
  EXPECT_EQ(ReadFile(file), bytes);
  EXPECT_EQ(ReadFile(journal), "");
  unlink(journal.c_str());
  ASSERT_EQ(chmod(file.c_str(), 0444), 0);
  for (const std::string& run : {as, kUtil + " "}) {
    testing::Outcome o = Shell(run + "set " + f + " 2 3 2>&1");
    EXPECT_EQ(o.status, 1) << o.out;
    EXPECT_EQ(o.out, "atbutil: " + file + ": no write permission\n");
  }
  EXPECT_EQ(ReadFile(file), bytes);
}

TEST_F(Recovery, ADiskWithoutRoomRefusesTheChangeUntouched) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root; skipped";
  const std::string small = dir_ / "small";
  ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=512k") != 0) {
    GTEST_SKIP() << "tmpfs cannot be mounted here: " << std::strerror(errno);
  }
  Table root{{TextEntry(1, "abc"), {2, 7, Bytes(300 << 10, 'z')}}};
  const Bytes before = EncodeFile(root);
  const std::string file = small + "/f.atb";
  WriteFile(file, before);
  // The growth needs 120 KiB more for the file and as much for its journal: more than is left.
  WriteFile(small + "/filler", Bytes(60 << 10, 'f'));
  testing::Outcome o = Util("set " + Quoted(file) + " 1 '\"" + Bytes(120 << 10, 'g') + "\"'");
  EXPECT_EQ(o.status, 2) << o.out;
  EXPECT_NE(o.out.find("No space left on device"), std::string::npos) << o.out;
  EXPECT_EQ(ReadFile(file), before);
  EXPECT_NE(access(JournalPath(file).c_str(), F_OK), 0);
  EXPECT_EQ(Util("check " + Quoted(file)).status, 0);
  umount(small.c_str());
}

// A file size limit (ulimit -f) below the file: writing past it fails with a reason, as a full
// disk does, instead of killing the process with its journal left behind.
TEST_F(Recovery, AFileSizeLimitRefusesTheChangeUntouched) {
  const Bytes before = BigFile();
  for (const char* sync : {"", "ATB_SYNC=0 "}) {
    WriteFile(file_, before);
    testing::Outcome o = Shell(std::string("ulimit -f 64; ") + sync + kUtil + " set " + f_ +
                               " 1 '\"a text now a good deal longer than it was\"' 2>&1");
    EXPECT_EQ(o.status, 2) << o.out;
    EXPECT_NE(o.out.find("file size limit (ulimit -f) of 32768 bytes"), std::string::npos) << o.out;
    EXPECT_EQ(ReadFile(file_), before);
    EXPECT_NE(access(JournalPath(file_).c_str(), F_OK), 0);
  }
}

// Memory that runs out under an address-space limit (ulimit -v), anywhere in an insert: the
// change is made, or refused with exit 2 leaving the file as it was and no journal, and the next
// command says nothing of it.
TEST_F(Recovery, MemoryThatRunsOutLeavesNoJournalBehind) {
  if (testing::kSanitized) GTEST_SKIP() << "the sanitizers reserve more than any limit; skipped";
  Table root{{TextEntry(1, "abc"), {2, 7, Bytes(1 << 20, 'x')}}};
  const Bytes before = EncodeFile(root);
  WriteFile(dir_ / "side", EncodeTable({{FloatEntry(5, 1), {6, 7, Bytes(64 << 10, 's')}}}));
  int refused = 0, made = 0;
  for (int limit = 4000; limit <= 24000; limit += 250) {
    WriteFile(file_, before);
    testing::Outcome o = Shell("ulimit -v " + std::to_string(limit) + "; " + kUtil + " insert " +
                               f_ + " / 77 " + Quoted(dir_ / "side") + " 2>&1");
    const std::string at = "ulimit -v " + std::to_string(limit) + ": " + o.out;
    EXPECT_NE(access(JournalPath(file_).c_str(), F_OK), 0) << at;
    if (o.status == 0) {
      ++made;
      EXPECT_NE(ReadFile(file_), before) << at;
    } else if (o.status == 2) {
      ++refused;
      EXPECT_EQ(ReadFile(file_), before) << at;
    } else {
      EXPECT_EQ(ReadFile(file_), before) << at;  // too little to start at all
    }
    EXPECT_EQ(Util("get " + f_ + " 1").out, "\"abc\"\n") << at;
  }
  EXPECT_GT(made, 0);
  EXPECT_GT(refused, 0);
}

// Outputs are new files or replaced regular files, never anything a name points to.
TEST_F(Recovery, OutputsNeverClobber) {
  WriteFile(file_, EncodeFile({{TextEntry(1, "abc"), FloatEntry(2, 2.5f)}}));
  WriteFile(dir_ / "target", "keep");
  ASSERT_EQ(symlink("target", (dir_ / "link").c_str()), 0);
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir((dir_ / "dir").c_str(), 0755), 0);
  Util("dump --json " + f_ + " > " + Quoted(dir_ / "f.json"));
  for (const char* out : {"link", "fifo", "dir", "/dev/null"}) {
    const std::string path = out[0] == '/' ? std::string(out) : dir_ / out;
    for (const std::string& args : {"extract " + f_ + " 1 " + Quoted(path),
                                    "build " + Quoted(dir_ / "f.json") + " " + Quoted(path)}) {
      testing::Outcome o = Util(args);
      EXPECT_EQ(o.status, 1) << args << ": " << o.out;
      EXPECT_NE(o.out.find("not a regular file"), std::string::npos) << o.out;
    }
  }
  EXPECT_EQ(ReadFile(dir_ / "target"), "keep");
  // A replaced file keeps its mode; one that the dialogue holds is not replaced.
  WriteFile(dir_ / "kept.atb", "old");
  ASSERT_EQ(chmod((dir_ / "kept.atb").c_str(), 0640), 0);
  ASSERT_EQ(Util("extract " + f_ + " 1 " + Quoted(dir_ / "kept.atb")).status, 0);
  struct stat st;
  ASSERT_EQ(stat((dir_ / "kept.atb").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  testing::Outcome held = Shell("cd " + Quoted(dir_.path()) + " && (echo f.atb; sleep 2) | " +
                                Quoted(ATB_BINARY) + " >/dev/null & sleep 0.5; " + kUtil +
                                " build " + Quoted(dir_ / "f.json") + " " + f_ + " 2>&1; wait");
  EXPECT_NE(held.out.find("is open in atb or being changed"), std::string::npos) << held.out;
  // Nothing half written is left behind.
  EXPECT_EQ(Shell("ls -A " + Quoted(dir_.path()) + " | grep -c atb-new").out, "0\n");
}

// A replacement that the file in its place would not have allowed is refused, for every user:
// one marked read-only, and one whose other names would keep the old bytes.
TEST_F(Recovery, ReadOnlyAndLinkedOutputsAreRefused) {
  WriteFile(file_, EncodeFile({{TextEntry(1, "abc"), FloatEntry(2, 2.5f)}}));
  Util("dump --json " + f_ + " > " + Quoted(dir_ / "f.json"));
  const std::string readOnly = dir_ / "ro.atb", linked = dir_ / "linked.atb";
  WriteFile(readOnly, "old");
  ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
  WriteFile(linked, "old");
  ASSERT_EQ(link(linked.c_str(), (dir_ / "other.atb").c_str()), 0);
  for (const std::string& out : {readOnly, linked}) {
    for (const std::string& args : {"extract " + f_ + " 1 " + Quoted(out),
                                    "build " + Quoted(dir_ / "f.json") + " " + Quoted(out)}) {
      const testing::Outcome o = Util(args);
      EXPECT_EQ(o.status, 1) << args;
      EXPECT_EQ(o.out, out == readOnly
                           ? "atbutil: " + out +
                                 ": is read-only: make it writable first (chmod u+w) to have it "
                                 "replaced, or name another file\n"
                           : "atbutil: " + out +
                                 ": has 2 names (hard links), and replacing it would leave the "
                                 "other names with the old bytes: to change them all, write to a "
                                 "new name and copy it over this one (cp NEW NAME); to leave them "
                                 "as they are, remove this name first\n");
    }
  }
  struct stat st;
  ASSERT_EQ(stat(readOnly.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  EXPECT_EQ(ReadFile(readOnly), "old");
  ASSERT_EQ(stat(linked.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  EXPECT_EQ(ReadFile(linked), "old");
  EXPECT_EQ(ReadFile(dir_ / "other.atb"), "old");
  EXPECT_EQ(Shell("ls -A " + Quoted(dir_.path()) + " | grep -c atb-new").out, "0\n");
  // Made writable, or left with one name, each is replaced.
  ASSERT_EQ(chmod(readOnly.c_str(), 0644), 0);
  ASSERT_EQ(unlink((dir_ / "other.atb").c_str()), 0);
  for (const std::string& out : {readOnly, linked}) {
    EXPECT_EQ(Util("build " + Quoted(dir_ / "f.json") + " " + Quoted(out)).status, 0);
    EXPECT_EQ(ReadFile(out), ReadFile(file_));
  }
}

// A folder where no file can be made without a name.
class NoUnnamedFiles : public Files {
 public:
  int OpenUnnamed(const std::string&, mode_t) override { return errno = EOPNOTSUPP, -1; }
};

// Gives the file at `path` the name a temporary of its own would have; answers that name.
std::string NamedAsTemporary(const std::string& path) {
  struct stat st;
  EXPECT_EQ(stat(path.c_str(), &st), 0);
  const std::string name = DirectoryOf(path) + "/" + TemporaryNameOf(st);
  EXPECT_EQ(rename(path.c_str(), name.c_str()), 0);
  return name;
}

// An output removes only what a killed run of the tool left in its folder: never a file of the
// user's that shares the prefix, a copy of a leftover, one with other names, or one still held.
TEST_F(Recovery, OnlyTheToolsOwnLeftoversAreRemoved) {
  WriteFile(file_, EncodeFile({{TextEntry(1, "abc")}}));
  Util("dump --json " + f_ + " > " + Quoted(dir_ / "f.json"));
  const std::string sub = dir_ / "sub";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    // Dies in the middle of writing, without its destructors.
    NoUnnamedFiles files;
    OutputFile out(files, sub + "/out", false);
    _exit(out.Open().ok() && out.Write("half").ok() ? 0 : 1);
  }
  int status;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_EQ(status, 0);
  const std::string left = Shell("ls -A " + Quoted(sub)).out;
  ASSERT_EQ(left.size(), 26u) << left;  // the one leftover, under the name bound to it
  const std::string leftover = sub + "/" + left.substr(0, 25);
  EXPECT_EQ(ReadFile(leftover), "half");

  const std::vector<std::string> users = {dir_ / ".atb-new-notes",
                                          dir_ / ".atb-new-0123456789abcdef"};
  for (const std::string& u : users) WriteFile(u, "the user's");
  const std::string copy = dir_ / left.substr(0, 25);
  ASSERT_EQ(Shell("cp " + Quoted(leftover) + " " + Quoted(copy)).status, 0);
  WriteFile(dir_ / "linked", "x");
  const std::string linked = NamedAsTemporary(dir_ / "linked");
  ASSERT_EQ(link(linked.c_str(), (dir_ / "second").c_str()), 0);
  WriteFile(dir_ / "held", "x");
  const std::string held = NamedAsTemporary(dir_ / "held");
  const int fd = open(held.c_str(), O_RDONLY);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);

  const std::string build = "build " + Quoted(dir_ / "f.json") + " " + Quoted(dir_ / "out.atb");
  ASSERT_EQ(Util(build).status, 0);
  ASSERT_EQ(Util("extract " + f_ + " 1 " + Quoted(sub + "/out")).status, 0);
  EXPECT_NE(access(leftover.c_str(), F_OK), 0);
  for (const std::string& kept : {users[0], users[1], copy, linked, held}) {
    EXPECT_EQ(access(kept.c_str(), F_OK), 0) << kept;
  }
  // Once the other name is gone and the lock is let go, they are leftovers too.
  close(fd);
  ASSERT_EQ(unlink((dir_ / "second").c_str()), 0);
  ASSERT_EQ(Util(build).status, 0);
  EXPECT_NE(access(linked.c_str(), F_OK), 0);
  EXPECT_NE(access(held.c_str(), F_OK), 0);
  for (const std::string& u : users) EXPECT_EQ(ReadFile(u), "the user's");
  EXPECT_EQ(ReadFile(copy), "half");
}

}  // namespace
}  // namespace atb
