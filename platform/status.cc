#include "platform/status.h"

#include <cerrno>
#include <cstring>

#include "platform/quote.h"

namespace atb {

Status Status::FromErrno(int err) {
  if (err == ENOSPC || err == EDQUOT) return Status(kNoSpace, err, {});
  return IoError(err);
}

Status Status::In(const std::string& where) const {
  Status s = *this;
  const std::string named = QuotedName(where);
  if (!ok()) s.where_ = where_.empty() ? named : named + ": " + where_;
  return s;
}

std::string Status::Message() const { return where_.empty() ? Reason() : where_ + ": " + Reason(); }

std::string Status::Reason() const {
  if (!why_.empty() || (code_ != kIoError && code_ != kNoSpace)) return why_;
  if (err_ == 0) return "nothing could be written";
  return std::strerror(err_);
}

}  // namespace atb
