#include "atbutil/progress.h"

#include <unistd.h>

#include <chrono>

namespace atb {

namespace {

constexpr int64_t kQuietMs = 1000;  // a command quicker than this shows nothing
constexpr int64_t kRedrawMs = 250;

}  // namespace

int64_t Progress::SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

Progress::Progress(std::FILE* err, std::string what)
    : Progress(err, std::move(what), isatty(fileno(err)) == 1, SteadyMs) {}

Progress::Progress(std::FILE* err, std::string what, bool shown, Clock clock)
    : err_(err), what_(std::move(what)), shown_(shown), clock_(std::move(clock)) {
  start_ = shown_ ? clock_() : 0;
}

void Progress::Update(int64_t done, int64_t total) {
  if (!shown_) return;
  const int64_t now = clock_();
  if (now - start_ < kQuietMs || (last_ >= 0 && now - last_ < kRedrawMs)) return;
  last_ = now;
  const std::string line = "atbutil: " + std::to_string(done) + " of " + std::to_string(total) +
                           " " + what_ + " (" + std::to_string(total > 0 ? done * 100 / total : 0) +
                           "%)";
  // Spaces cover what a longer line before left.
  const std::size_t pad = drawn_ > line.size() ? drawn_ - line.size() : 0;
  std::fprintf(err_, "\r%s%s", line.c_str(), std::string(pad, ' ').c_str());
  std::fflush(err_);
  drawn_ = line.size() + pad;
}

void Progress::ClearBefore(std::FILE* stream) {
  if (drawn_ == 0) return;
  if (stream == err_ || isatty(fileno(stream)) == 1) Clear();
}

void Progress::Clear() {
  if (drawn_ == 0) return;
  std::fprintf(err_, "\r%s\r", std::string(drawn_, ' ').c_str());
  std::fflush(err_);
  // The line comes back at the next redraw, not at once: a command printing a line per file
  // would otherwise redraw it for every one.
  drawn_ = 0;
}

}  // namespace atb
