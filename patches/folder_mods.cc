#include "patches/folder_mods.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "change/open.h"
#include "patches/diff.h"
#include "store/hash.h"
#include "store/layout.h"
#include "store/table.h"

namespace atb {

namespace {

std::string Join(const std::string& dir, const std::string& name) {
  return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

bool IsRegularFile(Files& files, const std::string& path) {
  struct stat st;
  return files.StatPath(path, &st) == 0 && S_ISREG(st.st_mode);
}

Status ReadWhole(Files& files, const std::string& path, std::string* bytes) {
  int fd;
  Status s = OpenForReading(files, path, &fd);
  if (!s.ok()) return s.In(path);
  char buf[1 << 16];
  bytes->clear();
  for (;;) {
    const ssize_t n = files.Read(fd, buf, sizeof buf);
    if (n < 0) s = Status::FromErrno(errno).In(path);
    if (n <= 0) break;
    bytes->append(buf, static_cast<std::size_t>(n));
  }
  files.Close(fd);
  return s;
}

bool Sound(std::string_view bytes) {
  if (bytes.size() < static_cast<std::size_t>(MIN_FILE_LENGTH)) return false;
  MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return CheckTree(source, ROOT_TABLE_OFFSET, static_cast<int64_t>(bytes.size())).ok();
}

// A file of a mod folder: the patch from BASE's file, or the file whole where BASE has none.
Status ModFile(Files& files, const std::string& base, const std::string& dir,
               const std::string& relative, const KeyNames& names, FolderMod* mod) {
  FilePatch f;
  f.relative = relative;
  f.patch.name = mod->name + ": " + relative;
  if (!IsRegularFile(files, Join(base, relative))) {
    f.kind = FilePatch::kAdd;
    Status s = ReadWhole(files, Join(dir, relative), &f.bytes);
    if (!s.ok()) return s;
    f.damaged = !Sound(f.bytes);
    mod->files.push_back(std::move(f));
    return Status::Ok();
  }
  AttributeFile from(files), to(files);
  bool recovered;
  Status s = from.Open(Join(base, relative), AttributeFile::kReading, &recovered);
  if (!s.ok()) return s.In(Join(base, relative));
  s = to.Open(Join(dir, relative), AttributeFile::kReading, &recovered);
  if (s.ok()) s = ModOfFile(from.file(), from.length(), to.file(), to.length(), names, &f.patch);
  if (!s.ok()) return s.In(Join(dir, relative));
  f.patch.name = mod->name + ": " + relative;
  if (!f.patch.changes.empty()) mod->files.push_back(std::move(f));
  return Status::Ok();
}

Status HashOf(Files& files, const std::string& path, bool* exists, int64_t* size, uint64_t* hash) {
  std::string bytes;
  *exists = IsRegularFile(files, path);
  if (!*exists) return Status::Ok();
  Status s = ReadWhole(files, path, &bytes);
  *size = static_cast<int64_t>(bytes.size());
  *hash = Fnv1a64(bytes);
  return s;
}

std::string WholeValue(const FilePatch& f) {
  switch (f.kind) {
    case FilePatch::kAdd:
      return "new " + SizeAndHashText(static_cast<int64_t>(f.bytes.size()), Fnv1a64(f.bytes));
    case FilePatch::kRemove:
      return "removed";
    case FilePatch::kChange:
      break;
  }
  const std::size_t n = f.patch.changes.size();
  return "changed (" + std::to_string(n) + (n == 1 ? " change)" : " changes)");
}

// Where the touches of one file meet: who wins and what kind of meeting it is.
struct Touch {
  const FolderMod* mod;
  const FilePatch* file;
};

// A file that some mod adds or removes whole: one entry, the last whole touch winning.
Status WholeFile(Files& files, const std::string& base, const std::string& relative,
                 const std::vector<Touch>& touches, bool all, bool combine,
                 FolderModsOutcome* outcome) {
  bool exists;
  int64_t size = 0;
  uint64_t hash = 0;
  Status s = HashOf(files, Join(base, relative), &exists, &size, &hash);
  if (!s.ok()) return s;
  std::size_t last = 0;
  for (std::size_t i = 0; i < touches.size(); ++i) {
    const FilePatch& f = *touches[i].file;
    if (f.kind != FilePatch::kChange) last = i;
    // A whole-file change that does not apply to BASE refuses the mod, as a change does.
    if (f.kind == FilePatch::kRemove && (!exists || size != f.size || hash != f.hash)) {
      outcome->refused.push_back(f.patch.name + ": expected " + SizeAndHashText(f.size, f.hash) +
                                 ", found " + (exists ? SizeAndHashText(size, hash) : "no file"));
    }
    if (f.kind == FilePatch::kAdd && exists) {
      outcome->refused.push_back(f.patch.name + ": expected no file, found " +
                                 SizeAndHashText(size, hash));
    }
    if (f.kind == FilePatch::kChange && !exists) {
      outcome->refused.push_back(f.patch.name + ": changes a file that BASE lacks");
    }
  }
  ModEntry e;
  e.path = kWholeFile;
  e.inBase = exists;
  if (exists) e.base = SizeAndHashText(size, hash);
  bool alike = true, changedBefore = false, changedAfter = false;
  for (std::size_t i = 0; i < touches.size(); ++i) {
    const FilePatch& f = *touches[i].file;
    e.mods.push_back({touches[i].mod->name, WholeValue(f)});
    alike =
        alike && WholeValue(f) == WholeValue(*touches.front().file) && f.kind != FilePatch::kChange;
    changedBefore = changedBefore || (f.kind == FilePatch::kChange && i < last);
    changedAfter = changedAfter || (f.kind == FilePatch::kChange && i > last);
  }
  e.winner = touches[last].mod->name;
  e.kind = touches.size() == 1 ? ModEntry::kSingle
           : alike             ? ModEntry::kAgree
           : changedBefore     ? ModEntry::kLost
           : changedAfter      ? ModEntry::kHidden
                               : ModEntry::kOverride;
  if (touches.size() > 1 || all) outcome->entries.emplace_back(relative, e);
  if (combine) {
    const FilePatch& w = *touches[last].file;
    if (w.kind == FilePatch::kAdd) {
      outcome->combined += NewFileLine(relative, w.bytes, w.damaged);
      ++outcome->files;
    } else if (exists) {
      outcome->combined += RemovedFileLine(relative, size, hash);
      ++outcome->files;
    }
  }
  return Status::Ok();
}

// A file that every mod touching it changes: its mods installed as one file's are.
Status ChangedFile(Files& files, const std::string& base, const std::string& relative,
                   const std::vector<Touch>& touches, const KeyNames& names, bool all, bool combine,
                   Scratch& scratch, FolderModsOutcome* outcome) {
  if (!IsRegularFile(files, Join(base, relative))) {
    for (const Touch& t : touches) {
      outcome->refused.push_back(t.file->patch.name + ": changes a file that BASE lacks");
    }
    return Status::Ok();
  }
  std::vector<Mod> mods;
  for (const Touch& t : touches) mods.push_back({t.mod->name, t.file->patch});
  AttributeFile file(files);
  bool recovered;
  Status s = file.Open(Join(base, relative), AttributeFile::kReading, &recovered);
  if (!s.ok()) return s.In(Join(base, relative));
  ModsOutcome installed;
  s = InstallMods(file.file(), file.length(), mods, names, all, scratch, &installed);
  if (!s.ok()) return s.In(Join(base, relative));
  for (const std::string& r : installed.refused) outcome->refused.push_back(relative + ": " + r);
  for (ModEntry& e : installed.entries) outcome->entries.emplace_back(relative, std::move(e));
  if (!combine || !installed.refused.empty()) return Status::Ok();
  Sink section(nullptr);
  int64_t changes = 0;
  s = WritePatch(file.file(), file.length(), installed.result->file, installed.resultLength, names,
                 section, &changes);
  if (!s.ok()) return s.In(relative);
  if (changes > 0) {
    outcome->combined += FileLine(relative) + section.buf();
    ++outcome->files;
  }
  return Status::Ok();
}

}  // namespace

Status ReadFolderMod(Files& files, const std::string& base, const std::string& path,
                     const KeyNames& names, FolderMod* mod, std::vector<std::string>* others) {
  mod->name = path;
  mod->files.clear();
  struct stat st;
  if (files.StatPath(path, &st) == 0 && S_ISDIR(st.st_mode)) {
    std::vector<std::string> found;
    Status s = ListAttributeFiles(files, path, &found, others);
    for (std::size_t i = 0; s.ok() && i < found.size(); ++i) {
      s = ModFile(files, base, path, found[i], names, mod);
    }
    return s;
  }
  std::string text;
  Status s = ReadWhole(files, path, &text);
  if (!s.ok()) return s;
  if (text.find('\0') != std::string::npos || !IsFolderPatchText(text)) {
    return Status::Invalid(path + ": neither a patch over a folder nor a mod folder, and " + base +
                           " is a folder");
  }
  FolderPatch patch;
  patch.name = path;
  if (!(s = ParseFolderPatch(text, names, &patch)).ok()) return s.In(path);
  mod->files = std::move(patch.files);
  return Status::Ok();
}

Status InstallFolderMods(Files& files, const std::string& base, const std::vector<FolderMod>& mods,
                         const KeyNames& names, bool all, bool combine, Scratch& scratch,
                         FolderModsOutcome* outcome,
                         const std::function<void(int64_t done, int64_t total)>& progress) {
  std::map<std::string, std::vector<Touch>> byFile;
  for (std::size_t m = 0; m < mods.size(); ++m) {
    for (std::size_t k = 0; k < m; ++k) {
      if (mods[k].name == mods[m].name) {
        outcome->refused.push_back(mods[m].name + ": given twice");
        return Status::Ok();
      }
    }
    for (const FilePatch& f : mods[m].files) byFile[f.relative].push_back({&mods[m], &f});
  }
  int64_t done = 0;
  for (const auto& [relative, touches] : byFile) {
    const bool whole = std::any_of(touches.begin(), touches.end(), [](const Touch& t) {
      return t.file->kind != FilePatch::kChange;
    });
    Status s =
        whole ? WholeFile(files, base, relative, touches, all, combine, outcome)
              : ChangedFile(files, base, relative, touches, names, all, combine, scratch, outcome);
    if (!s.ok()) return s;
    if (progress) progress(++done, static_cast<int64_t>(byFile.size()));
  }
  if (!outcome->refused.empty()) {
    outcome->entries.clear();
    outcome->combined.clear();
    outcome->files = 0;
  }
  if (outcome->files > 0) outcome->combined += EndOfFilesLine(outcome->files);
  return Status::Ok();
}

namespace {

// A file added or removed whole, made again for NEW.
void RebaseWhole(Files& files, const FilePatch& f, const std::string& neu,
                 FolderRebaseOutcome* outcome, Status* io) {
  bool exists;
  int64_t size = 0;
  uint64_t hash = 0;
  *io = HashOf(files, Join(neu, f.relative), &exists, &size, &hash);
  if (!io->ok()) return;
  const std::string at = f.patch.name + ": ";
  if (f.kind == FilePatch::kAdd) {
    if (!exists) {
      outcome->patch += NewFileLine(f.relative, f.bytes, f.damaged);
      ++outcome->applied;
    } else if (size == static_cast<int64_t>(f.bytes.size()) && hash == Fnv1a64(f.bytes)) {
      outcome->report.push_back(at + "already in NEW; left out");
      ++outcome->already;
    } else {
      outcome->report.push_back(at + "conflict: NEW has the file, " + SizeAndHashText(size, hash) +
                                ", the patch adds it; left out");
      ++outcome->clashes;
    }
    return;
  }
  if (!exists) {
    outcome->report.push_back(at + "already in NEW; left out");
    ++outcome->already;
  } else if (size == f.size && hash == f.hash) {
    outcome->patch += RemovedFileLine(f.relative, size, hash);
    ++outcome->applied;
  } else {
    outcome->report.push_back(at + "conflict: expected " + SizeAndHashText(f.size, f.hash) +
                              ", NEW holds " + SizeAndHashText(size, hash) +
                              ", the patch removes it; left out");
    ++outcome->clashes;
  }
}

Status RebaseChanged(Files& files, const FilePatch& f, const std::string& old,
                     const std::string& neu, const KeyNames& names, Scratch& scratch,
                     FolderRebaseOutcome* outcome) {
  if (!IsRegularFile(files, Join(neu, f.relative))) {
    outcome->report.push_back(f.patch.name + ": gone: NEW has no such file; left out");
    outcome->gone += static_cast<int64_t>(f.patch.changes.size());
    return Status::Ok();
  }
  // The patch was made for OLD: a file it changes that OLD lacks makes it no patch for OLD.
  if (!IsRegularFile(files, Join(old, f.relative))) {
    outcome->refused.push_back(f.patch.name + ": changes a file that OLD lacks");
    return Status::Ok();
  }
  AttributeFile from(files), to(files);
  bool recovered;
  Status s = from.Open(Join(old, f.relative), AttributeFile::kReading, &recovered);
  if (!s.ok()) return s.In(Join(old, f.relative));
  if (!(s = to.Open(Join(neu, f.relative), AttributeFile::kReading, &recovered)).ok()) {
    return s.In(Join(neu, f.relative));
  }
  RebaseOutcome rebased;
  s = RebasePatch(from.file(), from.length(), to.file(), to.length(), f.patch, names, scratch,
                  &rebased);
  if (!s.ok()) return s.In(Join(neu, f.relative));
  for (const std::string& r : rebased.refused) outcome->refused.push_back(r);
  if (!rebased.refused.empty()) return Status::Ok();
  for (std::size_t k = 0; k < f.patch.changes.size(); ++k) {
    const PatchChange& c = f.patch.changes[k];
    const LooseFate& fate = rebased.fates[k];
    const bool typed = c.kind != PatchChange::kLead && c.kind != PatchChange::kHeader;
    const std::string at =
        f.patch.name + ": " + (c.kind == PatchChange::kLead ? "lead " + c.path : c.path) + ": ";
    switch (fate.kind) {
      case LooseFate::kApplied:
        ++outcome->applied;
        break;
      case LooseFate::kAlready:
        outcome->report.push_back(at + "already in NEW; left out");
        ++outcome->already;
        break;
      case LooseFate::kClash:
        outcome->report.push_back(at + "conflict: expected " + PatchValueText(c.expected, typed) +
                                  ", NEW holds " + fate.found + ", the patch " +
                                  (c.kind == PatchChange::kRemove
                                       ? "removes it"
                                       : "makes it " + PatchValueText(c.value, typed)) +
                                  "; left out");
        ++outcome->clashes;
        break;
      case LooseFate::kGone:
        outcome->report.push_back(at + "gone: " + fate.found + " in NEW; left out");
        ++outcome->gone;
        break;
    }
  }
  Sink section(nullptr);
  int64_t changes = 0;
  s = WritePatch(to.file(), to.length(), rebased.result->file, rebased.resultLength, names, section,
                 &changes);
  if (!s.ok()) return s.In(f.relative);
  if (changes > 0) outcome->patch += FileLine(f.relative) + section.buf();
  return Status::Ok();
}

}  // namespace

Status RebaseFolderPatch(Files& files, const FolderPatch& patch, const std::string& old,
                         const std::string& neu, const KeyNames& names, Scratch& scratch,
                         FolderRebaseOutcome* outcome) {
  int64_t sections = 0;
  for (const FilePatch& f : patch.files) {
    const std::size_t before = outcome->patch.size();
    Status s;
    if (f.kind == FilePatch::kChange) {
      s = RebaseChanged(files, f, old, neu, names, scratch, outcome);
    } else {
      RebaseWhole(files, f, neu, outcome, &s);
    }
    if (!s.ok()) return s;
    sections += outcome->patch.size() != before;
  }
  if (!outcome->refused.empty()) outcome->patch.clear();
  if (sections > 0 && outcome->refused.empty()) outcome->patch += EndOfFilesLine(sections);
  return Status::Ok();
}

}  // namespace atb
