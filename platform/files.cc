#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace atb {

namespace {

template <typename Call>
auto Retrying(Call call) {
  decltype(call()) rc;
  do {
    rc = call();
  } while (rc == -1 && errno == EINTR);
  return rc;
}

// The change lock covers every byte a file can hold. Beyond them, each holder of a lock locks one
// byte more, at its process id past a base, so that a process waiting for it can tell whom it
// waits for: the change lock's holders with the lock's own kind, the editing lock's with a
// shared one.
constexpr off_t kLockedBytes = off_t{1} << 40;
constexpr off_t kChangeHolders = kLockedBytes;
constexpr off_t kEditHolders = kLockedBytes * 2;
constexpr off_t kHolderSpan = off_t{1} << 32;

int OfdLock(int fd, int command, short type, off_t start, off_t length) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = start;
  lock.l_len = length;
  return Retrying([&] { return ::fcntl(fd, command, &lock); });
}

int ChangeLock(int fd, int command, short type) {
  const int rc = OfdLock(fd, command, type, 0, kLockedBytes);
  if (rc == 0) {
    // Only a help for messages: a failure here costs nothing else.
    const int err = errno;
    OfdLock(fd, F_OFD_SETLK, type, kChangeHolders + ::getpid(), 1);
    errno = err;
  }
  return rc;
}

pid_t Holder(int fd, short type, off_t base) {
  struct flock lock = {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = base;
  lock.l_len = kHolderSpan;
  if (::fcntl(fd, F_OFD_GETLK, &lock) == -1 || lock.l_type == F_UNLCK) return 0;
  return static_cast<pid_t>(lock.l_start - base);
}

}  // namespace

int Files::Open(const std::string& path, int flags, mode_t mode) {
  return Retrying([&] { return ::open(path.c_str(), flags, mode); });
}

ssize_t Files::Read(int fd, void* buf, std::size_t n) {
  return Retrying([&] { return ::read(fd, buf, n); });
}

ssize_t Files::Write(int fd, const void* buf, std::size_t n) {
  return Retrying([&] { return ::write(fd, buf, n); });
}

int64_t Files::Seek(int fd, int64_t offset, int whence) { return ::lseek(fd, offset, whence); }

ssize_t Files::ReadAt(int fd, void* buf, std::size_t n, int64_t pos) {
  return Retrying([&] { return ::pread(fd, buf, n, pos); });
}

ssize_t Files::WriteAt(int fd, const void* buf, std::size_t n, int64_t pos) {
  return Retrying([&] { return ::pwrite(fd, buf, n, pos); });
}

int Files::Truncate(int fd, int64_t length) {
  return Retrying([&] { return ::ftruncate(fd, length); });
}

int Files::Allocate(int fd, int64_t offset, int64_t length, bool keepSize) {
  return Retrying(
      [&] { return ::fallocate(fd, keepSize ? FALLOC_FL_KEEP_SIZE : 0, offset, length); });
}

int Files::Sync(int fd) {
  return Retrying([&] { return ::fdatasync(fd); });
}

int Files::StartWriteback(int fd, int64_t offset, int64_t length) {
  return ::sync_file_range(fd, offset, length, SYNC_FILE_RANGE_WRITE);
}

int Files::SyncDirectory(const std::string& dir) {
  const int fd = Open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd == -1) return -1;
  const int rc = Retrying([&] { return ::fsync(fd); });
  const int err = errno;
  ::close(fd);
  errno = err;
  return rc;
}

int Files::Stat(int fd, struct stat* st) { return ::fstat(fd, st); }

int Files::StatPath(const std::string& path, struct stat* st) { return ::lstat(path.c_str(), st); }

int Files::Access(const std::string& path, int mode) {
  return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS);
}

int Files::Lock(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == -1) return -1;
  OfdLock(fd, F_OFD_SETLK, F_RDLCK, kEditHolders + ::getpid(), 1);
  return 0;
}

int Files::LockChanges(int fd, bool exclusive) {
  return ChangeLock(fd, F_OFD_SETLKW, exclusive ? F_WRLCK : F_RDLCK);
}

int Files::TryLockChanges(int fd, bool exclusive) {
  if (ChangeLock(fd, F_OFD_SETLK, exclusive ? F_WRLCK : F_RDLCK) == 0) return 0;
  if (errno == EACCES || errno == EAGAIN) errno = EWOULDBLOCK;
  return -1;
}

int Files::UnlockChanges(int fd) {
  OfdLock(fd, F_OFD_SETLK, F_UNLCK, kChangeHolders, kHolderSpan);
  return OfdLock(fd, F_OFD_SETLK, F_UNLCK, 0, kLockedBytes);
}

pid_t Files::ChangeLockHolder(int fd, bool exclusive) {
  return Holder(fd, exclusive ? F_WRLCK : F_RDLCK, kChangeHolders);
}

pid_t Files::EditLockHolder(int fd) { return Holder(fd, F_WRLCK, kEditHolders); }

int Files::Close(int fd) { return ::close(fd); }

int64_t Files::FileSizeLimit() {
  struct rlimit limit;
  if (::getrlimit(RLIMIT_FSIZE, &limit) == -1 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > static_cast<rlim_t>(INT64_MAX)) {
    return INT64_MAX;
  }
  return static_cast<int64_t>(limit.rlim_cur);
}

