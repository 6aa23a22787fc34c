// The installed programs and their manual pages, and atbutil as git's diff driver: real
// processes, real git, a real install into a temporary DESTDIR.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "change/journal.h"
#include "tests/random_files.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::Outcome;
using testing::Shell;

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

TEST(Tools, GitDiffShowsOneChangedLineForOneLongerText) {
  testing::TempDir dir;
  const std::string git = "cd " + Quoted(dir.path()) + " && git -c user.name=t -c user.email=t@t ";
  const Table before{{FloatEntry(1, 1), RefEntry(2, {{TextEntry(3, "short"), FloatEntry(4, 4)}}),
                      TextEntry(5, "last")}};
  const Table after{{FloatEntry(1, 1),
                     RefEntry(2, {{TextEntry(3, "a good deal longer"), FloatEntry(4, 4)}}),
                     TextEntry(5, "last")}};
  WriteFile(dir / "f.atb", EncodeFile(before));
  WriteFile(dir / ".gitattributes", "*.atb diff=atb\n");
  ASSERT_EQ(Shell(git + "init -q && " + git + "config diff.atb.textconv " +
                  Quoted(std::string(ATBUTIL_BINARY) + " dump") + " && " + git + "add -A && " +
                  git + "commit -qm start")
                .status,
            0);
  WriteFile(dir / "f.atb", EncodeFile(after));
  Outcome diff = Shell(git + "diff --no-color -U0");
  ASSERT_EQ(diff.status, 0);
  std::string changed;
  for (std::size_t at = 0; at < diff.out.size();) {
    std::size_t end = diff.out.find('\n', at);
    std::string line = diff.out.substr(at, end - at);
    at = end + 1;
    if ((line[0] == '-' || line[0] == '+') && line.compare(0, 3, "---") != 0 &&
        line.compare(0, 3, "+++") != 0) {
      changed += line + "\n";
    }
  }
  EXPECT_EQ(changed, "-/2/3 = \"short\"\n+/2/3 = \"a good deal longer\"\n") << diff.out;
}

TEST(Tools, InstallsBothProgramsAndTheirManualPages) {
  testing::TempDir dir;
  Outcome install = Shell("DESTDIR=" + Quoted(dir.path()) + " cmake --install " +
                          Quoted(ATB_BUILD_DIR) + " --prefix /usr/local 2>&1");
  ASSERT_EQ(install.status, 0) << install.out;
  const std::string prefix = dir.path() + "/usr/local";
  WriteFile(dir / "t.atb", EncodeFile({{FloatEntry(0x09CEA8A9, 2.5f)}}));
  EXPECT_EQ(
      Shell(Quoted(prefix + "/bin/atbutil") + " get " + Quoted(dir / "t.atb") + " reload_time").out,
      "2.5\n");
  Outcome atb =
      Shell("cd " + Quoted(dir.path()) + " && printf 'quit\\n' | " + Quoted(prefix + "/bin/atb"));
  EXPECT_EQ(atb.status, 0);
  EXPECT_EQ(atb.out, testing::kStart);
  for (const char* page : {"atb.1", "atbutil.1"}) {
    const std::string path = prefix + "/share/man/man1/" + page;
    Outcome rendered = Shell("MANWIDTH=80 man --warnings -l " + Quoted(path) + " 2>&1 >/dev/null");
    EXPECT_EQ(rendered.status, 0) << page;
    EXPECT_EQ(rendered.out, "") << page;
    EXPECT_GT(Shell("MANWIDTH=80 man -l " + Quoted(path) + " 2>/dev/null").out.size(), 1000u);
  }
}

