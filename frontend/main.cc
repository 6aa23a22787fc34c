#include <iostream>

#include "change/open.h"
#include "frontend/prompt_loop.h"
#include "platform/dirs.h"
#include "platform/signals.h"

int main() {
  atb::IgnoreBrokenPipe();
  atb::TakeDurabilityFromEnvironment();
  std::ios::sync_with_stdio(false);
  atb::Console console(std::cin, std::cout, std::cerr, /*standard=*/true);
  return atb::RunPromptLoop(console, atb::SystemFiles(), atb::CurrentDirectory());
}
