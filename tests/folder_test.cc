// Patches over folders: diff and apply round trips over random folders (files changed, added,
// removed, in subfolders), what apply refuses with every file left as it was, and a change over
// many files under kills and power losses at every instant: every file before, or every file
// after, whichever of them the next command opens first.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <tuple>

#include "atbutil/commands.h"
#include "change/folder_change.h"
#include "change/open.h"
#include "patches/folder_patch.h"
#include "store/hash.h"
#include "tests/memory_files.h"
#include "tests/random_changes.h"
#include "tests/sampling.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
namespace fs = std::filesystem;
using Folder = std::map<std::string, Bytes>;  // relative path -> bytes

using testing::Capture;
using testing::Ran;

void WriteFolder(const std::string& root, const Folder& folder) {
  fs::remove_all(root);
  fs::create_directories(root);
  for (const auto& [relative, bytes] : folder) {
    fs::create_directories(fs::path(root + "/" + relative).parent_path());
    WriteFile(root + "/" + relative, bytes);
  }
}

// Every regular file below `root`, symlinks not followed.
Folder ReadFolder(const std::string& root) {
  Folder folder;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->is_regular_file() && !it->is_symlink()) {
      folder[fs::relative(it->path(), root).string()] = ReadFile(it->path());
    }
  }
  return folder;
}

// A sound file with one of the random changes made to it.
Bytes Changed(Random& r, const Bytes& file, const std::string& scratch) {
  const std::vector<MakeChange> changes = RandomChanges(r, file);
  WriteFile(scratch, file);
  AttributeFile f(SystemFiles());
  bool recovered;
  EXPECT_TRUE(f.Open(scratch, AttributeFile::kEditing, &recovered).ok());
  Change change;
  changes[static_cast<std::size_t>(r.Below(static_cast<int>(changes.size())))](file, &change);
  EXPECT_TRUE(change.Apply(f.target()).ok());
  EXPECT_TRUE(f.Close().ok());
  return ReadFile(scratch);
}

Bytes Floats(const std::map<uint32_t, float>& values);

class Folders : public ::testing::Test {
 protected:
  void SetUp() override { SetDurableChanges(false); }
  void TearDown() override { SetDurableChanges(true); }

  Ran Diff(const std::string& a, const std::string& b, bool overlay = false) {
    return Capture([&](std::FILE* out, std::FILE* err) {
      return DiffCommand(a, b, KeyNames(), out, err, SystemFiles(), overlay);
    });
  }
  Ran Apply(const std::string& target, const std::vector<std::string>& patches,
            bool check = false) {
    return Capture([&](std::FILE*, std::FILE* err) {
      return ApplyCommand(target, patches, check, KeyNames(), stdin, err);
    });
  }
  std::string Patch(const std::string& text) {
    const std::string path = dir_ / ("p" + std::to_string(++patches_));
    WriteFile(path, text);
    return path;
  }

  testing::TempDir dir_;
  int patches_ = 0;
};

TEST_F(Folders, ApplyingTheFolderDiffGivesTheOtherFolder) {
  Random r(4242);
  const int rounds = testing::kSanitized ? 6 : 20;
  int added = 0, removed = 0, changed = 0;
  for (int round = 0; round < rounds; ++round) {
    Folder a, b, mod;
    for (int n = 2 + r.Below(6); n > 0; --n) {
      const std::string name = (r.OneIn(2) ? "" : "sub" + std::to_string(r.Below(2)) + "/") + "f" +
                               std::to_string(r.Below(1000)) + ".atb";
      a[name] = RandomChangeFile(r, 200);
    }
    a["notes.txt"] = "not ours";
    for (const auto& [name, bytes] : a) {
      const int fate = name == "notes.txt" ? 3 : r.Below(4);
      if (fate == 0) {
        ++removed;
        continue;
      }
      b[name] = fate == 1 ? Changed(r, bytes, dir_ / "scratch.atb") : bytes;
      if (fate == 1) mod[name] = b[name], ++changed;
    }
    if (r.OneIn(2)) {
      const std::string name = "new" + std::to_string(round) + "/deep/n.atb";
      b[name] = mod[name] = RandomChangeFile(r, 100);
      ++added;
    }
    WriteFolder(dir_ / "a", a);
    WriteFolder(dir_ / "b", b);
    const Ran diff = Diff(dir_ / "a", dir_ / "b");
    const bool same = a.size() == b.size() && mod.empty();
    ASSERT_EQ(diff.status, same ? 0 : 1) << round << diff.err;
    EXPECT_NE(diff.err.find("notes.txt: not an attribute file (*.atb): left alone"),
              std::string::npos)
        << diff.err;
    WriteFolder(dir_ / "c", a);
    if (same) continue;
    const std::string patch = Patch(diff.out);
    const Ran applied = Apply(dir_ / "c", {patch});
    ASSERT_EQ(applied.status, 0) << round << ": " << applied.err << "\n" << diff.out;
    EXPECT_EQ(ReadFolder(dir_ / "c"), b) << round;
    EXPECT_EQ(Diff(dir_ / "c", dir_ / "b").status, 0) << round;
    // Applied twice: refused, and nothing moves.
    const Ran again = Apply(dir_ / "c", {patch});
    EXPECT_EQ(again.status, 1) << round << again.err;
    EXPECT_EQ(ReadFolder(dir_ / "c"), b) << round;

    // A mod folder holds only what it changes: what it lacks stays.
    WriteFolder(dir_ / "mod", mod);
    const Ran overlay = Diff(dir_ / "a", dir_ / "mod", true);
    EXPECT_EQ(overlay.out.find(": removed "), std::string::npos) << overlay.out;
    WriteFolder(dir_ / "c", a);
    ASSERT_EQ(Apply(dir_ / "c", {Patch(overlay.out)}).status, 0) << round;
    Folder expected = a;
    for (const auto& [name, bytes] : mod) expected[name] = bytes;
    EXPECT_EQ(ReadFolder(dir_ / "c"), expected) << round;
  }
  EXPECT_GT(added, 0);
  EXPECT_GT(removed, 0);
  EXPECT_GT(changed, 0);
}

