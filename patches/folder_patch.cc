#include "patches/folder_patch.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <map>

#include "change/folder_change.h"
#include "change/open.h"
#include "patches/diff.h"
#include "store/hash.h"
#include "store/layout.h"
#include "store/table.h"
#include "text/dump.h"
#include "text/value_text.h"

namespace atb {

namespace {

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

// A path stands bare in a patch when nothing in it could be read as something else.
bool Bare(const std::string& path) {
  return std::all_of(path.begin(), path.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '/' || c == '_' || c == '-' || c == '+' || c == ',' || c == '=' || c == '@';
  });
}

std::string PathText(const std::string& path) {
  if (Bare(path)) return path;
  std::string out;
  AppendQuotedBytes(&out, path);
  return out;
}

// The lines of a text, numbered from 1, blanks at their ends kept.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {}
  bool Next(std::string_view* line) {
    if (at_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', at_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(at_, end - at_);
    start_ = at_;
    at_ = end + 1;
    ++number_;
    return true;
  }
  int number() const { return number_; }
  std::size_t start() const { return start_; }
  std::size_t at() const { return std::min(at_, text_.size()); }

 private:
  std::string_view text_;
  std::size_t at_ = 0, start_ = 0;
  int number_ = 0;
};

bool Comment(std::string_view line) {
  line = Trimmed(line);
  return line.empty() || line[0] == '#';
}

Status Fail(int line, const std::string& what) {
  return Status::Invalid("line " + std::to_string(line) + ": " + what);
}

// A file section's body: a patch of one file, read where it lies so that its lines keep their
// numbers.
Status ReadSection(std::string_view text, Lines& lines, const KeyNames& names, Patch* patch) {
  const int first = lines.number() + 1;
  const std::size_t from = lines.at();
  std::string_view line;
  std::size_t to = text.size();
  while (lines.Next(&line)) {
    const std::string_view t = Trimmed(line);
    unsigned long long n;
    char word[16];
    if (StartsWith(t, "end ") &&
        std::sscanf(std::string(t).c_str(), "end %llu %15s", &n, word) == 2) {
      to = lines.at();
      break;
    }
  }
  return ParsePatch(text.substr(from, to - from), names, patch, first - 1);
}

// "N bytes fnv64 0xH"
bool ParseSizeAndHash(std::string_view text, int64_t* size, uint64_t* hash) {
  long long n;
  unsigned long long h;
  int used = 0;
  const std::string s(text);
  if (std::sscanf(s.c_str(), "%lld bytes fnv64 0x%llx%n", &n, &h, &used) != 2 ||
      static_cast<std::size_t>(used) != s.size() || n < 0) {
    return false;
  }
  *size = n;
  *hash = h;
  return true;
}

Status ReadFileLine(std::string_view text, Lines& lines, std::string_view rest,
                    const KeyNames& names, FilePatch* f) {
  const int line = lines.number();
  std::size_t pos = 0;
  std::string why;
  if (!rest.empty() && rest[0] == '"') {
    if (!ParseQuotedBytes(rest, &pos, &f->relative, &why)) return Fail(line, why);
  } else {
    pos = std::min(rest.find(':'), rest.size());
    f->relative = std::string(Trimmed(rest.substr(0, pos)));
  }
  if (!ValidRelativePath(f->relative, &why)) return Fail(line, why);
  rest = Trimmed(rest.substr(pos));
  if (rest.empty()) {
    f->kind = FilePatch::kChange;
    return ReadSection(text, lines, names, &f->patch);
  }
  if (rest[0] != ':') return Fail(line, "expected ':' or the end of the line after the file");
  rest = Trimmed(rest.substr(1));
  if (StartsWith(rest, "new ")) {
    f->kind = FilePatch::kAdd;
    rest = Trimmed(rest.substr(4));
    if (StartsWith(rest, "damaged ")) {
      f->damaged = true;
      rest = Trimmed(rest.substr(8));
    }
    pos = 0;
    if (rest.empty() || rest[0] != '"' || !ParseQuotedBytes(rest, &pos, &f->bytes, &why)) {
      return Fail(line, why.empty() ? "expected the new file's bytes, quoted" : why);
    }
    if (pos != rest.size()) return Fail(line, "unexpected text after the new file's bytes");
    return Status::Ok();
  }
  if (StartsWith(rest, "removed ")) {
    f->kind = FilePatch::kRemove;
    if (!ParseSizeAndHash(Trimmed(rest.substr(8)), &f->size, &f->hash)) {
      return Fail(line, "expected 'removed N bytes fnv64 0x...'");
    }
    return Status::Ok();
  }
  return Fail(line, "expected 'new' or 'removed' after the file");
}

}  // namespace

