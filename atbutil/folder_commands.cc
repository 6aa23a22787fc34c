#include "atbutil/folder_commands.h"

#include <cerrno>
#include <memory>
#include <set>

#include "atb/change.h"
#include "atb/patches.h"
#include "atbutil/open_file.h"

namespace atb {

bool IsFolder(Files& files, const std::string& path) {
  struct stat st;
  if (files.StatPath(path, &st) == -1) return false;
  // A folder named by a symlink is the user's choice of folder, as check takes it; only the
  // names below it are never followed.
  return S_ISDIR(st.st_mode) ||
         (S_ISLNK(st.st_mode) && files.StatPath(path + "/.", &st) == 0 && S_ISDIR(st.st_mode));
}

Status ListTargets(Files& files, const std::vector<std::string>& roots,
                   std::vector<Target>* targets, std::string* folder,
                   std::vector<std::string>* others) {
  if (roots.size() == 1 && !IsFolder(files, roots[0])) {
    targets->push_back({roots[0], {}});
    return Status::Ok();
  }
  *folder = roots.size() == 1 ? roots[0] : ".";
  // A file named twice, as a folder and a file in it, is one file of the command.
  std::set<std::string> listed;
  for (const std::string& root : roots) {
    std::string below = roots.size() == 1 ? "" : root;
    while (below.size() > 1 && below.back() == '/') below.pop_back();
    if (below.rfind("./", 0) == 0) below.erase(0, 2);
    if (below == ".") below.clear();
    std::vector<std::string> found;
    if (IsFolder(files, root)) {
      Status s = ListAttributeFiles(files, root, &found, others);
      if (!s.ok()) return s;
    } else {
      found.push_back({});
    }
    for (const std::string& f : found) {
      const std::string relative = below.empty() ? f : f.empty() ? below : below + "/" + f;
      std::string why;
      if (!ValidRelativePath(relative, &why)) {
        return Status::Invalid(root + ": " + why +
                               "; name several files or folders by paths below the current folder");
      }
      if (listed.insert(relative).second) {
        targets->push_back({f.empty() ? root : root + "/" + f, relative});
      }
    }
  }
  return Status::Ok();
}

int DiffFolders(const std::string& a, const std::string& b, bool overlay, bool reversible,
                const KeyNames& names, std::FILE* out, std::FILE* err, Files& files) {
  constexpr ExitRule rule = ExitRule::kAnyFailureIs2;
  if (!IsFolder(files, a) || !IsFolder(files, b)) {
    return Report(Status::Invalid("diff compares two files or two folders: " + a + " and " + b +
                                  " are one of each"),
                  err, rule);
  }
  Sink sink(out);
  FolderDiffOutcome outcome;
  Status s = WriteFolderPatch(files, a, b, overlay, names, sink, &outcome, reversible);
  for (const std::string& other : outcome.others) {
    Say(err, other, "not an attribute file (*.atb): left alone");
  }
  if (!s.ok()) {
    // What was written so far lacks its end line, so that no apply takes it for whole.
    sink.Flush();
    return Report(s, err, rule);
  }
  errno = 0;
  sink.Finish();
  if (sink.failed()) {
    return Report(Status::FromErrno(errno).In("cannot write the output"), err, rule);
  }
  for (const std::string& stale : outcome.staleSizes) {
    Say(err, b + "/" + stale,
        "its header sizes do not follow its length: applying the patch gives sizes that do, as "
        "every change does");
  }
  return outcome.files == 0 ? 0 : kExitDiffers;
}

namespace {

// The patch that undoes `patch` on the folder `root` that it made; -1, or the exit status once it
// is said why it cannot be undone. The changed files are read, and closed again before the
// change over the folder takes them.
int UndoOverFolder(const std::string& root, const FolderPatch& patch, const KeyNames& names,
                   std::FILE* err, Files& files, FolderPatch* undo) {
  std::vector<std::unique_ptr<OpenFile>> opened;
  std::vector<ChangedFile> changed;
  for (const FilePatch& f : patch.files) {
    if (f.kind != FilePatch::kChange) continue;
    opened.push_back(std::make_unique<OpenFile>(files));
    Status s = opened.back()->Open(root + "/" + f.relative, OpenFile::kRead, err);
    if (!s.ok()) return Report(s, err);
    changed.push_back({&opened.back()->file(), opened.back()->length()});
  }
  std::vector<std::string> why;
  Status s = ReverseFolderPatch(patch, changed, names, undo, &why);
  for (const std::string& w : why) SayAsIs(err, w);
  if (s.ioError()) return Report(s.In(root), err);
  if (!s.ok()) {
    SayAsIs(err, root + ": " + patch.name + " cannot be undone; nothing was changed");
    return ExitStatus(Status::Refused({}));
  }
  return -1;
}

}  // namespace

int ApplyToFolder(const std::string& root, const std::vector<std::string>& patchPaths, bool check,
                  bool reverse, bool durable, const KeyNames& names, std::FILE* in, std::FILE* err,
                  Files& files) {
  if (reverse && patchPaths.size() > 1) {
    return Report(Status::Invalid("-R undoes one patch over a folder at a time"), err);
  }
  std::vector<FolderPatch> patches(patchPaths.size());
  for (std::size_t p = 0; p < patchPaths.size(); ++p) {
    std::string text;
    Status read = ReadPatchText(files, patchPaths[p], in, &text);
    FolderPatch none;
    if (read.ok() && !IsFolderPatchText(text) && !ParseFolderPatch(text, names, &none).ok()) {
      read = Status::Invalid("is a patch of one file, and " + root +
                             " is a folder: apply it to the file it was made for");
    }
    patches[p].name = patchPaths[p];
    if (read.ok()) read = ParseFolderPatch(text, names, &patches[p]);
    if (!read.ok()) {
      SayAsIs(err, patchPaths[p] + ": " + read.Message());
      return ExitStatus(read, ExitRule::kAnyFailureIs2);
    }
  }
  if (reverse) {
    FolderPatch undo;
    const int failed = UndoOverFolder(root, patches[0], names, err, files, &undo);
    if (failed != -1) return failed;
    patches[0] = std::move(undo);
  }
  PatchOutcome outcome;
  Status s = ApplyFolderPatches(files, root, patches, names, check, durable, &outcome);
  if (!s.ok()) return Report(s, err);
  if (!outcome.failures.empty()) {
    for (const std::string& failure : outcome.failures) SayAsIs(err, failure);
    const std::size_t n = outcome.failures.size();
    return Report(Status::Refused(std::to_string(n) + (n == 1 ? " change does" : " changes do") +
                                  " not apply; nothing was changed")
                      .In(root),
                  err);
  }
  for (const std::string& damaged : outcome.damaged) SayAsIs(err, damaged);
  return 0;
}

int RecoverFolder(const std::string& root, std::FILE* err, Files& files) {
  std::string what;
  Status s = RecoverFolderChange(files, root, &what);
  if (!s.ok()) return Report(s, err);
  Say(err, root,
      what.empty() ? "no interrupted change over the folder"
                   : what + " an interrupted change over the folder");
  return 0;
}

}  // namespace atb