// Undone with -R, a reversible patch over a folder gives the folder back: changed files as they
// were, new ones gone. One that removes a file cannot bring it back, and is refused whole.
TEST_F(Folders, AReversibleFolderPatchIsUndoneButNotARemovedFile) {
  Random r(5151);
  auto undo = [&](const std::string& target, const std::string& patch) {
    return Capture([&](std::FILE*, std::FILE* err) {
      return ApplyCommand(target, {patch}, false, KeyNames(), stdin, err, SystemFiles(), false,
                          true);
    });
  };
  for (int round = 0; round < (testing::kSanitized ? 3 : 10); ++round) {
    Folder a, b;
    for (int n = 2 + r.Below(5); n > 0; --n) {
      const std::string name = (r.OneIn(2) ? "" : "sub/") + std::to_string(r.Below(1000)) + ".atb";
      a[name] = RandomChangeFile(r, 200);
      b[name] = r.OneIn(3) ? a[name] : Changed(r, a[name], dir_ / "scratch.atb");
    }
    b["new/n.atb"] = RandomChangeFile(r, 100);
    WriteFolder(dir_ / "a", a);
    WriteFolder(dir_ / "b", b);
    const Ran diff = Capture([&](std::FILE* out, std::FILE* err) {
      return DiffCommand(dir_ / "a", dir_ / "b", KeyNames(), out, err, SystemFiles(), false, true);
    });
    ASSERT_EQ(diff.status, 1) << diff.err;
    WriteFolder(dir_ / "c", a);
    const std::string patch = Patch(diff.out);
    ASSERT_EQ(Apply(dir_ / "c", {patch}).status, 0) << round;
    const Ran undone = undo(dir_ / "c", patch);
    ASSERT_EQ(undone.status, 0) << round << ": " << undone.err << diff.out;
    EXPECT_EQ(ReadFolder(dir_ / "c"), a) << round;
  }
  const Folder a{{"one.atb", RandomChangeFile(r, 100)}, {"two.atb", RandomChangeFile(r, 100)}};
  Folder b = a;
  b.erase("two.atb");
  b["one.atb"] = Changed(r, a.at("one.atb"), dir_ / "scratch.atb");
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  const std::string patch = Patch(Diff(dir_ / "a", dir_ / "b").out);
  WriteFolder(dir_ / "c", b);
  const Ran refused = undo(dir_ / "c", patch);
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("two.atb: a removed file is given only by its size and hash"),
            std::string::npos)
      << refused.err;
  EXPECT_EQ(ReadFolder(dir_ / "c"), b);
}

TEST_F(Folders, RefusalsLeaveEveryFileAsItWas) {
  Random r(77);
  const Folder a{{"one.atb", RandomChangeFile(r, 100)}, {"sub/two.atb", RandomChangeFile(r, 100)}};
  Folder b = a;
  b["one.atb"] = Changed(r, a.at("one.atb"), dir_ / "scratch.atb");
  b["sub/two.atb"] = Changed(r, a.at("sub/two.atb"), dir_ / "scratch.atb");
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  const std::string good = Diff(dir_ / "a", dir_ / "b").out;
  const std::string target = dir_ / "t";
  auto refused = [&](const std::string& text, int status, const std::string& says) {
    WriteFolder(target, a);
    const Ran ran = Apply(target, {Patch(text)});
    EXPECT_EQ(ran.status, status) << text << ran.err;
    EXPECT_NE(ran.err.find(says), std::string::npos) << ran.err;
    EXPECT_EQ(ReadFolder(target), a) << text;
    EXPECT_FALSE(fs::exists(target + "/" + kFolderChangeDir));
  };
  refused("file ../x.atb: removed 1 bytes fnv64 0x1\nend 1 file\n", 2, "leaves the folder");
  refused("file /etc/x.atb: removed 1 bytes fnv64 0x1\nend 1 file\n", 2, "is absolute");
  refused("file x.txt: new \"\"\nend 1 file\n", 2, "names no attribute file");
  refused("file one.atb: removed 1 bytes fnv64 0x1\nend 2 files\n", 2, "cut short");
  refused(good.substr(0, good.size() / 2), 2, "line");
  refused("set /1: float 1 -> float 2\nend 1 change\n", 2, "is a patch of one file");
  // One file that no longer holds what the patch expects stops every file.
  WriteFolder(target, a);
  WriteFile(target + "/sub/two.atb", b.at("sub/two.atb"));
  const Folder half = ReadFolder(target);
  const Ran stale = Apply(target, {Patch(good)});
  EXPECT_EQ(stale.status, 1) << stale.err;
  EXPECT_NE(stale.err.find("sub/two.atb: /"), std::string::npos) << stale.err;
  EXPECT_EQ(ReadFolder(target), half);
  // A new file whose bytes are no attribute file goes in only when marked so.
  refused("file n.atb: new \"abc\"\nend 1 file\n", 1, "write 'new damaged'");
  WriteFolder(target, a);
  EXPECT_EQ(Apply(target, {Patch("file n.atb: new damaged \"abc\"\nend 1 file\n")}).status, 0);
  EXPECT_EQ(ReadFile(target + "/n.atb"), "abc");
  // A symlink on the way is never followed, and a file with two names is not parted from one.
  WriteFolder(target, a);
  WriteFolder(dir_ / "elsewhere", {{"two.atb", a.at("sub/two.atb")}});
  fs::remove_all(target + "/sub");
  fs::create_directory_symlink(dir_ / "elsewhere", target + "/sub");
  const Ran linked = Apply(target, {Patch(good)});
  EXPECT_EQ(linked.status, 1) << linked.err;
  EXPECT_NE(linked.err.find("is a symlink"), std::string::npos) << linked.err;
  EXPECT_EQ(ReadFile(dir_ / "elsewhere/two.atb"), a.at("sub/two.atb"));
  EXPECT_EQ(ReadFile(target + "/one.atb"), a.at("one.atb"));
  WriteFolder(target, a);
  fs::create_hard_link(target + "/one.atb", dir_ / "second-name.atb");
  const Ran hard = Apply(target, {Patch(good)});
  EXPECT_EQ(hard.status, 1) << hard.err;
  EXPECT_NE(hard.err.find("hard links"), std::string::npos) << hard.err;
  EXPECT_EQ(ReadFolder(target), a);
  fs::remove(dir_ / "second-name.atb");
}

// Real atbutil processes killed at random instants of a change of 300 files: the next command
// that reads one of them leaves every file before or every file after.
TEST_F(Folders, AKilledApplyLeavesEveryFileBeforeOrEveryFileAfter) {
  Random r(31);
  Folder a, b;
  for (int f = 0; f < 300; ++f) {
    char name[32];
    std::snprintf(name, sizeof name, "d%d/f%d.atb", f % 3, f);
    a[name] = RandomChangeFile(r, 200);
    b[name] = Changed(r, a[name], dir_ / "scratch.atb");
  }
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  const std::string patch = Patch(Diff(dir_ / "a", dir_ / "b").out);
  const std::string util = "'" + std::string(ATBUTIL_BINARY) + "'";
  int before = 0, after = 0;
  for (int k = 0; k < (testing::kSanitized ? 6 : 16); ++k) {
    WriteFolder(dir_ / "t", a);
    char command[4096];
    const double delay = 0.01 + r.Below(90) / 1000.0;
    std::snprintf(command, sizeof command,
                  "timeout -s KILL %.3f %s apply --no-sync %s %s 2>/dev/null", delay, util.c_str(),
                  (dir_ / "t").c_str(), patch.c_str());
    testing::Shell(command);
    std::snprintf(command, sizeof command, "%s get %s @1 2>&1", util.c_str(),
                  (dir_ / "t/d1/f1.atb").c_str());
    const testing::Outcome read = testing::Shell(command);
    EXPECT_NE(read.status, 2) << read.out;
    const Folder now = ReadFolder(dir_ / "t");
    ASSERT_TRUE(now == a || now == b) << "killed after " << delay << " s";
    before += now == a;
    after += now == b;
  }
  std::printf("%d kills: %d before, %d after\n", before + after, before, after);
}

