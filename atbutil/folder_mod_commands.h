// conflicts, combine and rebase over folders (patches/folder_mods.h): BASE, OLD and NEW folders,
// each mod a patch over a folder or a mod folder.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "atb/patches.h"
#include "atb/system.h"
#include "atb/text.h"

namespace atb {

// Reads the mods of the folder `base` and installs them; -1 when that went well, else the exit
// status, said on `err`.
int InstallOverFolder(const std::string& base, const std::vector<std::string>& mods, bool all,
                      bool combine, const KeyNames& names, std::FILE* err, Files& files,
                      FolderModsOutcome* outcome);
int FolderCombine(const std::string& base, const std::vector<std::string>& mods,
                  const KeyNames& names, std::FILE* out, std::FILE* err, Files& files);
int FolderRebase(const std::string& patch, const std::string& old, const std::string& neu,
                 const KeyNames& names, std::FILE* out, std::FILE* err, Files& files);

}  // namespace atb
