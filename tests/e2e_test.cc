// The real binary, driven through pipes in a temporary directory.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::Outcome;
using testing::Shell;

class EndToEnd : public ::testing::Test {
 protected:
  std::string InDir(const std::string& redirections) {
    return "(cd '" + dir_.path() + "' && '" ATB_BINARY "' " + redirections + ")";
  }
  testing::TempDir dir_;
};

TEST_F(EndToEnd, EditsAFileThroughAPipe) {
  WriteFile(dir_ / "t.atb", EncodeFile({{FloatEntry(0x09CEA8A9, 1.5f)}}));
  Outcome r = Shell("printf 't.atb\\r\\n0\\n2.25\\n999\\nquit\\n' | " + InDir("2>&1"));
  EXPECT_EQ(r.status, 0);
  std::string list = testing::Listing({"0 reload_time:1.500000"}) + testing::kMenu;
  std::string edited = testing::Listing({"0 reload_time:2.250000"}) + testing::kMenu;
  EXPECT_EQ(r.out, testing::kStart + list + "new value(float)?" + edited + testing::kPrompt);
}

TEST_F(EndToEnd, EndOfInputEndsTheRunWithStatusZero) {
  Outcome r = Shell(InDir("< /dev/null 2>&1"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, testing::kStart);
}

TEST_F(EndToEnd, ClosedStandardStreamsStopTheStartUp) {
  Outcome r = Shell(InDir("<&- 2>&1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Fatal Error: MFC initialization failed\n");
  std::string closedOutput = InDir(">&- < /dev/null");
  closedOutput.insert(0, 1, '(');
  r = Shell(closedOutput + ") 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Fatal Error: MFC initialization failed\n");
}

// Runs the binary in `dir` on a pseudo-terminal, typing `input`, and collects what the terminal
// shows until the program ends.
Outcome OnTerminal(const std::string& dir, const std::string& input) {
  // The terminal's mode is given to forkpty, so that it holds before the program writes a byte.
  struct termios mode = {};
  mode.c_iflag = ICRNL;
  mode.c_lflag = ICANON | ISIG;  // no ECHO: what is typed is not part of the transcript
  mode.c_oflag = OPOST;          // no ONLCR: line ends come through as written
  mode.c_cflag = CS8 | CREAD;
  mode.c_cc[VEOF] = 4;
  mode.c_cc[VINTR] = 3;
  cfsetispeed(&mode, B38400);
  cfsetospeed(&mode, B38400);
  int master;
  pid_t pid = forkpty(&master, nullptr, &mode, nullptr);
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(126);
    execl(ATB_BINARY, ATB_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_EQ(write(master, input.data(), input.size()), static_cast<ssize_t>(input.size()));
  std::string shown;
  char buf[4096];
  for (;;) {
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) break;  // EIO once the program has ended and closed the terminal
    shown.append(buf, static_cast<std::size_t>(n));
  }
  close(master);
  int status;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, shown};
}

TEST_F(EndToEnd, ControlBytesAreMaskedOnATerminalAndPassedThroughAPipe) {
  WriteFile(dir_ / "t.atb", EncodeFile({{TextEntry(1, "a\tb\x1b[2J"), WideEntry(2, u"w\x07")}}));
  const std::string script = "t.atb\n999\nquit\n";
  Outcome terminal = OnTerminal(dir_.path(), script);
  EXPECT_EQ(terminal.status, 0);
  EXPECT_EQ(terminal.out, testing::kStart +
                              testing::Listing({"0 text:a?b?[2J", "1 localized textw?"}) +
                              testing::kMenu + testing::kPrompt);
  Outcome piped = Shell("printf '" + script + "' | " + InDir("2>/dev/null"));
  EXPECT_EQ(piped.out, testing::kStart +
                           testing::Listing({"0 text:a\tb\x1b[2J", "1 localized textw\x07"}) +
                           testing::kMenu + testing::kPrompt);
}

TEST_F(EndToEnd, ReasonsGoToStandardErrorOnly) {
  WriteFile(dir_ / "bad.atb", EncodeFile({}).substr(0, 54));
  const std::string script = "printf 'bad.atb\\nnone.atb\\nquit\\n' | ";
  Outcome out = Shell(script + InDir("2>/dev/null"));
  EXPECT_EQ(out.out, testing::kStart + "\nbad attribute file bad.atb\n" + testing::kPrompt +
                         "\nbug opening none.atb\n" + testing::kPrompt);
  Outcome err = Shell(script + InDir("2>&1 >/dev/null"));
  EXPECT_EQ(err.out,
            "atb: bad.atb: only 54 bytes, shorter than a header and a table count\n"
            "atb: none.atb: no file of that name below " +
                dir_.path() + "\n");
}

// On one terminal, a reason on standard error starts a line of its own when the output's last
// line is unfinished; the output itself is the same as ever.
TEST_F(EndToEnd, ReasonsOnATerminalNeverRunIntoTheDialogue) {
  WriteFile(dir_ / "t.atb", EncodeFile({{FloatEntry(0x09CEA8A9, 1.5f)}}));
  const std::string list = testing::Listing({"0 reload_time:1.500000"}) + testing::kMenu;
  Outcome shown = OnTerminal(dir_.path(), "t.atb\n998\nnone\n999\nnone.atb\nquit\n");
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out, testing::kStart + list +
                           "ID of reference to add?\nfile not found\natb: none: " +
                           "No such file or directory\n" + list + testing::kPrompt +
                           "\nbug opening none.atb\natb: none.atb: no file of that name below " +
                           dir_.path() + "\n" + testing::kPrompt);
}

// `atb FILE` opens FILE by its path and goes on as if its name had been typed and found; usage
// and version requests never start the dialogue.
TEST_F(EndToEnd, AFileOnTheCommandLineIsOpenedFirst) {
  WriteFile(dir_ / "t.atb", EncodeFile({{FloatEntry(0x09CEA8A9, 1.5f)}}));
  ASSERT_EQ(Shell("mkdir '" + (dir_ / "sub") + "'").status, 0);
  WriteFile(dir_ / "sub/-odd name.atb", EncodeFile({{BoolEntry(1, 1)}}));
  const std::string list = testing::Listing({"0 reload_time:1.500000"}) + testing::kMenu;
  Outcome r = Shell("printf '0\\n2.25\\n999\\nquit\\n' | " + InDir("t.atb 2>&1"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, testing::kStart + "t.atb\n" + list + "new value(float)?" +
                       testing::Listing({"0 reload_time:2.250000"}) + testing::kMenu +
                       testing::kPrompt);
  // A path, never a search; end of input ends the run at once.
  r = Shell(InDir("-- 'sub/-odd name.atb' < /dev/null 2>&1"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, testing::kStart + "sub/-odd name.atb\n" + testing::Listing({"0 ID:1:1"}) +
                       testing::kMenu);
  r = Shell("printf 'quit\\n' | " + InDir("none.atb 2>&1"));
  EXPECT_EQ(r.out, testing::kStart +
                       "none.atb\n\nbug opening none.atb\natb: none.atb: No such "
                       "file or directory\n" +
                       testing::kPrompt);
  EXPECT_EQ(Shell(InDir("--version < /dev/null")).out, "atb 2.11\n");
  r = Shell(InDir("--help < /dev/null"));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 18), "Usage: atb [FILE]\n");
  for (const char* bad : {"-x", "a.atb b.atb", "''"}) {
    r = Shell(InDir(std::string(bad) + " < /dev/null 2>&1"));
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.out.find("Run atb --help for usage."), std::string::npos) << bad;
  }
}

}  // namespace
}  // namespace atb
