// Start-up and the outer loop: ask for a file name, find it, open it, browse it, close it.
#pragma once

#include <optional>
#include <string>

#include "atb/system.h"

namespace atb {

inline constexpr const char* kBanner = "ATB" ATB_VERSION " by the atb-edit authors\n";

// Runs the whole dialogue on `console`, searching for files below `startDir`. With `firstFile`,
// that file is opened by its path first, as if its name had been typed at the file prompt and
// found. Returns the process's exit status: 1 when the console cannot be started, otherwise 0,
// after a line containing "quit" or at the end of input.
int RunPromptLoop(Console& console, Files& files, const std::string& startDir,
                  const std::optional<std::string>& firstFile = std::nullopt);

}  // namespace atb
