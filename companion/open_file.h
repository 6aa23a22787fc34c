// An attribute file opened for one atbutil command, through the one open both programs share.
#pragma once

#include <cstdio>
#include <string>

#include "change/open.h"
#include "platform/files.h"
#include "store/atb_file.h"

namespace atb {

// How a command ends: its exit status, with its message for the error stream.
struct Outcome {
  int status;
  std::string message;
  bool damaged = false;  // the file is damaged, as opposed to refused or unreadable
};

class OpenFile {
 public:
  enum Mode { kRead, kCheck, kEdit };

  explicit OpenFile(Files& files) : open_(files) {}

  // Opens `path`: for editing, locked against other editors; for reading, keeping changes out
  // until the command is done. Says so on `err` when it finished an interrupted change. Status 0
  // when open, 1 when refused (damaged, locked, read-only, not a regular file, an interrupted
  // change that cannot be finished), 2 when the system failed.
  Outcome Open(const std::string& path, Mode mode, std::FILE* err);
  // Closing reports a write error that some file systems defer until then.
  Outcome Close();

  AtbFile& file() { return open_.file(); }
  ChangeTarget& target() { return open_.target(); }
  Files& files() { return open_.files(); }
  int fd() const { return open_.fd(); }
  int64_t length() const { return open_.length(); }
  const std::string& path() const { return path_; }
  bool recovered() const { return recovered_; }
  bool interrupted() const { return open_.interrupted(); }

 private:
  AttributeFile open_;
  std::string path_;
  bool recovered_ = false;
};

}  // namespace atb
