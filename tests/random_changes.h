// Random changes of every kind for the crash and power-loss sweeps and the recovery fuzz target:
// each is made anew from a file's bytes, so that it can be made again and again.
#pragma once

#include <functional>
#include <vector>

#include "change/change.h"
#include "tests/random_files.h"

namespace atb::build {

using MakeChange = std::function<void(const Bytes& file, Change* change)>;

// A sound random file with a payload of `payload` bytes behind its tables, so that moves span
// several steps.
Bytes RandomChangeFile(Random& r, int payload = 700);

// For `file`: a longer text; a text emptied with another one grown; a reference and a float
// added; an entry of the root and one of another table taken out.
std::vector<MakeChange> RandomChanges(Random& r, const Bytes& file);

// A float whose four bytes straddle a sector boundary, and the change that writes it.
Bytes StraddlingFloatFile();
MakeChange StraddlingFloatChange();

}  // namespace atb::build
