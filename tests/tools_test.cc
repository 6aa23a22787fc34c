// The installed programs and their manual pages, and atbutil as git's diff driver: real
// processes, real git, a real install into a temporary DESTDIR.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;

struct Outcome {
  int status;
  std::string out;
};

Outcome Shell(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

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
  EXPECT_EQ(Shell(util + " dump " + Quoted(dir / "none.atb") + " 2>&1").out,
            "atbutil: " + (dir / "none.atb") + ": No such file or directory\n");
}

}  // namespace
}  // namespace atb
