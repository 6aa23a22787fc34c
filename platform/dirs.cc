#include "platform/dirs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace atb {

namespace {
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
}

DirEnum::~DirEnum() {
  if (dir_ != nullptr) closedir(dir_);
}

bool DirEnum::Adopt(int fd) {
  if (fd == -1) return false;
  struct stat st;
  if (fstat(fd, &st) == -1 || (dir_ = fdopendir(fd)) == nullptr) {
    close(fd);
    return false;
  }
  device_ = st.st_dev;
  inode_ = st.st_ino;
  return true;
}

bool DirEnum::Open(const std::string& path) { return Adopt(open(path.c_str(), kDirFlags)); }

bool DirEnum::OpenChild(const DirEnum& parent, const std::string& name) {
  if (parent.dir_ == nullptr) return false;
  return Adopt(openat(dirfd(parent.dir_), name.c_str(), kDirFlags));
}

void DirEnum::Release() {
  if (released_ || dir_ == nullptr) return;
  std::string name;
  DirEntryKind kind;
  while (Next(&name, &kind)) rest_.emplace_back(std::move(name), kind);
  closedir(dir_);
  dir_ = nullptr;
  released_ = true;
}

bool DirEnum::ReopenAsParentOf(const DirEnum& child) {
  if (!released_ || dir_ != nullptr || child.dir_ == nullptr) return false;
  const int fd = openat(dirfd(child.dir_), "..", kDirFlags);
  struct stat st;
  if (fd == -1 || fstat(fd, &st) == -1 || st.st_dev != device_ || st.st_ino != inode_ ||
      (dir_ = fdopendir(fd)) == nullptr) {
    if (fd != -1) close(fd);
    return false;
  }
  return true;
}

bool DirEnum::Next(std::string* name, DirEntryKind* kind) {
  if (released_) {
    if (restAt_ == rest_.size()) return false;
    *name = std::move(rest_[restAt_].first);
    *kind = rest_[restAt_].second;
    ++restAt_;
    return true;
  }
  if (dir_ == nullptr) return false;
  errno = 0;
  struct dirent* e = readdir(dir_);
  if (e == nullptr) return false;
  name->assign(e->d_name);
  unsigned char type = e->d_type;
  if (type == DT_UNKNOWN) {
    struct stat st;
    if (fstatat(dirfd(dir_), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
    }
  }
  *kind = type == DT_DIR   ? DirEntryKind::kDirectory
          : type == DT_LNK ? DirEntryKind::kSymlink
                           : DirEntryKind::kOther;
  return true;
}

bool DirWalk::Start(const std::string& path) {
  levels_.clear();
  released_ = 0;
  levels_.push_back(std::make_unique<DirEnum>());
  return levels_.back()->Open(path);
}

bool DirWalk::Enter(const std::string& name) {
  auto child = std::make_unique<DirEnum>();
  if (!child->OpenChild(*levels_.back(), name)) return false;
  levels_.push_back(std::move(child));
  if (levels_.size() - released_ > kOpenDirs) levels_[released_++]->Release();
  return true;
}

void DirWalk::Leave() {
  const std::size_t parent = levels_.size() - 2;
  if (parent < released_) {
    // What is left of it was read when it was released; only its descriptor comes back, for
    // its subdirectories still to come.
    levels_[parent]->ReopenAsParentOf(*levels_.back());
    released_ = parent;
  }
  levels_.pop_back();
}

std::string CurrentDirectory() {
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) return std::string();
  std::string dir(cwd);
  free(cwd);
  return dir;
}

}  // namespace atb
