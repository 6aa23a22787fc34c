// An attribute file opened for one atbutil command, with a change that a dying process left
// half made finished first.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "platform/files.h"
#include "store/atb_file.h"

namespace atb {

// How a command ends: its exit status, with its message for the error stream.
struct Outcome {
  int status;
  std::string message;
};

class OpenFile {
 public:
  enum Mode { kRead, kEdit };

  explicit OpenFile(Files& files) : files_(files) {}
  ~OpenFile();
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  // Opens `path`: for editing, locked against other instances; for reading, without a lock
  // unless an interrupted change has to be finished. Says so on `err` when it finished one.
  // Status 0 when open, 1 when refused (damaged, locked, read-only, not a regular file), 2 when
  // the system failed.
  Outcome Open(const std::string& path, Mode mode, std::FILE* err);
  // Closing reports a write error that some file systems defer until then.
  Outcome Close();

  AtbFile& file() { return *file_; }
  Files& files() { return files_; }
  int fd() const { return fd_; }
  int64_t length() const { return length_; }
  const std::string& path() const { return path_; }

 private:
  Files& files_;
  std::string path_;
  int fd_ = -1;
  std::unique_ptr<AtbFile> file_;
  int64_t length_ = 0;
};

}  // namespace atb
