// Finding a file by name in real directory trees.
#include "frontend/locator.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>

#include "tests/test_util.h"

namespace atb {
namespace {

class Locator : public ::testing::Test {
 protected:
  // The found path relative to the tree, or "" for a miss.
  std::string Find(const std::string& name) {
    std::optional<std::string> found = FindFileInTree(name, dir_.path());
    if (!found) return "";
    EXPECT_EQ(found->rfind(dir_.path() + "/", 0), 0u);
    return found->substr(dir_.path().size() + 1);
  }
  void Dir(const std::string& p) { ASSERT_EQ(mkdir((dir_ / p).c_str(), 0777), 0); }
  void File(const std::string& p) { build::WriteFile(dir_ / p, "x"); }

  // The names of a directory in the order the system enumerates them.
  std::vector<std::string> Order(const std::string& p) {
    std::vector<std::string> names;
    DIR* d = opendir((dir_ / p).c_str());
    while (struct dirent* e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
    return names;
  }

  testing::TempDir dir_;
};

TEST_F(Locator, FindsFilesAtAnyDepthByExactName) {
  File("top.atb");
  Dir("a");
  Dir("a/b");
  Dir("a/b/c");
  File("a/b/c/deep.atb");
  EXPECT_EQ(Find("top.atb"), "top.atb");
  EXPECT_EQ(Find("deep.atb"), "a/b/c/deep.atb");
  EXPECT_EQ(Find("Deep.atb"), "");
  EXPECT_EQ(Find(""), "");
  EXPECT_EQ(Find("c/deep.atb"), "");
  EXPECT_EQ(Find("."), "");
  EXPECT_EQ(Find(".."), "");
}

TEST_F(Locator, SubtreeIsSearchedBeforeItsOwnNameAndLaterEntries) {
  // A directory named like the file, holding such a file: its own path replaces the inner one.
  Dir("x.atb");
  File("x.atb/x.atb");
  EXPECT_EQ(Find("x.atb"), "x.atb");

  // A subdirectory holding f.atb and an f.atb beside it: whichever the system lists first wins.
  Dir("sub");
  File("sub/f.atb");
  File("f.atb");
  std::vector<std::string> order = Order(".");
  auto at = [&](const std::string& n) { return std::find(order.begin(), order.end(), n); };
  EXPECT_EQ(Find("f.atb"), at("sub") < at("f.atb") ? "sub/f.atb" : "f.atb");
}

TEST_F(Locator, SymlinksAreComparedButNeverFollowed) {
  Dir("loop");
  ASSERT_EQ(symlink("..", (dir_ / "loop/up").c_str()), 0);
  ASSERT_EQ(symlink(".", (dir_ / "loop/self").c_str()), 0);
  Dir("elsewhere");
  File("elsewhere/target.atb");
  ASSERT_EQ(symlink("../elsewhere", (dir_ / "loop/link").c_str()), 0);
  ASSERT_EQ(symlink("elsewhere/target.atb", (dir_ / "named.atb").c_str()), 0);
  EXPECT_EQ(Find("missing.atb"), "");  // ends despite the loops
  EXPECT_EQ(Find("named.atb"), "named.atb");
  EXPECT_EQ(Find("up"), "loop/up");
}

TEST_F(Locator, ADirectorySwappedForASymlinkAfterItWasListedIsNotEntered) {
  Dir("a");
  Dir("a/sub");
  Dir("outside");
  File("outside/target.atb");
  // Right after the walk lists "a", its "sub" becomes a symlink to a folder outside the tree.
  struct Swapping : Files {
    std::string top, sub, outside;
    bool swapped = false;
    int ListDirectory(const std::string& dir, std::vector<DirectoryEntry>* entries,
                      struct stat* self) override {
      const int listed = Files::ListDirectory(dir, entries, self);
      if (!swapped && dir == top) {
        swapped = rename(sub.c_str(), (sub + ".old").c_str()) == 0 &&
                  symlink(outside.c_str(), sub.c_str()) == 0;
      }
      return listed;
    }
  } swapping;
  swapping.top = dir_ / "a";
  swapping.sub = dir_ / "a/sub";
  swapping.outside = dir_ / "outside";
  EXPECT_EQ(FindFileInTree("target.atb", dir_ / "a", swapping), std::nullopt);
  EXPECT_TRUE(swapping.swapped);
  EXPECT_EQ(FindFileInTree("target.atb", dir_ / "outside", swapping), dir_ / "outside/target.atb");
}

// The tree below `dir` searched as the locator promises, by plain recursion.
std::optional<std::string> ReferenceFind(const std::string& name, const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return std::nullopt;
  std::vector<std::pair<std::string, bool>> entries;
  while (struct dirent* e = readdir(d)) entries.emplace_back(e->d_name, e->d_type == DT_DIR);
  closedir(d);
  for (const auto& [entry, isDir] : entries) {
    if (entry == "." || entry == "..") continue;
    std::optional<std::string> found;
    if (isDir) found = ReferenceFind(name, dir + "/" + entry);
    if (entry == name) found = dir + "/" + entry;
    if (found) return found;
  }
  return std::nullopt;
}

TEST_F(Locator, DeepTreesAreSearchedWholeUnderALowLimitOfOpenFiles) {
  // Two branches 120 deep, files and directories of the names sought spread along both.
  std::string a, b;
  for (int d = 0; d < 120; ++d) {
    a += (d == 0 ? "a" : "/a") + std::to_string(d % 3);
    b += d == 0 ? "b" : "/b";
    Dir(a);
    Dir(b);
    if (d % 17 == 5) File(a + "/f.atb");
    if (d % 23 == 9) File(b + "/f.atb");
    if (d == 60) Dir(b + "/g.atb");
    if (d == 90) File(b + "/g.atb");
  }
  File(a + "/deepest.atb");
  File(b + "/sibling.atb");
  // Each directory held open, as before, would need 122 descriptors.
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    const struct rlimit limit = {48, 48};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(3);
    for (const char* name : {"f.atb", "g.atb", "deepest.atb", "sibling.atb", "none.atb"}) {
      if (FindFileInTree(name, dir_.path()) != ReferenceFind(name, dir_.path())) _exit(1);
    }
    _exit(Find("deepest.atb") == a + "/deepest.atb" ? 0 : 2);
  }
  int status;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(Locator, UnreadableDirectoriesAreSkipped) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind this user";
  Dir("closed");
  File("closed/hidden.atb");
  chmod((dir_ / "closed").c_str(), 0);
  EXPECT_EQ(Find("hidden.atb"), "");
  EXPECT_EQ(Find("closed"), "closed");
  chmod((dir_ / "closed").c_str(), 0777);
}

}  // namespace
}  // namespace atb
