// diff, apply and merge: the files opened by name, the engines of patches/ run on them, and what
// they came to said and turned into an exit status.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <new>

#include "atb/change.h"
#include "atb/patches.h"
#include "atb/system.h"
#include "atbutil/commands.h"
#include "atbutil/folder_commands.h"
#include "atbutil/open_file.h"

namespace atb {

namespace {

// Runs `command` (answering an exit status); memory that runs out, as it may where a buffer is
// sized by what a file holds, is an error about `where`, not an abort.
template <typename Command>
int Guarded(const std::string& where, std::FILE* err, ExitRule rule, Command command) {
  try {
    return command();
  } catch (const std::bad_alloc&) {
    return Report(OutOfMemory().In(where), err, rule);
  }
}

int Diff(const std::string& a, const std::string& b, const KeyNames& names, std::FILE* out,
         std::FILE* err, Files& files) {
  constexpr ExitRule rule = ExitRule::kAnyFailureIs2;
  OpenFile fa(files), fb(files);
  Status o = fa.Open(a, OpenFile::kRead, err);
  if (o.ok()) o = fb.Open(b, OpenFile::kRead, err);
  if (!o.ok()) return Report(o, err, rule);
  Sink sink(out);
  int64_t changes = 0;
  bool staleSizes = false;
  Status s = WritePatch(fa.file(), fa.length(), fb.file(), fb.length(), names, sink, &changes,
                        &staleSizes);
  if (s.refused()) {
    SayAsIs(err, a + " -> " + b + ": no patch can describe this: " + s.Message());
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
    Say(err, b,
        "its header sizes do not follow its length of " + std::to_string(fb.length()) +
            " bytes: applying the patch gives sizes that do, as every change does");
    return kExitDiffers;
  }
  return changes == 0 ? ExitStatus(Status::Ok(), rule) : kExitDiffers;
}

int Apply(const std::string& path, const std::vector<std::string>& patchPaths, bool check,
          const KeyNames& names, std::FILE* in, std::FILE* err, Files& files) {
  if (patchPaths.empty()) {
    const Status usage = Status::Invalid("apply needs a FILE and at least one PATCH");
    SayAsIs(err, usage.Message());
    return ExitStatus(usage);
  }
  std::vector<Patch> patches(patchPaths.size());
  for (std::size_t p = 0; p < patchPaths.size(); ++p) {
    std::string text;
    Status read = ReadPatchText(files, patchPaths[p], in, &text);
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

int Merge(const std::string& base, const std::string& ours, const std::string& theirs,
          const std::string& name, const KeyNames& names, std::FILE* err, Files& files) {
  constexpr ExitRule rule = ExitRule::kAnyFailureIs2;
  // git merges into temporary files: its name for the file is the one to say.
  const std::string shown = QuotedName(name.empty() ? ours : name);
  OpenFile fb(files), fo(files), ft(files);
  Status o = fo.Open(ours, OpenFile::kEdit, err, shown);
  if (o.ok()) o = fb.Open(base, OpenFile::kRead, err, name.empty() ? base : name + " (base)");
  if (o.ok()) o = ft.Open(theirs, OpenFile::kRead, err, name.empty() ? theirs : name + " (theirs)");
  if (!o.ok()) return Report(o, err, rule);
  Change change;
  std::vector<std::string> conflicts, damaged;
  Status s = PlanMerge(fb.file(), fb.length(), fo.file(), fo.length(), ft.file(), ft.length(),
                       names, &change, &conflicts, &damaged);
  if (!s.ok()) return Report(s, err, rule);
  if (!conflicts.empty()) {
    for (const std::string& c : conflicts) Say(err, shown + ": " + c);
    Say(err, shown + ": " + std::to_string(conflicts.size()) +
                 (conflicts.size() == 1 ? " conflict" : " conflicts") + "; left as it was");
    return kExitDiffers;
  }
  // The change holds every byte it writes: BASE and THEIRS can go first (one of them may even be
  // OURS by another name).
  if (!(o = fb.Close()).ok() || !(o = ft.Close()).ok()) return Report(o, err, rule);
  s = change.Apply(fo.target());
  if (!s.ok()) {
    Say(err, shown + ": " + (s.ioError() ? "" : "merge refused: ") + s.Message());
    return ExitStatus(s, rule);
  }
  if (!(o = fo.Close()).ok()) return Report(o, err, rule);
  for (const std::string& d : damaged) Say(err, shown + ": " + d);
  return ExitStatus(Status::Ok(), rule);
}

}  // namespace

int DiffCommand(const std::string& a, const std::string& b, const KeyNames& names, std::FILE* out,
                std::FILE* err, Files& files, bool overlay) {
  return Guarded(a + " -> " + b, err, ExitRule::kAnyFailureIs2, [&] {
    if (overlay || IsFolder(files, a) || IsFolder(files, b)) {
      return DiffFolders(a, b, overlay, names, out, err, files);
    }
    return Diff(a, b, names, out, err, files);
  });
}

int ApplyCommand(const std::string& path, const std::vector<std::string>& patchPaths, bool check,
                 const KeyNames& names, std::FILE* in, std::FILE* err, Files& files, bool durable) {
  return Guarded(path, err, ExitRule::kUsual, [&] {
    if (IsFolder(files, path) && !patchPaths.empty()) {
      return ApplyToFolder(path, patchPaths, check, durable, names, in, err, files);
    }
    return Apply(path, patchPaths, check, names, in, err, files);
  });
}

int MergeCommand(const std::string& base, const std::string& ours, const std::string& theirs,
                 const std::string& name, const KeyNames& names, std::FILE* err, Files& files) {
  return Guarded(name.empty() ? ours : name, err, ExitRule::kAnyFailureIs2,
                 [&] { return Merge(base, ours, theirs, name, names, err, files); });
}

}  // namespace atb
