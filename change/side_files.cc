#include "change/side_files.h"

#include <algorithm>
#include <cerrno>

#include "change/open.h"
#include "platform/output_file.h"
#include "store/layout.h"
#include "store/table.h"

namespace atb {

namespace {
constexpr int64_t kCopyChunk = 1 << 20;
}  // namespace

Status CopyOut(PositionedFile& file, int64_t start, int64_t end, const std::string& outPath,
               bool* readFailed) {
  *readFailed = false;
  OutputFile out(file.files(), outPath, DurableChanges());
  Status s = out.Open(file.fd());
  if (!s.ok()) return s;
  std::string chunk;
  for (int64_t at = start; at < end;) {
    chunk.resize(static_cast<std::size_t>(std::min(end - at, kCopyChunk)));
    if (!(s = file.ReadAt(at, chunk.data(), chunk.size())).ok()) {
      *readFailed = true;
      return s;
    }
    if (!(s = out.Write(chunk)).ok()) return s;
    at += static_cast<int64_t>(chunk.size());
  }
  return out.Commit();
}

SideTable::~SideTable() {
  if (fd_ != -1) files_.Close(fd_);
}

Status SideTable::Open(const std::string& path, int64_t length, int notThis) {
  Status s = OpenForReading(files_, path, &fd_);
  if (!s.ok()) return s;
  if (notThis != -1 && SameFile(files_, fd_, notThis)) {
    itself_ = true;
    return Status::Refused("is the attribute file itself");
  }
  struct stat st;
  if (files_.Stat(fd_, &st) == -1) return Status::FromErrno(errno);
  size_ = static_cast<int64_t>(st.st_size);
  if (length + ENTRY_SIZE + size_ > MAX_FILE_LENGTH) return Status::TooLarge();
  side_ = std::make_unique<PositionedFile>(files_, fd_);
  side_->ExpectLength(size_);
  return CheckTree(*side_, 0, size_);
}

}  // namespace atb
