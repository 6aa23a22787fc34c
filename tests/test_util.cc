#include "tests/test_util.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "change/mark.h"
#include "frontend/prompt_loop.h"
#include "platform/console.h"
#include "store/table.h"

namespace atb::testing {

Ran Capture(const std::function<int(std::FILE*, std::FILE*)>& command) {
  char *outBuf = nullptr, *errBuf = nullptr;
  std::size_t outLen = 0, errLen = 0;
  std::FILE* out = open_memstream(&outBuf, &outLen);
  std::FILE* err = open_memstream(&errBuf, &errLen);
  const int status = command(out, err);
  std::fclose(out);
  std::fclose(err);
  Ran r{status, std::string(outBuf, outLen), std::string(errBuf, errLen)};
  std::free(outBuf);
  std::free(errBuf);
  return r;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/atb-test-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Outcome Shell(const std::string& command) {
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

Dialogue RunDialogue(const std::string& dir, const std::string& input, Files& files,
                     bool terminal) {
  std::istringstream in(input);
  std::ostringstream out, err;
  Console console(in, out, err);
  console.set_terminal(terminal);
  int status = RunPromptLoop(console, files, dir);
  return {status, out.str(), err.str()};
}

bool FileIsSound(const Bytes& file) {
  if (file.size() < static_cast<std::size_t>(MIN_FILE_LENGTH)) return false;
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  return CheckTree(source, ROOT_TABLE_OFFSET, static_cast<int64_t>(file.size())).ok();
}

void FaultyFiles::FailAt(Op op, int k, int err, bool shortWrite) {
  op_ = op;
  k_ = k;
  err_ = err;
  short_ = shortWrite;
}

bool FaultyFiles::Fail(Op op) {
  ++calls_[op];
  return op == op_ && calls_[op] == k_;
}

int FaultyFiles::Open(const std::string& path, int flags, mode_t mode) {
  if (Fail(kOpen)) return errno = err_, -1;
  return Files::Open(path, flags, mode);
}

ssize_t FaultyFiles::Read(int fd, void* buf, std::size_t n) {
  if (Fail(kRead)) return errno = err_, -1;
  return Files::Read(fd, buf, n);
}

ssize_t FaultyFiles::Write(int fd, const void* buf, std::size_t n) {
  if (diskFull_) return errno = ENOSPC, -1;
  if (Fail(kWrite)) {
    if (!short_) return errno = err_, -1;
    diskFull_ = true;
    // A disk fills up between blocks: what is written ends at a sector boundary.
    const int64_t pos = ::lseek(fd, 0, SEEK_CUR);
    const int64_t end = (pos + static_cast<int64_t>(n / 2)) / 512 * 512;
    if (end <= pos) return errno = ENOSPC, -1;
    return Files::Write(fd, buf, static_cast<std::size_t>(end - pos));
  }
  return Files::Write(fd, buf, n);
}

int64_t FaultyFiles::Seek(int fd, int64_t offset, int whence) {
  if (Fail(kSeek)) return errno = err_, -1;
  return Files::Seek(fd, offset, whence);
}

int FaultyFiles::Truncate(int fd, int64_t length) {
  if (Fail(kTruncate)) return errno = err_, -1;
  return Files::Truncate(fd, length);
}

int FaultyFiles::Close(int fd) {
  if (Fail(kClose)) {
    Files::Close(fd);
    return errno = err_, -1;
  }
  return Files::Close(fd);
}

int FaultyFiles::Sync(int fd) {
  if (Fail(kSync)) return errno = err_, -1;
  return Files::Sync(fd);
}

int FaultyFiles::SyncDirectory(const std::string& dir) {
  if (Fail(kSync)) return errno = err_, -1;
  return Files::SyncDirectory(dir);
}

int FaultyFiles::Allocate(int fd, int64_t offset, int64_t length, bool keepSize) {
  // A disk without room says so here, before anything is written.
  if (Fail(kAllocate)) return errno = short_ ? ENOSPC : err_, -1;
  return Files::Allocate(fd, offset, length, keepSize);
}

int FaultyFiles::Rename(const std::string& from, const std::string& to) {
  if (Fail(kRename)) return errno = err_, -1;
  return Files::Rename(from, to);
}

int FaultyFiles::SyncFileSystem(int fd) {
  if (Fail(kSync)) return errno = err_, -1;
  return Files::SyncFileSystem(fd);
}

// Counted with renames: both change a folder's names.
int FaultyFiles::Unlink(const std::string& path) {
  if (Fail(kRename)) return errno = err_, -1;
  return Files::Unlink(path);
}

int FaultyFiles::Link(int fd, const std::string& path) {
  if (Fail(kRename)) return errno = err_, -1;
  return Files::Link(fd, path);
}

int DyingFiles::Open(const std::string& path, int flags, mode_t mode) {
  return dead_ ? (errno = EIO, -1) : Files::Open(path, flags, mode);
}

ssize_t DyingFiles::Read(int fd, void* buf, std::size_t n) {
  return dead_ ? (errno = EIO, -1) : Files::Read(fd, buf, n);
}

int64_t DyingFiles::Seek(int fd, int64_t offset, int whence) {
  return dead_ ? (errno = EIO, -1) : Files::Seek(fd, offset, whence);
}

ssize_t DyingFiles::Write(int fd, const void* buf, std::size_t n) {
  if (dead_) return errno = EIO, -1;
  if (++writes_ != k_) return Files::Write(fd, buf, n);
  dead_ = true;
  if (landing_ == kWhole) Files::Write(fd, buf, n);
  if (landing_ == kCut) {
    // A write is cut between sectors: the system copies it in pages, and a disk writes sectors
    // whole.
    const int64_t pos = ::lseek(fd, 0, SEEK_CUR);
    const int64_t first = (pos / 512 + 1) * 512, end = pos + static_cast<int64_t>(n);
    if (first < end) {
      const int64_t boundaries = (end - 1 - first) / 512 + 1;
      const int64_t cut = first + 512 * static_cast<int64_t>(seed_ % boundaries);
      Files::Write(fd, buf, static_cast<std::size_t>(cut - pos));
    }
  }
  return errno = EIO, -1;
}

int DyingFiles::Truncate(int fd, int64_t length) {
  if (dead_) return errno = EIO, -1;
  if (++writes_ != k_) return Files::Truncate(fd, length);
  dead_ = true;
  if (landing_ != kNone) Files::Truncate(fd, length);
  return errno = EIO, -1;
}

int DyingFiles::Close(int fd) {
  Files::Close(fd);  // the system closes a dead process's files
  return dead_ ? (errno = EIO, -1) : 0;
}

int DyingFiles::Unlink(const std::string& path) {
  return dead_ ? (errno = EIO, -1) : Files::Unlink(path);
}

}  // namespace atb::testing

namespace atb::testing {

bool Marked(const Bytes& file) {
  return file.size() >= static_cast<std::size_t>(kMarkBytes) &&
         MarkIn(reinterpret_cast<const uint8_t*>(file.data())).marked;
}

}  // namespace atb::testing
