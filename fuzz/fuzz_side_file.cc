// A side file from the fuzzer, added into a fixed valid file at depth 1 and at the root, then
// browsed; every command is checked (tests/dialogue_checker.h).
#include <cstdio>
#include <cstdlib>

#include "fuzz/unflushed.h"
#include "tests/dialogue_checker.h"
#include "tests/test_util.h"

using namespace atb;
using namespace atb::build;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testing::TempDir dir;
  static const Bytes file =
      EncodeFile({{RefEntry(5, {{FloatEntry(1, 1), TextEntry(2, "t"), NameEntry("nested")}}),
                   FloatEntry(9, 9)}});
  WriteFile(dir / "f.atb", file);
  WriteFile(dir / "7", Bytes(reinterpret_cast<const char*>(data), size));
  // Add below the root and at the root, then open the file again and walk into what was added.
  const std::string script =
      "f.atb\n0\n998\n7\n998\n7\nf.atb\n0\n0\n0\n999\n999\n999\n1\n0\n0\n999\n999\n999\n"
      "2\n0\n999\n999\n999\nquit\n";
  std::vector<std::string> violations = testing::CheckedDialogue(dir.path(), "f.atb", script);
  if (!violations.empty()) {
    std::fprintf(stderr, "violated: %s\n", violations[0].c_str());
    std::abort();
  }
  return 0;
}
