#include "change/folder_change.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "change/mark.h"
#include "change/wait.h"
#include "store/hash.h"
#include "store/positioned_file.h"

namespace atb {

namespace {

constexpr char kJournalName[] = "journal";
constexpr char kJournalMagic[] = "atb folder change 1";

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Names in the journal: every byte that is not plainly safe in a line, as %XX.
std::string Encode(const std::string& name) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (u > 0x20 && u < 0x7F && c != '%') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

bool Decode(const std::string& text, std::string* name) {
  name->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *name += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    unsigned value;
    if (std::sscanf(text.substr(i + 1, 2).c_str(), "%2x", &value) != 1) return false;
    *name += static_cast<char>(value);
    i += 2;
  }
  return !name->empty();
}

std::string Hex(uint64_t v) {
  char buf[19];
  std::snprintf(buf, sizeof buf, "0x%016llx", static_cast<unsigned long long>(v));
  return buf;
}

// Lays what `writes` put at [at, at + n) over `buf`, and `prefix` over the first bytes.
void Overlay(const std::vector<InPlaceWrite>* writes, const std::string* prefix, int64_t at,
             char* buf, int64_t n) {
  if (writes != nullptr) {
    for (const InPlaceWrite& w : *writes) {
      const int64_t from = std::max(at, w.pos);
      const int64_t to = std::min(at + n, w.pos + static_cast<int64_t>(w.bytes.size()));
      if (from < to) {
        std::memcpy(buf + (from - at), w.bytes.data() + (from - w.pos),
                    static_cast<std::size_t>(to - from));
      }
    }
  }
  if (prefix != nullptr && at < static_cast<int64_t>(prefix->size())) {
    const int64_t to = std::min(at + n, static_cast<int64_t>(prefix->size()));
    std::memcpy(buf, prefix->data() + at, static_cast<std::size_t>(to - at));
  }
}

// The size and hash of the file at `path`, as it reads with `writes` and `prefix` laid over it
// when given, and its first kMarkBytes as they are in *first; *exists false when there is none.
Status HashFile(Files& files, const std::string& path, bool* exists, int64_t* size, uint64_t* hash,
                const std::vector<InPlaceWrite>* writes = nullptr,
                const std::string* prefix = nullptr, std::string* first = nullptr) {
  *exists = false;
  *size = 0;
  *hash = kFnv1aStart;
  const int fd = files.Open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd == -1) return errno == ENOENT ? Status::Ok() : Status::FromErrno(errno).In(path);
  *exists = true;
  char buf[1 << 16];
  Status s;
  for (;;) {
    const ssize_t n = files.Read(fd, buf, sizeof buf);
    if (n < 0) s = Status::FromErrno(errno).In(path);
    if (n <= 0) break;
    if (first != nullptr && *size < kMarkBytes) {
      first->append(buf, static_cast<std::size_t>(std::min<int64_t>(n, kMarkBytes - *size)));
    }
    Overlay(writes, prefix, *size, buf, n);
    *hash = Fnv1a64(std::string_view(buf, static_cast<std::size_t>(n)), *hash);
    *size += n;
  }
  files.Close(fd);
  return s;
}

std::string HexBytes(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = bytes.empty() ? "-" : "";
  for (const char c : bytes) {
    out += kHex[static_cast<unsigned char>(c) >> 4];
    out += kHex[static_cast<unsigned char>(c) & 15];
  }
  return out;
}

bool FromHex(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text == "-") return true;
  if (text.size() % 2 != 0) return false;
  auto digit = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = digit(text[i]), lo = digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<char>(hi << 4 | lo));
  }
  return true;
}

