// The second thread of a move that is not flushed: it lays out, checks and writes the record of
// the next step while the mover writes this one and reads the one after.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "change/journal_format.h"

namespace atb::journal {

// A second thread that lays out, checks and writes a record while the caller does something
// else: laying out and checking frames is most of what journaling a step costs beyond its reads
// and writes. It touches only the memory it is given and the journal, never the file.
class RecordWriter {
 public:
  RecordWriter();
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;
  // Starts laying out the record of step `step` of `steps`, moved with `bytes`, at `out` (see
  // Journal::LayOutRecord), to be written to `journal` once Release() lets it. At most one at a
  // time.
  void Start(Journal& journal, const Steps& steps, std::size_t step, uint64_t movedHash,
             const uint8_t* bytes, uint8_t* out);
  // Lets the record started go to the journal, or, with `write` false, drops it.
  void Release(bool write);
  // Waits for the record started: returns how its write went, and *fold gets the fold of its
  // frames' checks.
  Status Wait(uint64_t* fold);

 private:
  struct Task {
    Journal* journal;
    const Steps* steps;
    std::size_t step;
    uint64_t movedHash;
    const uint8_t* bytes;
    uint8_t* out;
  };
  void Work();
  // Records started, released and finished, counted. Each side spins a while before it sleeps:
  // a step takes a fraction of a millisecond, and waking a sleeping thread a good part of that.
  // The spins adapt (see AwaitChange).
  std::atomic<uint32_t> started_{0}, released_{0}, finished_{0};
  std::atomic<bool> stop_{false};
  int waitSpin_ = 100, workSpin_ = 100;  // how long each side spins before it sleeps, in us
  bool write_ = false;
  Task task_{nullptr, nullptr, 0, 0, nullptr, nullptr};
  int64_t bytes_ = 0;
  uint64_t fold_ = 0;
  Status status_;
  std::thread worker_;
};

}  // namespace atb::journal
