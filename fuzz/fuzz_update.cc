// Update steps from the fuzzer (SELECTOR, OP, VALUE, ... separated by zero bytes) against a fixed
// file: nothing crashes; a refused update leaves the file byte for byte as it was; an accepted one
// leaves it sound, and its dry run printed the patch that applies to the file as it was.
#include <cstdio>

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
  const std::string path = dir / "f.atb", copy = dir / "copy.atb", patch = dir / "p";
  const std::vector<std::string> words = fuzz::SplitArguments(data, size, 12);
  build::WriteFile(path, file);
  std::FILE* dry = std::fopen(patch.c_str(), "w");
  const int planned = UpdateCommand({path}, words, true, false, names, dry, quiet);
  std::fclose(dry);
  if (build::ReadFile(path) != file) fuzz::Fail("a dry run changed the file");
  const int status = UpdateCommand({path}, words, false, false, names, quiet, quiet);
  const build::Bytes after = build::ReadFile(path);
  if (status != planned) fuzz::Fail("the dry run and the update disagree");
  if (status != 0) {
    if (after != file) fuzz::Fail("refused, yet the file changed");
    return 0;
  }
  if (!testing::FileIsSound(after)) fuzz::Fail("accepted, yet the file is damaged");
  build::WriteFile(copy, file);
  if (!build::ReadFile(patch).empty()) {
    if (ApplyCommand(copy, {patch}, false, names, stdin, quiet) != 0 ||
        build::ReadFile(copy) != after) {
      fuzz::Fail("the dry run's patch does not make the update");
    }
  }
  return 0;
}
