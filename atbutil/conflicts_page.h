// conflicts --html: what the mods do to each entry as one self-contained page to read in a
// browser, with nothing fetched from anywhere.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "atb/patches.h"

namespace atb {

// A page whose one table has a row per entry (its file, path, BASE's value, each mod's value in
// load order, the winner and the kind), the winner's edit and the edits that do not stand marked
// by a symbol and a word. `#conflicts`, or its checkbox, shows only the conflicts. The same
// arguments give the same bytes.
std::string ConflictsPage(const std::string& base, const std::vector<std::string>& mods,
                          const std::vector<std::pair<std::string, ModEntry>>& entries);

}  // namespace atb
