// Mods over a folder: each mod a patch over the folder (patches/folder_patch.h), or a mod folder
// that holds only the files it changes, as mods are shipped: each of its files stands for the
// patch from BASE's file to it, or for a new file where BASE has none, and a file it lacks is left
// as BASE has it. The mods of one file are installed as patches/mods.h installs them; a mod that
// adds or removes a file whole meets the others file by file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "patches/folder_patch.h"
#include "patches/mods.h"
#include "patches/rebase.h"

namespace atb {

struct FolderMod {
  std::string name;
  std::vector<FilePatch> files;  // in the order of their paths
};

// Reads the mod `path` made for the folder `base`: a patch over a folder, or a mod folder; the
// names below a mod folder that are not attribute files go to *others. Invalid for a patch of one
// file, or for a file that is no patch.
Status ReadFolderMod(Files& files, const std::string& base, const std::string& path,
                     const KeyNames& names, FolderMod* mod, std::vector<std::string>* others);

// The path a whole-file meeting is told by.
inline constexpr char kWholeFile[] = "(the whole file)";

struct FolderModsOutcome {
  // As ModsOutcome's, each naming the file: nothing else is done then.
  std::vector<std::string> refused;
  // Every entry that two or more mods touch (with `all`, any), with its file below BASE, in the
  // order of the files and then of BASE. A file that a mod adds or removes whole is one entry,
  // kWholeFile.
  std::vector<std::pair<std::string, ModEntry>> entries;
  // With `combine`: the patch over the folder that installs the mods, and its files.
  std::string combined;
  int64_t files = 0;
};

// Installs the mods on `base` file by file, one scratch copy at a time; `progress`, when given,
// is told after each file how many of how many are done.
Status InstallFolderMods(Files& files, const std::string& base, const std::vector<FolderMod>& mods,
                         const KeyNames& names, bool all, bool combine, Scratch& scratch,
                         FolderModsOutcome* outcome,
                         const std::function<void(int64_t done, int64_t total)>& progress = {});

struct FolderRebaseOutcome {
  std::vector<std::string> refused;
  // What became of each change that does not simply apply again, as "FILE: PATH: ...".
  std::vector<std::string> report;
  int64_t applied = 0, already = 0, clashes = 0, gone = 0;
  std::string patch;  // the rebased patch over the folder; empty when nothing is left
};

// Makes `patch`, made for the folder `old`, again for the folder `neu`.
Status RebaseFolderPatch(Files& files, const FolderPatch& patch, const std::string& old,
                         const std::string& neu, const KeyNames& names, Scratch& scratch,
                         FolderRebaseOutcome* outcome);

}  // namespace atb