std::string JournalText(uint64_t nonce, const std::vector<FolderMember>& members,
                        const std::vector<std::string>& folders) {
  std::string text = std::string(kJournalMagic) + "\nnonce " + Hex(nonce) + "\n";
  for (const std::string& f : folders) text += "dir " + Encode(f) + "\n";
  std::size_t lines = folders.size();
  for (const FolderMember& m : members) {
    const std::string old = std::to_string(m.oldSize) + " " + Hex(m.oldHash);
    const std::string fresh = std::to_string(m.newSize) + " " + Hex(m.newHash);
    ++lines;
    switch (m.kind) {
      case FolderMember::kReplace:
        text += "replace " + m.staged + " " + Encode(m.relative) + " " + old + " " + fresh + "\n";
        break;
      case FolderMember::kAdd:
        text += "add " + m.staged + " " + Encode(m.relative) + " " + fresh + "\n";
        break;
      case FolderMember::kRemove:
        text += "remove " + Encode(m.relative) + " " + old + "\n";
        break;
      case FolderMember::kWrite:
        text += "write " + Encode(m.relative) + " " + old + " " + fresh + " " +
                HexBytes(m.unmarked) + " " + std::to_string(m.writes.size()) + "\n";
        for (const InPlaceWrite& w : m.writes) {
          text += "at " + std::to_string(w.pos) + " " + HexBytes(w.bytes) + "\n";
          ++lines;
        }
        break;
    }
  }
  return text + "end " + std::to_string(lines) + " fnv64 " + Hex(Fnv1a64(text)) + "\n";
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    fields.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return fields;
}

bool Number(const std::string& text, int64_t* n) {
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  *n = v;
  return !text.empty() && errno == 0 && *end == '\0' && v >= 0;
}

bool HashField(const std::string& text, uint64_t* h) {
  char* end = nullptr;
  if (text.size() != 18 || text.compare(0, 2, "0x") != 0) return false;
  *h = std::strtoull(text.c_str() + 2, &end, 16);
  return *end == '\0';
}

bool SizeAndHashFields(const std::vector<std::string>& f, std::size_t at, int64_t* size,
                       uint64_t* hash) {
  return at + 1 < f.size() && Number(f[at], size) && HashField(f[at + 1], hash);
}

// A staged file's name is one the change made: "N.new".
bool StagedName(const std::string& name) {
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0 &&
         name.find('/') == std::string::npos;
}

// One member's line (and, for a write, the lines of its bytes).
bool ReadMember(const std::vector<std::string>& f, FolderMember* m) {
  const std::string& kind = f[0];
  if (kind == "replace" && f.size() == 7) {
    m->kind = FolderMember::kReplace;
    m->staged = f[1];
    return StagedName(m->staged) && Decode(f[2], &m->relative) &&
           SizeAndHashFields(f, 3, &m->oldSize, &m->oldHash) &&
           SizeAndHashFields(f, 5, &m->newSize, &m->newHash);
  }
  if (kind == "add" && f.size() == 5) {
    m->kind = FolderMember::kAdd;
    m->staged = f[1];
    return StagedName(m->staged) && Decode(f[2], &m->relative) &&
           SizeAndHashFields(f, 3, &m->newSize, &m->newHash);
  }
  if (kind == "remove" && f.size() == 4) {
    m->kind = FolderMember::kRemove;
    return Decode(f[1], &m->relative) && SizeAndHashFields(f, 2, &m->oldSize, &m->oldHash);
  }
  return false;
}

// The journal's nonce, members and folders: false unless it is whole, as Commit wrote it.
bool ReadJournalText(const std::string& text, uint64_t* nonce, std::vector<FolderMember>* members,
                     std::vector<std::string>* folders) {
  const std::size_t last = text.rfind("\nend ");
  if (last == std::string::npos || text.empty() || text.back() != '\n') return false;
  const std::string body = text.substr(0, last + 1);
  const std::vector<std::string> end = Fields(text.substr(last + 1, text.size() - last - 2));
  int64_t count = 0;
  uint64_t hash = 0;
  if (end.size() != 4 || end[0] != "end" || end[2] != "fnv64" || !Number(end[1], &count) ||
      !HashField(end[3], &hash) || hash != Fnv1a64(body)) {
    return false;
  }
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t stop = body.find('\n', at);
    lines.push_back(body.substr(at, stop - at));
    at = stop + 1;
  }
  if (lines.size() < 2 || lines[0] != kJournalMagic) return false;
  const std::vector<std::string> head = Fields(lines[1]);
  if (head.size() != 2 || head[0] != "nonce" || !HashField(head[1], nonce)) return false;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::vector<std::string> f = Fields(lines[i]);
    if (f.empty()) return false;
    std::string decoded;
    if (f[0] == "dir" && f.size() == 2 && Decode(f[1], &decoded)) {
      folders->push_back(decoded);
      continue;
    }
    FolderMember m;
    int64_t writes = 0;
    if (f[0] == "write") {
      m.kind = FolderMember::kWrite;
      if (f.size() != 8 || !Decode(f[1], &m.relative) ||
          !SizeAndHashFields(f, 2, &m.oldSize, &m.oldHash) ||
          !SizeAndHashFields(f, 4, &m.newSize, &m.newHash) || !FromHex(f[6], &m.unmarked) ||
          m.unmarked.size() > static_cast<std::size_t>(kMarkBytes) || !Number(f[7], &writes) ||
          writes > static_cast<int64_t>(lines.size() - i - 1)) {
        return false;
      }
      for (int64_t w = 0; w < writes; ++w) {
        const std::vector<std::string> at = Fields(lines[++i]);
        InPlaceWrite write;
        if (at.size() != 3 || at[0] != "at" || !Number(at[1], &write.pos) ||
            !FromHex(at[2], &write.bytes)) {
          return false;
        }
        m.writes.push_back(std::move(write));
      }
    } else if (!ReadMember(f, &m)) {
      return false;
    }
    members->push_back(std::move(m));
  }
  return count == static_cast<int64_t>(lines.size() - 2);
}

