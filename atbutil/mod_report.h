// How conflicts and combine show what mods do to an entry: one block of lines per entry for a
// terminal, or a JSON array. A folder's report is the entries of each of its files, each with the
// file's path.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "atb/patches.h"

namespace atb {

// "PATH: KIND, NAME wins" (FILE: first when `file` is given), then BASE's value and each mod's,
// one indented line each, names aligned.
std::string ModEntryBlock(const std::string& file, const ModEntry& entry);

// A JSON array: per entry its file, path, base (null where BASE lacks it), mods ({"mod", "value"}
// in load order), winner and kind.
std::string ModEntriesJson(const std::vector<std::pair<std::string, ModEntry>>& entries);

}  // namespace atb
