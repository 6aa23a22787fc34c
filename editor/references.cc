// Moving the bytes of an entry between the attribute file and a side file in the start-up
// directory, named by the entry's key in decimal.
#include <algorithm>
#include <string>

#include "editor/dialogue.h"
#include "store/coding.h"
#include "store/growth.h"
#include "store/table.h"

namespace atb {

namespace {

constexpr int64_t kCopyChunk = 4 << 20;

bool SameFile(Files& files, int a, int b) {
  struct stat sa, sb;
  if (files.Stat(a, &sa) == -1 || files.Stat(b, &sb) == -1) return true;  // cannot tell: refuse
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

void RipReference(EditState& state, Level& level) {
  state.console.Write("number of the reference to rip?");
  if (!ReadAnswer(state)) return;
  const int32_t j = ParseNumber(state.inputLine);
  const EntryList& list = level.list;
  if (j < 0 || static_cast<uint32_t>(j) >= list.count) {
    state.console.Write(kRefused);
    return;
  }
  const std::string name = std::to_string(list.ID[j]);
  Files& files = state.files;
  const int fd = OpenSideFileForWriting(files, state.startDir + "/" + name);
  // Truncating the open attribute file through another name would destroy it.
  bool written = fd != -1 && !SameFile(files, fd, state.fileHandle) && files.Truncate(fd, 0) == 0;
  if (written) {
    AtbFile file(files, state.fileHandle);
    AtbFile side(files, fd);
    const int64_t start = list.ExtentStart(j);
    const int64_t size = list.ExtentEnd(j) - start;
    Buffer Storage(static_cast<std::size_t>(std::min(std::max<int64_t>(size, 1), kCopyChunk)),
                   "Storage!=NULL");
    for (int64_t done = 0; done < size && written;) {
      const int64_t n = std::min(size - done, kCopyChunk);
      Status s = file.ReadAt(start + done, Storage.data(), static_cast<std::size_t>(n));
      if (!Reported(state, s, Doing::kReading)) break;
      written = side.WriteAt(done, Storage.data(), static_cast<std::size_t>(n)).ok();
      done += n;
    }
    // What a failed rip leaves behind must never pass for a whole extent.
    if (!written || state.stop != Stop::kNone) files.Truncate(fd, 0);
  }
  if (fd != -1 && files.Close(fd) == -1) written = false;
  if (!written && state.stop == Stop::kNone) {
    state.console.Printf("\ncan't write side file %s", name.c_str());
  }
}

bool AddReference(EditState& state, Level& level) {
  state.console.Write("ID of reference to add?");
  if (!ReadAnswer(state)) return false;
  const std::string VS = state.inputLine;
  const uint32_t NewRefID = ParseKey(VS);
  Files& files = state.files;
  AtbFile file(files, state.fileHandle);

  // The side file is read whole and checked before the attribute file is touched.
  const int fd = OpenForReading(files, state.startDir + "/" + VS);
  if (fd == -1) {
    state.console.Write("\nfile not found");
    return false;
  }
  int64_t length;
  Status s = file.Length(&length);
  struct stat st;
  bool readable = files.Stat(fd, &st) == 0;
  if (readable && s.ok() && length + ENTRY_SIZE + st.st_size > MAX_FILE_LENGTH) {
    files.Close(fd);
    state.console.Write("\nfile too large");
    return false;
  }
  std::size_t S = 0;
  Buffer Storage(readable ? static_cast<std::size_t>(st.st_size) : 0, "Storage!=NULL");
  if (readable) {
    AtbFile side(files, fd);
    readable = side.ReadUpTo(0, Storage.data(), Storage.size(), &S).ok();
  }
  files.Close(fd);
  if (!Reported(state, s, Doing::kReading)) return false;
  if (!readable) {
    state.console.Write("\nfile not found");
    return false;
  }
  MemorySource source(Storage.data(), S);
  if (!CheckTree(source, 0, static_cast<int64_t>(S)).ok()) {
    state.console.Write("\nbad side file ");
    state.console.Write(VS);
    return false;
  }

  EntryList& list = level.list;
  const int64_t T = level.offset;
  const uint32_t n = list.count;
  uint32_t k = 0;
  while (k < n && list.ID[k] <= NewRefID) ++k;
  const int64_t P = list.Off[k];
  const auto size = static_cast<int64_t>(S);

  state.holdSignals.emplace();
  // The new entry goes in at index k. The data area moves with it, so the other entries' Off
  // stay valid, and the new entry's Off, measured from the old data area, is also right from
  // the new one. The value goes where entry k's value started, now 12 bytes later.
  // Both gaps open in one pass, so the tail moves once: 12 bytes for the entry at index k, and
  // the value's bytes where entry k's value started.
  const Gap gaps[] = {{EntryPos(T, k), ENTRY_SIZE}, {P, size}};
  s = InsertGaps(file, gaps, 2);
  if (s.ok()) {
    uint8_t entry[ENTRY_SIZE];
    EncodeFixed32(entry, NewRefID);
    EncodeFixed32(entry + 4, static_cast<uint32_t>(EntryType::Reference));
    EncodeFixed32(entry + 8, static_cast<uint32_t>(P - DataStart(T, n)));
    s = file.WriteAt(EntryPos(T, k), entry, sizeof entry);
  }
  if (s.ok()) s = file.WriteAt(P + ENTRY_SIZE, Storage.data(), S);
  if (s.ok())
    s = ShiftEntryOffsets(file, T + ENTRY_SIZE * (n + 1), n - k, static_cast<int32_t>(size));
  if (s.ok()) s = file.WriteFixed32(T, n + 1);
  if (s.ok()) s = RewriteHeaderSizes(file);
  if (!Reported(state, s, Doing::kChanging)) return true;
  state.grew = true;
  state.growth = static_cast<int32_t>(size + ENTRY_SIZE);
  return true;
}

}  // namespace atb
