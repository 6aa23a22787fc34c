#include "change/open.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "store/table.h"

namespace atb {

namespace {

bool durable = true;

}  // namespace

bool DurableChanges() { return durable; }

void SetDurableChanges(bool on) { durable = on; }

void TakeDurabilityFromEnvironment() {
  const char* sync = std::getenv("ATB_SYNC");
  if (sync != nullptr && std::strcmp(sync, "0") == 0) durable = false;
}

Status DiscardInterruptedChange(Files& files, const std::string& path, std::string* summary) {
  int fd;
  Status opened = OpenForEditing(files, path, &fd);
  if (!opened.ok()) return opened;
  std::string real = files.PathOf(fd);
  if (real.empty()) real = path;
  AtbFile file(files, fd);
  Status s = files.LockChanges(fd, true) == -1
                 ? Status::FromErrno(errno)
                 : DiscardJournal(files, file, JournalPath(real), summary);
  if (files.Close(fd) == -1 && s.ok()) s = Status::FromErrno(errno);
  return s;
}

AttributeFile::AttributeFile(Files& files) : files_(files) {}

AttributeFile::~AttributeFile() {
  if (fd_ != -1) files_.Close(fd_);
}

Status AttributeFile::Open(const std::string& path, Use use, bool* recovered) {
  return OpenAs(path, use, use == kEditing ? Finisher::kEditor : Finisher::kReader, recovered);
}

Status AttributeFile::OpenAs(const std::string& path, Use use, Finisher finisher, bool* recovered) {
  *recovered = false;
  Status opened =
      use == kEditing ? OpenForEditing(files_, path, &fd_) : OpenForReading(files_, path, &fd_);
  if (!opened.ok()) return opened;
  // The journal lies beside the file itself, whichever name led to it.
  realPath_ = files_.PathOf(fd_);
  if (realPath_.empty()) realPath_ = path;
  file_ = std::make_unique<AtbFile>(files_, fd_);
  target_ = std::make_unique<ChangeTarget>(ChangeTarget{*file_, JournalPath(realPath_), durable});

  Status s;
  if (use == kEditing) {
    s = FinishInterruptedChange(finisher, recovered);
  } else {
    if (files_.LockChanges(fd_, false) == -1) return Status::FromErrno(errno);
    // A journal seen under the shared lock belongs to a change that died; finishing it takes the
    // file for writing, as an editor would.
    for (int tries = 0; s.ok() && tries < 2 && JournalExists(files_, target_->journalPath);
         ++tries) {
      const JournalVerdict verdict =
          ExamineJournal(files_, *file_, target_->journalPath, Finisher::kReader);
      if (use == kChecking && verdict.kind != JournalVerdict::kRefused) {
        interrupted_ = true;
        break;
      }
      if (verdict.kind == JournalVerdict::kRefused) {
        return Status::Refused("an interrupted change cannot be finished: " + verdict.reason +
                               (verdict.discardable
                                    ? "; if the file was replaced or restored on purpose, "
                                      "`atbutil recover --discard` removes the journal"
                                    : ""));
      }
      files_.UnlockChanges(fd_);
      AttributeFile editor(files_);
      bool finished = false;
      s = editor.OpenAs(realPath_, kEditing, Finisher::kReader, &finished);
      if (s.ok() && !SameFile(files_, editor.fd(), fd_)) {
        s = Status::Refused("was replaced while it was opened");
      }
      if (!s.ok() && !s.ioError()) {
        s = Status::Refused("an interrupted change must be finished first, but: " + s.Message());
      }
      *recovered = *recovered || finished;
      if (files_.LockChanges(fd_, false) == -1 && s.ok()) s = Status::FromErrno(errno);
    }
  }
  if (!s.ok()) return s;
  if (!(s = file_->Length(&length_)).ok()) return s;
  if (use != kEditing) file_->ExpectLength(length_);
  return CheckFileLength(length_);
}

Status AttributeFile::FinishInterruptedChange(Finisher finisher, bool* recovered) {
  if (!JournalExists(files_, target_->journalPath)) return Status::Ok();
  if (files_.LockChanges(fd_, true) == -1) return Status::FromErrno(errno);
  Status s = RecoverChange(*target_, finisher, recovered);
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
