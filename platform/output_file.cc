#include "platform/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace atb {

namespace {

constexpr std::string_view kTempPrefix = ".atb-new-";
constexpr std::size_t kTempDigits = 16;

std::string TempNameWith(uint64_t digits) {
  std::string name(kTempPrefix);
  for (std::size_t i = 0; i < kTempDigits; ++i) {
    name.push_back("0123456789abcdef"[(digits >> (4 * (kTempDigits - 1 - i))) & 15]);
  }
  return name;
}

// A name no run is likely to be using: for a temporary that cannot have its bound name. A leftover
// under such a name is never removed.
std::string TempName() {
  static unsigned counter = 0;
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return TempNameWith((static_cast<uint64_t>(getpid()) << 40) ^ static_cast<uint64_t>(now.tv_nsec) ^
                      (static_cast<uint64_t>(++counter) << 20));
}

// Spreads a number over all 64 bits, so that files of one folder differ in many digits.
uint64_t Mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15u;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
  return x ^ (x >> 31);
}

mode_t CreationMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::string TemporaryNameOf(const struct stat& st) {
  return TempNameWith(
      Mix(static_cast<uint64_t>(st.st_ino) ^ Mix(static_cast<uint64_t>(st.st_dev))));
}

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
  // Unlocked, it would look stale to another run once it has its bound name, and be removed.
  if (files_.Lock(fd_) == -1) return Status::FromErrno(errno);
  if (!temp_.empty()) {
    // Only a leftover under its bound name can be told from a user's file; one killed before it
    // has that name stays, and is never removed.
    const std::string bound = BoundName();
    if (!bound.empty() && files_.Link(fd_, bound) == 0) {
      files_.Unlink(temp_);
      temp_ = bound;
    }
  }
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
  if (temp_.empty()) {
    const std::string bound = BoundName();
    if (!bound.empty() && files_.Link(fd_, bound) == 0) {
      temp_ = bound;
    } else if (!bound.empty() && errno != EEXIST) {
      return Status::FromErrno(errno);
    }
  }
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

std::string OutputFile::BoundName() {
  struct stat st;
  if (files_.Stat(fd_, &st) == -1) return std::string();
  return dir_ + "/" + TemporaryNameOf(st);
}

// A user's file may bear the prefix too, so a file is removed only when it is provably a leftover
// of this tool: a regular file of the user's with one name, that name the prefix and the 16 hex
// digits drawn from its own device and inode numbers (a file named by hand, unless named so on
// purpose, or a copy of a leftover, has other digits), and unlocked (no run is still writing it).
void OutputFile::RemoveStaleTemporaries() {
  std::vector<DirectoryEntry> entries;
  if (files_.ListDirectory(dir_, &entries, nullptr) == -1) return;
  for (const DirectoryEntry& entry : entries) {
    const std::string& name = entry.name;
    if (entry.kind != DirectoryEntry::kOther || name.size() != kTempPrefix.size() + kTempDigits ||
        !name.starts_with(kTempPrefix)) {
      continue;
    }
    const std::string path = dir_ + "/" + name;
    struct stat st;
    if (files_.StatPath(path, &st) == -1 || !S_ISREG(st.st_mode) || st.st_uid != files_.UserId() ||
        st.st_nlink != 1 || TemporaryNameOf(st) != name) {
      continue;
    }
    const int fd = files_.Open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd == -1) continue;
    struct stat opened, now;
    // Still that file, after the lock is acquired: the name is removed, not the file opened.
    if (files_.Stat(fd, &opened) == 0 && opened.st_ino == st.st_ino && opened.st_dev == st.st_dev &&
        files_.Lock(fd) == 0 && files_.StatPath(path, &now) == 0 && now.st_ino == st.st_ino &&
        now.st_dev == st.st_dev) {
      files_.Unlink(path);
    }
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
