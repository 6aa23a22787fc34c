#include "platform/status.h"

#include <cerrno>
#include <cstring>

namespace atb {

Status Status::FromErrno(int err) {
  if (err == ENOSPC || err == EDQUOT) return Status(kNoSpace, err, {});
  return IoError(err);
}

std::string Status::Message() const {
  switch (code_) {
    case kOk:
      return std::string();
    case kIoError:
      if (!why_.empty()) return why_;
      if (err_ == 0) return "nothing could be written";
      return std::strerror(err_);
    case kNoSpace:
      return std::strerror(err_);
    default:
      return why_;
  }
}

}  // namespace atb