// A file changed in place says what it writes damaged, as a file staged whole does.
TEST_F(Folders, ADamagedTableWrittenInPlaceIsSaid) {
  const Bytes a = EncodeFile({{RefEntry(7, {{FloatEntry(1, 1), FloatEntry(2, 2)}})}});
  Bytes b = a;
  b[52 + 4 + 12] = 0x7F;  // the nested table's count: damaged, the length kept
  WriteFolder(dir_ / "a", {{"x.atb", a}});
  WriteFolder(dir_ / "b", {{"x.atb", b}});
  const Ran diff = Diff(dir_ / "a", dir_ / "b");
  ASSERT_NE(diff.out.find("damaged raw"), std::string::npos) << diff.out;
  const Ran applied = Apply(dir_ / "a", {Patch(diff.out)});
  EXPECT_EQ(applied.status, 0) << applied.err;
  EXPECT_NE(applied.err.find("writes a damaged table"), std::string::npos) << applied.err;
  EXPECT_EQ(ReadFile(dir_ / "a/x.atb"), b);
}

// Every call of an apply over a folder failing in turn: a failure is said and never claimed as
// done, and the next command leaves every file before or every file after.
TEST_F(Folders, EveryFailingCallIsSaidAndLeavesAllOrNone) {
  Random r(12);
  const Folder a{{"a.atb", RandomChangeFile(r, 200)},
                 {"s/b.atb", RandomChangeFile(r, 200)},
                 {"gone.atb", RandomChangeFile(r, 100)}};
  Folder b = a;
  b["a.atb"] = Changed(r, a.at("a.atb"), dir_ / "scratch.atb");
  b["s/b.atb"] = Changed(r, a.at("s/b.atb"), dir_ / "scratch.atb");
  b.erase("gone.atb");
  b["s/n/new.atb"] = RandomChangeFile(r, 100);
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  const std::string patch = Patch(Diff(dir_ / "a", dir_ / "b").out);
  const std::string target = dir_ / "t";
  testing::FaultyFiles counting;
  WriteFolder(target, a);
  ASSERT_EQ(Capture([&](std::FILE*, std::FILE* err) {
              return ApplyCommand(target, {patch}, false, KeyNames(), stdin, err, counting, true);
            }).status,
            0);
  int failed = 0;
  for (int op = testing::FaultyFiles::kOpen; op < testing::FaultyFiles::kOps; ++op) {
    const auto kind = static_cast<testing::FaultyFiles::Op>(op);
    for (const int pick : testing::Picks(counting.Calls(kind), 12, 4, r)) {
      WriteFolder(target, a);
      testing::FaultyFiles faulty;
      faulty.FailAt(kind, pick + 1);
      const Ran ran = Capture([&](std::FILE*, std::FILE* err) {
        return ApplyCommand(target, {patch}, false, KeyNames(), stdin, err, faulty, true);
      });
      const std::string where = "op " + std::to_string(op) + " call " + std::to_string(pick + 1);
      if (ran.status == 0) {
        EXPECT_EQ(ReadFolder(target), b) << where;
        continue;
      }
      ++failed;
      EXPECT_NE(ran.err, "") << where;
      std::string what;
      ASSERT_TRUE(RecoverFolderChange(SystemFiles(), target, &what).ok()) << where;
      const Folder now = ReadFolder(target);
      EXPECT_TRUE(now == a || now == b) << where << ": " << ran.err;
    }
  }
  EXPECT_GT(failed, 10);
}

// A staging folder of another user above one's files neither holds them up nor is touched.
TEST_F(Folders, AnotherUsersStagingFolderIsIgnored) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to make a folder of another user; skipped";
  Random r(5);
  WriteFolder(dir_ / "t", {{"sub/one.atb", RandomChangeFile(r, 100)}});
  const std::string staging = dir_ / ("t/" + std::string(kFolderChangeDir));
  fs::create_directory(staging);
  WriteFile(staging + "/journal", "someone else's");
  ASSERT_EQ(chown(staging.c_str(), 4321, 4321), 0);
  const Ran got = Capture([&](std::FILE* out, std::FILE* err) {
    return DumpCommand(dir_ / "t/sub/one.atb", false, KeyNames(), out, err);
  });
  EXPECT_EQ(got.status, 0) << got.err;
  EXPECT_EQ(ReadFile(staging + "/journal"), "someone else's");
}

// A folder of files of floats: file f holds keys 1..8, each a value made from (f, key, v).
Bytes Floats(const std::map<uint32_t, float>& values) {
  Table t;
  for (const auto& [key, v] : values) t.entries.push_back(FloatEntry(key, v));
  return EncodeFile(t);
}

