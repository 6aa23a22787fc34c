// Positioned access to an open file, with failures reported as a Status. Every access seeks to
// an absolute position first: the handle's one file position is shared by everything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"
#include "platform/status.h"

namespace atb {

// Where a table is read from: the open attribute file, or a side file held in memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads n bytes at pos into buf. Bytes that lie beyond the end read as zero.
  virtual Status ReadAt(int64_t pos, void* buf, std::size_t n) = 0;
};

class PositionedFile : public ByteSource {
 public:
  PositionedFile(Files& files, int fd) : files_(files), fd_(fd) {}

  // On return the position lies just past the bytes that could be read. Bytes beyond the end
  // read as zero, unless the file ends before `expected` (see ExpectLength).
  Status ReadAt(int64_t pos, void* buf, std::size_t n) override;
  // Reads until n bytes or the end of the file; *got tells how many.
  Status ReadUpTo(int64_t pos, void* buf, std::size_t n, std::size_t* got);
  // Writes all n bytes; a write that makes no progress is a failure.
  Status WriteAt(int64_t pos, const void* buf, std::size_t n);
  // The file's length; leaves the position at the end.
  Status Length(int64_t* length);
  Status SetLength(int64_t length);

  // A reader that has seen the file's length: a read that finds the file shorter than that is
  // an I/O error (the file was cut short by another program), never zeros.
  void ExpectLength(int64_t length) { expected_ = length; }

  Files& files() { return files_; }
  int fd() const { return fd_; }

 private:
  Files& files_;
  int fd_;
  int64_t expected_ = 0;
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

// A heap buffer. With an assertion text, an allocation failure stops the program with an
// assertion that names it, whatever the build; without one, ok() says whether it is there.
class Buffer {
 public:
  explicit Buffer(std::size_t size, const char* assertion = nullptr);
  bool ok() const { return data_ != nullptr; }
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
