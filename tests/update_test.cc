// update: against set (the same bytes for the same change), its dry run applied equals the update,
// steps in order, refusals that change nothing, and real processes killed in the middle of an
// update of many files.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "atbutil/commands.h"
#include "change/open.h"
#include "tests/random_files.h"
#include "tests/sampling.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::Capture;
using testing::Ran;
namespace fs = std::filesystem;

class Updates : public ::testing::Test {
 protected:
  void SetUp() override { SetDurableChanges(false); }
  void TearDown() override { SetDurableChanges(true); }
  Ran Update(const std::vector<std::string>& roots, const std::vector<std::string>& words,
             bool dryRun = false) {
    return Capture([&](std::FILE* out, std::FILE* err) {
      return UpdateCommand(roots, words, dryRun, false, KeyNames(), out, err);
    });
  }
  testing::TempDir dir_;
};

// A file of floats 1..n (keys 1..n), texts 100.. and a nested table of floats.
Bytes Sample(Random& r, int n) {
  Table nested;
  Table root;
  for (int k = 1; k <= n; ++k) {
    root.entries.push_back(FloatEntry(static_cast<uint32_t>(k), static_cast<float>(r.Below(50))));
    nested.entries.push_back(FloatEntry(static_cast<uint32_t>(k), static_cast<float>(k) / 4));
  }
  root.entries.push_back(TextEntry(100, "abc", r.OneIn(2) ? "tail" : ""));
  root.entries.push_back(RefEntry(200, nested));
  return EncodeFile(root);
}

std::map<std::string, Bytes> Snapshot(const std::string& root) {
  std::map<std::string, Bytes> files;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->is_regular_file()) files[it->path().string()] = ReadFile(it->path());
  }
  return files;
}

TEST_F(Updates, AnUpdateOfOneEntryGivesTheBytesSetGives) {
  Random r(3);
  for (int c = 0; c < (testing::kSanitized ? 10 : 40); ++c) {
    const Bytes file = Sample(r, 6);
    const std::string key = std::to_string(1 + r.Below(6));
    const std::string value = r.OneIn(3) ? "-0" : std::to_string(r.Below(1000)) + ".25";
    const std::string text = r.OneIn(2) ? "\"longer text\"" : "\"\"";
    WriteFile(dir_ / "set.atb", file);
    WriteFile(dir_ / "up.atb", file);
    FILE* quiet = std::fopen("/dev/null", "w");
    ASSERT_EQ(SetCommand(dir_ / "set.atb", {key, value, "100", text}, KeyNames(), quiet), 0);
    std::fclose(quiet);
    const Ran up = Update({dir_ / "up.atb"}, {"/" + key, "=", value, "/100", "=", text});
    ASSERT_EQ(up.status, 0) << up.err;
    EXPECT_EQ(ReadFile(dir_ / "up.atb"), ReadFile(dir_ / "set.atb")) << c;
  }
}

TEST_F(Updates, ADryRunAppliedIsTheUpdateAndStepsSeeTheOnesBefore) {
  Random r(5);
  std::map<std::string, Bytes> start;
  for (int f = 0; f < 6; ++f) {
    const std::string path =
        dir_ / ("t/d" + std::to_string(f % 2) + "/f" + std::to_string(f) + ".atb");
    fs::create_directories(fs::path(path).parent_path());
    WriteFile(path, Sample(r, 4));
  }
  const std::vector<std::string> steps = {"/**/[?type=float][?value>=10]",
                                          "*=",
                                          "2",
                                          "/200/*",
                                          "+=",
                                          "1",
                                          "/**/[?value>=40]",
                                          "=",
                                          "7"};
  fs::copy(dir_ / "t", dir_ / "u", fs::copy_options::recursive);
  const Ran dry = Update({dir_ / "t"}, steps, true);
  ASSERT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(Snapshot(dir_ / "u").size(), Snapshot(dir_ / "t").size());
  EXPECT_NE(dry.err.find(" values in "), std::string::npos) << dry.err;
  const Ran real = Update({dir_ / "t"}, steps);
  ASSERT_EQ(real.status, 0) << real.err;
  WriteFile(dir_ / "dry.patch", dry.out);
  const Ran applied = Capture([&](std::FILE*, std::FILE* err) {
    return ApplyCommand(dir_ / "u", {dir_ / "dry.patch"}, false, KeyNames(), stdin, err);
  });
  ASSERT_EQ(applied.status, 0) << applied.err << dry.out;
  std::map<std::string, Bytes> t = Snapshot(dir_ / "t"), u = Snapshot(dir_ / "u");
  ASSERT_EQ(t.size(), u.size());
  for (auto a = t.begin(), b = u.begin(); a != t.end(); ++a, ++b) EXPECT_EQ(a->second, b->second);
  // The steps in order: the third sees the doubled values, and the nested table's last step.
  const Ran found = Capture([&](std::FILE* out, std::FILE* err) {
    return FindCommand("/**/[?value>=40]", {dir_ / "t"}, FindOutput::kLines, KeyNames(), stdin, out,
                       err);
  });
  EXPECT_EQ(found.status, 1) << found.out;
}

