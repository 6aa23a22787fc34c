#include "change/record_writer.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>

namespace atb::journal {

namespace {

// Waits until `value` differs from `old`: spinning for up to *spin microseconds, then asleep.
// The spin doubles while the other thread comes in time and halves while it does not: on a
// machine whose processors are busy with other work, spinning only takes time from it.
void AwaitChange(const std::atomic<uint32_t>& value, uint32_t old, int* spin) {
  const auto start = std::chrono::steady_clock::now();
  const auto until = start + std::chrono::microseconds(*spin);
  for (int k = 1; value.load(std::memory_order_acquire) == old; ++k) {
    if (k % 64 == 0 && std::chrono::steady_clock::now() > until) {
      *spin = std::max(*spin / 2, 10);
      while (value.load(std::memory_order_acquire) == old) {
        value.wait(old, std::memory_order_acquire);
      }
      return;
    }
  }
  *spin = std::min(*spin * 2, 500);
}

}  // namespace

RecordWriter::RecordWriter() : worker_([this] { Work(); }) {}

RecordWriter::~RecordWriter() {
  stop_.store(true, std::memory_order_release);
  started_.fetch_add(1, std::memory_order_release);
  started_.notify_one();
  worker_.join();
}

void RecordWriter::Start(Journal& journal, const Steps& steps, std::size_t step, uint64_t movedHash,
                         const uint8_t* bytes, uint8_t* out) {
  task_ = {&journal, &steps, step, movedHash, bytes, out};
  started_.fetch_add(1, std::memory_order_release);
  started_.notify_one();
}

void RecordWriter::Release(bool write) {
  write_ = write;
  released_.fetch_add(1, std::memory_order_release);
  released_.notify_one();
}

Status RecordWriter::Wait(uint64_t* fold) {
  const uint32_t target = started_.load(std::memory_order_relaxed);
  for (uint32_t done; (done = finished_.load(std::memory_order_acquire)) != target;) {
    AwaitChange(finished_, done, &waitSpin_);
  }
  *fold = fold_;
  return status_;
}

void RecordWriter::Work() {
  // The signals a change holds back must never land here, in the middle of it.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (uint32_t seen = 0;;) {
    AwaitChange(started_, seen, &workSpin_);
    seen = started_.load(std::memory_order_acquire);
    if (stop_.load(std::memory_order_acquire)) return;
    const Task t = task_;
    const int64_t bytes =
        t.journal->LayOutRecord(*t.steps, t.step, t.movedHash, t.bytes, t.out, &fold_);
    for (uint32_t now; (now = released_.load(std::memory_order_acquire)) != seen;) {
      AwaitChange(released_, now, &workSpin_);
    }
    status_ = write_ ? t.journal->WriteLaidOut(t.step, t.out, bytes) : Status::Ok();
    finished_.fetch_add(1, std::memory_order_release);
    finished_.notify_one();
  }
}

}  // namespace atb::journal
