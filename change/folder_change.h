// A change over many files of one folder, made as one: whatever stops it, every file ends as it
// was before or every file as it is after, never some of each.
//
// Each file's new bytes are written whole to a staging folder inside the folder changed
// (kFolderChangeDir), with a journal there listing, for each file, where its new bytes go and
// the size and hash of what it holds before and after; a file that keeps its length has its new
// bytes in the journal itself. One flush of the file system then puts all of it on the disk, and
// from then on the change is decided. Files changed in place get the change's mark, a flush, their
// bytes, while the staged files are renamed over their targets and the removed ones unlinked, a
// flush, then their marks taken off, a flush, and the staging folder goes (a flush of the folder's
// names): five flushes whatever the number of files. doc/crash-safety.md gives the states and why
// each recovers.
//
// While the staging folder is there, every open of a file below the folder waits for the change,
// or finishes it when its process died (FinishFolderChangeAbove).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"

namespace atb {

inline constexpr char kFolderChangeDir[] = ".atb-change";

// Bytes a change writes in place, at `pos`.
struct InPlaceWrite {
  int64_t pos = 0;
  std::string bytes;
};

// One file of a change over a folder. A file whose length stays is written in place (kWrite),
// bearing the change's mark while it is; any other is staged whole and renamed over its target.
struct FolderMember {
  enum Kind { kReplace, kAdd, kRemove, kWrite };
  Kind kind = kReplace;
  std::string relative;  // '/'-separated, below the folder
  // What the file holds before (replace, remove, write) and after (replace, add, write).
  int64_t oldSize = 0, newSize = 0;
  uint64_t oldHash = 0, newHash = 0;
  std::string staged;                // replace, add: the staged file's name in the staging folder
  std::vector<InPlaceWrite> writes;  // write
  std::string unmarked;              // write: what the file holds where the mark lies, once changed
};

class FolderChange {
 public:
  // `root` is the folder's path; with `durable`, the change survives a power loss as well as a
  // kill.
  FolderChange(Files& files, std::string root, bool durable);
  // Takes away whatever was staged, unless the change was made.
  ~FolderChange();
  FolderChange(const FolderChange&) = delete;
  FolderChange& operator=(const FolderChange&) = delete;

  // Creates the staging folder and takes its lock. Refused when one is there already (another
  // change over the folder is under way, or was interrupted).
  Status Begin();
  // Stages a new file for `relative` (which exists for kReplace, and must not for kAdd): a copy
  // of the file as it is, or an empty file, with the target's mode (and owner, where the process
  // may give it), open for writing at *fd, named *path. The caller fills it, calls Staged(fd)
  // and closes it. Refused where a name on the way is a symlink or not a folder, or where the
  // file has other names (hard links) that a rename would part from it.
  Status Stage(const std::string& relative, FolderMember::Kind kind, int* fd, std::string* path);
  // Records what the last staged file, open at `fd`, holds.
  Status Staged(int fd);
  // `relative` is to be removed.
  Status StageRemoval(const std::string& relative);
  // Claims `relative`, refusing it while another program changes it, and only then asks `plan`
  // what to write: from then on anyone else who opens it waits for this change, so the plan is
  // made from the bytes the change writes over. When `plan` sets *inPlace, the file keeps its
  // length and gets those writes in place; otherwise nothing is staged for it.
  using InPlacePlan = std::function<Status(std::vector<InPlaceWrite>* writes, bool* inPlace)>;
  Status StageWrites(const std::string& relative, const InPlacePlan& plan, bool* inPlace);
  // Makes the change: nothing of it reaches a file before this, and after the first flush in
  // it every file will end as after, by this call or by the next open's recovery.
  Status Commit();

  const std::vector<FolderMember>& members() const { return members_; }
  const std::string& root() const { return root_; }

 private:
  Status MakeFolders(const std::string& relative);
  Status WriteJournal(const std::string& text);
  Status CheckNoChangeAbove();
  Status CheckNoChangeOnTheWay(const std::string& relative, uid_t owner);
  Status CheckNoChangeIn(const std::string& dir, uid_t owner);
  void Abandon();

  Files& files_;
  std::string root_, staging_;
  bool durable_;
  uint64_t nonce_;
  int lockFd_ = -1;
  std::size_t journalWritten_ = 0;
  bool begun_ = false, committed_ = false;
  std::vector<FolderMember> members_;
  std::vector<std::string> madeFolders_;  // below the root, made for added files, deepest last
};

// Every name on the way from `root` to `relative` is a folder (none a symlink), and the file is
// a regular file with one name (`exists`) or is not there; refused, naming it, otherwise.
Status CheckFolderWay(Files& files, const std::string& root, const std::string& relative,
                      bool exists, struct stat* st);

// Where `path`'s file lies below a folder that a change over many files is under way in or was
// interrupted in: that folder, or empty. `path` is the file's real path, and `owner` its owner:
// only a staging folder of the file's owner or of the superuser counts, so that nobody can hold
// up or undo changes to another user's files by making one above them.
std::string FolderChangeAbove(Files& files, const std::string& path, uid_t owner);

// Finishes the change over `root` that a process left when it died, or takes it back when it had
// not been decided; waits for one under way. *what says what it did ("finished", "undone"), empty
// when there was none. Refused, with every file as it was, when the files are no longer what the
// change left (a staged file lost, a target changed since): the reason says which.
Status RecoverFolderChange(Files& files, const std::string& root, std::string* what);

}  // namespace atb
