// Random files and random dialogues, checked command by command: no change corrupts a sound
// file, no refusal changes a byte, and a text edit changes nothing but its text. The seed is
// fixed; ATB_PROPERTY_CASES and ATB_PROPERTY_SEED explore further.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "tests/dialogue_checker.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;

class Random {
 public:
  explicit Random(uint64_t seed) : gen_(seed) {}
  int Below(int n) { return static_cast<int>(gen_() % static_cast<uint64_t>(n)); }
  bool OneIn(int n) { return Below(n) == 0; }
  std::string Word(int maxLen) {
    std::string w;
    for (int i = Below(maxLen + 1); i > 0; --i) w.push_back(static_cast<char>('a' + Below(26)));
    return w;
  }

 private:
  std::mt19937_64 gen_;
};

Table RandomTable(Random& r, int depth) {
  Table t;
  if (r.OneIn(6)) t.lead = r.Word(3);
  std::vector<uint32_t> keys;
  for (int i = r.Below(depth == 0 ? 8 : 5); i > 0; --i) {
    keys.push_back(r.OneIn(8) ? 0x80000000u + static_cast<uint32_t>(r.Below(4))
                              : static_cast<uint32_t>(r.Below(12)));
  }
  std::sort(keys.begin(), keys.end());
  for (uint32_t key : keys) {
    switch (r.Below(depth < 3 ? 7 : 6)) {
      case 0:
        t.entries.push_back(FloatEntry(key, static_cast<float>(r.Below(100)) / 4));
        break;
      case 1:
        t.entries.push_back(BoolEntry(key, static_cast<uint8_t>(r.Below(3))));
        break;
      case 2:
      case 3:
        t.entries.push_back(TextEntry(key, r.Word(6), r.OneIn(3) ? r.Word(3) : ""));
        break;
      case 4:
        t.entries.push_back(WideEntry(key, u"wide"));
        break;
      case 5:
        t.entries.push_back({key, static_cast<uint32_t>(r.OneIn(2) ? 7 : 1), r.Word(3)});
        break;
      default: {
        Table nested = RandomTable(r, depth + 1);
        if (r.OneIn(2)) nested.entries.push_back(NameEntry(r.Word(5)));
        t.entries.push_back(RefEntry(key, nested));
      }
    }
  }
  return t;
}

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

TEST(Properties, RandomFilesAndDialoguesKeepEveryPromise) {
  const char* casesEnv = std::getenv("ATB_PROPERTY_CASES");
  const char* seedEnv = std::getenv("ATB_PROPERTY_SEED");
  const int cases = casesEnv ? std::atoi(casesEnv) : 3000;
  Random r(seedEnv ? std::strtoull(seedEnv, nullptr, 10) : 20261207);
  for (int c = 0; c < cases; ++c) {
    testing::TempDir dir;
    Bytes file = EncodeFile(RandomTable(r, 0));
    // Some files are damaged on purpose: refusals must still leave them untouched.
    if (r.OneIn(4)) {
      for (int k = r.Below(3) + 1; k > 0; --k) {
        file[static_cast<std::size_t>(52 + r.Below(static_cast<int>(file.size()) - 52))] =
            static_cast<char>(r.Below(256));
      }
    }
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
