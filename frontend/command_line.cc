#include "frontend/command_line.h"

#include <string_view>

namespace atb {

const char kUsage[] =
    "Usage: atb [FILE]\n"
    "Edits an attribute file (.atb) in place, one table at a time, in a dialogue.\n"
    "\n"
    "Without FILE, it asks for a file name and finds that file below the current directory.\n"
    "With FILE, it opens that file by its path, as if its name had been typed and found, and\n"
    "then asks for the next one. Every change is written straight into the file.\n"
    "\n"
    "  --help     print this and exit\n"
    "  --version  print the version and exit\n"
    "  --         the next argument is FILE, even if it starts with -\n"
    "\n"
    "See man atb; atbutil works on whole files without the dialogue.\n";

CommandLine ParseCommandLine(int argc, const char* const* argv) {
  CommandLine line;
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!optionsEnd && arg == "--") {
      optionsEnd = true;
    } else if (!optionsEnd && (arg == "--help" || arg == "-h")) {
      return {CommandLine::kHelp, {}, {}};
    } else if (!optionsEnd && arg == "--version") {
      return {CommandLine::kVersion, {}, {}};
    } else if (!optionsEnd && arg.size() > 1 && arg[0] == '-') {
      return {CommandLine::kBadUsage, {}, "unknown option " + std::string(arg)};
    } else if (line.file) {
      return {CommandLine::kBadUsage, {}, "one FILE at most"};
    } else if (arg.empty()) {
      return {CommandLine::kBadUsage, {}, "an empty FILE"};
    } else {
      line.file = std::string(arg);
    }
  }
  return line;
}

}  // namespace atb
