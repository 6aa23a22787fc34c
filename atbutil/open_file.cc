#include "atbutil/open_file.h"

#include <fcntl.h>

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

// Reads a whole patch file, or `in` for "-".
Status ReadPatchText(Files& files, const std::string& path, std::FILE* in, std::string* text) {
  const bool fromIn = path == "-";
  const int fd = fromIn ? fileno(in) : files.Open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd == -1) return Status::FromErrno(errno);
  char buf[1 << 16];
  text->clear();
  Status read;
  for (;;) {
    const ssize_t n = files.Read(fd, buf, sizeof buf);
    if (n < 0) read = Status::FromErrno(errno);
    if (n <= 0) break;
    text->append(buf, static_cast<std::size_t>(n));
  }
  if (!fromIn) files.Close(fd);
  return read;
}

}  // namespace atb
