#include "change/folder_change.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
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
                const std::string* prefix = nullptr, std::string* first = nullptr,
                const std::vector<InPlaceWrite>* alsoWrites = nullptr,
                uint64_t* alsoHash = nullptr) {
  if (alsoHash != nullptr) *alsoHash = kFnv1aStart;
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
    // And as it reads with `alsoWrites` laid over instead.
    if (alsoHash != nullptr) {
      Overlay(alsoWrites, nullptr, *size, buf, n);
      *alsoHash = Fnv1a64(std::string_view(buf, static_cast<std::size_t>(n)), *alsoHash);
    }
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

// A path below the folder as Stage takes one: no way out of the folder, nor into the staging one.
bool PlainRelative(const std::string& relative) {
  if (relative.empty() || relative[0] == '/') return false;
  for (const char c : relative) {
    if (static_cast<unsigned char>(c) < 0x20) return false;
  }
  for (std::size_t at = 0;;) {
    const std::size_t slash = relative.find('/', at);
    const std::string part = relative.substr(at, slash - at);
    if (part.empty() || part == "." || part == ".." || part == kFolderChangeDir) return false;
    if (slash == std::string::npos) return true;
    at = slash + 1;
  }
}

bool Number(const std::string& text, int64_t* n) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  *n = v;
  return *end == '\0' && errno == 0;
}

bool HexNumber(const std::string& text, uint64_t* n) {
  if (text.size() < 3 || text.compare(0, 2, "0x") != 0 || !std::isxdigit(text[2])) return false;
  errno = 0;
  char* end;
  const unsigned long long v = std::strtoull(text.c_str() + 2, &end, 16);
  *n = v;
  return *end == '\0' && errno == 0;
}

// A staged file's name as Stage gives it: "N.new".
bool StagedName(const std::string& name) {
  const std::size_t dot = name.find('.');
  return dot > 0 && dot != std::string::npos && name.substr(dot) == ".new" &&
         name.find_first_not_of("0123456789") == dot;
}

// One line of the journal's body, read into *m or *folders; false where it is none.
bool ReadJournalLine(const std::string& line, FolderMember* m, std::vector<std::string>* folders) {
  std::vector<std::string> w;
  for (std::size_t at = 0; at <= line.size();) {
    const std::size_t blank = std::min(line.find(' ', at), line.size());
    w.push_back(line.substr(at, blank - at));
    at = blank + 1;
  }
  std::string name;
  if (w[0] == "dir" && w.size() == 2) {
    if (!Decode(w[1], &name) || !PlainRelative(name)) return false;
    folders->push_back(name);
    return true;
  }
  bool read = false;
  if (w[0] == "replace" && w.size() == 7) {
    m->kind = FolderMember::kReplace;
    read = Number(w[3], &m->oldSize) && HexNumber(w[4], &m->oldHash) && Number(w[5], &m->newSize) &&
           HexNumber(w[6], &m->newHash);
  } else if (w[0] == "add" && w.size() == 5) {
    m->kind = FolderMember::kAdd;
    read = Number(w[3], &m->newSize) && HexNumber(w[4], &m->newHash);
  } else if (w[0] == "remove" && w.size() == 4) {
    m->kind = FolderMember::kRemove;
    w.insert(w.begin() + 1, std::string());
    read = Number(w[3], &m->oldSize) && HexNumber(w[4], &m->oldHash);
  }
  if (!read || !Decode(w[2], &m->relative) || !PlainRelative(m->relative)) return false;
  m->staged = w[1];
  return m->kind == FolderMember::kRemove || StagedName(m->staged);
}

// The folders that a journal cut short tells were made: its whole "dir" lines after the first.
std::vector<std::string> FoldersMade(const std::string& text) {
  std::vector<std::string> folders;
  std::size_t at = text.find('\n');
  if (at == std::string::npos || text.substr(0, at) != kJournalMagic) return folders;
  // The nonce's line comes first.
  at = text.find('\n', at + 1);
  if (at == std::string::npos) return folders;
  for (std::size_t end; (end = text.find('\n', ++at)) != std::string::npos; at = end) {
    FolderMember unused;
    if (text.compare(at, 4, "dir ") != 0 ||
        !ReadJournalLine(text.substr(at, end - at), &unused, &folders)) {
      break;
    }
  }
  return folders;
}

