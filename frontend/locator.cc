#include "frontend/locator.h"

#include <sys/stat.h>

#include <utility>
#include <vector>

namespace atb {

std::optional<std::string> FindFileInTree(const std::string& name, const std::string& directory,
                                          Files& files) {
  // One path, cut back as the walk climbs; for each directory entered, its entries as listed, the
  // next one to look at, where its path ends and whether its own name is the one sought. A listing
  // holds no descriptor, so the depth costs memory only.
  struct Entered {
    std::vector<DirectoryEntry> entries;
    std::size_t next = 0;
    std::size_t parentLength = 0, ownLength = 0;
    bool named = false;
  };
  std::vector<Entered> levels(1);
  if (files.ListDirectory(directory, &levels[0].entries, nullptr) == -1) return std::nullopt;
  std::string path = directory;
  // A directory of that name is compared after its own subtree, and wins over a match in it.
  auto found = [&]() -> std::string {
    for (std::size_t l = 1; l < levels.size(); ++l) {
      if (levels[l].named) return path.substr(0, levels[l].ownLength);
    }
    return path;
  };
  std::vector<DirectoryEntry> entries;
  for (;;) {
    Entered& level = levels.back();
    if (level.next == level.entries.size()) {
      if (levels.size() == 1) return std::nullopt;
      const bool named = level.named;
      const std::size_t parentLength = level.parentLength, ownLength = level.ownLength;
      levels.pop_back();
      if (named) return path.substr(0, ownLength);
      path.resize(parentLength);
      continue;
    }
    const DirectoryEntry& entry = level.entries[level.next++];
    const bool isDir = entry.kind == DirectoryEntry::kDirectory;
    const bool named = entry.name == name;
    if (!isDir && !named) continue;  // the common case: nothing to build
    const std::size_t parentLength = path.size();
    path += '/';
    path += entry.name;
    struct stat self;
    // Entered only while it is the directory its parent listed: one swapped for a symlink since
    // leads nowhere outside the tree.
    if (isDir && files.ListDirectory(path, &entries, &self) == 0 && self.st_dev == entry.device &&
        self.st_ino == entry.inode) {
      levels.push_back({std::move(entries), 0, parentLength, path.size(), named});
      entries = {};
      continue;
    }
    if (named) return found();
    path.resize(parentLength);
  }
}

}  // namespace atb
