// The prompt loop: quitting, files that cannot be opened or are not attribute files, and the
// end of input. A refused file is never written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using namespace testing;

class PromptLoop : public ::testing::Test {
 protected:
  testing::Dialogue Run(const std::string& input) {
    return testing::RunDialogue(dir_.path(), input);
  }
  std::string BugOpening(const std::string& typed) { return "\nbug opening " + typed + "\n"; }

  testing::TempDir dir_;
  const Bytes file_ = EncodeFile({{FloatEntry(1, 1)}});
  const std::string list_ = Listing({"0 ID:1:1.000000"}) + kMenu;
};

TEST_F(PromptLoop, QuitAnywhereInTheLineButCaseSensitive) {
  WriteFile(dir_ / "QUIT", file_);
  for (const char* line : {"quit\n", "quit now\n", "equity.atb\n", "quit"}) {
    testing::Dialogue d = Run(line);
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(d.out, kStart) << line;
  }
  // "QUIT" is a name like any other, and here it names a file.
  EXPECT_EQ(Run("QUIT\n999\nQuit\nquit\n").out,
            kStart + list_ + kPrompt + BugOpening("Quit") + kPrompt);
}

TEST_F(PromptLoop, NamesThatFindNothing) {
  WriteFile(dir_ / "t.atb", file_);
  EXPECT_EQ(Run("\nT.atb\nt.atb \n./t.atb\nquit\n").out,
            kStart + BugOpening("") + kPrompt + BugOpening("T.atb") + kPrompt +
                BugOpening("t.atb ") + kPrompt + BugOpening("./t.atb") + kPrompt);
}

TEST_F(PromptLoop, FilesThatCannotBeOpenedForEditing) {
  WriteFile(dir_ / "ro.atb", file_);
  chmod((dir_ / "ro.atb").c_str(), 0444);
  mkfifo((dir_ / "fifo.atb").c_str(), 0666);
  mkdir((dir_ / "dir.atb").c_str(), 0777);
  WriteFile(dir_ / "t.atb", file_);
  // Held by another running instance.
  WriteFile(dir_ / "held.atb", file_);
  int other = open((dir_ / "held.atb").c_str(), O_RDWR);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  testing::Dialogue d = Run("ro.atb\nfifo.atb\ndir.atb\nheld.atb\nnone.atb\nt.atb\n999\nquit\n");
  EXPECT_EQ(d.out, kStart + BugOpening("ro.atb") + kPrompt + BugOpening("fifo.atb") + kPrompt +
                       BugOpening("dir.atb") + kPrompt + BugOpening("held.atb") + kPrompt +
                       BugOpening("none.atb") + kPrompt + list_ + kPrompt);
  EXPECT_EQ(d.err,
            "atb: ro.atb: no write permission\n"
            "atb: fifo.atb: not a regular file\n"
            "atb: dir.atb: not a regular file\n"
            "atb: held.atb: locked by another atb\n"
            "atb: none.atb: no file of that name below " +
                dir_.path() + "\n");
  close(other);
  EXPECT_EQ(ReadFile(dir_ / "ro.atb"), file_);
}

TEST_F(PromptLoop, DamagedFilesAreRefusedUntouched) {
  const Bytes shortFile = file_.substr(0, 55);
  Bytes badRoot = file_;
  badRoot.replace(52, 4, U32(2));  // two entries do not fit
  WriteFile(dir_ / "short.atb", shortFile);
  WriteFile(dir_ / "bad.atb", badRoot);
  WriteFile(dir_ / "empty.atb", "");
  WriteFile(dir_ / "min.atb", EncodeFile({}));  // 56 bytes: an empty root, which is fine
  testing::Dialogue d = Run("short.atb\nbad.atb\nempty.atb\nmin.atb\n999\nquit\n");
  EXPECT_EQ(d.out, kStart + "\nbad attribute file short.atb\n" + kPrompt +
                       "\nbad attribute file bad.atb\n" + kPrompt +
                       "\nbad attribute file empty.atb\n" + kPrompt + kMenu + kPrompt);
  EXPECT_EQ(d.err,
            "atb: short.atb: only 55 bytes, shorter than a header and a table count\n"
            "atb: bad.atb: root table: count 2 too large for the extent of 20 bytes\n"
            "atb: empty.atb: only 0 bytes, shorter than a header and a table count\n");
  EXPECT_EQ(ReadFile(dir_ / "short.atb"), shortFile);
  EXPECT_EQ(ReadFile(dir_ / "bad.atb"), badRoot);
}

TEST_F(PromptLoop, EndOfInputAtAnyPromptEndsTheRunAndWritesNothing) {
  WriteFile(dir_ / "t.atb", EncodeFile({{TextEntry(1, "abc"), FloatEntry(2, 1)}}));
  const Bytes before = ReadFile(dir_ / "t.atb");
  std::string list = Listing({"0 text:abc", "1 ID:2:1.000000"}) + kMenu;
  testing::Dialogue d = Run("");
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.out, kStart);
  d = Run("t.atb\n");
  EXPECT_EQ(d.out, kStart + list);
  d = Run("t.atb\n0\n");
  EXPECT_EQ(d.out, kStart + list + "new text?");
  d = Run("t.atb\n1\n");
  EXPECT_EQ(d.out, kStart + list + "new value(float)?");
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(ReadFile(dir_ / "t.atb"), before);
  // The file was closed: another instance can take it at once.
  int fd = open((dir_ / "t.atb").c_str(), O_RDWR);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
}

TEST_F(PromptLoop, EachNameIsSearchedAfresh) {
  mkdir((dir_ / "a").c_str(), 0777);
  mkdir((dir_ / "b").c_str(), 0777);
  WriteFile(dir_ / "a/one.atb", file_);
  WriteFile(dir_ / "b/two.atb", EncodeFile({}));
  EXPECT_EQ(Run("one.atb\n999\ntwo.atb\n999\none.atb\n999\nquit\n").out,
            kStart + list_ + kPrompt + kMenu + kPrompt + list_ + kPrompt);
}

}  // namespace
}  // namespace atb
