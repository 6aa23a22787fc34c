#include "tests/memory_files.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "change/journal.h"
#include "store/positioned_file.h"

namespace atb::testing {

MemoryFiles::MemoryFiles(const Disk& disk) {
  for (const auto& [path, file] : disk) nextIno_ = std::max(nextIno_, file.ino + 1);
  for (const auto& [path, file] : disk) {
    auto node = std::make_shared<Node>();
    node->bytes = file.bytes;
    node->ino = file.ino != 0 ? file.ino : nextIno_++;
    node->mode = file.mode;
    names_[path] = node;
  }
}

bool MemoryFiles::Known(int fd) const {
  if (handles_.count(fd) != 0) return true;
  errno = EBADF;
  return false;
}

int MemoryFiles::Open(const std::string& path, int flags, mode_t mode) {
  if ((flags & O_TMPFILE) == O_TMPFILE || (flags & O_DIRECTORY) != 0) return errno = EOPNOTSUPP, -1;
  auto it = names_.find(path);
  if (it == names_.end()) {
    if ((flags & O_CREAT) == 0) return errno = ENOENT, -1;
    auto node = std::make_shared<Node>();
    node->mode = mode & 07777;
    node->ino = nextIno_++;
    it = names_.emplace(path, node).first;
    Log(Op(Op::kCreate, node->ino, path, node->mode));
  } else if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) {
    return errno = EEXIST, -1;
  }
  Handle h{it->second, path, 0, (flags & O_ACCMODE) != O_RDONLY};
  if ((flags & O_TRUNC) != 0 && h.writable) {
    h.node->bytes.clear();
    Log(Op(Op::kResize, h.node->ino, {}, 0));
  }
  handles_[nextFd_] = h;
  return nextFd_++;
}

ssize_t MemoryFiles::Read(int fd, void* buf, std::size_t n) {
  if (!Known(fd)) return -1;
  Handle& h = handles_[fd];
  const auto size = static_cast<int64_t>(h.node->bytes.size());
  const int64_t got = std::max<int64_t>(0, std::min(static_cast<int64_t>(n), size - h.pos));
  if (got > 0) std::memcpy(buf, h.node->bytes.data() + h.pos, static_cast<std::size_t>(got));
  h.pos += got;
  return got;
}

ssize_t MemoryFiles::Write(int fd, const void* buf, std::size_t n) {
  if (!Known(fd)) return -1;
  Handle& h = handles_[fd];
  if (!h.writable) return errno = EBADF, -1;
  std::string& bytes = h.node->bytes;
  if (static_cast<int64_t>(bytes.size()) < h.pos + static_cast<int64_t>(n)) {
    bytes.resize(static_cast<std::size_t>(h.pos) + n);
  }
  std::memcpy(bytes.data() + h.pos, buf, n);
  Log(Op(Op::kWrite, h.node->ino, {}, h.pos, std::string(static_cast<const char*>(buf), n)));
  h.pos += static_cast<int64_t>(n);
  return static_cast<ssize_t>(n);
}

int64_t MemoryFiles::Seek(int fd, int64_t offset, int whence) {
  if (!Known(fd)) return -1;
  Handle& h = handles_[fd];
  const int64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? h.pos
                                            : static_cast<int64_t>(h.node->bytes.size());
  if (base + offset < 0) return errno = EINVAL, -1;
  return h.pos = base + offset;
}

int MemoryFiles::Truncate(int fd, int64_t length) {
  if (!Known(fd)) return -1;
  Handle& h = handles_[fd];
  if (!h.writable) return errno = EBADF, -1;
  h.node->bytes.resize(static_cast<std::size_t>(length));
  Log(Op(Op::kResize, h.node->ino, {}, length));
  return 0;
}

