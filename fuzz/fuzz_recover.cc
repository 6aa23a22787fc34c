// Recovery from what the fuzzer makes of a crash. Two kinds of input, by the first byte:
//  - even: an attribute file and a journal, as anything might leave them. Recovery never
//    crashes; it either finishes and removes the journal, or refuses and changes neither file.
//  - odd: a random change (a seed picks the file and the change), the power lost at a point and
//    in a way the input picks, then the file replaced by its copy from before or after the
//    change, or bytes that the change moved overwritten. Recovery gives exactly the file before
//    or after the change (or, once the file no longer bears the change's mark, leaves it as it
//    is), or refuses and changes neither file; it never makes anything else.
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>

#include "change/journal.h"
#include "change/mark.h"
#include "fuzz/fuzz_input.h"
#include "tests/memory_files.h"
#include "tests/random_changes.h"
#include "tests/test_util.h"

using namespace atb;
using testing::MemoryFiles;

namespace {

const std::string kPath = "/d/f.atb";
const std::string kJournal = JournalPath(kPath);

Status Recover(MemoryFiles& files) {
  const int fd = files.Open(kPath, O_RDWR, 0);
  PositionedFile file(files, fd);
  ChangeTarget target{file, kJournal, true};
  bool finished;
  Status s = RecoverChange(target, Finisher::kEditor, &finished);
  files.Close(fd);
  return s;
}

[[noreturn]] void Fail(const char* what, const Status& s) {
  std::fprintf(stderr, "%s: %s\n", what, s.Message().c_str());
  std::abort();
}

// Bytes of the input, read in turn; zeros once it is used up.
class Bytes {
 public:
  Bytes(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  uint8_t Next() { return at_ < size_ ? data_[at_++] : 0; }
  uint32_t Next32() {
    return Next() | Next() << 8 | Next() << 16 | static_cast<uint32_t>(Next()) << 24;
  }
  bool Bit() {
    if (bits_ == 0) {
      byte_ = Next();
      bits_ = 8;
    }
    --bits_;
    return (byte_ >> bits_) & 1;
  }

 private:
  const uint8_t* data_;
  std::size_t size_, at_ = 0;
  uint8_t byte_ = 0;
  int bits_ = 0;
};

void RawJournal(const uint8_t* data, std::size_t size) {
  std::string file, journal;
  fuzz::UnpackDialogue(data, size, &file, &journal);
  MemoryFiles files(MemoryFiles::Disk{{kPath, {file}}, {kJournal, {journal, 0, 0600}}});
  Status s = Recover(files);
  const bool journalLeft = files.Now().count(kJournal) != 0;
  if (!s.ok()) {
    if (files.Bytes(kPath) != file || !journalLeft || files.Bytes(kJournal) != journal) {
      Fail("refused, yet changed", s);
    }
  } else if (journalLeft) {
    Fail("finished, yet the journal is still there", s);
  }
}

void CrashThenReplace(Bytes& in) {
  build::Random r(in.Next32());
  const bool straddling = r.OneIn(8);
  const build::Bytes before =
      straddling ? build::StraddlingFloatFile() : build::RandomChangeFile(r);
  const std::vector<build::MakeChange> changes =
      straddling ? std::vector{build::StraddlingFloatChange()} : build::RandomChanges(r, before);
  MemoryFiles files(MemoryFiles::Disk{{kPath, {before}}});
  Change change;
  changes[in.Next() % changes.size()](before, &change);
  change.set_chunk_bytes(16 + in.Next());
  {
    const int fd = files.Open(kPath, O_RDWR, 0);
    PositionedFile file(files, fd);
    ChangeTarget target{file, kJournal, true};
    files.Record();
    Status s = change.Apply(target);
    files.Close(fd);
    if (!s.ok()) Fail("the change itself failed", s);
  }
  const build::Bytes after = files.Bytes(kPath);
  const std::size_t point = (in.Next() | in.Next() << 8) % (files.recorded() + 1);
  MemoryFiles::Disk state = files.Crash(point, [&] { return in.Bit(); });
  if (state.count(kJournal) == 0) return;
  MemoryFiles::File& crashed = state[kPath];
  std::vector<std::size_t> moved;
  for (std::size_t k = 0; k < crashed.bytes.size(); ++k) {
    if (k >= before.size() || crashed.bytes[k] != before[k]) moved.push_back(k);
  }
  const int replacement = in.Next() % 5;
  switch (replacement) {
    case 0:
      break;
    case 1:
      crashed.bytes = before;
      break;
    case 2:
      crashed.bytes = after;
      break;
    case 3:
      crashed = {before, 0, crashed.mode};  // rebuilt and renamed into place
      break;
    default:
      for (int n = 1 + in.Next() % 4; n > 0 && !moved.empty(); --n) {
        crashed.bytes[moved[in.Next32() % moved.size()]] = static_cast<char>(in.Next());
      }
  }
  const MemoryFiles::Disk replaced = state;
  MemoryFiles recovering(replaced);
  Status s = Recover(recovering);
  const build::Bytes now = recovering.Bytes(kPath);
  if (replacement == 0 && !s.ok()) Fail("a file as the crash left it was refused", s);
  if (s.ok()) {
    // A file without the mark is no longer in its change: what was written over it since is
    // the user's, and stays.
    const build::Bytes& left = replaced.at(kPath).bytes;
    const FileMark mark = MarkIn(reinterpret_cast<const uint8_t*>(
        (left.size() >= kMarkBytes ? left : std::string(kMarkBytes, '\0')).data()));
    const bool unmarked = !mark.marked && !mark.damaged;
    if (now != before && now != after && !(unmarked && now == left)) {
      Fail("recovered into neither before nor after", s);
    }
    if (recovering.Now().count(kJournal) != 0) Fail("finished, yet the journal is still there", s);
  } else if (now != replaced.at(kPath).bytes ||
             recovering.Bytes(kJournal) != replaced.at(kJournal).bytes) {
    Fail("refused, yet changed", s);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] % 2 == 0) {
    RawJournal(data + 1, size - 1);
  } else {
    Bytes in(data + 1, size - 1);
    CrashThenReplace(in);
  }
  return 0;
}
