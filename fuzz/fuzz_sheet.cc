// A sheet from the fuzzer read back against a fixed folder (a.atb and sub/b.atb): nothing
// crashes and no file changes; a refusal or no change prints nothing; a patch it prints applies
// to the folder and leaves every file sound.
#include <cstdio>
#include <filesystem>

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
  const std::string root = dir / "root", copy = dir / "copy", sheet = dir / "sheet.csv",
                    patch = dir / "p";
  std::filesystem::create_directories(root + "/sub");
  build::WriteFile(root + "/a.atb", file);
  build::WriteFile(root + "/sub/b.atb", file);
  build::WriteFile(sheet, std::string(reinterpret_cast<const char*>(data), size));
  std::FILE* out = std::fopen(patch.c_str(), "w");
  const int status = TablePatchCommand(sheet, {root}, names, stdin, out, quiet);
  std::fclose(out);
  if (build::ReadFile(root + "/a.atb") != file || build::ReadFile(root + "/sub/b.atb") != file) {
    fuzz::Fail("reading a sheet changed a file");
  }
  const build::Bytes printed = build::ReadFile(patch);
  if (status != 1) {
    if (!printed.empty()) fuzz::Fail("no change or a refusal, yet a patch was printed");
    return 0;
  }
  std::filesystem::remove_all(copy);
  std::filesystem::copy(root, copy, std::filesystem::copy_options::recursive);
  if (ApplyCommand(copy, {patch}, false, names, stdin, quiet) != 0) {
    fuzz::Fail("the sheet's patch does not apply to the files it was read against");
  }
  for (const char* name : {"/a.atb", "/sub/b.atb"}) {
    if (!testing::FileIsSound(build::ReadFile(copy + name)))
      fuzz::Fail("a patched file is damaged");
  }
  return 0;
}
