// Undoing a patch: the patch that turns a file the patch made back into the file it was made for.
// Each change's new value becomes what is expected and its old value what is written; an add
// becomes a remove and a remove an add. The paths of a patch name the file before it, so they are
// found again in the file it made: where entries were added or removed, an entry's place among
// those with its key moves.
#pragma once

#include <string>
#include <vector>

#include "patches/folder_patch.h"
#include "patches/patch.h"
#include "store/positioned_file.h"
#include "text/key_names.h"

namespace atb {

// Makes *reversed, the undoing of `patch`, for `file` (of `length` bytes), the file that applying
// `patch` made. Refused, each reason in *why as "PATCH: line N: ...", where the patch lacks what
// undoing needs: an old value given only by its size and hash, a removal that does not say
// between which entries it stood (diff --reversible writes both), a path that counts entries
// (@N, #N); and where a table it adds to or removes from is not the one the patch leaves. An
// I/O error when the file cannot be read.
Status ReversePatch(ByteSource& file, int64_t length, const Patch& patch, const KeyNames& names,
                    Patch* reversed, std::vector<std::string>* why);

// The same for a patch over a folder: a new file becomes one removed (by its size and hash); a
// removed file cannot be restored from its size and hash, and is refused. `changed` are the
// files the sections of changed files make, read by the caller: changed[k] for the k-th such
// section, in order.
struct ChangedFile {
  ByteSource* file;
  int64_t length;
};
Status ReverseFolderPatch(const FolderPatch& patch, const std::vector<ChangedFile>& changed,
                          const KeyNames& names, FolderPatch* reversed,
                          std::vector<std::string>* why);

}  // namespace atb
