// Random files and random dialogues, checked command by command: no change corrupts a sound
// file, no refusal changes a byte, and a text edit changes nothing but its text. The seed is
// fixed; the sanitizers' build runs a third of the cases unless ATB_TESTS_WHOLE is set;
// ATB_PROPERTY_CASES and ATB_PROPERTY_SEED explore further.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "tests/dialogue_checker.h"
#include "tests/random_files.h"
#include "tests/sampling.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;

std::string RandomScript(Random& r) {
  std::string s = "f.atb\n";
  for (int i = r.Below(40); i > 0; --i) {
    switch (r.Below(12)) {
      case 0:
        s += "999\n";
        break;
      case 1:
        s += "997\n";
        break;
      case 2:
        s += "998\n";
        break;
      case 3:
        s += r.Word(10) + "\n";
        break;
      case 4:
        s += std::to_string(r.Below(40) - 5) + "\n";
        break;
      case 5:
        s += r.OneIn(2) ? "1e3\n" : "f.atb\n";
        break;
      default:
        s += std::to_string(r.Below(8)) + "\n";
    }
  }
  return s;
}

// Found by fuzzing: a reference's name holding a line break and one of the dialogue's refusals
// was taken by the checker for a real refusal, next to a real change.
TEST(Properties, ANameCannotForgeTheDialoguesMessagesForTheChecker) {
  testing::TempDir dir;
  WriteFile(dir / "f.atb",
            EncodeFile({{RefEntry(1, {{NameEntry("\nbug opening x")}}), FloatEntry(2, 2)}}));
  EXPECT_EQ(testing::CheckedDialogue(dir.path(), "f.atb", "f.atb\n1\n5\n999\nquit\n"),
            std::vector<std::string>());
}

TEST(Properties, RandomFilesAndDialoguesKeepEveryPromise) {
  const char* casesEnv = std::getenv("ATB_PROPERTY_CASES");
  const char* seedEnv = std::getenv("ATB_PROPERTY_SEED");
  const int cases = casesEnv ? std::atoi(casesEnv) : testing::Share(3000, 3000, 1000);
  Random r(seedEnv ? std::strtoull(seedEnv, nullptr, 10) : 20261207);
  for (int c = 0; c < cases; ++c) {
    testing::TempDir dir;
    // Some files are damaged on purpose: refusals must still leave them untouched.
    Bytes file = RandomFile(r);
    WriteFile(dir / "f.atb", file);
    // Side files to add: named by small keys, as rips of the random tables also write them.
    WriteFile(dir / "3", EncodeTable(RandomTable(r, 1)));
    WriteFile(dir / "5", EncodeTable({{{1, 0, "abcd", 9}}}));
    std::string script = RandomScript(r);
    std::vector<std::string> violations = testing::CheckedDialogue(dir.path(), "f.atb", script);
    ASSERT_TRUE(violations.empty()) << "case " << c << ": " << violations[0] << "\nscript:\n"
                                    << script;
  }
}

}  // namespace
}  // namespace atb