// The lines of a member changed in place: "write NAME OLD NEW UNMARKED COUNT", then COUNT lines
// "at POS BYTES". *next is the line after them.
bool ReadWriteMember(const std::vector<std::string>& lines, std::size_t* next, FolderMember* m) {
  std::vector<std::string> f;
  const std::string& line = lines[*next];
  for (std::size_t at = 0; at <= line.size();) {
    const std::size_t blank = std::min(line.find(' ', at), line.size());
    f.push_back(line.substr(at, blank - at));
    at = blank + 1;
  }
  int64_t writes = 0;
  m->kind = FolderMember::kWrite;
  if (f.size() != 8 || !Decode(f[1], &m->relative) || !PlainRelative(m->relative) ||
      !Number(f[2], &m->oldSize) || !HexNumber(f[3], &m->oldHash) || !Number(f[4], &m->newSize) ||
      !HexNumber(f[5], &m->newHash) || !FromHex(f[6], &m->unmarked) ||
      m->unmarked.size() != static_cast<std::size_t>(kMarkBytes) || !Number(f[7], &writes) ||
      writes < 0 || writes > static_cast<int64_t>(lines.size() - *next - 1)) {
    return false;
  }
  for (int64_t w = 0; w < writes; ++w) {
    const std::string& at = lines[++*next];
    const std::size_t blank = at.find(' ', 3);
    InPlaceWrite write;
    if (at.compare(0, 3, "at ") != 0 || blank == std::string::npos ||
        !Number(at.substr(3, blank - 3), &write.pos) ||
        !FromHex(at.substr(blank + 1), &write.bytes)) {
      return false;
    }
    m->writes.push_back(std::move(write));
  }
  ++*next;
  return true;
}

// The journal's nonce, members and folders: false unless it is whole, as Commit wrote it.
bool ReadJournalText(const std::string& text, uint64_t* nonce, std::vector<FolderMember>* members,
                     std::vector<std::string>* folders) {
  const std::size_t last = text.rfind("\nend ");
  if (last == std::string::npos || text.empty() || text.back() != '\n') return false;
  const std::string body = text.substr(0, last + 1);
  unsigned long long count = 0, hash = 0;
  char tail;
  if (std::sscanf(text.c_str() + last + 1, "end %llu fnv64 0x%llx%c", &count, &hash, &tail) != 3 ||
      tail != '\n' || hash != Fnv1a64(body)) {
    return false;
  }
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < body.size();) {
    const std::size_t end = body.find('\n', at);
    lines.push_back(body.substr(at, end - at));
    at = end + 1;
  }
  if (lines.size() < 2 || lines[0] != kJournalMagic || lines[1].compare(0, 6, "nonce ") != 0 ||
      !HexNumber(lines[1].substr(6), nonce)) {
    return false;
  }
  for (std::size_t i = 2; i < lines.size();) {
    FolderMember m;
    if (lines[i].compare(0, 6, "write ") == 0) {
      if (!ReadWriteMember(lines, &i, &m)) return false;
      members->push_back(std::move(m));
      continue;
    }
    const std::size_t dirs = folders->size();
    if (!ReadJournalLine(lines[i], &m, folders)) return false;
    if (folders->size() == dirs) members->push_back(std::move(m));
    ++i;
  }
  return count == lines.size() - 2;
}

bool SameOwner(Files& files, int fd, const struct stat& target) {
  struct stat st;
  return files.Stat(fd, &st) == 0 && st.st_uid == target.st_uid && st.st_gid == target.st_gid;
}

// Removes every name in the staging folder, and the folder; only while its journal is locked, so
// that no change can be begun in it meanwhile.
Status ClearStaging(Files& files, const std::string& staging) {
  std::vector<DirectoryEntry> entries;
  if (files.ListDirectory(staging, &entries, nullptr) == 0) {
    for (const DirectoryEntry& e : entries) {
      if (e.kind != DirectoryEntry::kDirectory) files.Unlink(Join(staging, e.name));
    }
  }
  if (files.RemoveDirectory(staging) == 0 || errno == ENOENT) return Status::Ok();
  if (errno == ENOTEMPTY || errno == EEXIST) {
    return Status::Refused("holds folders that no change over the folder leaves there: remove them")
        .In(staging);
  }
  return Status::FromErrno(errno).In(staging);
}

// One pass over the files changed in place: their marks, their bytes, or what lies under their
// marks once changed.
enum class Pass { kMark, kBytes, kUnmark };