int Files::Unlink(const std::string& path) { return ::unlink(path.c_str()); }

int Files::Rename(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str());
}

int Files::SyncFileSystem(int fd) {
  return Retrying([&] { return ::syncfs(fd); });
}

int Files::MakeDirectory(const std::string& path, mode_t mode) {
  return ::mkdir(path.c_str(), mode);
}

int Files::RemoveDirectory(const std::string& path) { return ::rmdir(path.c_str()); }

int Files::OpenUnnamed(const std::string& dir, mode_t mode) {
  return Open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
}

int Files::Link(int fd, const std::string& path) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW);
}

int Files::ChangeMode(int fd, mode_t mode) { return ::fchmod(fd, mode); }

int Files::ChangeOwner(int fd, uid_t uid, gid_t gid) { return ::fchown(fd, uid, gid); }

int Files::ListDirectory(const std::string& dir, std::vector<DirectoryEntry>* entries,
                         struct stat* self) {
  entries->clear();
  const int fd = Open(dir, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd == -1) return -1;
  if (self != nullptr && ::fstat(fd, self) == -1) {
    const int err = errno;
    ::close(fd);
    return errno = err, -1;
  }
  DIR* d = ::fdopendir(fd);
  if (d == nullptr) {
    const int err = errno;
    ::close(fd);
    return errno = err, -1;
  }
  int err = 0;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(d);
    if (e == nullptr) {
      err = errno;
      break;
    }
    DirectoryEntry entry;
    entry.name = e->d_name;
    if (entry.name == "." || entry.name == "..") continue;
    unsigned char type = e->d_type;
    struct stat st;
    // A directory's identity is always looked up: d_ino is not the mounted one at a mount point.
    if (type == DT_DIR || type == DT_UNKNOWN) {
      if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == -1) {
        // Gone since it was listed: as if it had never been.
        if (errno == ENOENT) continue;
        err = errno;
        break;
      }
      type = S_ISDIR(st.st_mode) ? DT_DIR : S_ISLNK(st.st_mode) ? DT_LNK : DT_REG;
      entry.device = st.st_dev;
      entry.inode = st.st_ino;
    }
    entry.kind = type == DT_DIR   ? DirectoryEntry::kDirectory
                 : type == DT_LNK ? DirectoryEntry::kSymlink
                                  : DirectoryEntry::kOther;
    entries->push_back(std::move(entry));
  }
  ::closedir(d);
  errno = err;
  return err == 0 ? 0 : -1;
}

std::string Files::PathOf(int fd) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  std::string path(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(self.c_str(), path.data(), path.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < path.size()) {
      path.resize(static_cast<std::size_t>(n));
      break;
    }
    path.resize(path.size() * 2);
  }
  // A file removed since it was opened has no path any more.
  if (path.empty() || path[0] != '/' || path.ends_with(" (deleted)")) return std::string();
  return path;
}

uid_t Files::UserId() { return ::geteuid(); }

bool Files::Concurrent() { return this == &SystemFiles(); }

Files& SystemFiles() {
  static Files files;
  return files;
}

namespace {

// O_NONBLOCK keeps a FIFO or a device from blocking the open before it can be refused.
Status OpenRegular(Files& files, const std::string& path, int flags, int* fd) {
  *fd = files.Open(path, flags | O_NONBLOCK | O_CLOEXEC, 0);
  if (*fd == -1) {
    // Opening a directory for writing fails before its kind can be looked at.
    if (errno == EISDIR) return Status::Refused("not a regular file");
    return Status::FromErrno(errno);
  }
  struct stat st;
  Status s;
  if (files.Stat(*fd, &st) == -1) {
    s = Status::FromErrno(errno);
  } else if (!S_ISREG(st.st_mode)) {
    s = Status::Refused("not a regular file");
  }
  if (!s.ok()) {
    files.Close(*fd);
    *fd = -1;
  }
  return s;
}

}  // namespace

Status OpenForEditing(Files& files, const std::string& path, int* fd) {
  Status s = OpenRegular(files, path, O_RDWR, fd);
  // Read-only to this user, or on a read-only file system: refused as a file marked read-only
  // is, whoever asks.
  if (s.ioError() && (s.err() == EACCES || s.err() == EPERM)) {
    const int readable = files.Open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (readable != -1) {
      files.Close(readable);
      return Status::Refused("no write permission");
    }
    errno = s.err();
  }
  if (s.ioError() && s.err() == EROFS) return Status::Refused("on a read-only file system");
  if (!s.ok()) return s;
  struct stat st;
  if (files.Stat(*fd, &st) == -1) {
    s = Status::FromErrno(errno);
  } else if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    // Marked read-only by its owner: keep it so even for a user whom permissions do not bind.
    s = Status::Refused("no write permission");
  } else if (files.Lock(*fd) == -1) {
    s = errno == EWOULDBLOCK ? Status::Refused("locked by another atb") : Status::FromErrno(errno);
  }
  if (!s.ok()) {
    files.Close(*fd);
    *fd = -1;
  }
  return s;
}

Status OpenForReading(Files& files, const std::string& path, int* fd) {
  return OpenRegular(files, path, O_RDONLY, fd);
}

bool SameFile(Files& files, int a, int b) {
  struct stat sa, sb;
  if (files.Stat(a, &sa) == -1 || files.Stat(b, &sb) == -1) return true;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace atb
