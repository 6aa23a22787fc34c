#include "platform/signals.h"

namespace atb {

DeferSignals::DeferSignals() {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  sigaddset(&block, SIGQUIT);
  ok_ = sigprocmask(SIG_BLOCK, &block, &saved_) == 0;
}

DeferSignals::~DeferSignals() {
  if (ok_) sigprocmask(SIG_SETMASK, &saved_, nullptr);
}

bool IgnoreBrokenPipe() { return signal(SIGPIPE, SIG_IGN) != SIG_ERR; }

}  // namespace atb
