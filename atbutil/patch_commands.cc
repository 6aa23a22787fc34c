// diff, apply and merge: the files opened by name, the engines of patches/ run on them, and what
// they came to said and turned into an exit status.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "atb/change.h"
#include "atb/patches.h"
#include "atb/system.h"
#include "atb/text.h"
#include "atb/tree.h"
#include "atbutil/commands.h"
#include "atbutil/folder_commands.h"
#include "atbutil/open_file.h"
#include "atbutil/scratch.h"

namespace atb {

namespace {

int Diff(const std::string& a, const std::string& b, const KeyNames& names, std::FILE* out,
         std::FILE* err, Files& files, bool reversible) {
  constexpr ExitRule rule = ExitRule::kAnyFailureIs2;
  OpenFile fa(files), fb(files);
  Status o = fa.Open(a, OpenFile::kRead, err);
  if (o.ok()) o = fb.Open(b, OpenFile::kRead, err);
  if (!o.ok()) return Report(o, err, rule);
  Sink sink(out);
  int64_t changes = 0;
  bool staleSizes = false;
  Status s = WritePatch(fa.file(), fa.length(), fb.file(), fb.length(), names, sink, &changes,
                        &staleSizes, reversible);
  if (s.refused()) {
    SayAsIs(err,
            ShownName(a) + " -> " + ShownName(b) + ": no patch can describe this: " + s.Message());
    return ExitStatus(s, rule);
  }
  if (!s.ok()) {
    sink.Flush();
    SayAsIs(err, s.Message());
    return ExitStatus(s, rule);
  }
  // A patch that did not reach its reader must not pass for "the files differ".
  errno = 0;
  sink.Finish();
  if (sink.failed()) {
    return Report(Status::FromErrno(errno).In("cannot write the output"), err, rule);
  }
  if (staleSizes) {
    Say(err, ShownName(b),
        "its header sizes do not follow its length of " + std::to_string(fb.length()) +
            " bytes: applying the patch gives sizes that do, as every change does");
    return kExitDiffers;
  }
  return changes == 0 ? ExitStatus(Status::Ok(), rule) : kExitDiffers;
}

// The patches that undo `patches` on the file `f` that they made, the last one's first, each
// found on the file as the ones before it leave it (a scratch copy, for more than one); -1, or
// the exit status once it is said why they cannot be undone.
int Undo(OpenFile& f, const std::vector<Patch>& patches, const KeyNames& names, std::FILE* err,
         Files& files, std::vector<Patch>* undo) {
  TempScratch scratch(files);
  ChangeTarget* target = nullptr;
  PositionedFile* current = &f.file();
  int64_t length = f.length();
  if (patches.size() > 1) {
    Status s = scratch.CopyOf(f.file(), f.length(), &target);
    if (!s.ok()) return Report(s, err);
    current = &target->file;
  }
  for (std::size_t k = patches.size(); k-- > 0;) {
    std::vector<std::string> why;
    Patch reversed;
    Status s = ReversePatch(*current, length, patches[k], names, &reversed, &why);
    for (const std::string& w : why) SayAsIs(err, w);
    if (!s.ok() && !s.ioError()) {
      SayAsIs(err, f.path() + ": " + patches[k].name + " cannot be undone; nothing was changed");
      return ExitStatus(Status::Refused({}));
    }
    if (!s.ok()) return Report(s.In(f.path()), err);
    if (k > 0) {
      PatchOutcome outcome;
      s = ApplyPatches(*current, length, {reversed}, names, target, &outcome);
      for (const std::string& failure : outcome.failures) SayAsIs(err, failure);
      if (s.ok() && !outcome.failures.empty()) {
        SayAsIs(err,
                f.path() + ": " + patches[k].name + " does not undo here; nothing was changed");
        return ExitStatus(Status::Refused({}));
      }
      if (s.ok()) s = current->Length(&length);
      if (!s.ok()) return Report(s.In(f.path()), err);
    }
    undo->push_back(std::move(reversed));
  }
  return -1;
}

int Apply(const std::string& path, const std::vector<std::string>& patchPaths, bool check,
          bool reverse, const KeyNames& names, std::FILE* in, std::FILE* err, Files& files) {
  if (patchPaths.empty()) {
    const Status usage = Status::Invalid("apply needs a FILE and at least one PATCH");
    SayAsIs(err, usage.Message());
    return ExitStatus(usage);
  }
  std::vector<Patch> patches(patchPaths.size());
  for (std::size_t p = 0; p < patchPaths.size(); ++p) {
    std::string text;
    Status read = ReadPatchText(files, patchPaths[p], in, &text);
    if (read.ok() && IsFolderPatchText(text)) {
      read = Status::Invalid("is a patch over a folder, and " + path +
                             " is a file: apply it to the folder it was made for");
    }
    if (read.ok()) read = ParsePatch(text, names, &patches[p]);
    // A patch that cannot be read or is no patch is trouble, whatever kept it.
    if (!read.ok()) {
      SayAsIs(err, patchPaths[p] + ": " + read.Message());
      return ExitStatus(read, ExitRule::kAnyFailureIs2);
    }
    patches[p].name = patchPaths[p];
  }
  OpenFile f(files);
  Status o = f.Open(path, check ? OpenFile::kRead : OpenFile::kEdit, err);
  if (!o.ok()) return Report(o, err);
  if (reverse) {
    std::vector<Patch> undo;
    const int failed = Undo(f, patches, names, err, files, &undo);
    if (failed != -1) return failed;
    patches = std::move(undo);
  }
  PatchOutcome outcome;
  Status s =
      ApplyPatches(f.file(), f.length(), patches, names, check ? nullptr : &f.target(), &outcome);
  if (!s.ok()) {
    SayAsIs(err, path + ": " + s.Message());
    return ExitStatus(s);
  }
  if (!outcome.failures.empty()) {
    for (const std::string& failure : outcome.failures) SayAsIs(err, failure);
    const std::size_t n = outcome.failures.size();
    const Status refused =
        Status::Refused(std::to_string(n) + (n == 1 ? " change does" : " changes do") +
                        " not apply; nothing was changed");
    SayAsIs(err, path + ": " + refused.Message());
    return ExitStatus(refused);
  }
  const int status = check ? ExitStatus(Status::Ok()) : Report(f.Close(), err);
  if (status == 0) {
    for (const std::string& damaged : outcome.damaged) SayAsIs(err, damaged);
  }
  return status;
}

// A word as the shell reads it back: as it stands when the shell would take nothing in it for
// anything else, else in single quotes.
std::string ShellWord(const std::string& word) {
  constexpr const char* kPlain =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-./:@%+=,";
  if (!word.empty() && word.find_first_not_of(kPlain) == std::string::npos) return word;
  std::string quoted = "'";
  for (const char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// What the conflicts' commands name: the merged file, and where THEIRS's tables come from once
// git has removed its temporary files (its stage 3 of the file), or THEIRS itself.
struct Targets {
  std::string ours, fetch, theirs;
};

// A one-change patch, applied to the merged file from standard input.
std::string PatchCommand(const Targets& f, const std::string& change) {
  return "printf '%s\\n' " + ShellWord(change) + " 'end 1 change' | atbutil apply " + f.ours + " -";
}

// Where a conflict lies in the merged file: its entry, the table that holds it, and for an entry
// to add, its neighbours there ("start", "end" at either end).
struct Places {
  std::string entry, table, after, before;
};

// How to take THEIRS's side of `c` in the merged file, or why no command does; `theirsEntry` is
// c's entry in THEIRS, and `header` the merged file's header.
std::string TakeTheirs(const MergeConflict& c, const Targets& f, const Places& at,
                       const std::string& theirsEntry, const std::string& header,
                       const KeyNames& names) {
  std::string key;
  AppendPathElement(names, c.key, -1, &key);
  const std::string added = (at.table == "/" ? "/" : at.table + "/") + key;
  const std::string take = c.where + ": to take theirs: ";
  switch (c.take) {
    case MergeConflict::kSet:
      return take + "atbutil set " + f.ours + " " + ShellWord(at.entry) + " " + ShellWord(c.value);
    case MergeConflict::kPatchSet:
      return take + PatchCommand(f, "set " + at.entry + ": " + c.patch);
    case MergeConflict::kRemove:
      return take + "atbutil remove " + f.ours + " " + ShellWord(at.entry);
    case MergeConflict::kTable:
      return take + f.fetch + "atbutil extract " + f.theirs + " " + ShellWord(theirsEntry) +
             " table.atb && " +
             (c.oursHolds ? "atbutil remove " + f.ours + " " + ShellWord(at.entry) + " && " : "") +
             "atbutil insert " + f.ours + " " + ShellWord(at.table) + " " + ShellWord(key) +
             " table.atb && rm " + (f.fetch.empty() ? "" : f.theirs + " ") + "table.atb";
    case MergeConflict::kAdd:
      return take + "atbutil add " + f.ours + " " + ShellWord(added) + " " + TypeWord(c.type) +
             " " + ShellWord(c.value);
    case MergeConflict::kPatchAdd:
      return take +
             PatchCommand(f, "add " + added + " after " + at.after + " before " + at.before +
                                 (c.alike > 0 ? " (of " + std::to_string(c.alike) + ")" : "") +
                                 ": " + c.patch);
    case MergeConflict::kLead:
      return take + PatchCommand(f, "lead " + at.table + ": " + c.patch);
    case MergeConflict::kHeader: {
      // The sizes of the new header follow the merged file's length.
      std::string now = c.value;
      now.replace(OUTER_SIZE_OFFSET, 4, header, OUTER_SIZE_OFFSET, 4);
      now.replace(ROOT_SIZE_OFFSET, 4, header, ROOT_SIZE_OFFSET, 4);
      std::string change = "header: ";
      AppendQuotedBytes(&change, header);
      change += " -> ";
      AppendQuotedBytes(&change, now);
      return take + PatchCommand(f, change);
    }
    case MergeConflict::kNothing:
      break;
  }
  return c.where + ": " + c.value;
}

// Says the conflicts that the merged file `ours` holds, ours kept at each, with how to take
// theirs; `theirsPaths` are the conflicts' entries in THEIRS.
int Unsettled(const std::string& ours, const std::string& theirs, const std::string& name,
              const std::vector<MergeConflict>& conflicts,
              const std::vector<std::string>& theirsPaths, const std::vector<std::string>& damaged,
              const KeyNames& names, std::FILE* err, Files& files) {
  constexpr ExitRule rule = ExitRule::kAnyFailureIs2;
  const std::string shown = QuotedName(name.empty() ? ours : name);
  OpenFile merged(files);
  Status s = merged.Open(ours, OpenFile::kRead, err, shown);
  if (!s.ok()) return Report(s, err, rule);
  // Each conflict's places, in the order of Places.
  std::vector<std::vector<uint32_t>> trails;
  for (const MergeConflict& c : conflicts) {
    std::vector<uint32_t> table = c.ours;
    if (c.oursHolds) table.pop_back();
    trails.push_back(c.ours);
    trails.push_back(table);
    for (const int64_t neighbour : {c.after, c.before}) {
      trails.push_back(table);
      if (neighbour >= 0) trails.back().push_back(static_cast<uint32_t>(neighbour));
    }
  }
  std::vector<std::string> paths;
  std::string header(static_cast<std::size_t>(ROOT_TABLE_OFFSET), '\0');
  s = EntryPaths(merged.file(), merged.length(), trails, names, &paths);
  if (s.ok()) s = merged.file().ReadAt(0, header.data(), header.size());
  if (s.ok()) s = merged.Close();
  if (!s.ok()) return Report(s.In(shown), err, rule);
  const Targets f{ShellWord(name.empty() ? ours : name),
                  name.empty() ? "" : "git show " + ShellWord(":3:" + name) + " > theirs.atb && ",
                  name.empty() ? ShellWord(theirs) : "theirs.atb"};
  for (std::size_t n = 0; n < conflicts.size(); ++n) {
    const MergeConflict& c = conflicts[n];
    Say(err, shown + ": " + c.line);
    const Places at{paths[4 * n], paths[4 * n + 1], c.after >= 0 ? paths[4 * n + 2] : "start",
                    c.before >= 0 ? paths[4 * n + 3] : "end"};
    Say(err, shown + ": " + TakeTheirs(c, f, at, theirsPaths[n], header, names));
  }
  for (const std::string& d : damaged) Say(err, shown + ": " + d);
  const bool one = conflicts.size() == 1;
  Say(err, shown + ": " + std::to_string(conflicts.size()) +
               (one ? " conflict, ours kept there" : " conflicts, ours kept at each") +
               " and every other change merged: settle " + (one ? "it" : "them") +
               " (the line under " + (one ? "it" : "each") + " says how to take theirs)" +
               (name.empty() ? "" : ", then git add " + ShellWord(name)));
  return kExitDiffers;
}

int Merge(const std::string& base, const std::string& ours, const std::string& theirs,
          const std::string& name, MergeSide side, const KeyNames& names, std::FILE* err,
          Files& files) {
  constexpr ExitRule rule = ExitRule::kAnyFailureIs2;
  // git merges into temporary files: its name for the file is the one to say.
  const std::string shown = QuotedName(name.empty() ? ours : name);
  OpenFile fb(files), fo(files), ft(files);
  Status o = fo.Open(ours, OpenFile::kEdit, err, shown);
  if (o.ok()) o = fb.Open(base, OpenFile::kRead, err, name.empty() ? base : name + " (base)");
  if (o.ok()) o = ft.Open(theirs, OpenFile::kRead, err, name.empty() ? theirs : name + " (theirs)");
  if (!o.ok()) return Report(o, err, rule);
  Change change;
  std::vector<MergeConflict> conflicts;
  std::vector<std::string> damaged, theirsPaths;
  Status s = PlanMerge(fb.file(), fb.length(), fo.file(), fo.length(), ft.file(), ft.length(),
                       names, side, &change, &conflicts, &damaged);
  // Where THEIRS holds the conflicts' tables, told while it is open.
  std::vector<std::vector<uint32_t>> theirsTrails;
  for (const MergeConflict& c : conflicts) theirsTrails.push_back(c.theirs);
  if (s.ok() && side == MergeSide::kNone) {
    s = EntryPaths(ft.file(), ft.length(), theirsTrails, names, &theirsPaths).In(ft.path());
  }
  if (!s.ok()) return Report(s, err, rule);
  // The change holds every byte it writes: BASE and THEIRS can go first (one of them may even be
  // OURS by another name).
  if (!(o = fb.Close()).ok() || !(o = ft.Close()).ok()) return Report(o, err, rule);
  s = change.Apply(fo.target());
  if (!s.ok()) {
    Say(err, shown + ": " + (s.ioError() ? "" : "merge refused: ") + s.Message());
    return ExitStatus(s, rule);
  }
  if (!(o = fo.Close()).ok()) return Report(o, err, rule);
  if (side == MergeSide::kNone && !conflicts.empty()) {
    return Unsettled(ours, theirs, name, conflicts, theirsPaths, damaged, names, err, files);
  }
  for (const MergeConflict& c : conflicts) Say(err, shown + ": " + c.line);
  for (const std::string& d : damaged) Say(err, shown + ": " + d);
  if (!conflicts.empty()) {
    Say(err, shown + ": " + std::to_string(conflicts.size()) +
                 (conflicts.size() == 1 ? " conflict" : " conflicts") +
                 " settled: " + (side == MergeSide::kOurs ? "ours kept" : "theirs taken"));
  }
  return ExitStatus(Status::Ok(), rule);
}

}  // namespace

int DiffCommand(const std::string& a, const std::string& b, const KeyNames& names, std::FILE* out,
                std::FILE* err, Files& files, bool overlay, bool reversible) {
  return RunGuarded(ShownName(a) + " -> " + ShownName(b), err, ExitRule::kAnyFailureIs2, [&] {
    // Standard input is one file, even where a folder is named "-".
    if (a == "-" || b == "-") {
      const char* why = a == b    ? "standard input (-) can be only one of A and B"
                        : overlay ? "standard input (-) is one file, not a mod folder"
                                  : nullptr;
      if (why != nullptr) return Report(Status::Invalid(why), err, ExitRule::kAnyFailureIs2);
      return Diff(a, b, names, out, err, files, reversible);
    }
    if (overlay || IsFolder(files, a) || IsFolder(files, b)) {
      return DiffFolders(a, b, overlay, reversible, names, out, err, files);
    }
    return Diff(a, b, names, out, err, files, reversible);
  });
}

int ApplyCommand(const std::string& path, const std::vector<std::string>& patchPaths, bool check,
                 const KeyNames& names, std::FILE* in, std::FILE* err, Files& files, bool durable,
                 bool reverse) {
  return RunGuarded(path, err, ExitRule::kUsual, [&] {
    if (IsFolder(files, path) && !patchPaths.empty()) {
      return ApplyToFolder(path, patchPaths, check, reverse, durable, names, in, err, files);
    }
    return Apply(path, patchPaths, check, reverse, names, in, err, files);
  });
}

int MergeCommand(const std::string& base, const std::string& ours, const std::string& theirs,
                 const std::string& name, MergeSide side, const KeyNames& names, std::FILE* err,
                 Files& files) {
  return RunGuarded(name.empty() ? ours : name, err, ExitRule::kAnyFailureIs2,
                    [&] { return Merge(base, ours, theirs, name, side, names, err, files); });
}

}  // namespace atb
