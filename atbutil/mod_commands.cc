// conflicts, combine and rebase: BASE, the mods and the patch opened by name, the engines of
// patches/ run on them, and what they came to said and turned into an exit status.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <nlohmann/json.hpp>

#include "atb/patches.h"
#include "atb/system.h"
#include "atbutil/commands.h"
#include "atbutil/conflicts_page.h"
#include "atbutil/folder_commands.h"
#include "atbutil/folder_mod_commands.h"
#include "atbutil/mod_report.h"
#include "atbutil/open_file.h"
#include "atbutil/progress.h"
#include "atbutil/scratch.h"

namespace atb {

namespace {

constexpr ExitRule kRule = ExitRule::kAnyFailureIs2;

// An attribute file holds zero bytes in its header; a patch is text and holds none.
constexpr std::size_t kSniffed = 1 << 16;

Status ReadWhole(Files& files, const std::string& path, std::string* text) {
  const int fd = files.Open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd == -1) return Status::FromErrno(errno).In(path);
  char buf[1 << 16];
  text->clear();
  Status read;
  for (;;) {
    const ssize_t n = files.Read(fd, buf, sizeof buf);
    if (n < 0) read = Status::FromErrno(errno).In(path);
    if (n <= 0) break;
    text->append(buf, static_cast<std::size_t>(n));
    // An attribute file is read as one, not whole into memory here.
    if (text->size() <= kSniffed && text->find('\0') != std::string::npos) break;
  }
  files.Close(fd);
  return read;
}

// A mod or a patch: a patch when it is text that parses, an attribute file diffed against
// `base` otherwise.
Status ReadMod(Files& files, OpenFile& base, const std::string& path, const KeyNames& names,
               std::FILE* err, Patch* patch) {
  std::string text;
  Status s = ReadWhole(files, path, &text);
  if (!s.ok()) return s;
  std::string notPatch;
  if (text.find('\0') == std::string::npos) {
    s = ParsePatch(text, names, patch);
    if (s.ok()) return s;
    notPatch = s.Message();
  }
  text.clear();
  text.shrink_to_fit();
  OpenFile mod(files);
  s = mod.Open(path, OpenFile::kRead, err);
  if (s.ok()) s = ModOfFile(base.file(), base.length(), mod.file(), mod.length(), names, patch);
  if (s.ok() || notPatch.empty()) return s.ok() ? s : s.In(path);
  return Status::Invalid(path + ": neither a patch (" + notPatch + ") nor an attribute file (" +
                         s.Message() + ")");
}

Status ReadMods(Files& files, OpenFile& base, const std::vector<std::string>& paths,
                const KeyNames& names, std::FILE* err, std::vector<Mod>* mods) {
  // A mod that is an attribute file is diffed against BASE: long over many of them.
  Progress progress(err, "mods read");
  for (const std::string& path : paths) {
    mods->push_back({path, {}});
    Status s = ReadMod(files, base, path, names, err, &mods->back().patch);
    if (!s.ok()) return s;
    mods->back().patch.name = path;
    progress.Update(static_cast<int64_t>(mods->size()), static_cast<int64_t>(paths.size()));
  }
  return Status::Ok();
}

// Says every refusal, and that nothing was done; status 2.
int Refused(const std::vector<std::string>& refused, const std::string& what, std::FILE* err) {
  for (const std::string& r : refused) Say(err, r);
  Say(err, what + " refused: " + std::to_string(refused.size()) +
               (refused.size() == 1 ? " reason" : " reasons") + "; nothing was done");
  return ExitStatus(Status::Refused({}), kRule);
}

// The patch from `from` to the scratch's result, on `out`.
Status WriteResult(OpenFile& from, ChangeTarget& result, int64_t resultLength,
                   const KeyNames& names, std::FILE* out) {
  Sink sink(out);
  int64_t changes;
  Status s =
      WritePatch(from.file(), from.length(), result.file, resultLength, names, sink, &changes);
  if (!s.ok()) {
    sink.Flush();
    return s;
  }
  return FinishOutput(sink);
}

// Installs the mods; 2 after saying why when that fails or a mod is refused, else -1.
int Install(const std::string& basePath, const std::vector<std::string>& modPaths, bool all,
            const KeyNames& names, std::FILE* err, Files& files, OpenFile& base,
            TempScratch& scratch, ModsOutcome* outcome) {
  Status s = base.Open(basePath, OpenFile::kRead, err);
  std::vector<Mod> mods;
  if (s.ok()) s = ReadMods(files, base, modPaths, names, err, &mods);
  if (!s.ok()) return Report(s, err, kRule);
  s = InstallMods(base.file(), base.length(), mods, names, all, scratch, outcome);
  if (!s.ok()) return Report(s.In(basePath), err, kRule);
  if (!outcome->refused.empty()) return Refused(outcome->refused, basePath + ": the mods are", err);
  return -1;
}

// A page named by OUT would replace it: refused when it is BASE or a mod, before anything is read.
// The page and JSON cannot share standard output.
Status CheckPageTarget(Files& files, const std::string& html, const std::string& basePath,
                       const std::vector<std::string>& modPaths, bool json) {
  if (html == "-") {
    return json ? Status::Invalid(
                      "--json and --html - both write to standard output: name a "
                      "file for the page")
                : Status::Ok();
  }
  struct stat page;
  if (files.StatPath(html, &page) != 0) return Status::Ok();
  std::vector<std::string> inputs = {basePath};
  inputs.insert(inputs.end(), modPaths.begin(), modPaths.end());
  for (const std::string& input : inputs) {
    struct stat st;
    if (files.StatPath(input, &st) == 0 && st.st_dev == page.st_dev && st.st_ino == page.st_ino) {
      return Status::Refused(std::string(input == basePath ? "is BASE" : "is a mod") +
                             ", which the page would replace: name another file")
          .In(html);
    }
  }
  return Status::Ok();
}

// The page on `out` for "-", else in place of OUT once whole; never over the open BASE `keep`.
Status WritePage(Files& files, const std::string& html, int keep, const std::string& page,
                 std::FILE* out) {
  if (html == "-") {
    Sink sink(out);
    sink.buf() = page;
    return FinishOutput(sink);
  }
  OutputFile file(files, html, DurableChanges());
  Status s = file.Open(keep);
  if (s.ok()) s = file.Write(page);
  if (s.ok()) s = file.Commit();
  return s.In(html);
}

int Conflicts(const std::string& basePath, const std::vector<std::string>& modPaths, bool all,
              bool json, const std::string& html, const KeyNames& names, std::FILE* out,
              std::FILE* err, Files& files) {
  const bool folder = IsFolder(files, basePath);
  Status s = html.empty() ? Status::Ok() : CheckPageTarget(files, html, basePath, modPaths, json);
  if (s.ok() && folder && html.size() > 4 && html.compare(html.size() - 4, 4, ".atb") == 0) {
    s = Status::Invalid(html + ": a page named as an attribute file would be taken for one");
  }
  if (!s.ok()) return Report(s, err, kRule);
  OpenFile base(files);
  TempScratch scratch(files);
  std::vector<std::pair<std::string, ModEntry>> shown;
  if (folder) {
    FolderModsOutcome outcome;
    const int failed =
        InstallOverFolder(basePath, modPaths, all, false, names, err, files, &outcome);
    if (failed != -1) return failed;
    shown = std::move(outcome.entries);
  } else {
    ModsOutcome outcome;
    const int failed = Install(basePath, modPaths, all, names, err, files, base, scratch, &outcome);
    if (failed != -1) return failed;
    for (ModEntry& e : outcome.entries) shown.emplace_back(basePath, std::move(e));
  }
  const bool conflicts = std::any_of(shown.begin(), shown.end(),
                                     [](const auto& e) { return IsConflict(e.second.kind); });
  const int status = conflicts ? kExitDiffers : 0;
  if (!html.empty()) {
    s = WritePage(files, html, folder ? -1 : base.fd(), ConflictsPage(basePath, modPaths, shown),
                  out);
    if (!s.ok()) return Report(s, err, kRule);
    // The page took standard output's place.
    if (html == "-") return status;
  }
  Sink sink(out);
  if (json) {
    sink.buf() = ModEntriesJson(shown) + "\n";
  } else {
    for (std::size_t k = 0; k < shown.size(); ++k) {
      if (k > 0) sink.buf().push_back('\n');
      sink.buf() += ModEntryBlock(folder ? shown[k].first : std::string(), shown[k].second);
    }
  }
  s = FinishOutput(sink);
  if (!s.ok()) return Report(s, err, kRule);
  return status;
}

int Combine(const std::string& basePath, const std::vector<std::string>& modPaths,
            const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  OpenFile base(files);
  TempScratch scratch(files);
  ModsOutcome outcome;
  const int failed = Install(basePath, modPaths, false, names, err, files, base, scratch, &outcome);
  if (failed != -1) return failed;
  Status s = WriteResult(base, *outcome.result, outcome.resultLength, names, out);
  if (!s.ok()) return Report(s, err, kRule);
  std::size_t clashes = 0;
  for (const ModEntry& e : outcome.entries) {
    if (!IsConflict(e.kind)) continue;
    if (clashes++ > 0) std::fputc('\n', err);
    std::fputs(ModEntryBlock({}, e).c_str(), err);
  }
  if (clashes == 0) return 0;
  Say(err, basePath,
      std::to_string(clashes) + (clashes == 1 ? " conflict" : " conflicts") +
          ": the change of the mod that wins stands in the patch");
  return kExitDiffers;
}

std::string Where(const PatchChange& c) {
  return c.kind == PatchChange::kLead ? "lead " + c.path : c.path;
}

// Says what became of each change that does not simply apply again, then the counts; the exit
// status.
int ReportRebase(const std::string& patchPath, const Patch& patch, const RebaseOutcome& outcome,
                 std::FILE* err) {
  std::size_t counts[4] = {0, 0, 0, 0};
  for (std::size_t k = 0; k < patch.changes.size(); ++k) {
    const PatchChange& c = patch.changes[k];
    const LooseFate& fate = outcome.fates[k];
    ++counts[fate.kind];
    const bool typed = c.kind != PatchChange::kLead && c.kind != PatchChange::kHeader;
    const std::string at = patchPath + ": " + Where(c) + ": ";
    if (fate.kind == LooseFate::kAlready) {
      Say(err, at + "already in NEW; left out");
    } else if (fate.kind == LooseFate::kClash) {
      const std::string makes = c.kind == PatchChange::kRemove
                                    ? "removes it"
                                    : "makes it " + PatchValueText(c.value, typed);
      Say(err, at + "conflict: expected " + PatchValueText(c.expected, typed) + ", NEW holds " +
                   fate.found + ", the patch " + makes + "; left out");
    } else if (fate.kind == LooseFate::kGone) {
      Say(err, at + "gone: " + fate.found + " in NEW; left out");
    }
  }
  Say(err, patchPath + ": " + std::to_string(counts[LooseFate::kApplied]) +
               (counts[LooseFate::kApplied] == 1 ? " still applies, " : " still apply, ") +
               std::to_string(counts[LooseFate::kAlready]) + " already in NEW, " +
               std::to_string(counts[LooseFate::kClash]) +
               (counts[LooseFate::kClash] == 1 ? " conflict, " : " conflicts, ") +
               std::to_string(counts[LooseFate::kGone]) + " gone");
  return counts[LooseFate::kClash] + counts[LooseFate::kGone] == 0 ? 0 : kExitDiffers;
}

int Rebase(const std::string& patchPath, const std::string& oldPath, const std::string& newPath,
           const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  OpenFile old(files), neu(files);
  Status s = old.Open(oldPath, OpenFile::kRead, err);
  if (s.ok()) s = neu.Open(newPath, OpenFile::kRead, err);
  Patch patch;
  if (s.ok()) s = ReadMod(files, old, patchPath, names, err, &patch);
  if (!s.ok()) return Report(s, err, kRule);
  patch.name = patchPath;
  TempScratch scratch(files);
  RebaseOutcome outcome;
  s = RebasePatch(old.file(), old.length(), neu.file(), neu.length(), patch, names, scratch,
                  &outcome);
  if (!s.ok()) return Report(s.In(newPath), err, kRule);
  if (!outcome.refused.empty())
    return Refused(outcome.refused, "the patch for " + oldPath + " is", err);
  if (!(s = WriteResult(neu, *outcome.result, outcome.resultLength, names, out)).ok()) {
    return Report(s, err, kRule);
  }
  return ReportRebase(patchPath, patch, outcome, err);
}

}  // namespace

