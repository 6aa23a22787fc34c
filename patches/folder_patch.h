// Patches over folders: the changes that turn every attribute file (*.atb) of one folder into
// those of another, one section per file that differs, named by its path below the folder:
//
//   file weapons/rifle.atb
//   set /reload_time: float 2.5 -> float 3.25
//   end 1 change
//   file weapons/new.atb: new "\x00\x00..."
//   file old.atb: removed 300 bytes fnv64 0x0123456789abcdef
//   end 3 files
//
// A section of a changed file is a patch of one file (patches/patch.h), up to its end line. A new
// file is carried whole (`new damaged "..."` where its bytes are no sound file), and a removed one
// states the size and hash it expects. doc/patch.md gives the rest.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "patches/patch.h"
#include "platform/files.h"
#include "text/key_names.h"
#include "text/output_sink.h"

namespace atb {

struct FilePatch {
  enum Kind { kChange, kAdd, kRemove };
  Kind kind = kChange;
  int line = 0;
  std::string relative;  // '/'-separated below the folder: no "..", ".", empty or leading '/'
  Patch patch;           // kChange
  std::string bytes;     // kAdd: the file whole
  bool damaged = false;  // kAdd: marked as no sound file
  int64_t size = 0;      // kRemove: what it expects there
  uint64_t hash = 0;
};

struct FolderPatch {
  std::string name;  // the patch's file, for messages
  std::vector<FilePatch> files;
};

// Whether the text of a patch is one over a folder: its first line that is no comment names a file.
bool IsFolderPatchText(std::string_view text);

// Parses a patch over a folder. Invalid, saying "line N: what", when it is not one, is cut short
// (no end line, or one that counts other files), names a file twice, or names a path outside the
// folder or no *.atb file.
Status ParseFolderPatch(std::string_view text, const KeyNames& names, FolderPatch* patch);

// The lines of a patch over a folder, as every writer of one writes them.
std::string FileLine(const std::string& relative);  // "file PATH\n", a patch of one file follows
std::string NewFileLine(const std::string& relative, std::string_view bytes, bool damaged);
std::string RemovedFileLine(const std::string& relative, int64_t size, uint64_t hash);
std::string EndOfFilesLine(int64_t files);
// "N bytes fnv64 0x...", as a patch states a size and hash.
std::string SizeAndHashText(int64_t size, uint64_t hash);

// Whether `relative` may name a file below a folder in a patch; the reason why not otherwise.
bool ValidRelativePath(std::string_view relative, std::string* why);

// The attribute files (*.atb, regular files) below `root`, as sorted relative paths, and the
// other names there (symlinks, other files) that are not ours. A folder is read only while it
// is the one its parent listed; the staging folder of a change over the folder is skipped.
Status ListAttributeFiles(Files& files, const std::string& root, std::vector<std::string>* found,
                          std::vector<std::string>* others);

struct FolderDiffOutcome {
  int64_t files = 0;                    // sections written
  std::vector<std::string> others;      // names below either folder that are not attribute files
  std::vector<std::string> staleSizes;  // files of B whose header sizes do not follow their length
};

// Writes the patch that turns the folder `a` into `b` to `sink`. With `overlay`, `b` holds only
// the files it changes: files it lacks are left alone, not removed. Refused, saying which file,
// where a file's difference cannot be written as a patch. `reversible` as for WritePatch: a
// removed file is still given by its size and hash alone.
Status WriteFolderPatch(Files& files, const std::string& a, const std::string& b, bool overlay,
                        const KeyNames& names, Sink& sink, FolderDiffOutcome* outcome,
                        bool reversible = false);

// Checks the patches in order against the folder `root`, and unless `check`, makes them all as
// one change over its files (change/folder_change.h), durable with `durable`. A change that does
// not hold goes to *outcome, and then nothing is written, as with ApplyPatches.
// With `madeFromThem`, the patches were just made from the files as they are (as update makes
// them), and are checked only as the change makes each file ready: a file that changed since
// refuses the whole change, every file as it was, with no list of what does not hold.
Status ApplyFolderPatches(Files& files, const std::string& root,
                          const std::vector<FolderPatch>& patches, const KeyNames& names,
                          bool check, bool durable, PatchOutcome* outcome,
                          bool madeFromThem = false);

}  // namespace atb