bool SameOwner(Files& files, int fd, const struct stat& target) {
  struct stat st;
  return files.Stat(fd, &st) == 0 && st.st_uid == target.st_uid && st.st_gid == target.st_gid;
}

// Removes every name in the staging folder, and the folder.
void ClearStaging(Files& files, const std::string& staging) {
  std::vector<DirectoryEntry> entries;
  if (files.ListDirectory(staging, &entries, nullptr) == 0) {
    for (const DirectoryEntry& e : entries) {
      if (e.kind != DirectoryEntry::kDirectory) files.Unlink(Join(staging, e.name));
    }
  }
  files.RemoveDirectory(staging);
}

// One pass over the files changed in place: their marks, their bytes, or what lies under their
// marks once changed.
enum class Pass { kMark, kBytes, kUnmark };

Status WritePass(Files& files, const std::string& root, uint64_t nonce,
                 const std::vector<const FolderMember*>& members, Pass pass) {
  const std::string mark = MarkOf(nonce);
  for (const FolderMember* m : members) {
    if (m->kind != FolderMember::kWrite) continue;
    const std::string path = Join(root, m->relative);
    const int fd = files.Open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd == -1) return Status::FromErrno(errno).In(path);
    PositionedFile file(files, fd);
    Status s;
    if (pass == Pass::kMark) s = file.WriteAt(0, mark.data(), mark.size());
    if (pass == Pass::kUnmark) s = file.WriteAt(0, m->unmarked.data(), m->unmarked.size());
    for (const InPlaceWrite& w : m->writes) {
      // What lies under the mark is written with the mark's going.
      const int64_t end = w.pos + static_cast<int64_t>(w.bytes.size());
      if (pass != Pass::kBytes || end <= kMarkBytes || !s.ok()) continue;
      const int64_t from = std::max(w.pos, kMarkBytes);
      s = file.WriteAt(from, w.bytes.data() + (from - w.pos), static_cast<std::size_t>(end - from));
    }
    if (files.Close(fd) == -1 && s.ok()) s = Status::FromErrno(errno).In(path);
    if (!s.ok()) return s.In(path);
  }
  return Status::Ok();
}

// Makes what is left of a decided change: files changed in place marked, written and unmarked,
// staged files renamed over their targets, removed files unlinked, each kind of step in a flush
// of its own when `durable`.
Status MakeMembers(Files& files, const std::string& root, const std::string& staging,
                   uint64_t nonce, int fd, bool durable,
                   const std::vector<const FolderMember*>& members) {
  auto flush = [&]() {
    return !durable || files.SyncFileSystem(fd) == 0 ? Status::Ok()
                                                     : Status::FromErrno(errno).In(root);
  };
  Status s = WritePass(files, root, nonce, members, Pass::kMark);
  if (s.ok()) s = flush();
  if (s.ok()) s = WritePass(files, root, nonce, members, Pass::kBytes);
  for (const FolderMember* m : members) {
    if (!s.ok()) break;
    const std::string target = Join(root, m->relative);
    int rc = 0;
    if (m->kind == FolderMember::kRemove) {
      rc = files.Unlink(target);
    } else if (m->kind != FolderMember::kWrite) {
      rc = files.Rename(Join(staging, m->staged), target);
    }
    if (rc == -1) s = Status::FromErrno(errno).In(target);
  }
  if (s.ok()) s = flush();
  if (s.ok()) s = WritePass(files, root, nonce, members, Pass::kUnmark);
  if (s.ok()) s = flush();
  return s;
}

}  // namespace

