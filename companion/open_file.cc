#include "companion/open_file.h"

#include <cerrno>
#include <cstring>

#include "change/journal.h"
#include "store/table.h"

namespace atb {

OpenFile::~OpenFile() {
  if (fd_ != -1) files_.Close(fd_);
}

Outcome OpenFile::Open(const std::string& path, Mode mode, std::FILE* err) {
  path_ = path;
  const std::string journal = JournalPath(path);
  // Reading a file whose change was cut short needs the change finished, which needs the lock.
  const bool edit = mode == kEdit || JournalExists(files_, journal);
  OpenRefusal why;
  fd_ = edit ? OpenForEditing(files_, path, &why) : OpenForReading(files_, path, &why);
  if (fd_ == -1) {
    std::string text = DescribeRefusal(why, errno);
    if (mode == kRead && edit) text = "an interrupted change must be finished first, but: " + text;
    return {why == OpenRefusal::kSystem ? 2 : 1, path + ": " + text};
  }
  file_ = std::make_unique<AtbFile>(files_, fd_);
  bool recovered = false;
  Status s = RecoverChange(files_, *file_, journal, &recovered);
  if (recovered) std::fprintf(err, "atbutil: %s: recovered an interrupted change\n", path.c_str());
  if (s.ok()) s = file_->Length(&length_);
  if (s.ok()) s = CheckFileLength(length_);
  if (!s.ok()) return {s.damaged() ? 1 : 2, path + ": " + s.Message()};
  return {0, {}};
}

Outcome OpenFile::Close() {
  const int fd = fd_;
  fd_ = -1;
  if (files_.Close(fd) == -1) return {2, path_ + ": " + std::strerror(errno)};
  return {0, {}};
}

}  // namespace atb
