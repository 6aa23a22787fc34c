#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "atb/file.h"
#include "atb/system.h"
#include "frontend/command_line.h"
#include "frontend/prompt_loop.h"

int main(int argc, char** argv) {
  const atb::CommandLine line = atb::ParseCommandLine(argc, argv);
  switch (line.action) {
    case atb::CommandLine::kHelp:
      std::fputs(atb::kUsage, stdout);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case atb::CommandLine::kVersion:
      std::printf("atb %s\n", atb::kVersion);
      return std::fflush(stdout) == 0 ? 0 : 1;
    case atb::CommandLine::kBadUsage:
      std::fprintf(stderr, "atb: %s\nRun atb --help for usage.\n", line.error.c_str());
      return 2;
    case atb::CommandLine::kDialogue:
      break;
  }
  // A console that goes away must not end a change half made; the journal would finish it, but
  // the change would not be said.
  if (!atb::IgnoreBrokenPipe()) std::perror("atb: SIGPIPE cannot be ignored");
  if (!atb::IgnoreFileSizeSignal()) std::perror("atb: SIGXFSZ cannot be ignored");
  // ATB_SYNC=0: changes are not flushed, for callers who make their own guarantees.
  const char* sync = std::getenv("ATB_SYNC");
  atb::SetDurableChanges(sync == nullptr || std::strcmp(sync, "0") != 0);
  std::ios::sync_with_stdio(false);
  atb::Console console(std::cin, std::cout, std::cerr, /*standard=*/true);
  atb::WaitPolicy wait;
  if (const auto bound = atb::StallBoundOf(std::getenv("ATB_WAIT"))) wait.stallMs = *bound;
  wait.say = [&console](const std::string& file, const std::string& message) {
    console.Explain(file, message);
  };
  atb::SetWaitPolicy(wait);
  return atb::RunPromptLoop(console, atb::SystemFiles(), atb::CurrentDirectory(), line.file);
}
