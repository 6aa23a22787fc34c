// JSON from the fuzzer handed to `atbutil build`: it never crashes, writes OUT only when it
// accepts the JSON, and what it accepts without calling a table damaged is a sound file.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "atbutil/commands.h"
#include "fuzz/command_target.h"
#include "fuzz/unflushed.h"
#include "tests/test_util.h"

using namespace atb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::CommandTarget target;
  auto& [dir, names, quiet] = target;
  const std::string json(reinterpret_cast<const char*>(data), size);
  const std::string out = dir / "out.atb";
  unlink(out.c_str());
  build::WriteFile(dir / "in.json", json);
  const int status = BuildCommand(dir / "in.json", out, names, quiet, quiet);
  const bool written = access(out.c_str(), F_OK) == 0;
  if (status != 0) {
    if (written) {
      std::fprintf(stderr, "refused, yet OUT was written\n");
      std::abort();
    }
    return 0;
  }
  if (!written) std::abort();
  if (json.find("damaged") == std::string::npos && !testing::FileIsSound(build::ReadFile(out))) {
    std::fprintf(stderr, "accepted, yet built a damaged file\n");
    std::abort();
  }
  return 0;
}
