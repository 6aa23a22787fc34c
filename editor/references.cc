// Moving the bytes of an entry between the attribute file and a side file in the start-up
// directory, named by the entry's key in decimal.
#include <algorithm>
#include <cerrno>
#include <cstring>
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
  OpenRefusal why;
  const int fd = OpenSideFileForWriting(files, state.startDir + "/" + name, &why);
  std::string reason = fd == -1 ? DescribeRefusal(why, errno) : std::string();
  // Truncating the open attribute file through another name would destroy it.
  if (fd != -1 && SameFile(files, fd, state.fileHandle)) reason = "is the file being edited";
  if (reason.empty() && files.Truncate(fd, 0) != 0) reason = std::strerror(errno);
  if (reason.empty()) {
    AtbFile file(files, state.fileHandle);
    AtbFile side(files, fd);
    const int64_t start = list.ExtentStart(j);
    const int64_t size = list.ExtentEnd(j) - start;
    Buffer chunk(static_cast<std::size_t>(std::min(std::max<int64_t>(size, 1), kCopyChunk)),
                 "Storage!=NULL");
    for (int64_t done = 0; done < size && reason.empty();) {
      const int64_t n = std::min(size - done, kCopyChunk);
      Status s = file.ReadAt(start + done, chunk.data(), static_cast<std::size_t>(n));
      if (!Reported(state, s, Doing::kReading)) break;
      s = side.WriteAt(done, chunk.data(), static_cast<std::size_t>(n));
      if (!s.ok()) reason = s.Message();
      done += n;
    }
    // What a failed rip leaves behind must never pass for a whole extent.
    if (!reason.empty() || state.stop != Stop::kNone) files.Truncate(fd, 0);
  }
  if (fd != -1 && files.Close(fd) == -1 && reason.empty()) reason = std::strerror(errno);
  if (!reason.empty() && state.stop == Stop::kNone) {
    state.console.Printf("\ncan't write side file %s", name.c_str());
    state.console.Explain(name, reason);
  }
}

bool AddReference(EditState& state) {
  state.console.Write("ID of reference to add?");
  if (!ReadAnswer(state)) return false;
  const std::string sideName = state.inputLine;
  const uint32_t newKey = ParseKey(sideName);
  Files& files = state.files;
  AtbFile file(files, state.fileHandle);

  // The side file is read whole and checked before the attribute file is touched.
  OpenRefusal why;
  const int fd = OpenForReading(files, state.startDir + "/" + sideName, &why);
  if (fd == -1) {
    const int err = errno;
    state.console.Write("\nfile not found");
    state.console.Explain(sideName, DescribeRefusal(why, err));
    return false;
  }
  int64_t length;
  Status s = file.Length(&length);
  struct stat st;
  int readError = files.Stat(fd, &st) == 0 ? 0 : errno;
  if (readError == 0 && s.ok() && length + ENTRY_SIZE + st.st_size > MAX_FILE_LENGTH) {
    files.Close(fd);
    state.console.Write("\nfile too large");
    return false;
  }
  std::size_t sideSize = 0;
  Buffer sideBytes(readError == 0 ? static_cast<std::size_t>(st.st_size) : 0, "Storage!=NULL");
  if (readError == 0) {
    AtbFile side(files, fd);
    if (!side.ReadUpTo(0, sideBytes.data(), sideBytes.size(), &sideSize).ok()) {
      readError = errno != 0 ? errno : EIO;
    }
  }
  files.Close(fd);
  if (!Reported(state, s, Doing::kReading)) return false;
  if (readError != 0) {
    state.console.Write("\nfile not found");
    state.console.Explain(sideName, std::strerror(readError));
    return false;
  }
  MemorySource source(sideBytes.data(), sideSize);
  s = CheckTree(source, 0, static_cast<int64_t>(sideSize));
  if (!s.ok()) {
    state.console.Write("\nbad side file ");
    state.console.Write(sideName);
    state.console.Explain(sideName, s.Message());
    return false;
  }

  Change change;
  change.Insert(ChainTo(state, 0), newKey, static_cast<uint32_t>(EntryType::Reference),
                std::string(reinterpret_cast<const char*>(sideBytes.data()), sideSize));
  if (!MakeChange(state, change)) return state.stop != Stop::kNone;
  state.grew = true;
  state.growth = static_cast<int32_t>(sideSize + ENTRY_SIZE);
  return true;
}

}  // namespace atb