FolderChange::FolderChange(Files& files, std::string root, bool durable)
    : files_(files),
      root_(std::move(root)),
      staging_(Join(root_, kFolderChangeDir)),
      durable_(durable),
      nonce_(NewNonce()) {}

FolderChange::~FolderChange() {
  if (begun_ && !committed_) Abandon();
  if (lockFd_ != -1) files_.Close(lockFd_);
}

Status FolderChange::Begin() {
  if (files_.MakeDirectory(staging_, 0700) == -1) {
    if (errno == EEXIST) {
      return Status::Refused("a change over this folder is under way or was interrupted (" +
                             staging_ + " is there): run atbutil recover " + root_);
    }
    return Status::FromErrno(errno).In(root_);
  }
  begun_ = true;
  const std::string journal = Join(staging_, kJournalName);
  lockFd_ = files_.Open(journal, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
  if (lockFd_ == -1 || files_.TryLockChanges(lockFd_, true) == -1) {
    return Status::FromErrno(errno).In(journal);
  }
  return Status::Ok();
}

Status CheckFolderWay(Files& files, const std::string& root, const std::string& relative,
                      bool exists, struct stat* st) {
  std::size_t at = 0;
  for (;;) {
    const std::size_t slash = relative.find('/', at);
    const std::string path = Join(root, relative.substr(0, slash));
    const bool last = slash == std::string::npos;
    if (files.StatPath(path, st) == -1) {
      if (errno == ENOENT && !exists) return Status::Ok();
      return Status::FromErrno(errno).In(path);
    }
    if (S_ISLNK(st->st_mode)) {
      return Status::Refused("is a symlink, which a change over a folder never follows").In(path);
    }
    if (!last && !S_ISDIR(st->st_mode)) return Status::Refused("is not a folder").In(path);
    if (last) {
      if (!exists) return Status::Refused("is there already").In(path);
      if (!S_ISREG(st->st_mode)) return Status::Refused("not a regular file").In(path);
      if (st->st_nlink > 1) {
        return Status::Refused("has " + std::to_string(st->st_nlink) +
                               " names (hard links), which a change over a folder would part: "
                               "change the file on its own")
            .In(path);
      }
      return Status::Ok();
    }
    at = slash + 1;
  }
}

Status FolderChange::MakeFolders(const std::string& relative) {
  for (std::size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    const std::string path = Join(root_, relative.substr(0, slash));
    if (files_.MakeDirectory(path, 0777) == 0) {
      madeFolders_.push_back(relative.substr(0, slash));
    } else if (errno != EEXIST) {
      return Status::FromErrno(errno).In(path);
    }
  }
  return Status::Ok();
}

Status FolderChange::Stage(const std::string& relative, FolderMember::Kind kind, int* fd,
                           std::string* path) {
  *fd = -1;
  struct stat st;
  Status s = CheckFolderWay(files_, root_, relative, kind == FolderMember::kReplace, &st);
  if (!s.ok()) return s;
  if (kind == FolderMember::kAdd && !(s = MakeFolders(relative)).ok()) return s;
  FolderMember m;
  m.kind = kind;
  m.relative = relative;
  m.staged = std::to_string(members_.size()) + ".new";
  *path = Join(staging_, m.staged);
  const mode_t mode = kind == FolderMember::kReplace ? st.st_mode & 07777 : 0666;
  const int staged = files_.Open(*path, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, mode);
  if (staged == -1) return Status::FromErrno(errno).In(*path);
  members_.push_back(m);
  if (kind == FolderMember::kReplace) {
    // The target keeps its mode and owner under its new bytes.
    if (files_.ChangeMode(staged, mode) == -1 ||
        (files_.UserId() == 0 && !SameOwner(files_, staged, st) &&
         files_.ChangeOwner(staged, st.st_uid, st.st_gid) == -1)) {
      s = Status::FromErrno(errno).In(*path);
    }
    const std::string target = Join(root_, relative);
    const int from = s.ok() ? files_.Open(target, O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0) : -1;
    if (s.ok() && from == -1) s = Status::FromErrno(errno).In(target);
    // An editor holding the file open would go on writing to bytes that are no longer it.
    if (s.ok() && files_.Lock(from) == -1) {
      s = errno == EWOULDBLOCK ? Status::Refused("is open in atb or being changed").In(target)
                               : Status::FromErrno(errno).In(target);
    }
    uint64_t hash = kFnv1aStart;
    int64_t size = 0;
    char buf[1 << 16];
    while (s.ok()) {
      const ssize_t n = files_.Read(from, buf, sizeof buf);
      if (n < 0) s = Status::FromErrno(errno).In(target);
      if (n <= 0) break;
      if (files_.Write(staged, buf, static_cast<std::size_t>(n)) != n) {
        s = Status::FromErrno(errno).In(*path);
      }
      hash = Fnv1a64(std::string_view(buf, static_cast<std::size_t>(n)), hash);
      size += n;
    }
    if (from != -1) files_.Close(from);
    members_.back().oldSize = size;
    members_.back().oldHash = hash;
  }
  if (!s.ok()) {
    files_.Close(staged);
    return s;
  }
  files_.Seek(staged, 0, SEEK_SET);
  *fd = staged;
  return Status::Ok();
}

Status FolderChange::Staged(int fd) {
  FolderMember& m = members_.back();
  m.newSize = 0;
  m.newHash = kFnv1aStart;
  if (files_.Seek(fd, 0, SEEK_SET) == -1) return Status::FromErrno(errno).In(m.staged);
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = files_.Read(fd, buf, sizeof buf);
    if (n < 0) return Status::FromErrno(errno).In(Join(staging_, m.staged));
    if (n == 0) return Status::Ok();
    m.newHash = Fnv1a64(std::string_view(buf, static_cast<std::size_t>(n)), m.newHash);
    m.newSize += n;
  }
}

