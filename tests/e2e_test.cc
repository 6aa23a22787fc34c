// The real binary, driven through pipes in a temporary directory.
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

// Runs a shell command line and collects its standard output.
Outcome Shell(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

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
  r = Shell("(" + InDir(">&- < /dev/null") + ") 2>&1");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Fatal Error: MFC initialization failed\n");
}

}  // namespace
}  // namespace atb