std::string ModEntryBlock(const std::string& file, const ModEntry& entry) {
  std::string block = file.empty() ? "" : Printable(file) + ": ";
  block += Printable(entry.path) + ": " + std::string(ModKindWord(entry.kind));
  if (!entry.winner.empty() && entry.kind != ModEntry::kAgree) {
    block += ", " + Printable(entry.winner) + " wins";
  }
  block += "\n";
  std::size_t width = 4;
  for (const ModEntry::Touch& t : entry.mods) width = std::max(width, Printable(t.mod).size());
  auto line = [&](const std::string& name, const std::string& value) {
    block += "  " + name + std::string(width + 2 - name.size(), ' ') + Printable(value) + "\n";
  };
  line("base", entry.inBase ? entry.base : "absent");
  for (const ModEntry::Touch& t : entry.mods) line(Printable(t.mod), t.value);
  return block;
}

std::string ModEntriesJson(const std::vector<std::pair<std::string, ModEntry>>& entries) {
  nlohmann::ordered_json all = nlohmann::ordered_json::array();
  for (const auto& [file, e] : entries) {
    nlohmann::ordered_json mods = nlohmann::ordered_json::array();
    for (const ModEntry::Touch& t : e.mods) mods.push_back({{"mod", t.mod}, {"value", t.value}});
    nlohmann::ordered_json one;
    one["file"] = file;
    one["path"] = e.path;
    one["base"] = e.inBase ? nlohmann::ordered_json(e.base) : nlohmann::ordered_json();
    one["mods"] = std::move(mods);
    one["winner"] = e.winner;
    one["kind"] = std::string(ModKindWord(e.kind));
    all.push_back(std::move(one));
  }
  return all.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

int ConflictsCommand(const std::string& base, const std::vector<std::string>& mods, bool all,
                     bool json, const std::string& html, const KeyNames& names, std::FILE* out,
                     std::FILE* err, Files& files) {
  return RunGuarded(base, err, kRule,
                    [&] { return Conflicts(base, mods, all, json, html, names, out, err, files); });
}

int CombineCommand(const std::string& base, const std::vector<std::string>& mods,
                   const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  return RunGuarded(base, err, kRule, [&] {
    if (IsFolder(files, base)) return FolderCombine(base, mods, names, out, err, files);
    return Combine(base, mods, names, out, err, files);
  });
}

int RebaseCommand(const std::string& patch, const std::string& old, const std::string& neu,
                  const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  return RunGuarded(patch, err, kRule, [&] {
    if (IsFolder(files, old) || IsFolder(files, neu)) {
      return FolderRebase(patch, old, neu, names, out, err, files);
    }
    return Rebase(patch, old, neu, names, out, err, files);
  });
}

}  // namespace atb