Status FolderChange::StageRemoval(const std::string& relative) {
  struct stat st;
  Status s = CheckFolderWay(files_, root_, relative, true, &st);
  if (!s.ok()) return s;
  FolderMember m;
  m.kind = FolderMember::kRemove;
  m.relative = relative;
  bool exists;
  s = HashFile(files_, Join(root_, relative), &exists, &m.oldSize, &m.oldHash);
  if (s.ok()) members_.push_back(m);
  return s;
}

Status FolderChange::StageWrites(const std::string& relative, std::vector<InPlaceWrite> writes) {
  struct stat st;
  Status s = CheckFolderWay(files_, root_, relative, true, &st);
  if (!s.ok()) return s;
  const std::string target = Join(root_, relative);
  // An editor holding the file open would write over what the change writes.
  const int held = files_.Open(target, O_RDONLY | O_CLOEXEC | O_NOFOLLOW, 0);
  if (held == -1) return Status::FromErrno(errno).In(target);
  if (files_.Lock(held) == -1) {
    s = errno == EWOULDBLOCK ? Status::Refused("is open in atb or being changed").In(target)
                             : Status::FromErrno(errno).In(target);
  }
  files_.Close(held);
  if (!s.ok()) return s;
  FolderMember m;
  m.kind = FolderMember::kWrite;
  m.relative = relative;
  m.writes = std::move(writes);
  bool exists;
  std::string first;
  if (!(s = HashFile(files_, target, &exists, &m.oldSize, &m.oldHash, nullptr, nullptr, &first))
           .ok()) {
    return s;
  }
  if (first.size() < static_cast<std::size_t>(kMarkBytes) ||
      MarkIn(reinterpret_cast<const uint8_t*>(first.data())).marked) {
    return Status::Refused("is in the middle of another change").In(target);
  }
  m.unmarked = first;
  Overlay(&m.writes, nullptr, 0, m.unmarked.data(), kMarkBytes);
  s = HashFile(files_, target, &exists, &m.newSize, &m.newHash, &m.writes);
  if (s.ok()) members_.push_back(std::move(m));
  return s;
}

