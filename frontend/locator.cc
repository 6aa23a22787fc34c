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
    if (kind == DirEntryKind::kDirectory) {
      DirEnum sub;
      std::string Tmp = directory + "/" + entry;
      if (sub.OpenChild(finder, entry)) Walk(state, name, Tmp, sub);
    }
    if (entry == name) {
      state.foundPath = directory + "/" + entry;
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
