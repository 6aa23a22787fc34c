#include "platform/signals.h"

namespace atb {

DeferSignals::DeferSignals() {
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGHUP);
  sigaddset(&block, SIGQUIT);
  sigprocmask(SIG_BLOCK, &block, &saved_);
}

DeferSignals::~DeferSignals() { sigprocmask(SIG_SETMASK, &saved_, nullptr); }

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

}  // namespace atb