TEST(Tools, AtbutilUsageAndExitStatus) {
  const std::string util = Quoted(ATBUTIL_BINARY);
  EXPECT_EQ(Shell(util + " --version").out, "atbutil 2.11\n");
  EXPECT_EQ(Shell(util + " 2>/dev/null").status, 2);
  EXPECT_EQ(Shell(util + " frobnicate 2>/dev/null").status, 2);
  EXPECT_EQ(Shell(util + " dump --help").status, 0);
  testing::TempDir dir;
  WriteFile(dir / "t.atb", EncodeFile({{TextEntry(1, "x")}}));
  Outcome built = Shell(util + " dump --json " + Quoted(dir / "t.atb") + " | " + util + " build " +
                        Quoted(dir / "copy.atb") + " && cmp " + Quoted(dir / "t.atb") + " " +
                        Quoted(dir / "copy.atb"));
  EXPECT_EQ(built.status, 0);
  // Values that look like options are values.
  WriteFile(dir / "f.atb", EncodeFile({{FloatEntry(0x09CEA8A9, 1), FloatEntry(2, 2)}}));
  EXPECT_EQ(Shell(util + " set " + Quoted(dir / "f.atb") + " reload_time -inf 2 -nan && " + util +
                  " get " + Quoted(dir / "f.atb") + " reload_time && " + util + " get " +
                  Quoted(dir / "f.atb") + " 2")
                .out,
            "-inf\n-nan\n");
  const std::string f = Quoted(dir / "f.atb");
  EXPECT_EQ(Shell(util + " add " + f + " 3 float -inf 4 table '\"n\"' && " + util + " remove " + f +
                  " 2 && " + util + " dump " + f)
                .out,
            "/3 = -inf\n/4 = ref \"n\"\n/4/1238765486 = \"n\"\n/reload_time = -inf\n");
  EXPECT_EQ(Shell(util + " add " + f + " 5 float 2>/dev/null").status, 2);
  EXPECT_EQ(Shell(util + " remove " + f + " 2>/dev/null").status, 2);
  EXPECT_EQ(Shell(util + " remove " + f + " nothing 2>/dev/null").status, 1);
  EXPECT_EQ(Shell(util + " dump " + Quoted(dir / "none.atb") + " 2>&1").out,
            "atbutil: " + (dir / "none.atb") + ": No such file or directory\n");
}

}  // namespace
}  // namespace atb

namespace atb {
namespace {

using namespace build;

// Starts atbutil with `args`; answers its process id.
pid_t Start(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(ATBUTIL_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execv(ATBUTIL_BINARY, argv.data());
    _exit(127);
  }
  return pid;
}

// A real process killed with SIGKILL at random instants of a growth and of a batch: the next
// open finds every file byte for byte as before or as after the change.
TEST(Tools, KilledProcessesLeaveFilesThatRecoverToBeforeOrAfter) {
  testing::TempDir dir;
  Random r(31337);
  Table root;
  for (uint32_t key = 1; key <= 8; ++key) root.entries.push_back(TextEntry(key, "abc"));
  root.entries.push_back({100, 7, r.Bytes(1) + Bytes(12 << 20, 'p')});
  const Bytes before = EncodeFile(root);
  const std::string file = dir / "f.atb";
  const std::vector<std::vector<std::string>> changes = {
      {"set", file, "1", "\"a longer first text\""},
      {"set", file, "2", "\"b\"", "5", "\"grown in the middle\"", "8", "\"\""}};
  int recovered = 0, runs = 0;
  for (const auto& change : changes) {
    WriteFile(file, before);
    int status;
    waitpid(Start(change), &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const Bytes after = ReadFile(file);
    for (int run = 0; run < 12; ++run) {
      WriteFile(file, before);
      const pid_t pid = Start(change);
      usleep(static_cast<useconds_t>(r.Below(12000)));
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      recovered += access(JournalPath(file).c_str(), F_OK) == 0;
      waitpid(Start({"recover", file}), &status, 0);
      ASSERT_EQ(WEXITSTATUS(status), 0);
      const Bytes now = ReadFile(file);
      ASSERT_TRUE(now == before || now == after) << "run " << run;
      ++runs;
    }
  }
  std::fprintf(stderr, "%d of %d kills interrupted a change\n", recovered, runs);
}

}  // namespace
}  // namespace atb
