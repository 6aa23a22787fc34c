// Directory enumeration, one level at a time, in the system's own order.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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

  // Reads the entries not yet returned into memory and closes the directory, so that it holds no
  // descriptor; Next goes on from memory. Children can be opened again once ReopenAsParentOf
  // succeeds.
  void Release();
  bool released() const { return released_; }
  // Opens a released directory again as `child`'s "..": false when that is no longer this
  // directory (it was moved) or cannot be opened.
  bool ReopenAsParentOf(const DirEnum& child);

 private:
  bool Adopt(int fd);
  DIR* dir_ = nullptr;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool released_ = false;
  std::vector<std::pair<std::string, DirEntryKind>> rest_;
  std::size_t restAt_ = 0;
};

// A depth-first walk's directories, from the one it started in down to the one it reads, each
// enumerated in the system's order, holding at most kOpenDirs descriptors however deep it goes:
// going deeper releases the highest open directory (DirEnum::Release), and climbing back opens
// it again through the child it is left by.
class DirWalk {
 public:
  static constexpr std::size_t kOpenDirs = 16;

  // False when `path` cannot be enumerated.
  bool Start(const std::string& path);
  // The next entry of the directory being read.
  bool Next(std::string* name, DirEntryKind* kind) { return levels_.back()->Next(name, kind); }
  // Goes down into the directory `name` that Next just returned; false, staying, when it cannot
  // be enumerated (nor can a subdirectory of a directory that was moved while it was released).
  bool Enter(const std::string& name);
  // Back up to the directory it was entered from.
  void Leave();
  // Directories entered below the start.
  std::size_t depth() const { return levels_.size() - 1; }

 private:
  std::vector<std::unique_ptr<DirEnum>> levels_;
  std::size_t released_ = 0;  // levels_[0, released_) hold no descriptor
};

// The process's current directory; empty when it cannot be read. No length limit.
std::string CurrentDirectory();

}  // namespace atb
