// Finds a file by its bare name anywhere below a directory.
#pragma once

#include <string>

#include "frontend/edit_state.h"

namespace atb {

// Searches `directory` depth first, in the system's enumeration order, for an entry named
// exactly `name`. A subdirectory's subtree is searched at its place in that order, before its
// own name is compared; symlinks are compared by name but never followed, and a directory that
// cannot be enumerated is skipped. The first match leaves its full path in state.foundPath and
// sets state.found; a miss leaves both as they were. Prints nothing.
void FindFileInTree(EditState& state, const std::string& name, const std::string& directory);

}  // namespace atb
