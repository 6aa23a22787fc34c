// What an operation came to, by the kind of failure that callers act on differently: a damaged
// file is kept apart from a refused request, from a request asked wrongly, from a disk that is
// full and from a failing system call. A status may name where it happened (In), ahead of its
// reason.
#pragma once

#include <string>
#include <utility>

namespace atb {

class Status {
 public:
  enum Code {
    kOk,
    kDamaged,   // the file's bytes cannot be trusted
    kRefused,   // the request cannot be carried out safely as asked; nothing was changed
    kTooLarge,  // the file would outgrow its 32-bit offsets
    kNoSpace,   // no space: the disk is full, a size limit is reached or memory ran out; nothing
                // was changed
    kIoError,   // a system call failed
    kStalled,   // another process holds the file and makes no progress; nothing was changed
    kInvalid,   // the request is malformed (a path that does not parse, a missing argument)
  };

  Status() = default;

  static Status Ok() { return Status(); }
  // `why` says what is wrong and where, in words a user can act on.
  static Status Damaged(std::string why) { return Status(kDamaged, 0, std::move(why)); }
  static Status Refused(std::string why) { return Status(kRefused, 0, std::move(why)); }
  static Status Invalid(std::string why) { return Status(kInvalid, 0, std::move(why)); }
  static Status TooLarge() { return Status(kTooLarge, 0, "file too large"); }
  static Status NoSpace() { return Status(kNoSpace, 28 /* ENOSPC */, {}); }
  // A file size limit that the writes would pass, or memory that cannot be allocated: like a full
  // disk, nothing was changed.
  static Status SizeLimit(std::string why) {
    return Status(kNoSpace, 27 /* EFBIG */, std::move(why));
  }
  static Status NoMemory(std::string why) {
    return Status(kNoSpace, 12 /* ENOMEM */, std::move(why));
  }
  static Status Stalled(std::string why) { return Status(kStalled, 0, std::move(why)); }
  // err 0 stands for a write that made no progress without the system saying why; `why`, when
  // given, replaces the system's text.
  static Status IoError(int err, std::string why = {}) {
    return Status(kIoError, err, std::move(why));
  }
  // An errno as the kind it is: a full disk or another failure.
  static Status FromErrno(int err);

  Code code() const { return code_; }
  bool ok() const { return code_ == kOk; }
  bool damaged() const { return code_ == kDamaged; }
  bool refused() const { return code_ == kRefused; }
  bool tooLarge() const { return code_ == kTooLarge; }
  bool noSpace() const { return code_ == kNoSpace; }
  bool ioError() const { return code_ == kIoError; }
  bool invalid() const { return code_ == kInvalid; }
  bool stalled() const { return code_ == kStalled; }
  // Refused, too large, no space or stalled: nothing was changed, and the request may be tried
  // again.
  bool declined() const {
    return code_ == kRefused || code_ == kTooLarge || code_ == kNoSpace || code_ == kStalled;
  }
  int err() const { return err_; }

  // The same status, said to have happened at `where` (a file, a path in it): "where: reason".
  // An ok status stays ok and names nothing.
  Status In(const std::string& where) const;

  // "where: reason", or the reason alone when no place was named.
  std::string Message() const;
  // What is wrong, for the kinds that say; otherwise the system's text for errno.
  std::string Reason() const;

 private:
  Status(Code code, int err, std::string why) : code_(code), err_(err), why_(std::move(why)) {}
  Code code_ = kOk;
  int err_ = 0;
  std::string why_;
  std::string where_;
};

}  // namespace atb
