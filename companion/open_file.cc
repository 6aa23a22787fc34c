#include "companion/open_file.h"

#include <cerrno>

namespace atb {

int ExitStatus(const Status& s) {
  if (s.ok()) return 0;
  return s.damaged() || s.refused() || s.tooLarge() ? 1 : 2;
}

int Report(const Status& s, std::FILE* err) {
  if (!s.ok()) std::fprintf(err, "atbutil: %s\n", s.Message().c_str());
  return ExitStatus(s);
}

Status OutOfMemory() { return Status::IoError(ENOMEM, "not enough memory for what it holds"); }

Status OpenFile::Open(const std::string& path, Mode mode, std::FILE* err,
                      const std::string& shown) {
  path_ = shown.empty() ? path : shown;
  const AttributeFile::Use use = mode == kEdit    ? AttributeFile::kEditing
                                 : mode == kCheck ? AttributeFile::kChecking
                                                  : AttributeFile::kReading;
  Status s = open_.Open(path, use, &recovered_);
  for (const std::string& note : open_.notes()) {
    std::fprintf(err, "atbutil: %s: %s\n", path_.c_str(), note.c_str());
  }
  if (recovered_) {
    std::fprintf(err, "atbutil: %s: recovered an interrupted change\n", path_.c_str());
  }
  return s.In(path_);
}

Status OpenFile::Close() { return open_.Close().In(path_); }

}  // namespace atb