std::string SizeAndHashText(int64_t size, uint64_t hash) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%" PRId64 " bytes fnv64 0x%016" PRIx64, size, hash);
  return buf;
}

std::string FileLine(const std::string& relative) { return "file " + PathText(relative) + "\n"; }

std::string NewFileLine(const std::string& relative, std::string_view bytes, bool damaged) {
  std::string line = "file " + PathText(relative) + ": new " + (damaged ? "damaged " : "");
  AppendQuotedBytes(&line, bytes);
  return line + "\n";
}

std::string RemovedFileLine(const std::string& relative, int64_t size, uint64_t hash) {
  return "file " + PathText(relative) + ": removed " + SizeAndHashText(size, hash) + "\n";
}

std::string EndOfFilesLine(int64_t files) {
  return "end " + std::to_string(files) + (files == 1 ? " file\n" : " files\n");
}

bool ValidRelativePath(std::string_view relative, std::string* why) {
  if (relative.empty()) return *why = "the file's path is empty", false;
  if (relative[0] == '/')
    return *why = "the file's path is absolute: " + PathText(std::string(relative)), false;
  std::size_t at = 0;
  for (;;) {
    const std::size_t slash = relative.find('/', at);
    const std::string_view part = relative.substr(at, slash - at);
    if (part.empty() || part == "." || part == ".." || part == kFolderChangeDir) {
      *why =
          "the file's path leaves the folder or names no file: " + PathText(std::string(relative));
      return false;
    }
    if (slash == std::string_view::npos) break;
    at = slash + 1;
  }
  for (const char c : relative) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      return *why = "the file's path holds a control byte", false;
    }
  }
  if (relative.size() < 5 || relative.substr(relative.size() - 4) != ".atb" ||
      relative[relative.size() - 5] == '/') {
    *why = "names no attribute file (*.atb): " + PathText(std::string(relative));
    return false;
  }
  return true;
}

bool IsFolderPatchText(std::string_view text) {
  Lines lines(text);
  std::string_view line;
  while (lines.Next(&line)) {
    if (Comment(line)) continue;
    const std::string t(Trimmed(line));
    // A patch over a folder that changes nothing is its end line alone.
    unsigned long long n;
    char word[8];
    return StartsWith(t, "file ") ||
           (std::sscanf(t.c_str(), "end %llu %7s", &n, word) == 2 &&
            (std::string(word) == "file" || std::string(word) == "files"));
  }
  return false;
}

Status ParseFolderPatch(std::string_view text, const KeyNames& names, FolderPatch* patch) {
  Lines lines(text);
  std::string_view line;
  std::map<std::string, int> seen;
  bool ended = false;
  while (lines.Next(&line)) {
    if (Comment(line)) continue;
    const std::string_view t = Trimmed(line);
    if (ended) return Fail(lines.number(), "text after the end line");
    if (StartsWith(t, "end ")) {
      unsigned long long n;
      char word[8];
      int used = 0;
      const std::string s(t);
      if (std::sscanf(s.c_str(), "end %llu %7s%n", &n, word, &used) != 2 ||
          static_cast<std::size_t>(used) != s.size() ||
          std::string(word) != (n == 1 ? "file" : "files")) {
        return Fail(lines.number(), "expected 'end N files'");
      }
      if (n != patch->files.size()) {
        return Fail(lines.number(), "the patch is cut short: it ends with " + std::to_string(n) +
                                        " files, but holds " + std::to_string(patch->files.size()));
      }
      ended = true;
      continue;
    }
    if (!StartsWith(t, "file ")) return Fail(lines.number(), "expected a 'file' line");
    FilePatch f;
    f.line = lines.number();
    Status s = ReadFileLine(text, lines, Trimmed(t.substr(5)), names, &f);
    if (!s.ok()) return s;
    if (!seen.emplace(f.relative, f.line).second) {
      return Fail(f.line, "names " + PathText(f.relative) + " again (first on line " +
                              std::to_string(seen[f.relative]) + ")");
    }
    f.patch.name = patch->name.empty() ? f.relative : patch->name + ": " + f.relative;
    patch->files.push_back(std::move(f));
  }
  // Nothing but comments is a patch that changes nothing, as for one file.
  if (!ended && !patch->files.empty()) {
    return Status::Invalid("the patch is cut short: it has no end line");
  }
  return Status::Ok();
}

