// An attribute file opened by either program: reached by whatever name, locked as its use needs,
// a change that a dying process left half made finished first (or the file refused, saying why),
// and its length checked. Reading keeps changes out until it is done; editing keeps other
// editors out, and takes changes' lock only while it makes one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "change/journal.h"
#include "platform/files.h"
#include "store/positioned_file.h"

namespace atb {

// Whether changes flush in order so that they survive a power loss (the default), for the whole
// process, as the front end sets it from its command line and environment (ATB_SYNC=0 and
// atbutil --no-sync turn it off for callers who make their own guarantees).
bool DurableChanges();
void SetDurableChanges(bool durable);

// Takes away an interrupted change to the file at `path` that cannot be finished: a journal
// that belongs to no change of the file as it is, or the file's mark and the journal that is
// gone, damaged or no longer fits (replaced, restored or edited since); *summary says what the
// journal recorded, *lost what is lost. Refused when the change can be finished, when there is
// nothing to take away, or when the file cannot be opened for editing.
Status DiscardInterruptedChange(Files& files, const std::string& path, std::string* summary,
                                std::string* lost);

// Finishes the change the file at `path` is in the middle of from the journal at `journalPath`
// (see RecoverFromJournal).
Status RecoverFromJournalAt(Files& files, const std::string& path, const std::string& journalPath,
                            bool* finished);

class AttributeFile {
 public:
  // kChecking reads as kReading does, but leaves an interrupted change that it could finish for
  // the next open, and says so (interrupted()). kPeeking takes no lock, so never waits, and
  // refuses a file that anything says is in the middle of a change, finishing nothing: for a
  // shell's completion, which must answer at once and may be wrong, never change a byte.
  enum Use { kReading, kChecking, kEditing, kPeeking };

  explicit AttributeFile(Files& files);
  ~AttributeFile();
  AttributeFile(const AttributeFile&) = delete;
  AttributeFile& operator=(const AttributeFile&) = delete;

  // Opens `path`. Refused when the open is (not a regular file, no write permission, held by
  // another editor) or when an interrupted change must be finished first and cannot be (the
  // reason says why and what to do); damaged when the file is too short or too long to be an
  // attribute file; an I/O error when the system fails. *recovered says whether it finished an
  // interrupted change.
  Status Open(const std::string& path, Use use, bool* recovered);

  // Closes the file, reporting a write error that some file systems defer until then.
  Status Close();

  // kPeeking: refused when the file bears a change's mark, has a journal beside it or lies below
  // a folder a change over many files runs in. Asked again once read, since a change may have
  // begun while it was.
  Status Unchanging();

  PositionedFile& file() { return *file_; }
  ChangeTarget& target() { return *target_; }
  Files& files() { return files_; }
  int fd() const { return fd_; }
  int64_t length() const { return length_; }
  // Where the file really lies (symlinks and ".." resolved): its journal lies beside it.
  const std::string& realPath() const { return realPath_; }
  // kChecking: an interrupted change that the next open will finish; the file is then left
  // unread.
  bool interrupted() const { return interrupted_; }
  // What the open did or found that its user should hear of: a stale journal removed or ignored.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  // `held`, when given, is called once the editing lock is acquired, before an interrupted change
  // is finished: a reader that upgrades lets go of its shared lock there.
  Status OpenAs(const std::string& path, Use use, Finisher finisher, bool* recovered,
                const std::function<void()>& held = nullptr);
  Status FinishInterruptedChange(Finisher finisher, bool* recovered);
  Status Peek(const std::string& path);

  Files& files_;
  int fd_ = -1;
  std::unique_ptr<PositionedFile> file_;
  std::unique_ptr<ChangeTarget> target_;
  std::string realPath_;
  int64_t length_ = 0;
  bool interrupted_ = false;
  std::vector<std::string> notes_;
};

}  // namespace atb
