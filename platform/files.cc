#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace atb {

int Files::Open(const std::string& path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, mode);
  } while (fd == -1 && errno == EINTR);
  return fd;
}

ssize_t Files::Read(int fd, void* buf, std::size_t n) {
  ssize_t got;
  do {
    got = ::read(fd, buf, n);
  } while (got == -1 && errno == EINTR);
  return got;
}

ssize_t Files::Write(int fd, const void* buf, std::size_t n) {
  ssize_t put;
  do {
    put = ::write(fd, buf, n);
  } while (put == -1 && errno == EINTR);
  return put;
}

int64_t Files::Seek(int fd, int64_t offset, int whence) { return ::lseek(fd, offset, whence); }

int Files::Truncate(int fd, int64_t length) {
  int rc;
  do {
    rc = ::ftruncate(fd, length);
  } while (rc == -1 && errno == EINTR);
  return rc;
}

int Files::Stat(int fd, struct stat* st) { return ::fstat(fd, st); }

int Files::Lock(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB); }

int Files::Close(int fd) { return ::close(fd); }

int Files::Unlink(const std::string& path) { return ::unlink(path.c_str()); }

Files& SystemFiles() {
  static Files files;
  return files;
}

namespace {

int Refuse(Files& files, int fd, OpenRefusal refusal, int err, OpenRefusal* why) {
  if (fd != -1) files.Close(fd);
  if (why != nullptr) *why = refusal;
  errno = err;
  return -1;
}

// O_NONBLOCK keeps a FIFO or a device from blocking the open before it can be refused.
int OpenRegular(Files& files, const std::string& path, int flags, mode_t mode, OpenRefusal* why) {
  if (why != nullptr) *why = OpenRefusal::kNone;
  int fd = files.Open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd == -1) {
    // Opening a directory for writing fails before its kind can be looked at.
    if (errno == EISDIR) return Refuse(files, -1, OpenRefusal::kNotRegular, EISDIR, why);
    return Refuse(files, -1, OpenRefusal::kSystem, errno, why);
  }
  struct stat st;
  if (files.Stat(fd, &st) == -1) return Refuse(files, fd, OpenRefusal::kSystem, errno, why);
  if (!S_ISREG(st.st_mode)) return Refuse(files, fd, OpenRefusal::kNotRegular, EINVAL, why);
  return fd;
}

}  // namespace

std::string DescribeRefusal(OpenRefusal why, int err) {
  switch (why) {
    case OpenRefusal::kNotRegular:
      return "not a regular file";
    case OpenRefusal::kReadOnly:
      return "no write permission";
    case OpenRefusal::kLocked:
      return "locked by another atb";
    default:
      return std::strerror(err);
  }
}

int OpenForEditing(Files& files, const std::string& path, OpenRefusal* why) {
  int fd = OpenRegular(files, path, O_RDWR, 0, why);
  if (fd == -1) return -1;
  struct stat st;
  if (files.Stat(fd, &st) == -1) return Refuse(files, fd, OpenRefusal::kSystem, errno, why);
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    // Marked read-only by its owner: keep it so even for a user whom permissions do not bind.
    return Refuse(files, fd, OpenRefusal::kReadOnly, EACCES, why);
  }
  if (files.Lock(fd) == -1) {
    if (errno == EWOULDBLOCK) return Refuse(files, fd, OpenRefusal::kLocked, errno, why);
    return Refuse(files, fd, OpenRefusal::kSystem, errno, why);
  }
  return fd;
}

int OpenSideFileForWriting(Files& files, const std::string& path, OpenRefusal* why) {
  return OpenRegular(files, path, O_RDWR | O_CREAT, 0666, why);
}

int OpenForReading(Files& files, const std::string& path, OpenRefusal* why) {
  return OpenRegular(files, path, O_RDONLY, 0, why);
}

ReplacingFile::~ReplacingFile() {
  if (fd_ != -1) ::close(fd_);
  if (!temp_.empty()) unlink(temp_.c_str());
}

int ReplacingFile::Open() {
  const std::size_t slash = path_.rfind('/');
  temp_ =
      (slash == std::string::npos ? std::string() : path_.substr(0, slash + 1)) + ".atb-new-XXXXXX";
  fd_ = mkstemp(temp_.data());
  if (fd_ == -1) {
    const int err = errno;
    temp_.clear();
    return err;
  }
  return 0;
}

int ReplacingFile::Write(std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    ssize_t put = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return errno;
    if (put == 0) return ENOSPC;
    done += static_cast<std::size_t>(put);
  }
  return 0;
}

int ReplacingFile::Commit() {
  const mode_t mask = umask(0);
  umask(mask);
  if (fchmod(fd_, 0666 & ~mask) == -1 || fsync(fd_) == -1) return errno;
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) == -1) return errno;
  if (rename(temp_.c_str(), path_.c_str()) == -1) return errno;
  temp_.clear();
  return 0;
}

int ReplaceFile(const std::string& path, std::string_view bytes) {
  ReplacingFile file(path);
  int err = file.Open();
  if (err == 0) err = file.Write(bytes);
  if (err == 0) err = file.Commit();
  return err;
}

}  // namespace atb