// Mods over a folder against a model: each mod a folder of the files it changes (or, for one in
// three, the patch over the folder that diff --overlay writes from it), setting random keys; one
// adds a file, one removes one. conflicts tells every key two or more mods set, agree or override
// with the last one winning; combine applied to BASE gives the model; where no two mods meet,
// it equals applying the mods' patches one after another, byte for byte.
TEST_F(Folders, ModsOverAFolderMeetAsTheModelSays) {
  Random r(8080);
  const int rounds = testing::kSanitized ? 4 : 12;
  int overrides = 0, agreements = 0, apart = 0;
  for (int round = 0; round < rounds; ++round) {
    const int fileCount = 3 + r.Below(3), modCount = 2 + r.Below(3);
    std::map<std::string, std::map<uint32_t, float>> base;
    for (int f = 0; f < fileCount; ++f) {
      char name[32];
      std::snprintf(name, sizeof name, "d%d/f%d.atb", f % 2, f);
      for (uint32_t k = 1; k <= 8; ++k) base[name][k] = 1.0f * static_cast<float>(k);
    }
    const bool overlapping = round % 2 == 0;
    auto model = base;
    std::map<std::pair<std::string, uint32_t>, std::vector<float>> touched;
    std::vector<std::string> mods;
    Folder baseFolder;
    for (const auto& [name, values] : base) baseFolder[name] = Floats(values);
    WriteFolder(dir_ / "base", baseFolder);
    for (int m = 0; m < modCount; ++m) {
      // What this mod sets: keys 1 to 3 of any file when mods overlap, else two keys of its own;
      // a third of the values are shared by every mod that picks them.
      std::map<std::string, std::map<uint32_t, float>> sets;
      for (int n = 1 + r.Below(4); n > 0; --n) {
        auto it = base.begin();
        std::advance(it, r.Below(fileCount));
        const uint32_t key = overlapping ? 1 + static_cast<uint32_t>(r.Below(3))
                                         : 1 + static_cast<uint32_t>(m * 2 + r.Below(2));
        sets[it->first][key] = r.OneIn(3)
                                   ? 100.0f + static_cast<float>(key)
                                   : 10.0f * static_cast<float>(m + 1) + static_cast<float>(key);
      }
      Folder modFolder;
      for (const auto& [name, values] : sets) {
        std::map<uint32_t, float> own = base[name];
        for (const auto& [key, v] : values) {
          own[key] = v;
          model[name][key] = v;
          touched[{name, key}].push_back(v);
        }
        modFolder[name] = Floats(own);
      }
      const std::string dir = dir_ / ("mod" + std::to_string(m));
      WriteFolder(dir, modFolder);
      if (m % 3 == 2) {
        const Ran overlay = Diff(dir_ / "base", dir, true);
        mods.push_back(Patch(overlay.out));
      } else {
        mods.push_back(dir);
      }
    }
    int expectedConflicts = 0;
    for (const auto& [where, values] : touched) {
      if (values.size() < 2) continue;
      bool same = true;
      for (float v : values) same = same && v == values.front();
      expectedConflicts += !same;
      same ? ++agreements : ++overrides;
    }
    const Ran conflicts = Capture([&](std::FILE* out, std::FILE* err) {
      return ConflictsCommand(dir_ / "base", mods, false, false, "", KeyNames(), out, err);
    });
    ASSERT_EQ(conflicts.status, expectedConflicts > 0 ? 1 : 0) << conflicts.err << conflicts.out;
    int overrideBlocks = 0;
    for (std::size_t at = conflicts.out.find(": override, "); at != std::string::npos;
         at = conflicts.out.find(": override, ", at + 1)) {
      ++overrideBlocks;
    }
    EXPECT_EQ(overrideBlocks, expectedConflicts) << conflicts.out;

    const Ran combined = Capture([&](std::FILE* out, std::FILE* err) {
      return CombineCommand(dir_ / "base", mods, KeyNames(), out, err);
    });
    ASSERT_EQ(combined.status, expectedConflicts > 0 ? 1 : 0) << combined.err;
    Folder expected;
    for (const auto& [name, values] : model) expected[name] = Floats(values);
    WriteFolder(dir_ / "c", baseFolder);
    if (!combined.out.empty()) {
      ASSERT_EQ(Apply(dir_ / "c", {Patch(combined.out)}).status, 0) << combined.out;
    }
    EXPECT_EQ(ReadFolder(dir_ / "c"), expected) << round << "\n" << combined.out;
    if (expectedConflicts == 0 && touched.size() > 0) {
      // The mods one after another, each as the patch over the folder it stands for.
      WriteFolder(dir_ / "seq", baseFolder);
      for (const std::string& mod : mods) {
        std::string text =
            fs::is_directory(mod) ? Diff(dir_ / "base", mod, true).out : ReadFile(mod);
        if (text.empty()) continue;
        const Ran rebased = Capture([&](std::FILE* out, std::FILE* err) {
          return RebaseCommand(Patch(text), dir_ / "base", dir_ / "seq", KeyNames(), out, err);
        });
        if (!rebased.out.empty()) {
          ASSERT_EQ(Apply(dir_ / "seq", {Patch(rebased.out)}).status, 0) << rebased.err;
        }
      }
      EXPECT_EQ(ReadFolder(dir_ / "seq"), ReadFolder(dir_ / "c")) << round;
      ++apart;
    }
  }
  EXPECT_GT(overrides, 0);
  EXPECT_GT(agreements, 0);
  EXPECT_GT(apart, 0);
}

// A mod that removes a file inside which an earlier mod changed values loses that mod's edits:
// said as "lost", exit 1; one that adds a file and a bad mod are told apart too.
TEST_F(Folders, AWholeFileRemovedLosesTheEditsInsideIt) {
  const Folder base{{"a.atb", Floats({{1, 1}, {2, 2}})}, {"b.atb", Floats({{1, 1}})}};
  WriteFolder(dir_ / "base", base);
  WriteFolder(dir_ / "edits", {{"a.atb", Floats({{1, 5}, {2, 2}})}});
  WriteFolder(dir_ / "empty", {});
  const std::string removal = Patch(Diff(dir_ / "base", dir_ / "empty").out);
  const Ran lost = Capture([&](std::FILE* out, std::FILE* err) {
    return ConflictsCommand(dir_ / "base", {dir_ / "edits", removal}, false, false, "", KeyNames(),
                            out, err);
  });
  EXPECT_EQ(lost.status, 1) << lost.err;
  EXPECT_NE(lost.out.find("a.atb: (the whole file): lost, " + removal + " wins"), std::string::npos)
      << lost.out;
  // Given twice, a mod folder with a file BASE's file cannot be diffed to, a patch of one file:
  // refused with exit 2, nothing printed.
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{dir_ / "edits", dir_ / "edits"},
        std::vector<std::string>{Patch("set /1: float 1 -> float 2\nend 1 change\n")}}) {
    const Ran refused = Capture([&](std::FILE* out, std::FILE* err) {
      return ConflictsCommand(dir_ / "base", bad, false, false, "", KeyNames(), out, err);
    });
    EXPECT_EQ(refused.status, 2) << refused.err;
    EXPECT_EQ(refused.out, "");
  }
  EXPECT_EQ(ReadFolder(dir_ / "base"), base);
}

// rebase over folders: a change that still applies, one already in NEW, one that conflicts, and
// one whose file is gone.
TEST_F(Folders, ARebasedFolderPatchSortsEveryChange) {
  const Folder old{{"a.atb", Floats({{1, 1}, {2, 2}, {3, 3}})}, {"b.atb", Floats({{1, 1}})}};
  const Folder mine{{"a.atb", Floats({{1, 10}, {2, 20}, {3, 30}})}, {"b.atb", Floats({{1, 10}})}};
  const Folder neu{{"a.atb", Floats({{1, 1}, {2, 20}, {3, 99}})}};
  WriteFolder(dir_ / "old", old);
  WriteFolder(dir_ / "mine", mine);
  WriteFolder(dir_ / "new", neu);
  const std::string patch = Patch(Diff(dir_ / "old", dir_ / "mine").out);
  const Ran rebased = Capture([&](std::FILE* out, std::FILE* err) {
    return RebaseCommand(patch, dir_ / "old", dir_ / "new", KeyNames(), out, err);
  });
  EXPECT_EQ(rebased.status, 1) << rebased.err;
  EXPECT_NE(rebased.err.find("1 still applies, 1 already in NEW, 1 conflict, 1 gone"),
            std::string::npos)
      << rebased.err;
  EXPECT_NE(rebased.err.find("b.atb: gone: NEW has no such file"), std::string::npos);
  WriteFolder(dir_ / "t", neu);
  ASSERT_EQ(Apply(dir_ / "t", {Patch(rebased.out)}).status, 0) << rebased.out;
  EXPECT_EQ(ReadFolder(dir_ / "t"), Folder({{"a.atb", Floats({{1, 10}, {2, 20}, {3, 99}})}}));
}

