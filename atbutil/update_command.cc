// update: the steps planned file by file (patches/update.h), then made as one change: of the one
// file named, or over the folder named, or over the current folder for several roots.
#include <cerrno>

#include "atb/change.h"
#include "atb/patches.h"
#include "atbutil/commands.h"
#include "atbutil/folder_commands.h"
#include "atbutil/open_file.h"
#include "atbutil/progress.h"
#include "atbutil/scratch.h"

namespace atb {

namespace {

constexpr ExitRule kRule = ExitRule::kUsual;

// Applies `text` (a patch of one file or over `folder`).
Status Make(Files& files, const Target& only, const std::string& folder, const std::string& text,
            bool durable, const KeyNames& names, std::FILE* err, PatchOutcome* outcome) {
  if (folder.empty()) {
    Patch patch;
    Status s = ParsePatch(text, names, &patch);
    if (!s.ok()) return s;
    patch.name = only.path;
    OpenFile f(files);
    if (!(s = f.Open(only.path, OpenFile::kEdit, err)).ok()) return s;
    f.target().durable = durable;
    s = ApplyPatches(f.file(), f.length(), {patch}, names, &f.target(), outcome);
    return s.ok() ? f.Close() : s.In(only.path);
  }
  FolderPatch patch;
  patch.name = "update";
  Status s = ParseFolderPatch(text, names, &patch);
  if (!s.ok()) return s;
  return ApplyFolderPatches(files, folder, {patch}, names, false, durable, outcome, true);
}

int Update(const std::vector<std::string>& roots, const std::vector<std::string>& words,
           bool dryRun, bool durable, const KeyNames& names, std::FILE* out, std::FILE* err,
           Files& files) {
  std::vector<UpdateStep> steps;
  Status s = ParseUpdateSteps(words, names, &steps);
  std::vector<Target> targets;
  std::string folder;
  std::vector<std::string> others;
  if (s.ok() && roots.empty()) s = Status::Invalid("update needs a FILE or DIR");
  if (s.ok()) s = ListTargets(files, roots, &targets, &folder, &others);
  if (!s.ok()) return Report(s, err, kRule);
  TempScratch scratch(files);
  UpdateOutcome outcome;
  std::string text;
  int64_t changedFiles = 0;
  bool trouble = false;
  Progress progress(err, "files");
  for (std::size_t i = 0; i < targets.size(); ++i) {
    const Target& t = targets[i];
    progress.Update(static_cast<int64_t>(i), static_cast<int64_t>(targets.size()));
    OpenFile f(files);
    std::string patch;
    s = f.Open(t.path, OpenFile::kRead, err);
    if (s.ok())
      s = PlanUpdate(f.file(), f.length(), t.path, steps, names, scratch, &patch, &outcome);
    // Every file is still searched, so that all that is wrong is said at once.
    if (!s.ok()) {
      progress.Clear();
      Report(s.In(t.path), err, kRule);
      trouble = true;
      continue;
    }
    if (patch.empty()) continue;
    ++changedFiles;
    text += folder.empty() ? patch : FileLine(t.relative) + patch;
  }
  progress.Clear();
  if (trouble) {
    Say(err, "update refused: files above could not be read; nothing was changed");
    return 2;
  }
  int status = 0;
  for (std::size_t k = 0; k < steps.size(); ++k) {
    if (outcome.matched[k] == 0) {
      Say(err, steps[k].text + ": matches nothing; nothing was changed");
      status = 1;
    }
  }
  for (const std::string& r : outcome.refused) Say(err, r);
  if (!outcome.refused.empty()) {
    Say(err, "update refused: " + std::to_string(outcome.refused.size()) +
                 (outcome.refused.size() == 1 ? " entry" : " entries") +
                 " cannot be changed so; nothing was changed");
    status = 1;
  }
  if (status != 0) return status;
  if (!folder.empty() && changedFiles > 0) text += EndOfFilesLine(changedFiles);
  const std::string summary =
      std::to_string(outcome.values) + (outcome.values == 1 ? " value in " : " values in ") +
      std::to_string(changedFiles) + (changedFiles == 1 ? " file" : " files");
  if (dryRun) {
    if (Status written = WriteOutput(text, out); !written.ok()) return Report(written, err, kRule);
    Say(err, summary + " (a dry run: nothing was changed)");
    return 0;
  }
  PatchOutcome made;
  if (!text.empty()) {
    s = Make(files, targets.front(), folder, text, durable, names, err, &made);
    if (!s.ok()) return Report(s, err, kRule);
    for (const std::string& failure : made.failures) SayAsIs(err, failure);
    if (!made.failures.empty()) {
      Say(err, "update refused: files changed while it ran; nothing was changed");
      return 1;
    }
  }
  Say(err, summary);
  return 0;
}

}  // namespace

int UpdateCommand(const std::vector<std::string>& roots, const std::vector<std::string>& words,
                  bool dryRun, bool durable, const KeyNames& names, std::FILE* out, std::FILE* err,
                  Files& files) {
  return RunGuarded(roots.empty() ? "update" : roots.front(), err, kRule,
                    [&] { return Update(roots, words, dryRun, durable, names, out, err, files); });
}

}  // namespace atb
