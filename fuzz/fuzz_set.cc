// Paths and values from the fuzzer handed to `atbutil set` (and `get`) against a fixed random
// file: nothing crashes; a refused set leaves the file byte for byte as it was; an accepted one
// leaves it sound. The input is PATH, VALUE, PATH, VALUE, ... separated by zero bytes.
#include <cstdio>
#include <cstdlib>

#include "companion/commands.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/unflushed.h"
#include "tests/test_util.h"

using namespace atb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testing::TempDir dir;
  static const KeyNames names;
  static std::FILE* quiet = std::fopen("/dev/null", "w");
  static const build::Bytes file = fuzz::SetTarget();
  const std::string path = dir / "f.atb";
  std::vector<std::string> args;
  std::string input(reinterpret_cast<const char*>(data), size);
  for (std::size_t at = 0; at <= input.size() && args.size() < 16;) {
    std::size_t end = input.find('\0', at);
    if (end == std::string::npos) end = input.size();
    args.push_back(input.substr(at, end - at));
    at = end + 1;
  }
  build::WriteFile(path, file);
  for (std::size_t i = 0; i < args.size(); i += 2) GetCommand(path, args[i], names, quiet, quiet);
  if (args.size() % 2 != 0) args.pop_back();
  if (args.empty()) return 0;
  const int status = SetCommand(path, args, names, quiet);
  const build::Bytes after = build::ReadFile(path);
  if (status != 0 && after != file) {
    std::fprintf(stderr, "refused, yet the file changed\n");
    std::abort();
  }
  if (status == 0 && !testing::FileIsSound(after)) {
    std::fprintf(stderr, "accepted, yet the file is damaged\n");
    std::abort();
  }
  return 0;
}
