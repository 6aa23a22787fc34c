// Finds a file by its bare name anywhere below a directory.
#pragma once

#include <optional>
#include <string>

#include "atb/system.h"

namespace atb {

// Searches `directory` depth first, in the system's enumeration order, for an entry named
// exactly `name`. A subdirectory's subtree is searched at its place in that order, before its
// own name is compared; symlinks are compared by name but never followed, and a directory that
// cannot be enumerated is skipped. Answers the full path of the first match, or nothing.
// Directories are listed through `files`.
std::optional<std::string> FindFileInTree(const std::string& name, const std::string& directory,
                                          Files& files = SystemFiles());

}  // namespace atb
