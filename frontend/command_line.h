// atb's command line: nothing for the dialogue as it always was, a file to open first, or a
// request for the usage or the version.
#pragma once

#include <optional>
#include <string>

namespace atb {

struct CommandLine {
  enum Action { kDialogue, kHelp, kVersion, kBadUsage };
  Action action = kDialogue;
  std::optional<std::string> file;  // opened by its path before the first prompt
  std::string error;                // for kBadUsage
};

CommandLine ParseCommandLine(int argc, const char* const* argv);

// What --help prints.
extern const char kUsage[];

}  // namespace atb
