#include "atbutil/scratch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "atbutil/open_file.h"

namespace atb {

TempScratch::~TempScratch() {
  if (open_) open_->Close();
  if (dir_.empty()) return;
  // Whatever a failed change left there goes with the folder.
  std::vector<DirectoryEntry> entries;
  if (files_.ListDirectory(dir_, &entries, nullptr) == 0) {
    for (const DirectoryEntry& e : entries) files_.Unlink(dir_ + "/" + e.name);
  }
  ::rmdir(dir_.c_str());
}

Status TempScratch::Write(ByteSource& from, int64_t length) {
  const int fd = files_.Open(path_, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd == -1) return Status::FromErrno(errno).In(path_);
  std::vector<char> buf(1 << 16);
  Status s;
  for (int64_t at = 0; at < length && s.ok();) {
    const auto n = static_cast<std::size_t>(std::min<int64_t>(length - at, 1 << 16));
    if (!(s = from.ReadAt(at, buf.data(), n)).ok()) break;
    for (std::size_t done = 0; done < n && s.ok();) {
      const ssize_t w = files_.Write(fd, buf.data() + done, n - done);
      if (w <= 0) {
        s = Status::FromErrno(w < 0 ? errno : ENOSPC).In(path_);
      } else {
        done += static_cast<std::size_t>(w);
      }
    }
    at += static_cast<int64_t>(n);
  }
  if (files_.Close(fd) != 0 && s.ok()) s = Status::FromErrno(errno).In(path_);
  return s;
}

Status TempScratch::CopyOf(ByteSource& from, int64_t length, ChangeTarget** target) {
  if (open_) {
    Status s = open_->Close();
    open_.reset();
    if (!s.ok()) return s;
  }
  if (dir_.empty()) {
    std::string pattern = TemporaryRoot() + "/atbutil-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      return Status::FromErrno(errno).In("cannot make a temporary folder");
    }
    dir_ = pattern;
    path_ = dir_ + "/scratch.atb";
  }
  Status s = Write(from, length);
  if (!s.ok()) return s;
  open_ = std::make_unique<AttributeFile>(files_);
  bool recovered;
  if (!(s = open_->Open(path_, AttributeFile::kEditing, &recovered)).ok()) return s.In(path_);
  open_->target().durable = false;
  *target = &open_->target();
  return Status::Ok();
}

}  // namespace atb
