#include "platform/signals.h"

namespace atb {

DeferSignals::DeferSignals() {
  sigemptyset(&held_);
  sigaddset(&held_, SIGINT);
  sigaddset(&held_, SIGTERM);
  sigaddset(&held_, SIGHUP);
  sigaddset(&held_, SIGQUIT);
  ok_ = sigprocmask(SIG_BLOCK, &held_, &saved_) == 0;
}

DeferSignals::~DeferSignals() {
  if (!ok_ || sigprocmask(SIG_SETMASK, &saved_, nullptr) == 0) return;
  // Held for good, a Ctrl-C would never end the process: let through at least what this held.
  // Nothing is left to try should that fail too.
  static_cast<void>(sigprocmask(SIG_UNBLOCK, &held_, nullptr));
}

bool IgnoreBrokenPipe() { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }

bool IgnoreFileSizeSignal() { return signal(SIGXFSZ, SIG_IGN) != SIG_ERR; }

}  // namespace atb
