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

namespace {

// Opens `path` for editing with both locks, and calls `act` on it and its journal's path.
template <typename Act>
Status WithEditedFile(Files& files, const std::string& path, Act act) {
  int fd;
  Status opened = OpenForEditing(files, path, &fd);
  if (!opened.ok()) return opened;
  std::string real = files.PathOf(fd);
  if (real.empty()) real = path;
  AtbFile file(files, fd);
  Status s =
      files.LockChanges(fd, true) == -1 ? Status::FromErrno(errno) : act(file, JournalPath(real));
  if (files.Close(fd) == -1 && s.ok()) s = Status::FromErrno(errno);
  return s;
}

}  // namespace

Status DiscardInterruptedChange(Files& files, const std::string& path, std::string* summary,
                                std::string* lost) {
  return WithEditedFile(files, path, [&](AtbFile& file, const std::string& journal) {
    return DiscardJournal(files, file, journal, summary, lost);
  });
}

Status RecoverFromJournalAt(Files& files, const std::string& path, const std::string& journalPath,
                            bool* finished) {
  *finished = false;
  return WithEditedFile(files, path, [&](AtbFile& file, const std::string& journal) {
    ChangeTarget target{file, journal, durable, path};
    return RecoverFromJournal(target, journalPath, finished);
  });
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
  target_ =
      std::make_unique<ChangeTarget>(ChangeTarget{*file_, JournalPath(realPath_), durable, path});

  Status s;
  if (use == kEditing) {
    s = FinishInterruptedChange(finisher, recovered);
  } else {
    if (files_.LockChanges(fd_, false) == -1) return Status::FromErrno(errno);
    // A marked file seen under the shared lock was left by a change that died; finishing it
    // takes the file for writing, as an editor would.
    for (int tries = 0; s.ok() && tries < 2; ++tries) {
      const JournalVerdict verdict =
          ExamineJournal(files_, *file_, target_->journalPath, Finisher::kReader);
      if (verdict.kind == JournalVerdict::kNone) break;
      if (verdict.kind == JournalVerdict::kStale) {
        notes_.push_back("ignored " + verdict.reason.substr(0, verdict.reason.find(',')) +
                         ", a journal that belongs to no change of the file as it is");
        break;
      }
      if (verdict.kind == JournalVerdict::kRefused) return RefusalOf(verdict, path);
      if (use == kChecking) {
        interrupted_ = true;
        break;
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
  if (files_.LockChanges(fd_, true) == -1) return Status::FromErrno(errno);
  std::string note;
  Status s = RecoverChange(*target_, finisher, recovered, &note);
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
