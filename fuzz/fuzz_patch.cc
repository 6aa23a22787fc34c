// Patch text from the fuzzer handed to `atbutil apply` against the fixed file of the set target:
// nothing crashes; a refused patch (or one that is no patch) leaves the file byte for byte as it
// was; an accepted one leaves a file whose root table is sound, whose header sizes follow its
// length, and whose tables are all sound unless the patch wrote one as raw bytes.
#include <cstdio>
#include <cstdlib>

#include "atbutil/commands.h"
#include "change/open.h"
#include "fuzz/command_target.h"
#include "fuzz/fuzz_input.h"
#include "store/coding.h"
#include "store/table.h"
#include "tests/test_util.h"

using namespace atb;
using fuzz::Fail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::CommandTarget target;
  auto& [dir, names, quiet] = target;
  static const build::Bytes file = fuzz::SetTarget();
  SetDurableChanges(false);
  const std::string path = dir / "f.atb", patch = dir / "p";
  const std::string text(reinterpret_cast<const char*>(data), size);
  build::WriteFile(path, file);
  build::WriteFile(patch, text);
  const int status = ApplyCommand(path, {patch}, false, names, stdin, quiet);
  const build::Bytes after = build::ReadFile(path);
  if (status != 0) {
    if (after != file) Fail("refused, yet the file changed");
    return 0;
  }
  MemorySource source(reinterpret_cast<const uint8_t*>(after.data()), after.size());
  EntryList root;
  const auto length = static_cast<int64_t>(after.size());
  if (!ReadTable(source, ROOT_TABLE_OFFSET, length, &root).ok())
    Fail("accepted, yet the root is damaged");
  const auto* p = reinterpret_cast<const uint8_t*>(after.data());
  if (DecodeFixed32(p + OUTER_SIZE_OFFSET) != OuterSizeFor(length) ||
      DecodeFixed32(p + ROOT_SIZE_OFFSET) != RootSizeFor(length)) {
    Fail("accepted, yet the header sizes do not follow the length");
  }
  // A sound file becomes a damaged one only where the patch marks the damage.
  if (testing::FileIsSound(file) && !testing::FileIsSound(after) &&
      text.find("damaged raw") == std::string::npos) {
    Fail("accepted, yet a table is damaged");
  }
  return 0;
}