int MemoryFiles::Allocate(int fd, int64_t offset, int64_t length, bool keepSize) {
  if (!Known(fd)) return -1;
  Handle& h = handles_[fd];
  if (!keepSize && static_cast<int64_t>(h.node->bytes.size()) < offset + length) {
    return Truncate(fd, offset + length);
  }
  return 0;
}

int MemoryFiles::Sync(int fd) {
  if (!Known(fd)) return -1;
  Log(Op(Op::kSync, handles_[fd].node->ino));
  return 0;
}

int MemoryFiles::SyncDirectory(const std::string& dir) {
  Log(Op(Op::kSyncDir, 0, dir));
  return 0;
}

int MemoryFiles::SyncFileSystem(int fd) {
  if (!Known(fd)) return -1;
  Log(Op(Op::kSyncAll, 0));
  return 0;
}

int MemoryFiles::ListDirectory(const std::string& dir, std::vector<DirectoryEntry>* entries,
                               struct stat* self) {
  entries->clear();
  const std::string prefix = dir + "/";
  for (auto it = names_.lower_bound(prefix); it != names_.end(); ++it) {
    if (it->first.compare(0, prefix.size(), prefix) != 0) break;
    const std::string rest = it->first.substr(prefix.size());
    const std::size_t slash = rest.find('/');
    DirectoryEntry e;
    e.name = rest.substr(0, slash);
    e.kind = slash == std::string::npos ? DirectoryEntry::kOther : DirectoryEntry::kDirectory;
    if (entries->empty() || entries->back().name != e.name) entries->push_back(e);
  }
  if (entries->empty()) return errno = ENOENT, -1;
  if (self != nullptr) std::memset(self, 0, sizeof *self);
  return 0;
}

