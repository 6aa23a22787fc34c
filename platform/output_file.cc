#include "platform/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace atb {

namespace {

constexpr std::string_view kTempPrefix = ".atb-new-";

std::string TempName() {
  static unsigned counter = 0;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  const unsigned long long mixed = (static_cast<unsigned long long>(getpid()) << 40) ^
                                   static_cast<unsigned long long>(now.tv_nsec) ^
                                   (static_cast<unsigned long long>(++counter) << 20);
  char hex[17];
  for (int i = 0; i < 16; ++i) hex[i] = "0123456789abcdef"[(mixed >> (4 * i)) & 15];
  hex[16] = '\0';
  return std::string(kTempPrefix) + hex;
}

mode_t CreationMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

OutputFile::OutputFile(Files& files, std::string path, bool durable)
    : files_(files), path_(std::move(path)), dir_(DirectoryOf(path_)), durable_(durable) {}

OutputFile::~OutputFile() {
  if (fd_ != -1) files_.Close(fd_);
  if (!temp_.empty()) files_.Unlink(temp_);
  if (existing_ != -1) files_.Close(existing_);
}

Status OutputFile::Open(int keep) {
  struct stat st;
  if (files_.StatPath(path_, &st) == 0) {
    if (!S_ISREG(st.st_mode)) return Status::Refused("not a regular file");
    existing_ = files_.Open(path_, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (existing_ == -1 && errno != EACCES) return Status::FromErrno(errno);
    if (existing_ != -1) {
      if (files_.Stat(existing_, &existingStat_) == -1) return Status::FromErrno(errno);
      if (!S_ISREG(existingStat_.st_mode)) return Status::Refused("not a regular file");
      if (keep != -1 && SameFile(files_, existing_, keep)) {
        return Status::Refused("is the attribute file itself");
      }
    } else {
      existingStat_ = st;
    }
    if ((existingStat_.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
      // Marked read-only by its owner: kept so even though replacing it only needs the folder's
      // permission, and even for a user whom permissions do not bind.
      return Status::Refused(
          "is read-only: make it writable first (chmod u+w) to have it replaced, or name another "
          "file");
    }
    if (existingStat_.st_nlink > 1) {
      return Status::Refused(
          "has " + std::to_string(existingStat_.st_nlink) +
          " names (hard links), and replacing it would leave the other names with the old bytes: "
          "to change them all, write to a new name and copy it over this one (cp NEW NAME); to "
          "leave them as they are, remove this name first");
    }
    if (existing_ != -1) {
      // Held until it is replaced, so that no editor opens it in between and loses its edits
      // to the unlinked file.
      if (files_.Lock(existing_) == -1) {
        return Status::Refused("is open in atb or being changed: close it first");
      }
    }
    replacing_ = true;
  } else if (errno != ENOENT) {
    return Status::FromErrno(errno);
  }
  RemoveStaleTemporaries();
  fd_ = files_.OpenUnnamed(dir_, 0600);
  if (fd_ == -1 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    // No unnamed files here: a named one, locked while it is ours, so that a later run can tell
    // a stale one from one still being written.
    for (int tries = 0; fd_ == -1 && tries < 100; ++tries) {
      temp_ = dir_ + "/" + TempName();
      fd_ = files_.Open(temp_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd_ == -1 && errno != EEXIST) break;
    }
    if (fd_ == -1) temp_.clear();
  }
  if (fd_ == -1) return Status::FromErrno(errno);
  // Unlocked, it would look stale to another run once it has a name, and be removed.
  if (files_.Lock(fd_) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

Status OutputFile::Write(std::string_view bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t put = files_.Write(fd_, bytes.data() + done, bytes.size() - done);
    if (put < 0) return Status::FromErrno(errno);
    if (put == 0) return Status::NoSpace();
    done += static_cast<std::size_t>(put);
  }
  return Status::Ok();
}

Status OutputFile::Commit() {
  const mode_t mode = replacing_ ? (existingStat_.st_mode & 07777) : CreationMode();
  if (files_.ChangeMode(fd_, mode) == -1) return Status::FromErrno(errno);
  if (replacing_ && files_.UserId() == 0) {
    // Only a privileged user may give a file away; anyone else's replacement is theirs.
    files_.ChangeOwner(fd_, existingStat_.st_uid, existingStat_.st_gid);
  }
  if (durable_ && files_.Sync(fd_) == -1) return Status::FromErrno(errno);
  while (temp_.empty()) {
    const std::string name = dir_ + "/" + TempName();
    if (files_.Link(fd_, name) == 0) {
      temp_ = name;
    } else if (errno != EEXIST) {
      return Status::FromErrno(errno);
    }
  }
  // Closed before it takes the place: a write error that the close reports leaves the old file.
  const int fd = fd_;
  fd_ = -1;
  if (files_.Close(fd) == -1) return Status::FromErrno(errno);
  if (files_.Rename(temp_, path_) == -1) return Status::FromErrno(errno);
  temp_.clear();
  if (durable_ && files_.SyncDirectory(dir_) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

void OutputFile::RemoveStaleTemporaries() {
  std::vector<DirectoryEntry> entries;
  if (files_.ListDirectory(dir_, &entries, nullptr) == -1) return;
  for (const DirectoryEntry& entry : entries) {
    const std::string& name = entry.name;
    if (!name.starts_with(kTempPrefix)) continue;
    const std::string path = dir_ + "/" + name;
    struct stat st;
    if (files_.StatPath(path, &st) == -1 || !S_ISREG(st.st_mode) || st.st_uid != files_.UserId()) {
      continue;
    }
    const int fd = files_.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd == -1) continue;
    // Unlocked: the process that was writing it is gone.
    if (files_.Lock(fd) == 0) files_.Unlink(path);
    files_.Close(fd);
  }
}

Status WriteWholeFile(Files& files, const std::string& path, std::string_view bytes, bool durable) {
  OutputFile out(files, path, durable);
  Status s = out.Open();
  if (s.ok()) s = out.Write(bytes);
  if (s.ok()) s = out.Commit();
  return s;
}

}  // namespace atb
