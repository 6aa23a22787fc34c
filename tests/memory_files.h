// An in-memory file system behind the Files interface, which records every call that changes a
// file or a directory, and the states a disk can be left in when the power fails at any point of
// what it recorded: everything flushed before the last completed flush of each file, any subset
// of the writes after it (each torn at 512-byte sectors), and directory changes made or not
// unless the directory was flushed after them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/files.h"

namespace atb::testing {

class MemoryFiles : public Files {
 public:
  // What a power loss can leave: each file by path.
  struct File {
    std::string bytes;
    ino_t ino = 0;  // 0: a new file, given an inode number of its own
    mode_t mode = 0644;
  };
  using Disk = std::map<std::string, File>;

  MemoryFiles() = default;
  explicit MemoryFiles(const Disk& disk);

  int Open(const std::string& path, int flags, mode_t mode) override;
  ssize_t Read(int fd, void* buf, std::size_t n) override;
  ssize_t Write(int fd, const void* buf, std::size_t n) override;
  int64_t Seek(int fd, int64_t offset, int whence) override;
  ssize_t ReadAt(int fd, void* buf, std::size_t n, int64_t pos) override {
    return SeekAndRead(fd, buf, n, pos);
  }
  ssize_t WriteAt(int fd, const void* buf, std::size_t n, int64_t pos) override {
    return SeekAndWrite(fd, buf, n, pos);
  }
  int Truncate(int fd, int64_t length) override;
  int Allocate(int fd, int64_t offset, int64_t length, bool keepSize) override;
  int Sync(int fd) override;
  int StartWriteback(int fd, int64_t, int64_t) override { return Known(fd) ? 0 : -1; }
  int SyncDirectory(const std::string& dir) override;
  int SyncFileSystem(int fd) override;
  int Stat(int fd, struct stat* st) override;
  int StatPath(const std::string& path, struct stat* st) override;
  int Access(const std::string& path, int) override {
    struct stat st;
    return StatPath(path, &st);
  }
  int Lock(int fd) override { return Known(fd) ? 0 : -1; }
  int LockChanges(int fd, bool) override { return Known(fd) ? 0 : -1; }
  int TryLockChanges(int fd, bool) override { return Known(fd) ? 0 : -1; }
  pid_t ChangeLockHolder(int, bool) override { return 0; }
  pid_t EditLockHolder(int) override { return 0; }
  int UnlockChanges(int fd) override { return Known(fd) ? 0 : -1; }
  int Close(int fd) override;
  int Unlink(const std::string& path) override;
  int Rename(const std::string& from, const std::string& to) override;
  // Folders are only the paths of the files in them.
  int MakeDirectory(const std::string& path, mode_t) override;
  int RemoveDirectory(const std::string&) override { return 0; }
  int ListDirectory(const std::string& dir, std::vector<DirectoryEntry>* entries,
                    struct stat* self) override;
  std::string PathOf(int fd) override;
  int ChangeMode(int fd, mode_t mode) override;
  int ChangeOwner(int fd, uid_t, gid_t) override { return Known(fd) ? 0 : -1; }
  uid_t UserId() override { return 1000; }

  // The files as they are now.
  Disk Now() const;
  // The bytes of the file at `path`, empty when there is none.
  std::string Bytes(const std::string& path) const;

  // Starts recording from the state the files are in now.
  void Record();
  // How many calls were recorded, each of them a point at which the power can fail.
  std::size_t recorded() const { return ops_.size(); }
  // What the disk holds when the power fails after the first `point` recorded calls: `pick`
  // decides for each call that was not flushed whether it landed, and for each of a write's
  // sectors whether that sector did.
  Disk Crash(std::size_t point, const std::function<bool()>& pick) const;

 private:
  struct Node {
    std::string bytes;
    mode_t mode = 0600;
    ino_t ino = 0;
  };
  struct Handle {
    std::shared_ptr<Node> node;
    std::string path;
    int64_t pos = 0;
    bool writable = false;
  };
  struct Op {
    enum Kind { kWrite, kResize, kSync, kCreate, kUnlink, kRename, kSyncDir, kSyncAll };
    Op(Kind kind, ino_t ino, std::string path = {}, int64_t pos = 0, std::string bytes = {},
       std::string to = {})
        : kind(kind),
          ino(ino),
          path(std::move(path)),
          to(std::move(to)),
          pos(pos),
          bytes(std::move(bytes)) {}
    Kind kind;
    ino_t ino;
    std::string path, to;
    int64_t pos;
    std::string bytes;  // a write's
  };
  bool Known(int fd) const;
  void Log(Op op) {
    if (recording_) ops_.push_back(std::move(op));
  }

  std::map<std::string, std::shared_ptr<Node>> names_;
  std::map<int, Handle> handles_;
  int nextFd_ = 3;
  ino_t nextIno_ = 100;
  bool recording_ = false;
  std::map<ino_t, File> start_;  // each file as it was when recording began
  std::map<std::string, ino_t> startNames_;
  std::vector<Op> ops_;
};

// Finishes the interrupted change of the file at `path` on `files`, as the next open would.
Status RecoverOn(MemoryFiles& files, const std::string& path);

}  // namespace atb::testing
