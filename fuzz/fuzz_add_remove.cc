// Arguments from the fuzzer handed to `atbutil add` (when the first is "add") or `atbutil
// remove` (otherwise) against the fixed file of the set target: nothing crashes; a refused
// command leaves the file byte for byte as it was; an accepted one leaves it sound, longer by at
// least an entry and a byte per add, shorter by at least an entry per remove. The input is the
// arguments separated by zero bytes.
#include <cstdio>
#include <cstdlib>

#include "atbutil/commands.h"
#include "fuzz/command_target.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/unflushed.h"
#include "store/layout.h"
#include "tests/test_util.h"

using namespace atb;
using fuzz::Fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::CommandTarget target;
  auto& [dir, names, quiet] = target;
  static const build::Bytes file = fuzz::SetTarget();
  const std::string path = dir / "f.atb";
  std::vector<std::string> args = fuzz::SplitArguments(data, size, 25);
  const bool add = args[0] == "add";
  args.erase(args.begin());
  build::WriteFile(path, file);
  const int status =
      add ? AddCommand(path, args, names, quiet) : RemoveCommand(path, args, names, quiet);
  const build::Bytes after = build::ReadFile(path);
  const auto grown = static_cast<int64_t>(after.size()) - static_cast<int64_t>(file.size());
  const auto n = static_cast<int64_t>(add ? args.size() / 3 : args.size());
  if (status != 0 && after != file) Fail("refused, yet the file changed");
  if (status == 0 && !testing::FileIsSound(after)) Fail("accepted, yet the file is damaged");
  if (status == 0 && add && grown < n * (ENTRY_SIZE + 1)) Fail("added, yet not grown enough");
  if (status == 0 && !add && grown > -n * ENTRY_SIZE) Fail("removed, yet not shrunk enough");
  return 0;
}
