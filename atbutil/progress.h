// A progress line on standard error for commands that read many files: shown only on a terminal,
// only once the command has run a second, redrawn at most four times a second, and cleared at
// the end, so that a command that is quick or writes to a file or pipe shows nothing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace atb {

class Progress {
 public:
  // Milliseconds from any fixed start; tests give their own.
  using Clock = std::function<int64_t()>;
  static int64_t SteadyMs();

  // `what` names what is counted ("files", "mods"); `shown` whether to draw at all, by default
  // whether `err` is a terminal.
  Progress(std::FILE* err, std::string what);
  Progress(std::FILE* err, std::string what, bool shown, Clock clock);
  ~Progress() { Clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // `done` of `total` are done; `what` names them from now on, when given.
  void Update(int64_t done, int64_t total);
  void Update(int64_t done, int64_t total, const std::string& what) {
    what_ = what;
    Update(done, total);
  }
  // Takes the line away, before other output or at the end; the next Update draws it again.
  void Clear();
  // Clear, before output to `stream`, when that shows where the line does: standard error, or a
  // terminal. Output to a file or pipe leaves the line be.
  void ClearBefore(std::FILE* stream);

 private:
  std::FILE* err_;
  std::string what_;
  bool shown_;
  Clock clock_;
  int64_t start_, last_ = -1;
  std::size_t drawn_ = 0;  // the length of the line on the screen, 0 when none is
};

}  // namespace atb