namespace {

void Describe(ino_t ino, mode_t mode, std::size_t size, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_mode = S_IFREG | mode;
  st->st_ino = ino;
  st->st_size = static_cast<off_t>(size);
  st->st_nlink = 1;
  st->st_uid = 1000;
  st->st_dev = 1;
}

std::string DirOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

int MemoryFiles::Stat(int fd, struct stat* st) {
  if (!Known(fd)) return -1;
  const Node& n = *handles_[fd].node;
  Describe(n.ino, n.mode, n.bytes.size(), st);
  return 0;
}

int MemoryFiles::StatPath(const std::string& path, struct stat* st) {
  auto it = names_.find(path);
  if (it == names_.end()) {
    // A folder is there while a file's path goes through it.
    auto below = names_.lower_bound(path + "/");
    if (below == names_.end() || below->first.compare(0, path.size() + 1, path + "/") != 0) {
      return errno = ENOENT, -1;
    }
    Describe(1, 0755, 0, st);
    st->st_mode = S_IFDIR | 0755;
    return 0;
  }
  Describe(it->second->ino, it->second->mode, it->second->bytes.size(), st);
  return 0;
}

int MemoryFiles::MakeDirectory(const std::string& path, mode_t) {
  struct stat st;
  return StatPath(path, &st) == 0 ? (errno = EEXIST, -1) : 0;
}

int MemoryFiles::ChangeMode(int fd, mode_t mode) {
  if (!Known(fd)) return -1;
  handles_[fd].node->mode = mode & 07777;
  return 0;
}

int MemoryFiles::Close(int fd) {
  if (!Known(fd)) return -1;
  handles_.erase(fd);
  return 0;
}

int MemoryFiles::Unlink(const std::string& path) {
  if (names_.erase(path) == 0) return errno = ENOENT, -1;
  Log(Op(Op::kUnlink, 0, path));
  return 0;
}

int MemoryFiles::Rename(const std::string& from, const std::string& to) {
  auto it = names_.find(from);
  if (it == names_.end()) return errno = ENOENT, -1;
  names_[to] = it->second;
  names_.erase(from);
  Log(Op(Op::kRename, 0, from, 0, {}, to));
  return 0;
}

std::string MemoryFiles::PathOf(int fd) { return Known(fd) ? handles_[fd].path : std::string(); }

MemoryFiles::Disk MemoryFiles::Now() const {
  Disk disk;
  for (const auto& [path, node] : names_) disk[path] = {node->bytes, node->ino, node->mode};
  return disk;
}

std::string MemoryFiles::Bytes(const std::string& path) const {
  auto it = names_.find(path);
  return it == names_.end() ? std::string() : it->second->bytes;
}

void MemoryFiles::Record() {
  recording_ = true;
  ops_.clear();
  start_.clear();
  startNames_.clear();
  for (const auto& [path, node] : names_) {
    start_[node->ino] = {node->bytes, node->ino, node->mode};
    startNames_[path] = node->ino;
  }
}

MemoryFiles::Disk MemoryFiles::Crash(std::size_t point, const std::function<bool()>& pick) const {
  // The last flush before the power failed, of each file and of each directory.
  std::map<ino_t, std::size_t> synced;
  std::map<std::string, std::size_t> dirSynced;
  std::size_t allSynced = 0;
  for (std::size_t i = 0; i < point; ++i) {
    if (ops_[i].kind == Op::kSync) synced[ops_[i].ino] = i + 1;
    if (ops_[i].kind == Op::kSyncDir) dirSynced[ops_[i].path] = i + 1;
    if (ops_[i].kind == Op::kSyncAll) allSynced = i + 1;
  }
  auto durable = [&](std::size_t i, ino_t ino) {
    auto it = synced.find(ino);
    return i < allSynced || (it != synced.end() && i < it->second);
  };
  auto dirDurable = [&](std::size_t i, const std::string& path) {
    auto it = dirSynced.find(DirOf(path));
    return i < allSynced || (it != dirSynced.end() && i < it->second);
  };
  std::map<ino_t, File> files = start_;
  std::map<std::string, ino_t> names = startNames_;
  for (std::size_t i = 0; i < point; ++i) {
    const Op& op = ops_[i];
    switch (op.kind) {
      case Op::kWrite: {
        std::string& b = files[op.ino].bytes;
        const bool whole = durable(i, op.ino);
        const int64_t end = op.pos + static_cast<int64_t>(op.bytes.size());
        for (int64_t at = op.pos; at < end;) {
          const int64_t stop = std::min(end, (at / 512 + 1) * 512);
          if (whole || pick()) {
            if (static_cast<int64_t>(b.size()) < stop) b.resize(static_cast<std::size_t>(stop));
            std::memcpy(b.data() + at, op.bytes.data() + (at - op.pos),
                        static_cast<std::size_t>(stop - at));
          }
          at = stop;
        }
        break;
      }
      case Op::kResize:
        if (durable(i, op.ino) || pick())
          files[op.ino].bytes.resize(static_cast<std::size_t>(op.pos));
        break;
      case Op::kCreate:
        files[op.ino].ino = op.ino;
        files[op.ino].mode = static_cast<mode_t>(op.pos);
        if (dirDurable(i, op.path) || pick()) names[op.path] = op.ino;
        break;
      case Op::kUnlink:
        if (dirDurable(i, op.path) || pick()) names.erase(op.path);
        break;
      case Op::kRename:
        if (names.count(op.path) != 0 && (dirDurable(i, op.path) || pick())) {
          names[op.to] = names[op.path];
          names.erase(op.path);
        }
        break;
      case Op::kSync:
      case Op::kSyncDir:
      case Op::kSyncAll:
        break;
    }
  }
  Disk disk;
  for (const auto& [path, ino] : names) disk[path] = files[ino];
  return disk;
}

Status RecoverOn(MemoryFiles& files, const std::string& path) {
  const int fd = files.Open(path, O_RDWR, 0);
  PositionedFile file(files, fd);
  ChangeTarget target{file, JournalPath(path), true};
  bool finished;
  Status s = RecoverChange(target, Finisher::kEditor, &finished);
  files.Close(fd);
  return s;
}

}  // namespace atb::testing