Status WritePasses(Files& files, const std::string& root, uint64_t nonce,
                   const std::vector<const FolderMember*>& members, std::vector<Pass> passes) {
  const std::string mark = MarkOf(nonce);
  for (const FolderMember* m : members) {
    if (m->kind != FolderMember::kWrite) continue;
    const std::string path = Join(root, m->relative);
    const int fd = files.Open(path, O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0);
    if (fd == -1) return Status::FromErrno(errno).In(path);
    PositionedFile file(files, fd);
    Status s;
    for (const Pass pass : passes) {
      if (s.ok() && pass == Pass::kMark) s = file.WriteAt(0, mark.data(), mark.size());
      if (s.ok() && pass == Pass::kUnmark) {
        s = file.WriteAt(0, m->unmarked.data(), m->unmarked.size());
      }
      for (const InPlaceWrite& w : m->writes) {
        // What lies under the mark is written with the mark's going.
        const int64_t end = w.pos + static_cast<int64_t>(w.bytes.size());
        if (pass != Pass::kBytes || end <= kMarkBytes || !s.ok()) continue;
        const int64_t from = std::max(w.pos, kMarkBytes);
        s = file.WriteAt(from, w.bytes.data() + (from - w.pos),
                         static_cast<std::size_t>(end - from));
      }
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
  // Without flushes, each file is marked, written and unmarked at one opening: a kill still
  // finds it marked until it is whole.
  Status s = durable ? WritePasses(files, root, nonce, members, {Pass::kMark})
                     : WritePasses(files, root, nonce, members,
                                   {Pass::kMark, Pass::kBytes, Pass::kUnmark});
  if (s.ok()) s = flush();
  if (s.ok() && durable) s = WritePasses(files, root, nonce, members, {Pass::kBytes});
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
  if (s.ok() && durable) s = WritePasses(files, root, nonce, members, {Pass::kUnmark});
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
  const std::string journal = Join(staging_, kJournalName);
  // The staging folder is this change's only once its journal is locked and still named there: a
  // recovery beside it may have found the folder without one, made its own and taken it away.
  for (int tries = 0; tries < 8; ++tries) {
    if (files_.MakeDirectory(staging_, 0700) == -1) {
      if (errno != EEXIST) return Status::FromErrno(errno).In(root_);
      // Another change: waited for while under way, settled when its process died.
      std::string what;
      if (Status s = RecoverFolderChange(files_, root_, &what); !s.ok()) return s;
      continue;
    }
    const int fd = files_.Open(journal, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600);
    if (fd == -1) {
      if (errno == EEXIST || errno == ENOENT) continue;
      const int err = errno;
      files_.RemoveDirectory(staging_);
      return Status::FromErrno(err).In(journal);
    }
    struct stat open, named;
    if (files_.TryLockChanges(fd, true) == 0 && files_.Stat(fd, &open) == 0 &&
        files_.StatPath(journal, &named) == 0 && open.st_ino == named.st_ino &&
        open.st_dev == named.st_dev) {
      lockFd_ = fd;
      begun_ = true;
      const std::string head = std::string(kJournalMagic) + "\nnonce " + Hex(nonce_) + "\n";
      if (Status s = WriteJournal(head); !s.ok()) return s;
      return CheckNoChangeAbove();
    }
    files_.Close(fd);
  }
  return Status::Refused("other changes over this folder kept this one from beginning (" +
                         staging_ + " is there): try again, or run atbutil recover " + root_);
}

namespace {

// Whether the rename that puts a file in place in `dir`, or takes it away, can be made: refused
// after the change is decided, it would leave the change half made and every open of the folder's
// files refused until it can.
Status CheckRenamable(Files& files, const std::string& dir, const struct stat& dirSt,
                      const std::string& path, const struct stat* fileSt) {
  if (files.Access(dir, W_OK | X_OK) == -1) {
    return Status::Refused("its names cannot be changed (" + Status::FromErrno(errno).Message() +
                           "), so no file in it can be replaced")
        .In(dir);
  }
  if (fileSt == nullptr) return Status::Ok();
  // An immutable or append-only file cannot be opened to be written, whoever asks (EPERM), and
  // cannot be renamed over or removed either. Opened so, it is not written.
  const int fd = files.Open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0);
  if (fd != -1) {
    files.Close(fd);
  } else if (errno == EPERM || errno == EROFS) {
    return Status::Refused("cannot be replaced (" + Status::FromErrno(errno).Message() + ")")
        .In(path);
  }
  const uid_t user = files.UserId();
  if ((dirSt.st_mode & S_ISVTX) != 0 && user != 0 && user != dirSt.st_uid &&
      user != fileSt->st_uid) {
    return Status::Refused("is another user's in a folder where only the owner replaces a file")
        .In(path);
  }
  return Status::Ok();
}

}  // namespace

Status CheckFolderWay(Files& files, const std::string& root, const std::string& relative,
                      bool exists, struct stat* st) {
  // What holds the file so far: the folder itself, then each folder on the way.
  std::string dir = root;
  struct stat dirSt;
  if (files.StatPath(Join(root, "."), &dirSt) == -1 && files.StatPath(root, &dirSt) == -1) {
    return Status::FromErrno(errno).In(root);
  }
  const dev_t device = dirSt.st_dev;
  std::size_t at = 0;
  for (;;) {
    const std::size_t slash = relative.find('/', at);
    const std::string path = Join(root, relative.substr(0, slash));
    const bool last = slash == std::string::npos;
    if (files.StatPath(path, st) == -1) {
      if (errno == ENOENT && !exists) return CheckRenamable(files, dir, dirSt, path, nullptr);
      return Status::FromErrno(errno).In(path);
    }
    if (S_ISLNK(st->st_mode)) {
      return Status::Refused("is a symlink, which a change over a folder never follows").In(path);
    }
    if (!last && !S_ISDIR(st->st_mode)) return Status::Refused("is not a folder").In(path);
    if (!last && st->st_dev != device) {
      return Status::Refused(
                 "is on another file system than the folder, whose staged files cannot be "
                 "renamed into it: change the files below it on their own")
          .In(path);
    }
    if (last) {
      if (!exists) return Status::Refused("is there already").In(path);
      if (!S_ISREG(st->st_mode)) return Status::Refused("not a regular file").In(path);
      if (st->st_nlink > 1) {
        return Status::Refused("has " + std::to_string(st->st_nlink) +
                               " names (hard links), which a change over a folder would part: "
                               "change the file on its own")
            .In(path);
      }
      return CheckRenamable(files, dir, dirSt, path, st);
    }
    dir = path;
    dirSt = *st;
    at = slash + 1;
  }
}

// A change over a folder above this one, or over one on the way to a file of it, would stage its
// own copy of the file beside this one's, and one rename would undo the other. Each change looks
// for the other once its own staging folder is there, so that of two beginning together, at
// least one finds the other.
Status FolderChange::CheckNoChangeAbove() {
  std::string real = files_.PathOf(lockFd_);
  if (real.empty()) return Status::Ok();
  for (std::string dir = DirectoryOf(DirectoryOf(DirectoryOf(real)));; dir = DirectoryOf(dir)) {
    if (Status s = CheckNoChangeIn(dir, files_.UserId()); !s.ok()) return s;
    if (dir == "/" || dir == "." || dir.empty()) return Status::Ok();
  }
}

Status FolderChange::CheckNoChangeOnTheWay(const std::string& relative, uid_t owner) {
  for (std::size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    if (Status s = CheckNoChangeIn(Join(root_, relative.substr(0, slash)), owner); !s.ok()) {
      return s;
    }
  }
  return Status::Ok();
}

Status FolderChange::CheckNoChangeIn(const std::string& dir, uid_t owner) {
  struct stat st;
  // Only a staging folder that the files' opens count (change/folder_change.h) is one.
  if (files_.StatPath(Join(dir, kFolderChangeDir), &st) == 0 && S_ISDIR(st.st_mode) &&
      (st.st_uid == owner || st.st_uid == 0 || st.st_uid == files_.UserId())) {
    return Status::Refused(
               "a change over this folder is under way or was interrupted beside "
               "the change over " +
               root_ + ": try again once it is settled (atbutil recover " + dir + ")")
        .In(dir);
  }
  return Status::Ok();
}

Status FolderChange::WriteJournal(const std::string& text) {
  if (files_.Write(lockFd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    return Status::FromErrno(errno).In(Join(staging_, kJournalName));
  }
  journalWritten_ += text.size();
  return Status::Ok();
}

Status FolderChange::MakeFolders(const std::string& relative) {
  for (std::size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    const std::string path = Join(root_, relative.substr(0, slash));
    if (files_.MakeDirectory(path, 0777) == 0) {
      madeFolders_.push_back(relative.substr(0, slash));
      // Told at once, so that a kill before the journal is whole still finds the folders to take
      // back.
      if (Status s = WriteJournal("dir " + Encode(madeFolders_.back()) + "\n"); !s.ok()) return s;
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
  if (s.ok()) {
    s = CheckNoChangeOnTheWay(relative,
                              kind == FolderMember::kReplace ? st.st_uid : files_.UserId());
  }
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
    // The target keeps its mode and owner under its new bytes: the owner first, since giving a
    // file away clears its set-user-ID and set-group-ID bits.
    if ((files_.UserId() == 0 && !SameOwner(files_, staged, st) &&
         files_.ChangeOwner(staged, st.st_uid, st.st_gid) == -1) ||
        files_.ChangeMode(staged, mode) == -1) {
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
  if (s.ok()) s = CheckNoChangeOnTheWay(relative, st.st_uid);
  if (!s.ok()) return s;
  FolderMember m;
  m.kind = FolderMember::kRemove;
  m.relative = relative;
  bool exists;
  s = HashFile(files_, Join(root_, relative), &exists, &m.oldSize, &m.oldHash);
  if (s.ok()) members_.push_back(m);
  return s;
}

Status FolderChange::StageWrites(const std::string& relative, const InPlacePlan& plan,
                                 bool* inPlace) {
  *inPlace = false;
  struct stat st;
  Status s = CheckFolderWay(files_, root_, relative, true, &st);
  if (s.ok()) s = CheckNoChangeOnTheWay(relative, st.st_uid);
  if (!s.ok()) return s;
  const std::string target = Join(root_, relative);
  // Opened for writing now, so that a file that cannot be written is refused before the change
  // is decided; and an editor holding it open would write over what the change writes.
  const int held = files_.Open(target, O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0);
  if (held == -1) return Status::FromErrno(errno).In(target);
  if (files_.Lock(held) == -1) {
    s = errno == EWOULDBLOCK ? Status::Refused("is open in atb or being changed").In(target)
                             : Status::FromErrno(errno).In(target);
  }
  files_.Close(held);
  std::vector<InPlaceWrite> writes;
  if (s.ok()) s = plan(&writes, inPlace);
  if (!s.ok() || !*inPlace) return s;
  FolderMember m;
  m.kind = FolderMember::kWrite;
  m.relative = relative;
  m.writes = std::move(writes);
  bool exists;
  std::string first;
  if (!(s = HashFile(files_, target, &exists, &m.oldSize, &m.oldHash, nullptr, nullptr, &first,
                     &m.writes, &m.newHash))
           .ok()) {
    return s;
  }
  if (first.size() < static_cast<std::size_t>(kMarkBytes) ||
      MarkIn(reinterpret_cast<const uint8_t*>(first.data())).marked) {
    return Status::Refused("is in the middle of another change").In(target);
  }
  m.unmarked = first;
  Overlay(&m.writes, nullptr, 0, m.unmarked.data(), kMarkBytes);
  m.newSize = m.oldSize;
  members_.push_back(std::move(m));
  return Status::Ok();
}

Status FolderChange::Commit() {
  // The journal so far holds its first lines and the folders made, as its whole text begins.
  const std::string text = JournalText(nonce_, members_, madeFolders_);
  if (Status s = WriteJournal(text.substr(journalWritten_)); !s.ok()) return s;
  // The one flush that decides: every staged file and the journal on the disk together.
  if (durable_ && files_.SyncFileSystem(lockFd_) == -1) return Status::FromErrno(errno).In(root_);
  committed_ = true;
  std::vector<const FolderMember*> members;
  for (const FolderMember& m : members_) members.push_back(&m);
  Status s = MakeMembers(files_, root_, staging_, nonce_, lockFd_, durable_, members);
  if (!s.ok()) return s;
  if (files_.Unlink(Join(staging_, kJournalName)) == -1) {
    return Status::FromErrno(errno).In(staging_);
  }
  // Once the journal is gone, a recovery beside this one may take the empty folder away first.
  if (files_.RemoveDirectory(staging_) == -1 && errno != ENOENT && errno != ENOTEMPTY &&
      errno != EEXIST) {
    return Status::FromErrno(errno).In(staging_);
  }
  if (durable_ && files_.SyncDirectory(root_) == -1) return Status::FromErrno(errno).In(root_);
  return Status::Ok();
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

Status Undo(Files& files, const std::string& root, const std::string& staging,
            const std::vector<std::string>& folders) {
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) {
    files.RemoveDirectory(Join(root, *it));
  }
  return ClearStaging(files, staging);
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
  if (s.ok()) s = ClearStaging(files, staging);
  if (s.ok() && files.SyncDirectory(root) == -1) return Status::FromErrno(errno).In(root);
  return s;
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

// Whether the staging folder's owner may have its change settled by this process: the user's
// own, the superuser's, or one of the owner of the folder changed.
bool MaySettle(Files& files, const std::string& root, const struct stat& staging) {
  struct stat folder;
  return staging.st_uid == files.UserId() || staging.st_uid == 0 ||
         (files.StatPath(Join(root, "."), &folder) == 0 && folder.st_uid == staging.st_uid);
}

// Opens and locks the journal of the change over `root`, still the one named there once locked:
// *fd -1 when there is no change to settle. A staging folder without one gets one of this
// process's (*made), so that no change begins in it while it goes.
Status TakeJournal(Files& files, const std::string& root, int* fd, bool* made) {
  *fd = -1;
  const std::string staging = Join(root, kFolderChangeDir);
  const std::string journal = Join(staging, kJournalName);
  for (int tries = 0;; ++tries) {
    struct stat st;
    if (files.StatPath(staging, &st) == -1) {
      return errno == ENOENT ? Status::Ok() : Status::FromErrno(errno).In(staging);
    }
    // Never through a symlink: what it leads to is nobody's staging folder.
    if (!S_ISDIR(st.st_mode)) {
      return Status::Refused("is no folder that a change over the folder made: remove it")
          .In(staging);
    }
    if (!MaySettle(files, root, st)) {
      return Status::Refused(
                 "is the staging folder of a user who owns neither the folder nor this process: "
                 "its journal is not followed; they may run atbutil recover, or remove it")
          .In(staging);
    }
    int opened = files.Open(journal, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
    *made = opened == -1 && errno == ENOENT;
    if (*made) {
      opened = files.Open(journal, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
      if (opened == -1 && (errno == EEXIST || errno == ENOENT) && tries < 8) continue;
    }
    if (opened == -1) return Status::FromErrno(errno).In(journal);
    Status s;
    if (files.Stat(opened, &st) == -1) s = Status::FromErrno(errno).In(journal);
    if (s.ok() && !S_ISREG(st.st_mode)) {
      s = Status::Refused("is no journal that a change over the folder wrote: remove " + staging)
              .In(journal);
    }
    if (s.ok()) s = AwaitChangeLock(files, opened, true, root, journal);
    struct stat named;
    if (!s.ok() || (files.StatPath(journal, &named) == 0 && named.st_ino == st.st_ino &&
                    named.st_dev == st.st_dev)) {
      *fd = s.ok() ? opened : -1;
      if (!s.ok()) files.Close(opened);
      return s;
    }
    // Its change ended while this waited; the folder may be going, or another change beginning.
    files.Close(opened);
    if (tries == 8) return Status::Ok();
  }
}

}  // namespace

Status RecoverFolderChange(Files& files, const std::string& root, std::string* what) {
  what->clear();
  const std::string staging = Join(root, kFolderChangeDir);
  const std::string journal = Join(staging, kJournalName);
  int fd;
  bool made = false;
  Status s = TakeJournal(files, root, &fd, &made);
  if (!s.ok() || fd == -1) return s;
  struct Closer {
    Files& files;
    int fd;
    ~Closer() { files.Close(fd); }
  } closer{files, fd};
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
    // No journal, or one cut short: never decided, so no target was touched.
    if (!(s = Undo(files, root, staging, FoldersMade(text))).ok()) return s;
    // A folder without a journal may be a change beginning: it begins again, nothing to tell.
    if (!made) *what = "undone";
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
    if (!(s = Undo(files, root, staging, folders)).ok()) return s;
    *what = "undone";
    return Status::Ok();
  }
  return Status::Refused("the change over this folder that was interrupted cannot be finished: " +
                         why + "; every file is left as it is")
      .In(root);
}

}  // namespace atb
