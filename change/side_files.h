// Side files: an entry's bytes copied out of the attribute file, and a nested table read from a
// file to be inserted. One place for both programs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.h"
#include "store/positioned_file.h"

namespace atb {

// Writes the bytes at [start, end) of `file` to `outPath`: a new file, or a regular file replaced
// once complete. Refused, with nothing written, when outPath is not a regular file, is the
// attribute file itself, or is held by an editor. *readFailed tells an I/O error in reading
// `file` from one in writing the copy.
Status CopyOut(PositionedFile& file, int64_t start, int64_t end, const std::string& outPath,
               bool* readFailed);

// A side file opened to be inserted as a nested table: read through, never held whole.
class SideTable {
 public:
  explicit SideTable(Files& files) : files_(files) {}
  ~SideTable();
  SideTable(const SideTable&) = delete;
  SideTable& operator=(const SideTable&) = delete;

  // Opens `path` and checks that it is a sound table that an attribute file of `length` bytes
  // can take with one more entry. Refused when it cannot be opened (not a regular file,
  // missing, ...) or is the open file `notThis` (-1 for none);
  // too large when the file would outgrow its offsets; damaged
  // (saying what is wrong) when it is not a sound table; an I/O error when a read fails.
  Status Open(const std::string& path, int64_t length, int notThis = -1);

  ByteSource& source() { return *side_; }
  int fd() const { return fd_; }
  int64_t size() const { return size_; }
  // Open refused it for being `notThis`.
  bool itself() const { return itself_; }

 private:
  Files& files_;
  int fd_ = -1;
  bool itself_ = false;
  std::unique_ptr<PositionedFile> side_;
  int64_t size_ = 0;
};

}  // namespace atb
