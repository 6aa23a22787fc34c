#include "frontend/locator.h"

#include "platform/dirs.h"

namespace atb {

namespace {

void Walk(EditState& state, const std::string& name, const std::string& directory,
          DirEnum& finder) {
  std::string entry;
  DirEntryKind kind;
  while (finder.Next(&entry, &kind)) {
    if (entry == "." || entry == "..") continue;
    const bool isDir = kind == DirEntryKind::kDirectory;
    if (!isDir && entry != name) continue;  // the common case: nothing to build
    const std::string Tmp = directory + "/" + entry;
    if (isDir) {
      DirEnum sub;
      if (sub.OpenChild(finder, entry)) Walk(state, name, Tmp, sub);
    }
    if (entry == name) {
      state.foundPath = Tmp;
      state.found = true;
    }
    if (state.found) return;
  }
}

}  // namespace

void FindFileInTree(EditState& state, const std::string& name, const std::string& directory) {
  DirEnum finder;
  if (finder.Open(directory)) Walk(state, name, directory, finder);
}

}  // namespace atb