// The files of a folder on the in-memory disk, the staging folder left out.
Folder FolderOn(const testing::MemoryFiles::Disk& disk, const std::string& root,
                bool* staged = nullptr) {
  Folder folder;
  if (staged != nullptr) *staged = false;
  for (const auto& [path, file] : disk) {
    const std::string relative = path.substr(root.size() + 1);
    if (relative.rfind(std::string(kFolderChangeDir) + "/", 0) == 0) {
      if (staged != nullptr) *staged = true;
      continue;
    }
    folder[relative] = file.bytes;
  }
  return folder;
}

TEST_F(Folders, EveryKillAndPowerLossLeavesEveryFileBeforeOrEveryFileAfter) {
  Random r(99);
  int before = 0, after = 0, byOpen = 0, states = 0;
  const int cases = testing::kSanitized ? 4 : 12;
  for (int c = 0; c < cases; ++c) {
    // Two files that change length (staged whole), two that keep it (written in place, one of
    // them under its mark), one added, one removed.
    const Folder a{{"a.atb", RandomChangeFile(r, 300)},
                   {"s/b.atb", RandomChangeFile(r, 300)},
                   {"floats.atb", Floats({{1, 1}, {2, 2}, {3, 3}})},
                   {"header.atb", Floats({{1, 1}})},
                   {"gone.atb", RandomChangeFile(r, 100)}};
    Folder b = a;
    b["a.atb"] = Changed(r, a.at("a.atb"), dir_ / "scratch.atb");
    b["s/b.atb"] = Changed(r, a.at("s/b.atb"), dir_ / "scratch.atb");
    b["floats.atb"] = Floats({{1, 1}, {2, 20}, {3, 30}});
    b["header.atb"][3] = static_cast<char>(c);
    b["header.atb"][40] = 'h';
    b.erase("gone.atb");
    b["s/t/new.atb"] = RandomChangeFile(r, 100);
    WriteFolder(dir_ / "a", a);
    WriteFolder(dir_ / "b", b);
    FolderPatch patch;
    ASSERT_TRUE(ParseFolderPatch(Diff(dir_ / "a", dir_ / "b").out, KeyNames(), &patch).ok());

    testing::MemoryFiles::Disk disk;
    for (const auto& [relative, bytes] : a) disk["/d/" + relative] = {bytes};
    testing::MemoryFiles files(disk);
    files.Record();
    PatchOutcome outcome;
    // Every other case without flushes, which promises only to survive a kill.
    const bool durable = c % 2 == 0;
    ASSERT_TRUE(
        ApplyFolderPatches(files, "/d", {patch}, KeyNames(), false, durable, &outcome).ok());
    ASSERT_TRUE(outcome.failures.empty());
    ASSERT_EQ(FolderOn(files.Now(), "/d"), b);
    for (std::size_t point = 0; point <= files.recorded(); ++point) {
      for (int pick = 0; pick < (durable ? 3 : 1); ++pick) {
        // pick 0: a kill, everything written so far landed; else a power loss.
        const testing::MemoryFiles::Disk crashed =
            files.Crash(point, [&] { return pick == 0 || r.OneIn(2); });
        testing::MemoryFiles again(crashed);
        Status s;
        if (pick == 2) {
          // The next command to open any file of the folder settles the change first.
          AttributeFile member(again);
          bool recovered;
          s = member.Open(point % 2 == 0 ? "/d/a.atb" : "/d/floats.atb", AttributeFile::kReading,
                          &recovered);
          ++byOpen;
        } else {
          std::string what;
          s = RecoverFolderChange(again, "/d", &what);
        }
        ++states;
        ASSERT_TRUE(s.ok()) << c << " at " << point << ": " << s.Message();
        bool staged;
        const Folder now = FolderOn(again.Now(), "/d", &staged);
        EXPECT_FALSE(staged) << c << " at " << point;
        ASSERT_TRUE(now == a || now == b) << c << " at " << point << " pick " << pick;
        before += now == a;
        after += now == b;
        // Once the call returned, the change is on the disk.
        if (point == files.recorded()) {
          EXPECT_EQ(now, b);
        }
      }
    }
  }
  EXPECT_GT(before, 0);
  EXPECT_GT(after, 0);
  EXPECT_GT(byOpen, 0);
  std::printf("%d states after kills and power losses\n", states);
}

// A journal names each file whole however long its path, and one whose names lead out of the
// folder is never followed: the staging folder goes and nothing outside it is touched.
TEST_F(Folders, TheJournalKeepsLongNamesAndNeverLeadsOutOfTheFolder) {
  Random r(12);
  std::string deep;
  for (int level = 0; level < 6; ++level) {
    for (int c = 0; c < 120; ++c) deep += "\xc3\xa9";  // each byte written %XX in the journal
    deep += "/";
  }
  const Folder a{{"a.atb", RandomChangeFile(r, 200)}, {deep + "f.atb", RandomChangeFile(r, 200)}};
  Folder b = a;
  for (auto& [name, bytes] : b) bytes = Changed(r, bytes, dir_ / "scratch.atb");
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  FolderPatch patch;
  ASSERT_TRUE(ParseFolderPatch(Diff(dir_ / "a", dir_ / "b").out, KeyNames(), &patch).ok());
  testing::MemoryFiles::Disk disk;
  for (const auto& [relative, bytes] : a) disk["/d/" + relative] = {bytes};
  testing::MemoryFiles files(disk);
  files.Record();
  PatchOutcome outcome;
  ASSERT_TRUE(ApplyFolderPatches(files, "/d", {patch}, KeyNames(), false, true, &outcome).ok());
  ASSERT_EQ(FolderOn(files.Now(), "/d"), b);
  for (std::size_t point = 0; point <= files.recorded(); ++point) {
    testing::MemoryFiles again(files.Crash(point, [] { return true; }));
    std::string what;
    ASSERT_TRUE(RecoverFolderChange(again, "/d", &what).ok()) << point;
    const Folder now = FolderOn(again.Now(), "/d");
    ASSERT_TRUE(now == a || now == b) << "killed at " << point << ": " << what;
  }

  const std::string root = dir_ / "t", staging = root + "/" + kFolderChangeDir;
  for (const std::string& name :
       std::vector<std::string>{"../x.atb", root + "/x.atb", "s/../../x.atb",
                                ".atb-change/../../x.atb", "x.atb%00/../../x.atb"}) {
    WriteFolder(root, {{"x.atb", "abc"}, {"s/x.atb", "abc"}});
    WriteFile(dir_ / "x.atb", "abc");
    char hash[32];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a64("abc")));
    std::string text = "atb folder change 1\nremove " + name + " 3 0x" + hash + "\n";
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a64(text)));
    fs::create_directory(staging);
    WriteFile(staging + "/journal", text + "end 1 fnv64 0x" + hash + "\n");
    std::string what;
    EXPECT_TRUE(RecoverFolderChange(SystemFiles(), root, &what).ok()) << name;
    EXPECT_EQ(what, "undone") << name;
    EXPECT_TRUE(fs::exists(dir_ / "x.atb")) << name;
    EXPECT_EQ(ReadFolder(root), Folder({{"x.atb", "abc"}, {"s/x.atb", "abc"}})) << name;
  }
}

