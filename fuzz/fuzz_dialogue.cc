// An attribute file and a console script from the fuzzer; the whole dialogue runs in-process on
// a fresh copy, and every command is checked (tests/dialogue_checker.h).
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "fuzz/fuzz_input.h"
#include "fuzz/unflushed.h"
#include "tests/dialogue_checker.h"
#include "tests/test_util.h"

using namespace atb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testing::TempDir dir;
  std::string file, script;
  fuzz::UnpackDialogue(data, size, &file, &script);
  // Side files that earlier inputs ripped must not leak into this one.
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    std::filesystem::remove_all(e.path());
  }
  build::WriteFile(dir / "f.atb", file);
  build::WriteFile(dir / fuzz::kSideName,
                   build::EncodeTable({{build::FloatEntry(1, 1), build::NameEntry("side")}}));
  std::vector<std::string> violations =
      testing::CheckedDialogue(dir.path(), "f.atb", "f.atb\n" + script);
  if (!violations.empty()) {
    std::fprintf(stderr, "violated: %s\n", violations[0].c_str());
    std::abort();
  }
  return 0;
}
