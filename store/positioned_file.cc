#include "store/positioned_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "store/coding.h"

namespace atb {

Status PositionedFile::ReadUpTo(int64_t pos, void* buf, std::size_t n, std::size_t* got) {
  *got = 0;
  if (pos < 0) return Status::IoError(EINVAL);
  auto* p = static_cast<uint8_t*>(buf);
  while (*got < n) {
    ssize_t r = files_.ReadAt(fd_, p + *got, n - *got, pos + static_cast<int64_t>(*got));
    if (r < 0) return Status::IoError(errno);
    if (r == 0) break;
    *got += static_cast<std::size_t>(r);
  }
  return Status::Ok();
}

Status PositionedFile::ReadAt(int64_t pos, void* buf, std::size_t n) {
  std::size_t got;
  Status s = ReadUpTo(pos, buf, n, &got);
  if (!s.ok()) return s;
  if (got < n && pos + static_cast<int64_t>(got) < expected_) {
    return Status::IoError(0, "the file was cut short while it was read");
  }
  std::memset(static_cast<uint8_t*>(buf) + got, 0, n - got);
  return Status::Ok();
}

Status PositionedFile::WriteAt(int64_t pos, const void* buf, std::size_t n) {
  if (pos < 0) return Status::IoError(EINVAL);
  const auto* p = static_cast<const uint8_t*>(buf);
  std::size_t done = 0;
  while (done < n) {
    ssize_t put = files_.WriteAt(fd_, p + done, n - done, pos + static_cast<int64_t>(done));
    if (put < 0) return Status::FromErrno(errno);
    if (put == 0) return Status::IoError(0);
    done += static_cast<std::size_t>(put);
  }
  return Status::Ok();
}

Status PositionedFile::Length(int64_t* length) {
  int64_t end = files_.Seek(fd_, 0, SEEK_END);
  if (end < 0) return Status::IoError(errno);
  *length = end;
  return Status::Ok();
}

Status PositionedFile::SetLength(int64_t length) {
  if (files_.Truncate(fd_, length) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

Status MemorySource::ReadAt(int64_t pos, void* buf, std::size_t n) {
  auto* p = static_cast<uint8_t*>(buf);
  std::size_t avail = 0;
  if (pos >= 0 && static_cast<uint64_t>(pos) < size_) {
    avail = size_ - static_cast<std::size_t>(pos);
    if (avail > n) avail = n;
    std::memcpy(p, data_ + pos, avail);
  }
  std::memset(p + avail, 0, n - avail);
  return Status::Ok();
}

Status WindowedSource::ReadAt(int64_t pos, void* buf, std::size_t n) {
  if (n > window_) return base_.ReadAt(pos, buf, n);
  if (pos < start_ ||
      pos + static_cast<int64_t>(n) > start_ + static_cast<int64_t>(bytes_.size())) {
    bytes_.resize(window_);
    Status s = base_.ReadAt(pos, bytes_.data(), bytes_.size());
    if (!s.ok()) {
      bytes_.clear();
      return s;
    }
    start_ = pos;
  }
  std::memcpy(buf, bytes_.data() + (pos - start_), n);
  return Status::Ok();
}

Buffer::Buffer(std::size_t size, const char* assertion) : size_(size) {
  data_ = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (data_ == nullptr && assertion != nullptr) {
    std::fprintf(stderr, "Assertion failed: %s\n", assertion);
    std::abort();
  }
}

Buffer::~Buffer() { std::free(data_); }

}  // namespace atb
