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
  dir_ = fdopendir(fd);
  if (dir_ == nullptr) {
    close(fd);
    return false;
  }
  return true;
}

bool DirEnum::Open(const std::string& path) { return Adopt(open(path.c_str(), kDirFlags)); }

bool DirEnum::OpenChild(const DirEnum& parent, const std::string& name) {
  return Adopt(openat(dirfd(parent.dir_), name.c_str(), kDirFlags));
}

bool DirEnum::Next(std::string* name, DirEntryKind* kind) {
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

std::string CurrentDirectory() {
  char* cwd = getcwd(nullptr, 0);
  if (cwd == nullptr) return std::string();
  std::string dir(cwd);
  free(cwd);
  return dir;
}

}  // namespace atb
