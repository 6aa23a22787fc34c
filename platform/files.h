// Low-level file handles. Files forwards each call to the system call of the same name; a test
// derives from it and overrides what it wants to fail. Every call answers -1 and sets errno on
// failure, like the system call.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace atb {

class Files {
 public:
  virtual ~Files() = default;

  virtual int Open(const std::string& path, int flags, mode_t mode);
  // Retries when interrupted by a signal; otherwise one system call.
  virtual ssize_t Read(int fd, void* buf, std::size_t n);
  virtual ssize_t Write(int fd, const void* buf, std::size_t n);
  virtual int64_t Seek(int fd, int64_t offset, int whence);
  virtual int Truncate(int fd, int64_t length);
  virtual int Stat(int fd, struct stat* st);
  // An exclusive advisory lock, refused at once when another open file holds one.
  virtual int Lock(int fd);
  virtual int Close(int fd);
  virtual int Unlink(const std::string& path);
};

// The process's real file system.
Files& SystemFiles();

// Why an open was refused.
enum class OpenRefusal {
  kNone,
  kSystem,      // the system refused it; errno says why
  kNotRegular,  // a directory, FIFO, device or socket: never read or written
  kReadOnly,    // no write permission bit at all
  kLocked,      // another instance holds it
};

// What to tell a user about a refused open: "not a regular file", "no write permission",
// "locked by another atb", or the system's text for `err`.
std::string DescribeRefusal(OpenRefusal why, int err);

// The three ways the tool opens a file. Each answers a handle, or -1 with *why (when given) set
// and errno set for kSystem. A path that names anything but a regular file (after following a
// final symlink) is refused, so nothing that is not a regular file is ever read or written.

// An existing attribute file, for reading and writing in place. Never created or truncated.
// Refused when the file has no write permission bit at all (even for a privileged user), and
// when another instance holds it open.
int OpenForEditing(Files& files, const std::string& path, OpenRefusal* why = nullptr);

// A side file for writing, created with read and write permission if missing; not truncated.
int OpenSideFileForWriting(Files& files, const std::string& path, OpenRefusal* why = nullptr);

// A side file, read-only.
int OpenForReading(Files& files, const std::string& path, OpenRefusal* why = nullptr);

// A new file that takes the place of `path` only once complete: written under a temporary name
// in the same directory, renamed over `path` by Commit, and removed if it never gets there. So
// `path` is never seen half written and is left alone on failure. Each call answers 0 or an
// errno.
class ReplacingFile {
 public:
  explicit ReplacingFile(std::string path) : path_(std::move(path)) {}
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  int Open();
  int Write(std::string_view bytes);
  // Flushes the bytes to the disk, gives the file the permissions a plain create would, and
  // renames it into place.
  int Commit();

 private:
  std::string path_;
  std::string temp_;
  int fd_ = -1;
};

// The whole of `bytes` as a ReplacingFile.
int ReplaceFile(const std::string& path, std::string_view bytes);

}  // namespace atb