Status ListAttributeFiles(Files& files, const std::string& root, std::vector<std::string>* found,
                          std::vector<std::string>* others) {
  struct Folder {
    std::string relative;
    dev_t device = 0;
    ino_t inode = 0;
  };
  std::vector<Folder> pending{{""}};
  std::vector<DirectoryEntry> entries;
  while (!pending.empty()) {
    const Folder folder = std::move(pending.back());
    pending.pop_back();
    const std::string path = folder.relative.empty() ? root : Join(root, folder.relative);
    struct stat self;
    if (files.ListDirectory(path, &entries, &self) == -1) {
      // An empty folder lists nothing on some file systems of the tests: nothing to find.
      if (errno == ENOENT && !folder.relative.empty()) continue;
      return Status::FromErrno(errno).In(path);
    }
    if (!folder.relative.empty() && (self.st_dev != folder.device || self.st_ino != folder.inode)) {
      return Status::IoError(0, "was replaced while it was read").In(path);
    }
    // A change over this folder, under way or interrupted, is settled before its names are
    // taken, or they would be some from before it and some from after; another user's is
    // ignored, as every open ignores it.
    struct stat staging;
    if (std::any_of(entries.begin(), entries.end(),
                    [](const DirectoryEntry& e) { return e.name == kFolderChangeDir; }) &&
        files.StatPath(Join(path, kFolderChangeDir), &staging) == 0 && S_ISDIR(staging.st_mode) &&
        (staging.st_uid == files.UserId() || staging.st_uid == 0)) {
      std::string what;
      if (Status s = RecoverFolderChange(files, path, &what); !s.ok()) return s;
      if (files.ListDirectory(path, &entries, &self) == -1)
        return Status::FromErrno(errno).In(path);
    }
    for (const DirectoryEntry& e : entries) {
      const std::string child = folder.relative.empty() ? e.name : folder.relative + "/" + e.name;
      if (e.name == kFolderChangeDir) continue;
      std::string why;
      struct stat st;
      if (e.kind == DirectoryEntry::kDirectory) {
        pending.push_back({child, e.device, e.inode});
      } else if (e.kind == DirectoryEntry::kOther && ValidRelativePath(child, &why) &&
                 files.StatPath(Join(root, child), &st) == 0 && S_ISREG(st.st_mode)) {
        // A FIFO or a device named *.atb is no attribute file: opened, it could block for ever.
        found->push_back(child);
      } else {
        others->push_back(Join(root, child));
      }
    }
  }
  std::sort(found->begin(), found->end());
  std::sort(others->begin(), others->end());
  return Status::Ok();
}

