#include "atbutil/open_file.h"

#include <cerrno>

#include "atb/system.h"

namespace atb {

int ExitStatus(const Status& s, ExitRule rule) {
  for (const ExitRow& row : kExitStatuses) {
    if (row.code == s.code()) return rule == ExitRule::kUsual ? row.usual : row.anyFailureIs2;
  }
  return 2;
}

void Say(std::FILE* err, const std::string& message) {
  std::fprintf(err, "atbutil: %s\n", Printable(message).c_str());
}

void Say(std::FILE* err, const std::string& name, const std::string& message) {
  Say(err, QuotedName(name) + ": " + message);
}

void SayAsIs(std::FILE* err, const std::string& message) {
  std::fprintf(err, "atbutil: %s\n", message.c_str());
}

int Report(const Status& s, std::FILE* err, ExitRule rule) {
  if (!s.ok()) Say(err, s.Message());
  return ExitStatus(s, rule);
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
    Say(err, path_, note);
  }
  if (recovered_) Say(err, path_, "recovered an interrupted change");
  return s.In(path_);
}

Status OpenFile::Close() { return open_.Close().In(path_); }

}  // namespace atb
