#include "frontend/locator.h"

#include "platform/dirs.h"

namespace atb {

namespace {

std::optional<std::string> Walk(const std::string& name, const std::string& directory,
                                DirEnum& finder) {
  std::string entry;
  DirEntryKind kind;
  while (finder.Next(&entry, &kind)) {
    if (entry == "." || entry == "..") continue;
    const bool isDir = kind == DirEntryKind::kDirectory;
    if (!isDir && entry != name) continue;  // the common case: nothing to build
    const std::string entryPath = directory + "/" + entry;
    std::optional<std::string> found;
    if (isDir) {
      DirEnum sub;
      if (sub.OpenChild(finder, entry)) found = Walk(name, entryPath, sub);
    }
    // A directory of that name is compared after its own subtree, and wins over a match in it.
    if (entry == name) found = entryPath;
    if (found) return found;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> FindFileInTree(const std::string& name, const std::string& directory) {
  DirEnum finder;
  if (!finder.Open(directory)) return std::nullopt;
  return Walk(name, directory, finder);
}

}  // namespace atb
