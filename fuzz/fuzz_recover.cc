// An attribute file and a journal from the fuzzer, as a process that died in a change would
// leave them, then recovery: it never crashes; it either finishes the change and removes the
// journal, or refuses and changes neither the file nor the journal.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "change/journal.h"
#include "fuzz/fuzz_input.h"
#include "tests/test_util.h"

using namespace atb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static testing::TempDir dir;
  const std::string path = dir / "f.atb", journal = JournalPath(path);
  std::string file, record;
  fuzz::UnpackDialogue(data, size, &file, &record);
  build::WriteFile(path, file);
  build::WriteFile(journal, record);
  const int fd = SystemFiles().Open(path, O_RDWR, 0);
  AtbFile f(SystemFiles(), fd);
  ChangeTarget target{f, journal, false};
  bool recovered = false;
  Status s = RecoverChange(target, Finisher::kEditor, &recovered);
  SystemFiles().Close(fd);
  const bool journalLeft = access(journal.c_str(), F_OK) == 0;
  if (!s.ok()) {
    if (build::ReadFile(path) != file || !journalLeft || build::ReadFile(journal) != record) {
      std::fprintf(stderr, "refused, yet changed: %s\n", s.Message().c_str());
      std::abort();
    }
    unlink(journal.c_str());
    return 0;
  }
  if (!recovered || journalLeft) {
    std::fprintf(stderr, "finished, yet the journal is still there\n");
    std::abort();
  }
  return 0;
}
