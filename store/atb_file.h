// Positioned access to an open file, with failures reported as a Status. Every access seeks to
// an absolute position first: the handle's one file position is shared by everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace atb {

// What an operation on a file came to. Damaged data (a corruption) is kept apart from a failing
// system call (an I/O error): they are reported differently.
class Status {
 public:
  enum Code { kOk, kDamaged, kIoError };

  Status() : code_(kOk), err_(0) {}

  static Status Ok() { return Status(kOk, 0, {}); }
  // `why` says what is wrong and where, in words a user can act on.
  static Status Damaged(std::string why) { return Status(kDamaged, 0, std::move(why)); }
  // err 0 stands for a write that made no progress without the system saying why.
  static Status IoError(int err) { return Status(kIoError, err, {}); }

  bool ok() const { return code_ == kOk; }
  bool damaged() const { return code_ == kDamaged; }
  bool ioError() const { return code_ == kIoError; }
  // The system's text for an I/O error; what is damaged, for damage.
  std::string Message() const;

 private:
  Status(Code code, int err, std::string why) : code_(code), err_(err), why_(std::move(why)) {}
  Code code_;
  int err_;
  std::string why_;
};

// Where a table is read from: the open attribute file, or a side file held in memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads n bytes at pos into buf. Bytes that lie beyond the end read as zero.
  virtual Status ReadAt(int64_t pos, void* buf, std::size_t n) = 0;
};

class AtbFile : public ByteSource {
 public:
  AtbFile(Files& files, int fd) : files_(files), fd_(fd) {}

  // On return the position lies just past the bytes that could be read.
  Status ReadAt(int64_t pos, void* buf, std::size_t n) override;
  // Reads until n bytes or the end of the file; *got tells how many.
  Status ReadUpTo(int64_t pos, void* buf, std::size_t n, std::size_t* got);
  // Writes all n bytes; a write that makes no progress is a failure. On return the position
  // lies just past the bytes written.
  Status WriteAt(int64_t pos, const void* buf, std::size_t n);
  Status WriteFixed32(int64_t pos, uint32_t v);
  // The file's length; leaves the position at the end.
  Status Length(int64_t* length);
  Status SeekTo(int64_t pos);
  Status SetLength(int64_t length);

  Files& files() { return files_; }
  int fd() const { return fd_; }

 private:
  Files& files_;
  int fd_;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  Status ReadAt(int64_t pos, void* buf, std::size_t n) override;

 private:
  const uint8_t* data_;
  std::size_t size_;
};

// Serves reads from one window of another source, read in one call, and moves the window when a
// read falls outside it. For a pass that reads many small values lying in ascending order, as a
// table's listing does; it lives for that pass only, so nothing read is kept beyond it.
class WindowedSource : public ByteSource {
 public:
  WindowedSource(ByteSource& base, std::size_t window) : base_(base), window_(window) {}
  Status ReadAt(int64_t pos, void* buf, std::size_t n) override;

 private:
  ByteSource& base_;
  std::size_t window_;
  int64_t start_ = 0;
  std::vector<uint8_t> bytes_;  // what lies at start_, zeros beyond the end of the source
};

// A heap buffer whose allocation failure stops the program with an assertion that names it,
// whatever the build: the file must not be touched on the strength of a buffer that isn't there.
class Buffer {
 public:
  Buffer(std::size_t size, const char* assertion);
  ~Buffer();
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  uint8_t* data() { return data_; }
  std::size_t size() const { return size_; }

 private:
  uint8_t* data_;
  std::size_t size_;
};

}  // namespace atb
