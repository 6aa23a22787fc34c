#include "change/open.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "change/folder_change.h"
#include "change/mark.h"
#include "change/wait.h"
#include "store/table.h"

namespace atb {

namespace {

bool durable = true;

}  // namespace

bool DurableChanges() { return durable; }

void SetDurableChanges(bool on) { durable = on; }

namespace {

// Opens `path` for editing with both locks, and calls `act` on it and its journal's path.
template <typename Act>
Status WithEditedFile(Files& files, const std::string& path, Act act) {
  int fd;
  Status opened = OpenForEditing(files, path, &fd);
  if (!opened.ok()) return opened;
  std::string real = files.PathOf(fd);
  if (real.empty()) real = path;
  PositionedFile file(files, fd);
  Status s =
      files.LockChanges(fd, true) == -1 ? Status::FromErrno(errno) : act(file, JournalPath(real));
  if (files.Close(fd) == -1 && s.ok()) s = Status::FromErrno(errno);
  return s;
}

}  // namespace

Status DiscardInterruptedChange(Files& files, const std::string& path, std::string* summary,
                                std::string* lost) {
  return WithEditedFile(files, path, [&](PositionedFile& file, const std::string& journal) {
    return DiscardJournal(files, file, journal, summary, lost);
  });
}

Status RecoverFromJournalAt(Files& files, const std::string& path, const std::string& journalPath,
                            bool* finished) {
  *finished = false;
  return WithEditedFile(files, path, [&](PositionedFile& file, const std::string& journal) {
    ChangeTarget target{file, journal, durable, path};
    return RecoverFromJournal(target, journalPath, finished);
  });
}

AttributeFile::AttributeFile(Files& files) : files_(files) {}

AttributeFile::~AttributeFile() {
  if (fd_ != -1) files_.Close(fd_);
}

Status AttributeFile::Open(const std::string& path, Use use, bool* recovered) {
  *recovered = false;
  if (use == kPeeking) return Peek(path);
  const Finisher finisher = use == kEditing ? Finisher::kEditor : Finisher::kReader;
  for (int tries = 0;; ++tries) {
    Status s = OpenAs(path, use, finisher, recovered);
    if (fd_ == -1) return s;
    // Looked for once the file is locked: a change over its folder that begins later finds the
    // lock, and one begun earlier is found here. A file it left bearing its mark is refused by
    // the open, and is the change's to settle too.
    struct stat st;
    if (files_.Stat(fd_, &st) == -1) return s.ok() ? Status::FromErrno(errno).In(path) : s;
    const std::string root = FolderChangeAbove(files_, realPath_, st.st_uid);
    if (root.empty()) return s;
    if (use == kChecking) {
      interrupted_ = true;
      return Status::Ok();
    }
    files_.Close(fd_);
    fd_ = -1;
    target_.reset();
    file_.reset();
    if (tries == 3) {
      return Status::Refused("a change over the folder " + root +
                             " kept the file from being opened; try again");
    }
    std::string what;
    if (!(s = RecoverFolderChange(files_, root, &what)).ok()) return s;
    if (!what.empty()) notes_.push_back(what + " an interrupted change over the folder " + root);
  }
}

Status AttributeFile::OpenAs(const std::string& path, Use use, Finisher finisher, bool* recovered,
                             const std::function<void()>& held) {
  *recovered = false;
  Status opened =
      use == kEditing ? OpenForEditing(files_, path, &fd_) : OpenForReading(files_, path, &fd_);
  if (!opened.ok()) return opened;
  // The journal lies beside the file itself, whichever name led to it.
  realPath_ = files_.PathOf(fd_);
  if (realPath_.empty()) realPath_ = path;
  file_ = std::make_unique<PositionedFile>(files_, fd_);
  target_ =
      std::make_unique<ChangeTarget>(ChangeTarget{*file_, JournalPath(realPath_), durable, path});

  Status s;
  if (use == kEditing) {
    if (held) held();
    s = FinishInterruptedChange(finisher, recovered);
  } else {
    const std::string& journal = target_->journalPath;
    if (!(s = AwaitChangeLock(files_, fd_, false, path, journal)).ok()) return s;
    // A marked file seen under the shared lock was left by a change that died; finishing it
    // takes the file for writing, as an editor would. Another process that finishes it already
    // is waited for.
    bool settled = false;
    for (int tries = 0; s.ok() && !settled && tries < 4; ++tries) {
      settled = true;
      const JournalVerdict verdict = ExamineJournal(files_, *file_, journal, Finisher::kReader);
      if (verdict.kind == JournalVerdict::kNone) break;
      if (verdict.kind == JournalVerdict::kStale) {
        notes_.push_back("ignored " + StaleNote(verdict, journal));
        break;
      }
      if (verdict.kind == JournalVerdict::kRefused) return RefusalOf(verdict, path);
      settled = false;
      // Another process finishing it, or holding it open in atb: waited for.
      auto awaitOthers = [&] {
        files_.UnlockChanges(fd_);
        Status w = AwaitEditLockFree(files_, fd_, path, journal);
        return w.ok() ? AwaitChangeLock(files_, fd_, false, path, journal) : w;
      };
      if (files_.EditLockHolder(fd_) != 0) {
        s = awaitOthers();
        continue;
      }
      if (use == kChecking) {
        interrupted_ = true;
        settled = true;
        break;
      }
      // The editing lock is acquired before the shared one goes, so that every other reader finds
      // this one finishing the change and waits for it.
      AttributeFile editor(files_);
      bool finished = false;
      s = editor.OpenAs(realPath_, kEditing, Finisher::kReader, &finished,
                        [&] { files_.UnlockChanges(fd_); });
      if (s.ok() && !SameFile(files_, editor.fd(), fd_)) {
        s = Status::Refused("was replaced while it was opened");
      }
      *recovered = *recovered || finished;
      if (s.refused() && s.Reason() == "locked by another atb") {
        s = awaitOthers();
        continue;
      }
      // A full disk, a size limit or memory that runs out keeps its own exit status.
      if (!s.ok() && !s.ioError() && !s.stalled() && !s.noSpace()) {
        s = Status::Refused("an interrupted change must be finished first, but: " + s.Message());
      }
      if (s.ok()) s = AwaitChangeLock(files_, fd_, false, path, journal);
    }
    if (s.ok() && !settled) {
      s = Status::Refused(
          "an interrupted change must be finished first, and other processes "
          "kept taking the file to finish it");
    }
  }
  if (!s.ok()) return s;
  if (!(s = file_->Length(&length_)).ok()) return s;
  if (use != kEditing) file_->ExpectLength(length_);
  return CheckFileLength(length_);
}

Status AttributeFile::Peek(const std::string& path) {
  Status s = OpenForReading(files_, path, &fd_);
  if (!s.ok()) return s;
  realPath_ = files_.PathOf(fd_);
  if (realPath_.empty()) realPath_ = path;
  file_ = std::make_unique<PositionedFile>(files_, fd_);
  target_ =
      std::make_unique<ChangeTarget>(ChangeTarget{*file_, JournalPath(realPath_), durable, path});
  if (!(s = file_->Length(&length_)).ok()) return s;
  if (!(s = CheckFileLength(length_)).ok()) return s;
  file_->ExpectLength(length_);
  return Unchanging();
}

Status AttributeFile::Unchanging() {
  FileMark mark;
  Status s = ReadFileMark(*file_, &mark);
  if (!s.ok()) return s;
  struct stat st;
  if (files_.Stat(fd_, &st) == -1) return Status::FromErrno(errno);
  if (mark.marked || mark.damaged || JournalExists(files_, target_->journalPath) ||
      !FolderChangeAbove(files_, realPath_, st.st_uid).empty()) {
    return Status::Refused("in the middle of a change, left as it is");
  }
  return Status::Ok();
}

Status AttributeFile::FinishInterruptedChange(Finisher finisher, bool* recovered) {
  Status s = AwaitChangeLock(files_, fd_, true, target_->name, target_->journalPath);
  if (!s.ok()) return s;
  std::string note;
  s = RecoverChange(*target_, finisher, recovered, &note);
  if (!note.empty()) notes_.push_back(note);
  files_.UnlockChanges(fd_);
  return s;
}

Status AttributeFile::Close() {
  const int fd = fd_;
  fd_ = -1;
  if (fd != -1 && files_.Close(fd) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

}  // namespace atb
