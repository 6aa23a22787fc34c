#include "atbutil/folder_mod_commands.h"

#include <cerrno>

#include "atb/patches.h"
#include "atbutil/folder_commands.h"
#include "atbutil/mod_report.h"
#include "atbutil/open_file.h"
#include "atbutil/progress.h"
#include "atbutil/scratch.h"

namespace atb {

namespace {

constexpr ExitRule kRule = ExitRule::kAnyFailureIs2;

int Refused(const std::vector<std::string>& refused, const std::string& what, std::FILE* err) {
  for (const std::string& r : refused) Say(err, r);
  Say(err, what + " refused: " + std::to_string(refused.size()) +
               (refused.size() == 1 ? " reason" : " reasons") + "; nothing was done");
  return ExitStatus(Status::Refused({}), kRule);
}

}  // namespace

int InstallOverFolder(const std::string& base, const std::vector<std::string>& modPaths, bool all,
                      bool combine, const KeyNames& names, std::FILE* err, Files& files,
                      FolderModsOutcome* outcome) {
  std::vector<FolderMod> mods(modPaths.size());
  std::vector<std::string> others;
  Progress progress(err, "mods read");
  for (std::size_t m = 0; m < modPaths.size(); ++m) {
    Status s = ReadFolderMod(files, base, modPaths[m], names, &mods[m], &others);
    if (!s.ok()) {
      progress.Clear();
      return Report(s, err, kRule);
    }
    progress.Update(static_cast<int64_t>(m + 1), static_cast<int64_t>(modPaths.size()));
  }
  progress.Clear();
  for (const std::string& other : others) {
    Say(err, other, "not an attribute file (*.atb): left alone");
  }
  TempScratch scratch(files);
  Status s = InstallFolderMods(
      files, base, mods, names, all, combine, scratch, outcome,
      [&](int64_t done, int64_t total) { progress.Update(done, total, "files installed"); });
  progress.Clear();
  if (!s.ok()) return Report(s, err, kRule);
  if (!outcome->refused.empty()) return Refused(outcome->refused, base + ": the mods are", err);
  return -1;
}

int FolderCombine(const std::string& base, const std::vector<std::string>& mods,
                  const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  FolderModsOutcome outcome;
  const int failed = InstallOverFolder(base, mods, false, true, names, err, files, &outcome);
  if (failed != -1) return failed;
  Status s = WriteOutput(outcome.combined, out);
  if (!s.ok()) return Report(s, err, kRule);
  std::size_t clashes = 0;
  for (const auto& [file, e] : outcome.entries) {
    if (!IsConflict(e.kind)) continue;
    if (clashes++ > 0) std::fputc('\n', err);
    std::fputs(ModEntryBlock(file, e).c_str(), err);
  }
  if (clashes == 0) return 0;
  Say(err, base,
      std::to_string(clashes) + (clashes == 1 ? " conflict" : " conflicts") +
          ": the change of the mod that wins stands in the patch");
  return kExitDiffers;
}

int FolderRebase(const std::string& patchPath, const std::string& old, const std::string& neu,
                 const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  if (!IsFolder(files, old) || !IsFolder(files, neu)) {
    return Report(Status::Invalid("rebase takes OLD and NEW both files or both folders"), err,
                  kRule);
  }
  FolderMod mod;
  std::vector<std::string> others;
  Status s = ReadFolderMod(files, old, patchPath, names, &mod, &others);
  if (!s.ok()) return Report(s, err, kRule);
  FolderPatch patch{patchPath, std::move(mod.files)};
  TempScratch scratch(files);
  FolderRebaseOutcome outcome;
  s = RebaseFolderPatch(files, patch, old, neu, names, scratch, &outcome);
  if (!s.ok()) return Report(s, err, kRule);
  if (!outcome.refused.empty()) {
    return Refused(outcome.refused, "the patch for " + old + " is", err);
  }
  if (!(s = WriteOutput(outcome.patch, out)).ok()) return Report(s, err, kRule);
  for (const std::string& line : outcome.report) Say(err, line);
  Say(err, patchPath + ": " + std::to_string(outcome.applied) +
               (outcome.applied == 1 ? " still applies, " : " still apply, ") +
               std::to_string(outcome.already) + " already in NEW, " +
               std::to_string(outcome.clashes) +
               (outcome.clashes == 1 ? " conflict, " : " conflicts, ") +
               std::to_string(outcome.gone) + " gone");
  return outcome.clashes + outcome.gone == 0 ? 0 : kExitDiffers;
}

}  // namespace atb
