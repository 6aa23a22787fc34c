#include "text/output_sink.h"

namespace atb {

void Sink::Flush() {
  if (out_ == nullptr || buf_.empty()) return;
  if (std::fwrite(buf_.data(), 1, buf_.size(), out_) != buf_.size()) failed_ = true;
  buf_.clear();
}

void Sink::Finish() {
  Flush();
  if (out_ != nullptr && (std::fflush(out_) != 0 || std::ferror(out_) != 0)) failed_ = true;
}

}  // namespace atb
