#include "atbutil/open_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "atb/system.h"
#include "atb/tree.h"

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

namespace {

std::string temporaryRoot = "/tmp";

}  // namespace

void SetTemporaryRoot(std::string root) {
  temporaryRoot = root.empty() ? std::string("/tmp") : std::move(root);
}

const std::string& TemporaryRoot() { return temporaryRoot; }

std::string ShownName(const std::string& path) {
  return path == "-" ? std::string("standard input") : path;
}

OpenFile::~OpenFile() {
  if (copyDir_.empty()) return;
  open_.Close();
  files_.Unlink(copyDir_ + "/stdin.atb");
  files_.RemoveDirectory(copyDir_);
}

// Copies standard input into a file of a private temporary folder: a pipe cannot be read at
// offsets, and an attribute file may be too large to hold in memory. Stops one byte past the
// largest attribute file, so that endless input ends.
Status OpenFile::CopyStandardInput(std::string* copy) {
  std::string pattern = TemporaryRoot() + "/atbutil-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    return Status::FromErrno(errno).In("cannot make a temporary folder in " + TemporaryRoot());
  }
  copyDir_ = pattern;
  *copy = copyDir_ + "/stdin.atb";
  const int fd = files_.Open(*copy, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd == -1) return Status::FromErrno(errno).In(*copy);
  std::vector<char> buf(1 << 16);
  Status s;
  int64_t total = 0;
  while (s.ok()) {
    const ssize_t n = files_.Read(STDIN_FILENO, buf.data(), buf.size());
    if (n < 0) s = Status::FromErrno(errno).In("standard input");
    if (n <= 0) break;
    total += n;
    if (total > MAX_FILE_LENGTH) {
      s = Status::Refused("more than " + std::to_string(MAX_FILE_LENGTH) +
                          " bytes, the most an attribute file holds")
              .In("standard input");
    }
    for (ssize_t done = 0; done < n && s.ok();) {
      const ssize_t w = files_.Write(fd, buf.data() + done, static_cast<std::size_t>(n - done));
      if (w <= 0) {
        s = Status::FromErrno(w < 0 ? errno : ENOSPC).In(*copy);
      } else {
        done += w;
      }
    }
  }
  if (files_.Close(fd) != 0 && s.ok()) s = Status::FromErrno(errno).In(*copy);
  return s;
}

Status OpenFile::Open(const std::string& path, Mode mode, std::FILE* err,
                      const std::string& shown) {
  path_ = shown.empty() ? ShownName(path) : shown;
  if (path == "-") {
    if (mode == kEdit) return Status::Invalid("standard input can only be read, not changed");
    if (mode == kPeek) return Status::Invalid("standard input is not read here");
    std::string copy;
    Status s = CopyStandardInput(&copy);
    if (!s.ok()) return s;
    bool recovered;
    return open_
        .Open(copy, mode == kCheck ? AttributeFile::kChecking : AttributeFile::kReading, &recovered)
        .In(path_);
  }
  const AttributeFile::Use use = mode == kEdit    ? AttributeFile::kEditing
                                 : mode == kCheck ? AttributeFile::kChecking
                                 : mode == kPeek  ? AttributeFile::kPeeking
                                                  : AttributeFile::kReading;
  Status s = open_.Open(path, use, &recovered_);
  for (const std::string& note : open_.notes()) {
    Say(err, path_, note);
  }
  if (recovered_) Say(err, path_, "recovered an interrupted change");
  return s.In(path_);
}

Status OpenFile::Close() { return open_.Close().In(path_); }

Status FinishOutput(Sink& sink) {
  errno = 0;
  sink.Finish();
  return sink.failed() ? Status::FromErrno(errno).In("cannot write the output") : Status::Ok();
}

Status WriteOutput(const std::string& text, std::FILE* out) {
  Sink sink(out);
  sink.buf() = text;
  return FinishOutput(sink);
}

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
