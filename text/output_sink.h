// Where the text forms go: output gathered and written in large pieces.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace atb {

// Collects output and writes it to `out` in large pieces; with no file it keeps everything.
class Sink {
 public:
  explicit Sink(std::FILE* out) : out_(out) {}
  ~Sink() { Flush(); }
  std::string& buf() { return buf_; }
  // Writes what has gathered once there is enough of it.
  void Spill() {
    if (buf_.size() >= kSpillAt) Flush();
  }
  void Flush();
  // Flushes everything to the file itself: a full disk or a closed pipe shows here, not later.
  void Finish();
  bool failed() const { return failed_; }

 private:
  static constexpr std::size_t kSpillAt = 1 << 20;
  std::FILE* out_;
  std::string buf_;
  bool failed_ = false;
};

}  // namespace atb