namespace {

// One file's section of a folder patch, appended to `out`.
Status AppendChanged(Files& files, const std::string& a, const std::string& b,
                     const std::string& relative, const KeyNames& names, bool reversible,
                     std::string* out, FolderDiffOutcome* outcome) {
  AttributeFile fa(files), fb(files);
  bool recovered;
  Status s = fa.Open(Join(a, relative), AttributeFile::kReading, &recovered);
  if (!s.ok()) return s.In(Join(a, relative));
  if (!(s = fb.Open(Join(b, relative), AttributeFile::kReading, &recovered)).ok()) {
    return s.In(Join(b, relative));
  }
  Sink section(nullptr);
  int64_t changes = 0;
  bool stale = false;
  s = WritePatch(fa.file(), fa.length(), fb.file(), fb.length(), names, section, &changes, &stale,
                 reversible);
  if (!s.ok()) return s.In(relative);
  if (stale) outcome->staleSizes.push_back(relative);
  if (changes == 0 && !stale) return Status::Ok();
  *out += FileLine(relative) + section.buf();
  ++outcome->files;
  return Status::Ok();
}

Status AppendAdded(Files& files, const std::string& b, const std::string& relative,
                   std::string* out) {
  const std::string path = Join(b, relative);
  // Opened as every attribute file is, so that one left in the middle of a change is finished
  // (or refused) rather than carried with its mark; one too short or too long to be an
  // attribute file is carried as it is, marked damaged.
  AttributeFile opened(files);
  bool recovered;
  Status s = opened.Open(path, AttributeFile::kReading, &recovered);
  if (!s.ok() && !s.damaged()) return s.In(path);
  bool sound = s.ok();
  int fd;
  if (!(s = OpenForReading(files, path, &fd)).ok()) return s.In(path);
  PositionedFile raw(files, fd);
  int64_t length = 0;
  s = raw.Length(&length);
  if (s.ok() && sound) sound = CheckTree(raw, ROOT_TABLE_OFFSET, length).ok();
  Sink bytes(nullptr);
  if (s.ok()) s = AppendQuotedExtent(raw, 0, length, bytes);
  files.Close(fd);
  if (!s.ok()) return s.In(path);
  *out += "file " + PathText(relative) + ": new " + (sound ? "" : "damaged ") + bytes.buf() + "\n";
  return Status::Ok();
}

// "N bytes fnv64 0xH" of the whole file at `path`, as a removal states it.
Status FileSizeAndHash(Files& files, const std::string& path, std::string* text) {
  int fd;
  Status s = OpenForReading(files, path, &fd);
  if (!s.ok()) return s.In(path);
  PositionedFile raw(files, fd);
  int64_t length = 0;
  Sink hash(nullptr);
  s = raw.Length(&length);
  if (s.ok()) s = AppendSizeAndHash(raw, 0, length, hash);
  files.Close(fd);
  if (!s.ok()) return s.In(path);
  *text = std::move(hash.buf());
  return Status::Ok();
}

Status AppendRemoved(Files& files, const std::string& a, const std::string& relative,
                     std::string* out) {
  std::string sizeAndHash;
  Status s = FileSizeAndHash(files, Join(a, relative), &sizeAndHash);
  if (!s.ok()) return s;
  *out += "file " + PathText(relative) + ": removed " + sizeAndHash + "\n";
  return Status::Ok();
}

}  // namespace

Status WriteFolderPatch(Files& files, const std::string& a, const std::string& b, bool overlay,
                        const KeyNames& names, Sink& sink, FolderDiffOutcome* outcome,
                        bool reversible) {
  std::vector<std::string> inA, inB;
  Status s = ListAttributeFiles(files, a, &inA, &outcome->others);
  if (s.ok()) s = ListAttributeFiles(files, b, &inB, &outcome->others);
  if (!s.ok()) return s;
  std::sort(outcome->others.begin(), outcome->others.end());
  outcome->others.erase(std::unique(outcome->others.begin(), outcome->others.end()),
                        outcome->others.end());
  std::size_t i = 0, j = 0;
  std::string& out = sink.buf();
  while (s.ok() && (i < inA.size() || j < inB.size())) {
    if (j == inB.size() || (i < inA.size() && inA[i] < inB[j])) {
      if (!overlay) {
        s = AppendRemoved(files, a, inA[i], &out);
        ++outcome->files;
      }
      ++i;
    } else if (i == inA.size() || inB[j] < inA[i]) {
      s = AppendAdded(files, b, inB[j], &out);
      ++outcome->files;
      ++j;
    } else {
      s = AppendChanged(files, a, b, inA[i], names, reversible, &out, outcome);
      ++i, ++j;
    }
    sink.Spill();
  }
  if (!s.ok()) return s;
  if (outcome->files > 0) out += EndOfFilesLine(outcome->files);
  return Status::Ok();
}

