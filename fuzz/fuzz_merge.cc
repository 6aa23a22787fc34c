// Three files from the fuzzer handed to `atbutil merge BASE OURS THEIRS`: nothing crashes; when
// the merge fails OURS is byte for byte as it was; a merge of three sound files is sound; one left
// with conflicts is the one that --ours settles; and merging THEIRS into an OURS that is still
// BASE gives THEIRS byte for byte (when the header sizes of both follow their lengths: a change
// that keeps the length keeps them).
#include <cstdio>
#include <cstdlib>

#include "atbutil/commands.h"
#include "change/open.h"
#include "fuzz/command_target.h"
#include "fuzz/fuzz_input.h"
#include "store/coding.h"
#include "tests/test_util.h"

using namespace atb;
using fuzz::Fail;

namespace {

bool SizesFollow(const std::string& f) {
  if (f.size() < static_cast<std::size_t>(MIN_FILE_LENGTH)) return false;
  const auto* p = reinterpret_cast<const uint8_t*>(f.data());
  const auto length = static_cast<int64_t>(f.size());
  return DecodeFixed32(p + OUTER_SIZE_OFFSET) == OuterSizeFor(length) &&
         DecodeFixed32(p + ROOT_SIZE_OFFSET) == RootSizeFor(length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::CommandTarget target;
  auto& [dir, names, quiet] = target;
  SetDurableChanges(false);
  std::string base, ours, theirs;
  fuzz::UnpackThree(data, size, &base, &ours, &theirs);
  const std::string b = dir / "base.atb", o = dir / "ours.atb", t = dir / "theirs.atb";
  for (int round = 0; round < 2; ++round) {
    // The second round merges THEIRS into BASE itself.
    const std::string& mine = round == 0 ? ours : base;
    build::WriteFile(b, base);
    build::WriteFile(o, mine);
    build::WriteFile(t, theirs);
    const int status = MergeCommand(b, o, t, "", MergeSide::kNone, names, quiet);
    const build::Bytes after = build::ReadFile(o);
    if (status != 0 && status != 1) {
      if (after != mine) Fail("not merged, yet OURS changed");
      continue;
    }
    if (testing::FileIsSound(base) && testing::FileIsSound(mine) && testing::FileIsSound(theirs) &&
        !testing::FileIsSound(after)) {
      Fail("three sound files merged into a damaged one");
    }
    if (status == 1) {
      build::WriteFile(o, mine);
      if (MergeCommand(b, o, t, "", MergeSide::kOurs, names, quiet) != 0 ||
          build::ReadFile(o) != after) {
        Fail("a merge left with conflicts is not the merge that keeps ours at them");
      }
      continue;
    }
    if (round == 1 && SizesFollow(base) && SizesFollow(theirs) && after != theirs) {
      Fail("THEIRS merged into BASE is not THEIRS");
    }
  }
  return 0;
}