TEST_F(Updates, RefusalsChangeNothing) {
  Random r(9);
  fs::create_directories(dir_ / "a");
  WriteFile(dir_ / "a/x.atb", Sample(r, 3));
  WriteFile(dir_ / "a/y.atb", Sample(r, 3));
  const auto before = Snapshot(dir_ / "a");
  struct Case {
    std::vector<std::string> words;
    int status;
    const char* says;
  } cases[] = {
      {{"/nothing", "=", "1"}, 1, "matches nothing"},
      {{"/1", "=", "1", "/nothing", "+=", "1"}, 1, "matches nothing"},
      {{"/100", "+=", "1"}, 1, "works on floats only"},
      {{"/1", "*=", "1e38", "/1", "*=", "1e38"}, 1, "leaves the float range"},
      {{"/1", "/=", "0"}, 1, "leaves the float range"},
      {{"/1", "=", "\"text\""}, 1, ""},
      {{"/1[", "=", "1"}, 2, "expected"},
      {{"/1", "^=", "1"}, 2, "expected one of"},
      {{"/1", "="}, 2, "SELECTOR OP VALUE"},
  };
  for (const Case& c : cases) {
    const Ran ran = Update({dir_ / "a"}, c.words);
    EXPECT_EQ(ran.status, c.status) << c.words[0] << ": " << ran.err;
    EXPECT_NE(ran.err.find(c.says), std::string::npos) << ran.err;
    EXPECT_EQ(Snapshot(dir_ / "a"), before) << c.words[0];
  }
  // Several roots are named below the current folder; one that leaves it is refused.
  const Ran outside = Update({dir_ / "a/x.atb", dir_ / "a/y.atb"}, {"/1", "=", "3"});
  EXPECT_EQ(outside.status, 2) << outside.err;
  EXPECT_EQ(Snapshot(dir_ / "a"), before);
}

// A file written by another program after update read it, and before the change holds it: the
// change sees it when it makes that file ready, and refuses whole, every file as it was then.
TEST_F(Updates, AFileChangedWhileTheUpdateRunsRefusesItWhole) {
  Random r(12);
  const std::string root = dir_ / "w";
  fs::create_directories(root);
  for (const char* name : {"/a.atb", "/b.atb", "/c.atb"}) WriteFile(root + name, Sample(r, 3));
  Table other;
  for (uint32_t k = 1; k <= 3; ++k) other.entries.push_back(FloatEntry(k, 99));
  struct Writer : Files {
    std::string target;
    Bytes bytes;
    int writable = -1;
    bool done = false;
    int Open(const std::string& path, int flags, mode_t mode) override {
      const int fd = Files::Open(path, flags, mode);
      if (path == target && (flags & O_ACCMODE) == O_WRONLY) writable = fd;
      return fd;
    }
    int Lock(int fd) override {
      if (fd == writable && !done) done = true, WriteFile(target, bytes);
      return Files::Lock(fd);
    }
  } writer;
  writer.target = root + "/b.atb";
  writer.bytes = EncodeFile(other);
  auto before = Snapshot(root);
  before[root + "/b.atb"] = writer.bytes;
  const Ran ran = Capture([&](std::FILE* out, std::FILE* err) {
    return UpdateCommand({root}, {"/1", "+=", "1"}, false, false, KeyNames(), out, err, writer);
  });
  EXPECT_EQ(ran.status, 1) << ran.err;
  EXPECT_NE(ran.err.find("b.atb: changed while the change was made ready"), std::string::npos)
      << ran.err;
  EXPECT_EQ(Snapshot(root), before);
  EXPECT_FALSE(fs::exists(root + "/.atb-change"));
}

// Real processes killed at random instants of an update of 300 files: every file before or every
// file after.
TEST_F(Updates, AKilledUpdateOfManyFilesLeavesAllOrNone) {
  Random r(21);
  for (int f = 0; f < 300; ++f) {
    char name[64];
    std::snprintf(name, sizeof name, "t/d%d/f%d.atb", f % 3, f);
    fs::create_directories(fs::path(dir_ / name).parent_path());
    WriteFile(dir_ / name, Sample(r, 4));
  }
  fs::copy(dir_ / "t", dir_ / "before", fs::copy_options::recursive);
  const std::string util = "'" + std::string(ATBUTIL_BINARY) + "'";
  int before = 0, after = 0;
  std::map<std::string, Bytes> afterState;
  for (int k = 0; k < (testing::kSanitized ? 4 : 12); ++k) {
    fs::remove_all(dir_ / "t");
    fs::copy(dir_ / "before", dir_ / "t", fs::copy_options::recursive);
    char command[4096];
    std::snprintf(command, sizeof command,
                  "timeout -s KILL %.3f %s update %s -- '/**/[?type=float]' += 1 2>/dev/null",
                  k == 0 ? 60.0 : 0.01 + r.Below(80) / 1000.0, util.c_str(), (dir_ / "t").c_str());
    testing::Shell(command);
    std::snprintf(command, sizeof command, "%s get %s 1 2>&1", util.c_str(),
                  (dir_ / "t/d1/f1.atb").c_str());
    EXPECT_EQ(testing::Shell(command).status, 0);
    std::map<std::string, Bytes> now;
    for (const auto& [path, bytes] : Snapshot(dir_ / "t")) now[path] = bytes;
    if (k == 0) afterState = now;
    std::map<std::string, Bytes> was;
    for (const auto& [path, bytes] : Snapshot(dir_ / "before")) {
      was[(dir_ / "t") + path.substr((dir_ / "before").size())] = bytes;
    }
    ASSERT_TRUE(now == was || now == afterState) << "kill " << k;
    before += now == was;
    after += now == afterState;
  }
  EXPECT_GT(after, 0);
  std::printf("%d kills: %d before, %d after\n", before + after, before, after);
}

}  // namespace
}  // namespace atb
