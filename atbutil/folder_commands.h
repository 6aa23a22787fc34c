// diff, apply and recover over folders: the patches of patches/folder_patch.h, with the folder's
// files changed as one (change/folder_change.h).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "atb/system.h"
#include "atb/text.h"

namespace atb {

// Whether `path` names a folder (a symlink to one is no folder here).
bool IsFolder(Files& files, const std::string& path);

// A file of a command over many files.
struct Target {
  std::string path;      // as opened
  std::string relative;  // as a patch over the folder names it; empty for one file alone
};

// The files `roots` name, and the folder a patch over them is relative to: the one folder
// named, the current folder for several roots, "" for one file; a file named twice is listed
// once. Other files in the folders go to *others, and so do *.atb files that a patch cannot
// name (a control byte in the name).
Status ListTargets(Files& files, const std::vector<std::string>& roots,
                   std::vector<Target>* targets, std::string* folder,
                   std::vector<std::string>* others);

int DiffFolders(const std::string& a, const std::string& b, bool overlay, bool reversible,
                const KeyNames& names, std::FILE* out, std::FILE* err, Files& files);
// With `reverse`, undoes one patch over the folder (patches/reverse.h).
int ApplyToFolder(const std::string& root, const std::vector<std::string>& patchPaths, bool check,
                  bool reverse, bool durable, const KeyNames& names, std::FILE* in, std::FILE* err,
                  Files& files);
int RecoverFolder(const std::string& root, std::FILE* err, Files& files);

}  // namespace atb
