// Low-level file handles. Files forwards each call to the system call of the same name; a test
// derives from it and overrides what it wants to fail or to record. Every call of Files returns
// -1 (or an empty result) and sets errno on failure, like the system call; the helpers below it
// return a Status, or to a question, the answer that keeps a caller safe.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace atb {

// One name in a directory as the directory lists it: a symlink is never followed.
struct DirectoryEntry {
  enum Kind { kDirectory, kSymlink, kOther };
  std::string name;
  Kind kind = kOther;
  // A directory's identity, so that the one opened later by its path can be told to be it.
  dev_t device = 0;
  ino_t inode = 0;
};

class Files {
 public:
  virtual ~Files() = default;

  virtual int Open(const std::string& path, int flags, mode_t mode);
  // Retries when interrupted by a signal; otherwise one system call.
  virtual ssize_t Read(int fd, void* buf, std::size_t n);
  virtual ssize_t Write(int fd, const void* buf, std::size_t n);
  virtual int64_t Seek(int fd, int64_t offset, int whence);
  // At `pos`, leaving the file's offset where it is: one system call rather than two. Doubles
  // that override Read, Write or Seek override these too, with SeekAndRead and SeekAndWrite, so
  // that they see every access.
  virtual ssize_t ReadAt(int fd, void* buf, std::size_t n, int64_t pos);
  virtual ssize_t WriteAt(int fd, const void* buf, std::size_t n, int64_t pos);
  virtual int Truncate(int fd, int64_t length);
  // Reserves disk blocks for [offset, offset + length). With keepSize the file's length stays
  // as it is and blocks beyond its end wait for a later extension; otherwise the file grows to
  // cover them. EOPNOTSUPP where the file system cannot.
  virtual int Allocate(int fd, int64_t offset, int64_t length, bool keepSize);
  // The file's data, and the length needed to read it, on the disk (fdatasync).
  virtual int Sync(int fd);
  // Starts writing [offset, offset + length) to the disk without waiting, so that a later Sync
  // finds it done; no promise on its own.
  virtual int StartWriteback(int fd, int64_t offset, int64_t length);
  // The directory's names on the disk: a file created, renamed or removed in it stays so.
  virtual int SyncDirectory(const std::string& dir);
  // Everything written to the file system that holds `fd`, names and data, on the disk (syncfs):
  // one call for a change over many files, instead of one flush per file.
  virtual int SyncFileSystem(int fd);
  virtual int Stat(int fd, struct stat* st);
  // Describes a symlink itself, never what it points to.
  virtual int StatPath(const std::string& path, struct stat* st);
  // Whether the process may use `path` as `mode` (W_OK, X_OK) says, by its effective ids: a
  // change over many files checks so before it decides, since a rename refused after that would
  // leave it half made.
  virtual int Access(const std::string& path, int mode);
  // An exclusive advisory lock for an editing session, refused at once when another open file
  // holds one.
  virtual int Lock(int fd);
  // The lock that keeps readers and a change apart: shared for reading, exclusive for a change.
  // Waits until it can be acquired; released by UnlockChanges or by closing the file.
  virtual int LockChanges(int fd, bool exclusive);
  // The same, refused at once (EWOULDBLOCK) when another open file holds a lock in the way.
  virtual int TryLockChanges(int fd, bool exclusive);
  virtual int UnlockChanges(int fd);
  // The process holding a lock that keeps `fd` from the change lock (shared or, with
  // `exclusive`, any), and one holding the editing lock: 0 when there is none or it cannot be
  // told. Locks cannot tell their holder, so each holder records its own process id beside them.
  virtual pid_t ChangeLockHolder(int fd, bool exclusive);
  virtual pid_t EditLockHolder(int fd);
  virtual int Close(int fd);
  virtual int Unlink(const std::string& path);
  virtual int Rename(const std::string& from, const std::string& to);
  virtual int MakeDirectory(const std::string& path, mode_t mode);
  virtual int RemoveDirectory(const std::string& path);
  // A file in `dir` that has no name until Link gives it one, and vanishes if it never gets one.
  virtual int OpenUnnamed(const std::string& dir, mode_t mode);
  virtual int Link(int fd, const std::string& path);
  virtual int ChangeMode(int fd, mode_t mode);
  virtual int ChangeOwner(int fd, uid_t uid, gid_t gid);
  // The entries of the directory `dir`, "." and ".." left out, and (when `self` is given) what
  // `dir` itself is, so that a caller can tell whether it is the directory it expected.
  virtual int ListDirectory(const std::string& dir, std::vector<DirectoryEntry>* entries,
                            struct stat* self);
  // The path by which the system knows an open file, symlinks and ".." resolved; empty when it
  // has none (removed since it was opened).
  virtual std::string PathOf(int fd);
  // The user the process acts as.
  virtual uid_t UserId();
  // The most bytes a file may hold that the process writes (ulimit -f): writing beyond it fails.
  virtual int64_t FileSizeLimit();
  // Whether two threads may make calls at once, each on a descriptor of its own: so for the
  // system's calls; a test's layer counts and fails calls in the order they come.
  virtual bool Concurrent();

 protected:
  ssize_t SeekAndRead(int fd, void* buf, std::size_t n, int64_t pos) {
    return Seek(fd, pos, SEEK_SET) == pos ? Read(fd, buf, n) : -1;
  }
  ssize_t SeekAndWrite(int fd, const void* buf, std::size_t n, int64_t pos) {
    return Seek(fd, pos, SEEK_SET) == pos ? Write(fd, buf, n) : -1;
  }
};

// The process's real file system.
Files& SystemFiles();

// The ways the tool opens an existing file. Each sets *fd to a handle, or returns why it did not:
// refused ("not a regular file", "no write permission", "locked by another atb") or what the
// system said. A path that names anything but a regular file (after following a final symlink)
// is refused, so nothing that is not a regular file is ever read or written.

// An existing attribute file, for reading and writing in place. Never created or truncated.
// Refused when the file has no write permission bit at all (even for a privileged user), and
// when another instance holds it open.
Status OpenForEditing(Files& files, const std::string& path, int* fd);

// A file, read-only.
Status OpenForReading(Files& files, const std::string& path, int* fd);

// Whether two open files are one file (the same inode), under whatever names they were opened.
// True when it cannot be told, so that a caller refuses rather than risks it.
bool SameFile(Files& files, int a, int b);

// The directory part of `path` ("." when it has none) and its last name.
std::string DirectoryOf(const std::string& path);
std::string BaseNameOf(const std::string& path);

}  // namespace atb