namespace {

// What one file of the folder comes to under every patch, in order.
struct FileWork {
  std::string relative;
  std::vector<const FilePatch*> parts;
  std::vector<Patch> changes;  // the kChange parts, each named for its patch
};

std::vector<FileWork> Gather(const std::vector<FolderPatch>& patches, PatchOutcome* outcome) {
  std::map<std::string, FileWork> work;
  for (const FolderPatch& p : patches) {
    for (const FilePatch& f : p.files) {
      FileWork& w = work[f.relative];
      w.relative = f.relative;
      w.parts.push_back(&f);
      if (f.kind == FilePatch::kChange) w.changes.push_back(f.patch);
    }
  }
  std::vector<FileWork> out;
  for (auto& [relative, w] : work) {
    const bool whole = std::any_of(w.parts.begin(), w.parts.end(), [](const FilePatch* f) {
      return f->kind != FilePatch::kChange;
    });
    if (whole && w.parts.size() > 1) {
      outcome->failures.push_back(relative +
                                  ": one patch adds or removes it and another names it too; "
                                  "apply them one at a time");
    }
    out.push_back(std::move(w));
  }
  return out;
}

Status CheckWhole(Files& files, const std::string& root, const FilePatch& f,
                  PatchOutcome* outcome) {
  const std::string path = Join(root, f.relative);
  struct stat st;
  const bool present = files.StatPath(path, &st) == 0;
  if (!present && errno != ENOENT && errno != ENOTDIR) return Status::FromErrno(errno).In(path);
  std::string found = "no file";
  if (present && f.kind == FilePatch::kAdd) {
    found = S_ISLNK(st.st_mode) ? "a symlink" : S_ISDIR(st.st_mode) ? "a folder" : "a file";
  } else if (present) {
    Status s = CheckFolderWay(files, root, f.relative, true, &st);
    if (!s.ok() || !(s = FileSizeAndHash(files, path, &found)).ok()) return s;
  } else if (f.kind == FilePatch::kAdd) {
    if (Status s = CheckFolderWay(files, root, f.relative, false, &st); !s.ok()) return s;
  }
  const std::string expected =
      f.kind == FilePatch::kAdd ? "no file" : SizeAndHashText(f.size, f.hash);
  if (found != expected) {
    outcome->failures.push_back(f.patch.name + ": expected " + expected + ", found " + found);
  }
  return Status::Ok();
}

Status CheckFolder(Files& files, const std::string& root, const std::vector<FileWork>& work,
                   const KeyNames& names, PatchOutcome* outcome) {
  for (const FileWork& w : work) {
    const FilePatch& first = *w.parts.front();
    if (first.kind != FilePatch::kChange) {
      if (Status s = CheckWhole(files, root, first, outcome); !s.ok()) return s;
      if (first.kind == FilePatch::kAdd && !first.damaged) {
        MemorySource source(reinterpret_cast<const uint8_t*>(first.bytes.data()),
                            first.bytes.size());
        const auto length = static_cast<int64_t>(first.bytes.size());
        Status sound = length < MIN_FILE_LENGTH
                           ? Status::Damaged("too short to be an attribute file")
                           : CheckTree(source, ROOT_TABLE_OFFSET, length);
        if (!sound.ok()) {
          outcome->failures.push_back(first.patch.name + ": the new file is damaged (" +
                                      sound.Message() + "); write 'new damaged' if that is meant");
        }
      }
      continue;
    }
    struct stat st;
    Status s = CheckFolderWay(files, root, w.relative, true, &st);
    if (!s.ok()) return s;
    AttributeFile file(files);
    bool recovered;
    if (!(s = file.Open(Join(root, w.relative), AttributeFile::kReading, &recovered)).ok()) {
      return s.In(Join(root, w.relative));
    }
    s = ApplyPatches(file.file(), file.length(), w.changes, names, nullptr, outcome);
    if (!s.ok()) return s.In(Join(root, w.relative));
  }
  return Status::Ok();
}

// Plans the patches of one file without writing: *inPlace when the change keeps the file's
// length and moves nothing, with what it writes in *writes.
Status PlanInPlace(Files& files, const std::string& root, const FileWork& w, const KeyNames& names,
                   std::vector<InPlaceWrite>* writes, bool* inPlace, PatchOutcome* outcome) {
  *inPlace = false;
  const std::string path = Join(root, w.relative);
  int fd;
  Status s = OpenForReading(files, path, &fd);
  if (!s.ok()) return s.In(path);
  PositionedFile file(files, fd);
  int64_t length = 0;
  ChangePlan plan;
  ChangeTarget target{file, {}, false, path};
  target.planned = &plan;
  PatchOutcome planned;
  s = file.Length(&length);
  if (s.ok()) s = ApplyPatches(file, length, w.changes, names, &target, &planned);
  files.Close(fd);
  if (!s.ok()) return s.In(path);
  if (!planned.failures.empty()) {
    return Status::Refused("changed while the change was made ready").In(w.relative);
  }
  // Splices that take out as much as they put in move nothing.
  *inPlace = std::all_of(plan.splices.begin(), plan.splices.end(),
                         [](const Splice& sp) { return sp.removed == sp.inserted; }) &&
             plan.newLength == plan.oldLength &&
             std::none_of(plan.writes.begin(), plan.writes.end(),
                          [](const ChangePlan::Write& pw) { return pw.source != nullptr; });
  for (ChangePlan::Write& pw : plan.writes) writes->push_back({pw.pos, std::move(pw.bytes)});
  // What it writes damaged is said, as for a file staged whole.
  if (*inPlace) {
    outcome->damaged.insert(outcome->damaged.end(), planned.damaged.begin(), planned.damaged.end());
  }
  return Status::Ok();
}

Status StageFile(FolderChange& change, Files& files, const FileWork& w, const KeyNames& names,
                 PatchOutcome* outcome) {
  const FilePatch& first = *w.parts.front();
  if (first.kind == FilePatch::kRemove) {
    Status s = change.StageRemoval(w.relative);
    if (s.ok() &&
        SizeAndHashText(change.members().back().oldSize, change.members().back().oldHash) !=
            SizeAndHashText(first.size, first.hash)) {
      s = Status::Refused("changed while the change was made ready").In(w.relative);
    }
    return s;
  }
  if (first.kind == FilePatch::kChange) {
    bool inPlace = false;
    Status s = change.StageWrites(
        w.relative,
        [&](std::vector<InPlaceWrite>* writes, bool* fits) {
          return PlanInPlace(files, change.root(), w, names, writes, fits, outcome);
        },
        &inPlace);
    if (!s.ok() || inPlace) return s;
  }
  int fd;
  std::string staged;
  Status s = change.Stage(
      w.relative, first.kind == FilePatch::kAdd ? FolderMember::kAdd : FolderMember::kReplace, &fd,
      &staged);
  if (!s.ok()) return s;
  if (first.kind == FilePatch::kAdd) {
    if (files.Write(fd, first.bytes.data(), first.bytes.size()) !=
        static_cast<ssize_t>(first.bytes.size())) {
      s = Status::FromErrno(errno).In(staged);
    }
  } else {
    PositionedFile file(files, fd);
    int64_t length = 0;
    s = file.Length(&length);
    // The staged copy is nobody's file yet: its own change need not reach the disk.
    ChangeTarget target{file, JournalPath(staged), false, staged};
    PatchOutcome again;
    if (s.ok()) s = ApplyPatches(file, length, w.changes, names, &target, &again);
    if (s.ok() && !again.failures.empty()) {
      s = Status::Refused("changed while the change was made ready").In(w.relative);
    }
    outcome->damaged.insert(outcome->damaged.end(), again.damaged.begin(), again.damaged.end());
  }
  if (s.ok()) s = change.Staged(fd);
  if (files.Close(fd) == -1 && s.ok()) s = Status::FromErrno(errno).In(staged);
  return s;
}

}  // namespace

