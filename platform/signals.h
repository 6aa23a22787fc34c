// Keeps the signals that end a process from landing in the middle of a change to a file, which
// is made in place and would be left half done.
#pragma once

#include <signal.h>

namespace atb {

// While one lives, SIGINT, SIGTERM, SIGHUP and SIGQUIT are held back; they are delivered when
// it ends.
class DeferSignals {
 public:
  DeferSignals();
  // False when the signals could not be held back.
  bool ok() const { return ok_; }
  ~DeferSignals();
  DeferSignals(const DeferSignals&) = delete;
  DeferSignals& operator=(const DeferSignals&) = delete;

 private:
  sigset_t held_;
  sigset_t saved_;
  bool ok_;
};

// A console that goes away must not kill the process between two writes to a file.
// False when it could not be ignored.
bool IgnoreBrokenPipe();

// A write past the process's file size limit (ulimit -f) must fail with a reason, as on a full
// disk, rather than kill the process with nothing said and a journal left behind.
// False when it could not be ignored.
bool IgnoreFileSizeSignal();

}  // namespace atb
