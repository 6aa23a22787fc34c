#include "frontend/locator.h"

#include <vector>

#include "platform/dirs.h"

namespace atb {

std::optional<std::string> FindFileInTree(const std::string& name, const std::string& directory) {
  DirWalk walk;
  if (!walk.Start(directory)) return std::nullopt;
  // One path, cut back as the walk climbs; for each directory entered, where its path ends and
  // whether its own name is the one sought.
  struct Entered {
    std::size_t parentLength, ownLength;
    bool named;
  };
  std::vector<Entered> entered;
  std::string path = directory;
  // A directory of that name is compared after its own subtree, and wins over a match in it.
  auto found = [&]() -> std::string {
    for (const Entered& e : entered) {
      if (e.named) return path.substr(0, e.ownLength);
    }
    return path;
  };
  std::string entry;
  DirEntryKind kind;
  for (;;) {
    if (!walk.Next(&entry, &kind)) {
      if (entered.empty()) return std::nullopt;
      const Entered done = entered.back();
      entered.pop_back();
      walk.Leave();
      if (done.named) return path.substr(0, done.ownLength);
      path.resize(done.parentLength);
      continue;
    }
    if (entry == "." || entry == "..") continue;
    const bool isDir = kind == DirEntryKind::kDirectory;
    if (!isDir && entry != name) continue;  // the common case: nothing to build
    const std::size_t parentLength = path.size();
    path += '/';
    path += entry;
    if (isDir && walk.Enter(entry)) {
      entered.push_back({parentLength, path.size(), entry == name});
      continue;
    }
    if (entry == name) return found();
    path.resize(parentLength);
  }
}

}  // namespace atb
