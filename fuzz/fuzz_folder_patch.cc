// Patches over a folder from the fuzzer applied to a fixed folder of three files (one in a
// subfolder, one beside a file that is not ours): nothing crashes; a refused apply leaves every
// file byte for byte as it was and no staging folder; an accepted one leaves every file sound
// but where the patch marks a new file damaged, and no staging folder.
#include <filesystem>
#include <map>

#include "atbutil/commands.h"
#include "change/folder_change.h"
#include "fuzz/command_target.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/unflushed.h"
#include "tests/test_util.h"

using namespace atb;
namespace fs = std::filesystem;

namespace {

std::map<std::string, build::Bytes> Snapshot(const std::string& root) {
  std::map<std::string, build::Bytes> files;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    if (it->is_regular_file()) files[it->path().string()] = build::ReadFile(it->path());
  }
  return files;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static fuzz::CommandTarget target;
  auto& [dir, names, quiet] = target;
  static const build::Bytes file = fuzz::SetTarget();
  const std::string root = dir / "folder", patch = dir / "p";
  fs::remove_all(root);
  fs::create_directories(root + "/sub");
  build::WriteFile(root + "/a.atb", file);
  build::WriteFile(root + "/sub/b.atb", file);
  build::WriteFile(root + "/sub/c.atb", file);
  build::WriteFile(root + "/notes.txt", "not ours");
  const auto before = Snapshot(root);
  const std::string text(reinterpret_cast<const char*>(data), size);
  build::WriteFile(patch, text);
  const int status = ApplyCommand(root, {patch}, false, names, stdin, quiet);
  if (fs::exists(root + "/" + kFolderChangeDir)) fuzz::Fail("a staging folder was left behind");
  const auto after = Snapshot(root);
  if (status != 0) {
    if (after != before) fuzz::Fail("refused, yet a file changed");
    return 0;
  }
  if (after.at(root + "/notes.txt") != "not ours") fuzz::Fail("a file that is not ours changed");
  if (text.find("damaged") != std::string::npos) return 0;
  for (const auto& [path, bytes] : after) {
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".atb") == 0 &&
        !testing::FileIsSound(bytes)) {
      fuzz::Fail("accepted, yet a file is damaged");
    }
  }
  return 0;
}
