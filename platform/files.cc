#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

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

Files& SystemFiles() {
  static Files files;
  return files;
}

namespace {

// O_NONBLOCK keeps a FIFO or a device from blocking the open before it can be refused.
int OpenRegular(Files& files, const std::string& path, int flags, mode_t mode) {
  int fd = files.Open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd == -1) return -1;
  struct stat st;
  if (files.Stat(fd, &st) == -1) {
    int err = errno;
    files.Close(fd);
    errno = err;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    files.Close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

}  // namespace

int OpenForEditing(Files& files, const std::string& path) {
  int fd = OpenRegular(files, path, O_RDWR, 0);
  if (fd == -1) return -1;
  struct stat st;
  int err = 0;
  if (files.Stat(fd, &st) == -1) {
    err = errno;
  } else if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
    // Marked read-only by its owner: keep it so even for a user whom permissions do not bind.
    err = EACCES;
  } else if (files.Lock(fd) == -1) {
    err = errno;
  }
  if (err != 0) {
    files.Close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

int OpenSideFileForWriting(Files& files, const std::string& path) {
  return OpenRegular(files, path, O_RDWR | O_CREAT, 0666);
}

int OpenForReading(Files& files, const std::string& path) {
  return OpenRegular(files, path, O_RDONLY, 0);
}

}  // namespace atb