// Another process settling the folder at the worst instants of an apply: as the staging folder
// is made, before its journal is locked, and once the journal is gone. The apply still goes
// through whole, and what the other one does never reaches the change.
class Interloper : public Files {
 public:
  explicit Interloper(std::string root) : root_(std::move(root)) {}
  int MakeDirectory(const std::string& path, mode_t mode) override {
    const int rc = Files::MakeDirectory(path, mode);
    if (rc == 0 && Staging(path) && !made_) made_ = true, Settle();
    return rc;
  }
  int TryLockChanges(int fd, bool exclusive) override {
    if (!locked_) locked_ = true, Settle();
    return Files::TryLockChanges(fd, exclusive);
  }
  int Unlink(const std::string& path) override {
    const int rc = Files::Unlink(path);
    if (rc == 0 && path == root_ + "/" + kFolderChangeDir + "/journal" && !ended_) {
      ended_ = true, Settle();
    }
    return rc;
  }
  int settled = 0;

 private:
  bool Staging(const std::string& path) const { return path == root_ + "/" + kFolderChangeDir; }
  void Settle() {
    std::string what;
    EXPECT_TRUE(RecoverFolderChange(SystemFiles(), root_, &what).ok());
    ++settled;
  }
  std::string root_;
  bool made_ = false, locked_ = false, ended_ = false;
};

TEST_F(Folders, ASettlingBesideAnApplyNeitherStopsNorUndoesIt) {
  Random r(8);
  const Folder a{{"a.atb", RandomChangeFile(r, 200)}, {"s/b.atb", RandomChangeFile(r, 200)}};
  Folder b = a;
  for (auto& [name, bytes] : b) bytes = Changed(r, bytes, dir_ / "scratch.atb");
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  FolderPatch patch;
  ASSERT_TRUE(ParseFolderPatch(Diff(dir_ / "a", dir_ / "b").out, KeyNames(), &patch).ok());
  const std::string root = dir_ / "t";
  WriteFolder(root, a);
  Interloper files(root);
  PatchOutcome outcome;
  const Status s = ApplyFolderPatches(files, root, {patch}, KeyNames(), false, false, &outcome);
  ASSERT_TRUE(s.ok()) << s.Message();
  EXPECT_EQ(files.settled, 3);
  EXPECT_EQ(ReadFolder(root), b);
  EXPECT_FALSE(fs::exists(root + "/" + kFolderChangeDir));

  // Two applies at once over one folder, of different files: both are made.
  const std::string util = "'" + std::string(ATBUTIL_BINARY) + "'";
  Folder onlyA = a, onlyB = a;
  onlyA["a.atb"] = b.at("a.atb");
  onlyB["s/b.atb"] = b.at("s/b.atb");
  WriteFolder(dir_ / "pa", onlyA);
  WriteFolder(dir_ / "pb", onlyB);
  const std::string pa = Patch(Diff(dir_ / "a", dir_ / "pa").out);
  const std::string pb = Patch(Diff(dir_ / "a", dir_ / "pb").out);
  for (int round = 0; round < (testing::kSanitized ? 4 : 16); ++round) {
    WriteFolder(root, a);
    const testing::Outcome both =
        testing::Shell(util + " apply --no-sync " + root + " " + pa + " 2>&1 & " + util +
                       " apply --no-sync " + root + " " + pb + " 2>&1; wait");
    EXPECT_EQ(both.out, "") << round;
    EXPECT_EQ(ReadFolder(root), b) << round;
  }
}

// A writer that began before the change and ends just before the change claims its file, having
// moved the entries: the change's writes are planned from the file as that writer left it,
// never from the bytes before, which would land on another entry.
class WriterEndingAtTheClaim : public Files {
 public:
  WriterEndingAtTheClaim(std::string target, Bytes after)
      : target_(std::move(target)), after_(std::move(after)) {}
  int Open(const std::string& path, int flags, mode_t mode) override {
    const int fd = Files::Open(path, flags, mode);
    if (path == target_ && (flags & O_ACCMODE) == O_WRONLY) writable_ = fd;
    return fd;
  }
  int Lock(int fd) override {
    if (fd == writable_ && !ended_) ended_ = true, WriteFile(target_, after_);
    return Files::Lock(fd);
  }

 private:
  std::string target_;
  Bytes after_;
  int writable_ = -1;
  bool ended_ = false;
};

TEST_F(Folders, AWriterEndingAsTheChangeClaimsItsFileIsNotWrittenOver) {
  auto file = [](std::vector<std::pair<uint32_t, float>> values) {
    Table t;
    for (const auto& [key, v] : values) t.entries.push_back(FloatEntry(key, v));
    return EncodeFile(t);
  };
  const std::string root = dir_ / "t";
  WriteFolder(root, {{"a.atb", file({{1, 1}, {2, 2}})}});
  FolderPatch patch;
  ASSERT_TRUE(ParseFolderPatch("file a.atb\nset /1: float 1 -> float 5\nend 1 change\nend 1 file\n",
                               KeyNames(), &patch)
                  .ok());
  // Same length, the two entries swapped: /1's value now lies where /2's did.
  WriterEndingAtTheClaim files(root + "/a.atb", file({{2, 2}, {1, 1}}));
  PatchOutcome outcome;
  const Status s = ApplyFolderPatches(files, root, {patch}, KeyNames(), false, false, &outcome);
  ASSERT_TRUE(s.ok()) << s.Message();
  EXPECT_TRUE(outcome.failures.empty());
  EXPECT_EQ(ReadFolder(root).at("a.atb"), file({{2, 2}, {1, 5}}));
}

// A staging folder that is a symlink, or holds no journal of ours, is refused, and what it leads
// to is left alone; recovery says so rather than wait on it or claim it went.
TEST_F(Folders, AStagingFolderThatIsNoneIsRefusedAndLeftAlone) {
  const std::string root = dir_ / "t", staging = root + "/" + kFolderChangeDir;
  auto refused = [&](const std::string& says) {
    std::string what;
    const Status s = RecoverFolderChange(SystemFiles(), root, &what);
    EXPECT_FALSE(s.ok());
    EXPECT_NE(s.Message().find(says), std::string::npos) << s.Message();
  };
  WriteFolder(root, {{"a.atb", "x"}});
  WriteFolder(dir_ / "elsewhere", {{"keep", "precious"}});
  fs::create_directory_symlink(dir_ / "elsewhere", staging);
  refused("is no folder");
  EXPECT_EQ(ReadFolder(dir_ / "elsewhere"), Folder({{"keep", "precious"}}));
  fs::remove(staging);
  fs::create_directory(staging);
  ASSERT_EQ(mkfifo((staging + "/journal").c_str(), 0600), 0);
  refused("is no journal");
  fs::remove(staging + "/journal");
  fs::create_directory(staging + "/folder");
  refused("holds folders");
  EXPECT_TRUE(fs::exists(staging + "/folder"));
}

