// Shared by the tests: temporary directories, the in-process dialogue, the dialogue's fixed
// texts, a file layer that fails on request, and the whole-file soundness check.
#pragma once

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>

#include "platform/files.h"
#include "tests/atb_builder.h"

namespace atb::testing {

// What a command run in-process came to: its exit status and what it wrote to `out` and `err`.
struct Ran {
  int status;
  std::string out, err;
};
Ran Capture(const std::function<int(std::FILE* out, std::FILE* err)>& command);

using build::Bytes;

// Built with AddressSanitizer: long sweeps run a smaller share there.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

struct Dialogue {
  int status;
  std::string out;
  std::string err;  // the reasons behind refusals
};

// A shell command line's exit status (-1 when it did not exit) and standard output.
struct Outcome {
  int status;
  std::string out;
};
Outcome Shell(const std::string& command);

// Runs the whole tool in-process on `input`, started in `dir`; `terminal` makes it write as to a
// terminal.
Dialogue RunDialogue(const std::string& dir, const std::string& input, Files& files = SystemFiles(),
                     bool terminal = false);

// True when `s` is ok; its message, for the failure's report, in *why either way.
inline bool OkElseWhy(const Status& s, std::string* why) {
  *why = s.Message();
  return s.ok();
}

inline const std::string kPrompt = "type 'quit' to quit\nfile to edit? (including'.atb')";
inline const std::string kStart = std::string("ATB2.11 by the atb-edit authors\n") + kPrompt;
inline const std::string kMenu =
    "\ncommands:\n edit anyone (enter number)\n goto parent/quit 999\n add reference 998\n"
    " rip reference 997\n";

// Every table of the file, nested ones included, passes the table checks.
bool FileIsSound(const Bytes& file);

// The file bears the mark of a change in flight.
bool Marked(const Bytes& file);

// Fails the k-th call (counting from 1) of one kind of operation, with `err`. A write chosen to
// fail can instead be made short: it writes about half its bytes, up to a sector boundary, and
// every later write fails with ENOSPC, as on a full disk.
class FaultyFiles : public Files {
 public:
  enum Op { kOpen, kRead, kWrite, kSeek, kTruncate, kClose, kSync, kAllocate, kRename, kOps };

  void FailAt(Op op, int k, int err = EIO, bool shortWrite = false);
  int Calls(Op op) const { return calls_[op]; }

  int Open(const std::string& path, int flags, mode_t mode) override;
  ssize_t Read(int fd, void* buf, std::size_t n) override;
  ssize_t Write(int fd, const void* buf, std::size_t n) override;
  int64_t Seek(int fd, int64_t offset, int whence) override;
  ssize_t ReadAt(int fd, void* buf, std::size_t n, int64_t pos) override {
    return SeekAndRead(fd, buf, n, pos);
  }
  ssize_t WriteAt(int fd, const void* buf, std::size_t n, int64_t pos) override {
    return SeekAndWrite(fd, buf, n, pos);
  }
  int Truncate(int fd, int64_t length) override;
  int Close(int fd) override;
  int Sync(int fd) override;
  int SyncDirectory(const std::string& dir) override;
  int SyncFileSystem(int fd) override;
  int Allocate(int fd, int64_t offset, int64_t length, bool keepSize) override;
  int Rename(const std::string& from, const std::string& to) override;
  int Unlink(const std::string& path) override;
  int Link(int fd, const std::string& path) override;

 private:
  bool Fail(Op op);
  int calls_[kOps] = {};
  Op op_ = kOps;
  int k_ = 0;
  int err_ = EIO;
  bool short_ = false;
  bool diskFull_ = false;
};

// The file layer of a process that dies at its k-th write or truncation: that call lands whole,
// cut short at a sector boundary chosen by `cutSeed`, or not at all, and nothing after it
// reaches a file. With k = 0 it never dies and only counts.
class DyingFiles : public Files {
 public:
  enum Landing { kWhole, kCut, kNone };
  DyingFiles(int k, Landing landing, uint32_t cutSeed) : k_(k), landing_(landing), seed_(cutSeed) {}

  int writes() const { return writes_; }
  bool dead() const { return dead_; }

  int Open(const std::string& path, int flags, mode_t mode) override;
  ssize_t Read(int fd, void* buf, std::size_t n) override;
  int64_t Seek(int fd, int64_t offset, int whence) override;
  ssize_t Write(int fd, const void* buf, std::size_t n) override;
  ssize_t ReadAt(int fd, void* buf, std::size_t n, int64_t pos) override {
    return SeekAndRead(fd, buf, n, pos);
  }
  ssize_t WriteAt(int fd, const void* buf, std::size_t n, int64_t pos) override {
    return SeekAndWrite(fd, buf, n, pos);
  }
  int Truncate(int fd, int64_t length) override;
  int Close(int fd) override;
  int Unlink(const std::string& path) override;

 private:
  int k_;
  Landing landing_;
  uint32_t seed_;
  int writes_ = 0;
  bool dead_ = false;
};

}  // namespace atb::testing

namespace atb::testing {

// Listing lines as the browser prints them: each begins with a line break.
inline std::string Listing(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& l : lines) out += "\n" + l;
  return out;
}

}  // namespace atb::testing
