// Paths and values from the fuzzer handed to `atbutil set` (and `get`) against a fixed random
// file: nothing crashes; a refused set leaves the file byte for byte as it was; an accepted one
// leaves it sound. The input is PATH, VALUE, PATH, VALUE, ... separated by zero bytes.
#include <cstdio>
#include <cstdlib>

#include "atbutil/commands.h"
#include "fuzz/command_target.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/unflushed.h"
#include "tests/test_util.h"

using namespace atb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::CommandTarget target;
  auto& [dir, names, quiet] = target;
  static const build::Bytes file = fuzz::SetTarget();
  const std::string path = dir / "f.atb";
  std::vector<std::string> args = fuzz::SplitArguments(data, size, 16);
  build::WriteFile(path, file);
  for (std::size_t i = 0; i < args.size(); i += 2) GetCommand(path, args[i], names, quiet, quiet);
  if (args.size() % 2 != 0) args.pop_back();
  if (args.empty()) return 0;
  const int status = SetCommand(path, args, names, quiet);
  const build::Bytes after = build::ReadFile(path);
  if (status != 0 && after != file) fuzz::Fail("refused, yet the file changed");
  if (status == 0 && !testing::FileIsSound(after)) fuzz::Fail("accepted, yet the file is damaged");
  return 0;
}
