// A file written whole: a new file, or a regular file replaced only once the new one is complete,
// so that `path` is never seen half written and is left alone on failure. What a killed process
// was writing has no name, where the file system allows it, so it leaves nothing behind; where it
// does have one, the next output to that folder removes it.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/status.h"

namespace atb {

class OutputFile {
 public:
  // With `durable`, the file and its name are on the disk when Commit returns.
  OutputFile(Files& files, std::string path, bool durable);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Refused, with nothing written, when `path` names anything but a regular file (a symlink is
  // not followed), the open file `keep` (-1 for none), a file without any write permission bit
  // (even for a privileged user), one with several hard links, or a file that an editor holds.
  Status Open(int keep = -1);
  Status Write(std::string_view bytes);
  // Puts the file in place. A file it replaces keeps its mode, and its owner where the user may
  // set it; a new file gets the mode a plain create would.
  Status Commit();

 private:
  std::string BoundName();
  void RemoveStaleTemporaries();

  Files& files_;
  std::string path_;
  std::string dir_;
  bool durable_;
  int fd_ = -1;
  std::string temp_;   // the new file's name until Commit, when it has one
  int existing_ = -1;  // the file being replaced, locked against editors until it is
  struct stat existingStat_ = {};
  bool replacing_ = false;
};

// The name in its folder that the new file `st` describes gets while it is put in place: the only
// name under which a leftover of a killed process is known as one and removed.
std::string TemporaryNameOf(const struct stat& st);

// The whole of `bytes` as an OutputFile.
Status WriteWholeFile(Files& files, const std::string& path, std::string_view bytes, bool durable);

}  // namespace atb
