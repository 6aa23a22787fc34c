// Mods from the fuzzer (patch texts separated by zero bytes, at most four) combined over a fixed
// file: nothing crashes; BASE never changes; a refusal prints no patch; a combined patch applies
// to BASE, and leaves it sound unless a mod marks damage.
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
  const std::string base = dir / "base.atb", combined = dir / "combined", copy = dir / "copy.atb";
  build::WriteFile(base, file);
  std::vector<std::string> mods;
  const std::vector<std::string> texts = fuzz::SplitArguments(data, size, 4);
  for (std::size_t m = 0; m < texts.size(); ++m) {
    mods.push_back(dir / ("mod" + std::to_string(m)));
    build::WriteFile(mods.back(), texts[m]);
  }
  std::FILE* out = std::fopen(combined.c_str(), "w");
  const int status = CombineCommand(base, mods, names, out, quiet);
  std::fclose(out);
  if (build::ReadFile(base) != file) fuzz::Fail("BASE changed");
  const build::Bytes patch = build::ReadFile(combined);
  if (status == 2) {
    if (!patch.empty()) fuzz::Fail("refused, yet a patch was printed");
    return 0;
  }
  if (patch.empty()) return 0;
  build::WriteFile(copy, file);
  if (ApplyCommand(copy, {combined}, false, names, stdin, quiet) != 0) {
    fuzz::Fail("the combined patch does not apply to BASE");
  }
  bool damage = false;
  for (const std::string& t : texts) damage = damage || t.find("damaged") != std::string::npos;
  if (!damage && !testing::FileIsSound(build::ReadFile(copy))) {
    fuzz::Fail("the combined patch leaves a damaged file");
  }
  return 0;
}