Status FolderChange::Commit() {
  const std::string text = JournalText(nonce_, members_, madeFolders_);
  if (files_.Write(lockFd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    return Status::FromErrno(errno).In(Join(staging_, kJournalName));
  }
  // The one flush that decides: every staged file and the journal on the disk together.
  if (durable_ && files_.SyncFileSystem(lockFd_) == -1) return Status::FromErrno(errno).In(root_);
  committed_ = true;
  std::vector<const FolderMember*> members;
  for (const FolderMember& m : members_) members.push_back(&m);
  Status s = MakeMembers(files_, root_, staging_, nonce_, lockFd_, durable_, members);
  if (s.ok() &&
      (files_.Unlink(Join(staging_, kJournalName)) == -1 ||
       files_.RemoveDirectory(staging_) == -1 || (durable_ && files_.SyncDirectory(root_) == -1))) {
    s = Status::FromErrno(errno).In(staging_);
  }
  return s;
}

void FolderChange::Abandon() {
  for (const FolderMember& m : members_) {
    if (!m.staged.empty()) files_.Unlink(Join(staging_, m.staged));
  }
  ClearStaging(files_, staging_);
  for (auto it = madeFolders_.rbegin(); it != madeFolders_.rend(); ++it) {
    files_.RemoveDirectory(Join(root_, *it));
  }
}

std::string FolderChangeAbove(Files& files, const std::string& path, uid_t owner) {
  std::string dir = DirectoryOf(path);
  for (int depth = 0; depth < 4096; ++depth) {
    struct stat st;
    if (files.StatPath(Join(dir, kFolderChangeDir), &st) == 0 && S_ISDIR(st.st_mode) &&
        (st.st_uid == owner || st.st_uid == 0)) {
      return dir;
    }
    if (dir == "/" || dir == "." || dir.empty()) break;
    dir = DirectoryOf(dir);
  }
  return {};
}

namespace {

// Where each member of a decided change stands now.
struct Standing {
  bool stagedWhole = false;  // the staged file is there, holding the new bytes
  bool stagedThere = false;
  bool targetOld = false, targetNew = false, targetGone = false;
  // Changed in place: it bears the change's mark, and holds, but for the bytes the change writes,
  // what it held before.
  bool marked = false, fits = false;
};

Status StandingOf(Files& files, const std::string& root, const std::string& staging, uint64_t nonce,
                  const FolderMember& m, Standing* st) {
  bool exists;
  int64_t size;
  uint64_t hash;
  if (m.kind == FolderMember::kReplace || m.kind == FolderMember::kAdd) {
    Status s = HashFile(files, Join(staging, m.staged), &exists, &size, &hash);
    if (!s.ok()) return s;
    st->stagedThere = exists;
    st->stagedWhole = exists && size == m.newSize && hash == m.newHash;
  }
  const std::string target = Join(root, m.relative);
  std::string first;
  Status s = HashFile(files, target, &exists, &size, &hash, nullptr, nullptr, &first);
  if (!s.ok()) return s;
  if (m.kind == FolderMember::kWrite && first.size() == static_cast<std::size_t>(kMarkBytes)) {
    const FileMark mark = MarkIn(reinterpret_cast<const uint8_t*>(first.data()));
    st->marked = (mark.marked && mark.nonce == nonce) || mark.Near(nonce);
    int64_t fitSize;
    uint64_t fitHash;
    s = HashFile(files, target, &exists, &fitSize, &fitHash, &m.writes, &m.unmarked);
    if (!s.ok()) return s;
    st->fits = st->marked && fitSize == m.newSize && fitHash == m.newHash;
  }
  st->targetGone = !exists;
  st->targetOld = exists && !st->marked && m.kind != FolderMember::kAdd && size == m.oldSize &&
                  hash == m.oldHash;
  st->targetNew = exists && !st->marked && m.kind != FolderMember::kRemove && size == m.newSize &&
                  hash == m.newHash;
  return Status::Ok();
}

// Takes back a change that was not made: what it staged and the folders it made.
void Undo(Files& files, const std::string& root, const std::string& staging,
          const std::vector<std::string>& folders) {
  ClearStaging(files, staging);
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    files.RemoveDirectory(Join(root, *it));
  }
}

// Whether a member's part of the change is made.
bool Done(const FolderMember& m, const Standing& st) {
  switch (m.kind) {
    case FolderMember::kRemove:
      return st.targetGone;
    case FolderMember::kWrite:
      return st.targetNew;
    default:
      return !st.stagedThere && st.targetNew;
  }
}

Status Finish(Files& files, const std::string& root, const std::string& staging, uint64_t nonce,
              int fd, const std::vector<FolderMember>& members,
              const std::vector<Standing>& standing) {
  std::vector<const FolderMember*> left;
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (!Done(members[i], standing[i])) left.push_back(&members[i]);
  }
  Status s = MakeMembers(files, root, staging, nonce, fd, true, left);
  if (!s.ok()) return s;
  ClearStaging(files, staging);
  if (files.SyncDirectory(root) == -1) return Status::FromErrno(errno).In(root);
  return Status::Ok();
}