// A folder whose names the process cannot change, one on another file system, a file that cannot
// be replaced: each would refuse its rename after the change is decided, leaving it half made, so
// each is refused before, every file as it was.
class Unrenamable : public Files {
 public:
  enum Why { kReadOnlyFolder, kOtherDevice, kImmutableFile };
  Unrenamable(Why why, std::string path) : why_(why), path_(std::move(path)) {}
  int Access(const std::string& path, int mode) override {
    if (why_ == kReadOnlyFolder && path == path_) return errno = EACCES, -1;
    return Files::Access(path, mode);
  }
  int StatPath(const std::string& path, struct stat* st) override {
    const int rc = Files::StatPath(path, st);
    if (rc == 0 && why_ == kOtherDevice && path == path_) ++st->st_dev;
    return rc;
  }
  int Open(const std::string& path, int flags, mode_t mode) override {
    if (why_ == kImmutableFile && path == path_ && (flags & O_ACCMODE) != O_RDONLY) {
      return errno = EPERM, -1;
    }
    return Files::Open(path, flags, mode);
  }
  int Rename(const std::string& from, const std::string& to) override {
    if (Below(to)) return errno = why_ == kOtherDevice ? EXDEV : EPERM, -1;
    return Files::Rename(from, to);
  }
  int Unlink(const std::string& path) override {
    return Below(path) ? (errno = EPERM, -1) : Files::Unlink(path);
  }

 private:
  bool Below(const std::string& path) const {
    return path == path_ || path.rfind(path_ + "/", 0) == 0;
  }
  Why why_;
  std::string path_;
};

TEST_F(Folders, ARenameThatWouldFailIsRefusedBeforeTheChangeIsDecided) {
  Random r(21);
  const Folder a{{"a.atb", RandomChangeFile(r, 200)},
                 {"gone.atb", RandomChangeFile(r, 100)},
                 {"s/b.atb", RandomChangeFile(r, 200)}};
  Folder b = a;
  b["a.atb"] = Changed(r, a.at("a.atb"), dir_ / "scratch.atb");
  b["s/b.atb"] = Changed(r, a.at("s/b.atb"), dir_ / "scratch.atb");
  b["s/new.atb"] = RandomChangeFile(r, 100);
  b.erase("gone.atb");
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  FolderPatch patch;
  ASSERT_TRUE(ParseFolderPatch(Diff(dir_ / "a", dir_ / "b").out, KeyNames(), &patch).ok());
  const std::string root = dir_ / "t";
  const std::vector<std::pair<Unrenamable::Why, std::string>> cases{
      {Unrenamable::kReadOnlyFolder, root + "/s"},
      {Unrenamable::kOtherDevice, root + "/s"},
      {Unrenamable::kImmutableFile, root + "/s/b.atb"},
      {Unrenamable::kImmutableFile, root + "/gone.atb"}};
  for (const auto& [why, path] : cases) {
    WriteFolder(root, a);
    Unrenamable files(why, path);
    for (const bool check : {true, false}) {
      PatchOutcome outcome;
      const Status s = ApplyFolderPatches(files, root, {patch}, KeyNames(), check, false, &outcome);
      EXPECT_FALSE(s.ok()) << path;
      EXPECT_NE(s.Message().find(path), std::string::npos) << s.Message();
      EXPECT_EQ(ReadFolder(root), a) << path << ": " << s.Message();
      EXPECT_FALSE(fs::exists(root + "/" + kFolderChangeDir)) << path;
    }
  }
}

// What the folder commands take a folder, a patch over one and an attribute file to be: a folder
// named by a symlink is a folder; a patch that changes nothing applies to a folder as to a file;
// a patch over a folder given for a file says so; a FIFO named *.atb is no attribute file, and a
// patch that changes a file OLD lacks is no patch for OLD.
TEST_F(Folders, FoldersPatchesAndFilesAreToldApart) {
  Random r(3);
  const Folder a{{"a.atb", RandomChangeFile(r, 200)}, {"s/b.atb", RandomChangeFile(r, 200)}};
  Folder b = a;
  b["s/b.atb"] = Changed(r, a.at("s/b.atb"), dir_ / "scratch.atb");
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  const std::string root = dir_ / "t", link = dir_ / "link";
  WriteFolder(root, a);
  fs::create_directory_symlink(root, link);
  const Ran diff = Diff(link, dir_ / "b");
  ASSERT_EQ(diff.status, 1) << diff.err;
  const std::string patch = Patch(diff.out);
  EXPECT_EQ(Apply(link, {patch}).status, 0);
  EXPECT_EQ(ReadFolder(root), b);

  for (const char* none : {"", "# nothing\n\n", "end 0 files\n"}) {
    const Ran ran = Apply(root, {Patch(none)});
    EXPECT_EQ(ran.status, 0) << none << ran.err;
    EXPECT_EQ(ReadFolder(root), b);
  }
  EXPECT_EQ(Apply(root, {Patch(Diff(root, root).out)}).status, 0);
  const Ran onFile = Apply(root + "/a.atb", {patch});
  EXPECT_EQ(onFile.status, 2);
  EXPECT_NE(onFile.err.find("is a patch over a folder"), std::string::npos) << onFile.err;
  EXPECT_EQ(ReadFolder(root), b);

  ASSERT_EQ(mkfifo((root + "/pipe.atb").c_str(), 0600), 0);
  const Ran piped = Diff(dir_ / "b", root);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_NE(piped.err.find("pipe.atb: not an attribute file"), std::string::npos) << piped.err;

  fs::remove(dir_ / "a/s/b.atb");
  const Ran rebased = Capture([&](std::FILE* out, std::FILE* err) {
    return RebaseCommand(patch, dir_ / "a", dir_ / "b", KeyNames(), out, err);
  });
  EXPECT_EQ(rebased.status, 2);
  EXPECT_NE(rebased.err.find("s/b.atb: changes a file that OLD lacks"), std::string::npos)
      << rebased.err;
}

// Each replaced file keeps its owner and every bit of its mode, set-user-ID ones too, which giving
// a file away after setting its mode would clear.
TEST_F(Folders, AReplacedFileKeepsItsOwnerAndMode) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users; skipped";
  Random r(6);
  const Folder a{{"a.atb", RandomChangeFile(r, 200)}, {"s/b.atb", RandomChangeFile(r, 200)}};
  Folder b = a;
  for (auto& [name, bytes] : b) bytes = Changed(r, bytes, dir_ / "scratch.atb");
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  const std::string patch = Patch(Diff(dir_ / "a", dir_ / "b").out);
  const std::string root = dir_ / "t";
  WriteFolder(root, a);
  const std::vector<std::tuple<std::string, uid_t, gid_t, mode_t>> kept{
      {"a.atb", 4321, 4322, 06755}, {"s/b.atb", 0, 4323, 02640}};
  for (const auto& [name, uid, gid, mode] : kept) {
    ASSERT_EQ(chown((root + "/" + name).c_str(), uid, gid), 0);
    ASSERT_EQ(chmod((root + "/" + name).c_str(), mode), 0);
  }
  ASSERT_EQ(Apply(root, {patch}).status, 0);
  EXPECT_EQ(ReadFolder(root), b);
  for (const auto& [name, uid, gid, mode] : kept) {
    struct stat st;
    ASSERT_EQ(stat((root + "/" + name).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, uid) << name;
    EXPECT_EQ(st.st_gid, gid) << name;
    EXPECT_EQ(st.st_mode & 07777, mode) << name;
  }
}