Status ApplyFolderPatches(Files& files, const std::string& root,
                          const std::vector<FolderPatch>& patches, const KeyNames& names,
                          bool check, bool durable, PatchOutcome* outcome, bool madeFromThem) {
  // A change over the folder that was interrupted is settled before anything is checked.
  std::string what;
  Status s = RecoverFolderChange(files, root, &what);
  if (!s.ok()) return s;
  const std::vector<FileWork> work = Gather(patches, outcome);
  if (!outcome->failures.empty() || work.empty()) return Status::Ok();
  // Each file changed is planned again once the change holds it, which refuses one that changed;
  // the pass before is for a list of everything that does not hold, before anything is begun.
  // Files added or removed are checked only by it.
  const bool onlyChanged = std::all_of(work.begin(), work.end(), [](const FileWork& w) {
    return w.parts.front()->kind == FilePatch::kChange;
  });
  if (!madeFromThem || !onlyChanged || check) {
    if (!(s = CheckFolder(files, root, work, names, outcome)).ok()) return s;
  }
  if (!outcome->failures.empty() || check) return Status::Ok();
  outcome->damaged.clear();
  FolderChange change(files, root, durable);
  if (!(s = change.Begin()).ok()) return s;
  for (const FileWork& w : work) {
    if (!(s = StageFile(change, files, w, names, outcome)).ok()) return s;
  }
  return change.Commit();
}

}  // namespace atb