// What stops the change from being finished: empty when nothing does. *untouched says whether
// every target still holds what the change found.
std::string Obstacle(const std::vector<FolderMember>& members,
                     const std::vector<Standing>& standing, bool* untouched) {
  *untouched = true;
  std::string why;
  for (std::size_t i = 0; i < members.size(); ++i) {
    const FolderMember& m = members[i];
    const Standing& st = standing[i];
    const bool before = m.kind == FolderMember::kAdd ? st.targetGone : st.targetOld;
    const bool ready =
        m.kind == FolderMember::kRemove || m.kind == FolderMember::kWrite || st.stagedWhole;
    const bool midway = m.kind == FolderMember::kWrite && st.fits;
    if (!before) *untouched = false;
    if (!(before && ready) && !midway && !Done(m, st) && why.empty()) {
      why = m.relative + ": " +
            (before ? "its staged new bytes are missing or damaged"
                    : "holds neither what the change found nor what it makes");
    }
  }
  return why;
}

}  // namespace

Status RecoverFolderChange(Files& files, const std::string& root, std::string* what) {
  what->clear();
  const std::string staging = Join(root, kFolderChangeDir);
  const std::string journal = Join(staging, kJournalName);
  struct stat st;
  if (files.StatPath(staging, &st) == -1) {
    return errno == ENOENT ? Status::Ok() : Status::FromErrno(errno).In(staging);
  }
  const int fd = files.Open(journal, O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd == -1) {
    if (errno != ENOENT) return Status::FromErrno(errno).In(journal);
    // Stopped before its journal was made: nothing was decided.
    Undo(files, root, staging, {});
    *what = "undone";
    return Status::Ok();
  }
  struct Closer {
    Files& files;
    int fd;
    ~Closer() { files.Close(fd); }
  } closer{files, fd};
  Status s = AwaitChangeLock(files, fd, true, root, journal);
  if (!s.ok()) return s;
  // A change under way that finished while this waited: nothing left to do.
  struct stat open, named;
  if (files.Stat(fd, &open) == -1 || files.StatPath(journal, &named) == -1 ||
      open.st_ino != named.st_ino) {
    return Status::Ok();
  }
  std::string text;
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = files.Read(fd, buf, sizeof buf);
    if (n < 0) return Status::FromErrno(errno).In(journal);
    if (n == 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  uint64_t nonce = 0;
  std::vector<FolderMember> members;
  std::vector<std::string> folders;
  if (!ReadJournalText(text, &nonce, &members, &folders)) {
    // A journal cut short was never decided, so no target was touched.
    Undo(files, root, staging, {});
    *what = "undone";
    return Status::Ok();
  }
  std::vector<Standing> standing(members.size());
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (!(s = StandingOf(files, root, staging, nonce, members[i], &standing[i])).ok()) return s;
  }
  bool untouched;
  const std::string why = Obstacle(members, standing, &untouched);
  if (why.empty()) {
    s = Finish(files, root, staging, nonce, fd, members, standing);
    if (s.ok()) *what = "finished";
    return s;
  }
  // A power loss before the deciding flush can leave a whole journal beside staged bytes that
  // never landed; as long as no target was touched, the change is taken back.
  if (untouched) {
    Undo(files, root, staging, folders);
    *what = "undone";
    return Status::Ok();
  }
  return Status::Refused("the change over this folder that was interrupted cannot be finished: " +
                         why + "; every file is left as it is")
      .In(root);
}

}  // namespace atb
