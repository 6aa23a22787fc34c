// Directory enumeration, one level at a time, in the system's own order.
#pragma once

#include <dirent.h>

#include <string>

namespace atb {

enum class DirEntryKind { kDirectory, kSymlink, kOther };

class DirEnum {
 public:
  DirEnum() = default;
  ~DirEnum();
  DirEnum(const DirEnum&) = delete;
  DirEnum& operator=(const DirEnum&) = delete;

  // Starts enumerating the directory at `path`. False when it cannot be enumerated.
  bool Open(const std::string& path);
  // Starts enumerating the directory `name` inside the one that `parent` enumerates. A symlink
  // is never followed, so the walk stays inside the tree. False when it cannot be enumerated.
  bool OpenChild(const DirEnum& parent, const std::string& name);

  // The next entry, "." and ".." included. A symlink is reported as such, never as what it
  // points to. Costs no system call per entry where the file system reports entry kinds.
  bool Next(std::string* name, DirEntryKind* kind);

 private:
  bool Adopt(int fd);
  DIR* dir_ = nullptr;
};

// The process's current directory; empty when it cannot be read. No length limit.
std::string CurrentDirectory();

}  // namespace atb