// A process killed once it made the folders of a file it adds, before its journal is whole: the
// next recovery takes those folders back with the rest.
TEST_F(Folders, AKillBeforeTheJournalIsWholeTakesBackTheFoldersMade) {
  class DiesAtStagedWrite : public Files {
   public:
    int Open(const std::string& path, int flags, mode_t mode) override {
      const int fd = Files::Open(path, flags, mode);
      if (fd != -1 && path.size() > 4 && path.substr(path.size() - 4) == ".new") staged_ = fd;
      return fd;
    }
    ssize_t Write(int fd, const void* buf, std::size_t n) override {
      if (fd == staged_) _exit(0);
      return Files::Write(fd, buf, n);
    }
    ssize_t WriteAt(int fd, const void* buf, std::size_t n, int64_t pos) override {
      return SeekAndWrite(fd, buf, n, pos);
    }

   private:
    int staged_ = -1;
  };
  Random r(14);
  const Folder a{{"z.atb", RandomChangeFile(r, 200)}};
  Folder b = a;
  b["z.atb"] = Changed(r, a.at("z.atb"), dir_ / "scratch.atb");
  b["n1/n2/x.atb"] = RandomChangeFile(r, 100);
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  FolderPatch patch;
  ASSERT_TRUE(ParseFolderPatch(Diff(dir_ / "a", dir_ / "b").out, KeyNames(), &patch).ok());
  const std::string root = dir_ / "t";
  WriteFolder(root, a);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    DiesAtStagedWrite files;
    PatchOutcome outcome;
    ApplyFolderPatches(files, root, {patch}, KeyNames(), false, false, &outcome);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "did not die where meant";
  ASSERT_TRUE(fs::exists(root + "/n1/n2"));
  std::string what;
  ASSERT_TRUE(RecoverFolderChange(SystemFiles(), root, &what).ok());
  EXPECT_EQ(ReadFolder(root), a);
  EXPECT_FALSE(fs::exists(root + "/n1"));
  EXPECT_FALSE(fs::exists(root + "/" + kFolderChangeDir));
}

// A diff of a folder whose change was killed half renamed lists its files once the change is
// finished, not some from before it and some from after.
TEST_F(Folders, ADiffOfAFolderLeftHalfRenamedSeesItFinished) {
  class DiesAtSecondRename : public Files {
   public:
    int Rename(const std::string& from, const std::string& to) override {
      if (++renames_ == 2) _exit(0);
      return Files::Rename(from, to);
    }

   private:
    int renames_ = 0;
  };
  Random r(15);
  const Folder a{{"a.atb", RandomChangeFile(r, 200)}, {"z.atb", RandomChangeFile(r, 200)}};
  Folder b = a;
  b["a.atb"] = Changed(r, a.at("a.atb"), dir_ / "scratch.atb");
  b["n/x.atb"] = RandomChangeFile(r, 100);
  b["z.atb"] = Changed(r, a.at("z.atb"), dir_ / "scratch.atb");
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  const std::string text = Diff(dir_ / "a", dir_ / "b").out;
  FolderPatch patch;
  ASSERT_TRUE(ParseFolderPatch(text, KeyNames(), &patch).ok());
  const std::string root = dir_ / "t";
  WriteFolder(root, a);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    DiesAtSecondRename files;
    PatchOutcome outcome;
    ApplyFolderPatches(files, root, {patch}, KeyNames(), false, false, &outcome);
    _exit(1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "did not die where meant";
  ASSERT_FALSE(fs::exists(root + "/n/x.atb"));
  const Ran diff = Diff(dir_ / "a", root);
  EXPECT_EQ(diff.status, 1) << diff.err;
  EXPECT_EQ(diff.out, text);
  EXPECT_EQ(ReadFolder(root), b);
}

// A change over a folder on the way to a file, or above the folder, begun beside this one after
// it checked its files: each would stage its own copy of a file and one rename would undo the
// other, so this one is refused, nothing changed.
TEST_F(Folders, AChangeBesideAnotherAboveOrBelowIsRefused) {
  class Beside : public Files {
   public:
    explicit Beside(std::string other) : other_(std::move(other)) {}
    ~Beside() override {
      if (fd_ != -1) Files::Close(fd_);
    }
    int MakeDirectory(const std::string& path, mode_t mode) override {
      if (fd_ == -1 && path.size() > 11 && path.substr(path.size() - 11) == kFolderChangeDir) {
        // The other change begins now, and is under way: its journal locked.
        fs::create_directory(other_);
        fd_ = Files::Open(other_ + "/journal", O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        EXPECT_EQ(Files::TryLockChanges(fd_, true), 0);
      }
      return Files::MakeDirectory(path, mode);
    }

   private:
    std::string other_;
    int fd_ = -1;
  };
  Random r(16);
  const Folder a{{"s/b.atb", RandomChangeFile(r, 200)}};
  const Folder b{{"s/b.atb", Changed(r, a.at("s/b.atb"), dir_ / "scratch.atb")}};
  WriteFolder(dir_ / "a", a);
  WriteFolder(dir_ / "b", b);
  FolderPatch outer, inner;
  ASSERT_TRUE(ParseFolderPatch(Diff(dir_ / "a", dir_ / "b").out, KeyNames(), &outer).ok());
  ASSERT_TRUE(ParseFolderPatch(Diff(dir_ / "a/s", dir_ / "b/s").out, KeyNames(), &inner).ok());
  const std::string root = dir_ / "t", below = root + "/s/" + kFolderChangeDir,
                    above = root + "/" + kFolderChangeDir;
  for (const bool nested : {true, false}) {
    WriteFolder(root, a);
    PatchOutcome outcome;
    Status s;
    {
      Beside files(nested ? below : above);
      s = nested
              ? ApplyFolderPatches(files, root, {outer}, KeyNames(), false, false, &outcome)
              : ApplyFolderPatches(files, root + "/s", {inner}, KeyNames(), false, false, &outcome);
    }
    EXPECT_FALSE(s.ok()) << nested;
    EXPECT_NE(s.Message().find("is under way or was interrupted beside"), std::string::npos)
        << s.Message();
    fs::remove_all(nested ? below : above);
    EXPECT_EQ(ReadFolder(root), a) << nested;
    EXPECT_FALSE(fs::exists(nested ? above : below)) << nested;
  }
}

}  // namespace
}  // namespace atb
