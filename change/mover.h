// The mover: what moves the bytes of a change, and of its recovery, once the journal is in
// place. It carries out the steps batch by batch, each batch's records in the journal before its
// steps in the file, then the final writes, the cut and the write that takes the mark away, in
// the order doc/crash-safety.md gives. A recovery resumes it from the batch in flight.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "change/journal_format.h"
#include "change/record_writer.h"
#include "platform/files.h"
#include "store/positioned_file.h"

namespace atb::journal {

// The target of a change, as the mover sees it.
struct ChangeFile {
  PositionedFile& file;
  bool durable;  // flush in order, so that a power loss leaves before or after
};

// Whether the mover takes the steps one at a time, reading two ahead and laying out the next
// record while the last is written (batches of one step, more than one step), and the buffers
// for step bytes and the scratch space it needs.
bool OneStepAtATime(const Steps& steps);
std::size_t SourceBuffers(const Steps& steps);
std::size_t ScratchRoom(const Steps& steps);

// The memory for the bytes of the steps: SourceBuffers(steps) buffers of the largest step, or of
// `least` bytes when that is more. Allocated before the file changes; ok() is false when there
// is not enough memory.
class StepBuffers {
 public:
  StepBuffers(const Steps& steps, int64_t least);
  bool ok() const { return buffer_.ok(); }
  const std::vector<uint8_t*>& pointers() const { return pointers_; }

 private:
  Buffer buffer_;
  std::vector<uint8_t*> pointers_;
};

class Mover {
 public:
  // `buffers` hold SourceBuffers(steps) of the largest step; `scratch` has ScratchRoom(steps)
  // reserved; both are acquired before the file changes.
  Mover(ChangeFile target, Journal& journal, const Recorded& recorded, const Steps& steps,
        const std::vector<uint8_t*>& buffers, std::vector<uint8_t>& scratch);

  // Carries out the steps from `first`, the first step of a batch, on, then the final writes,
  // the cut and, once they are on the disk, the write that takes the mark away. With
  // `recorded`, the records of first's batch are already on the disk and it holds their frame
  // checks' folds; with `allRecorded`, "all moved" is too (first is then the number of steps).
  Status Run(std::size_t first, const std::vector<uint64_t>* recorded, bool allRecorded,
             uint64_t movedHash);

  // Finishes the change from the batch in flight, which starts at step `batchStart` and whose
  // records are `batch`, the steps before it having `movedHash`: extends the file to its longest,
  // rebuilds every step of the batch from the file and its record, writes them again in order
  // and goes on as Run does. `room` is scratch space as large as the largest step. Damaged, before
  // any write, when the bytes rebuilt do not give their records' checks.
  Status Resume(std::size_t batchStart, const std::map<uint64_t, Record>& batch, uint64_t movedHash,
                uint8_t* room);

  // The steps alone, in batches of steps.batch, with nothing journaled or flushed: what the move
  // costs without its journal, for measuring the journal against. The file must be long enough
  // for every destination.
  static Status MoveUnjournaled(PositionedFile& file, const Steps& steps,
                                const std::vector<uint8_t*>& buffers);

 private:
  Mover(ChangeFile target, Journal* journal, const Recorded& recorded, const Steps& steps,
        const std::vector<uint8_t*>& buffers, std::vector<uint8_t>& scratch);

  Status Batches(std::size_t first, const std::vector<uint64_t>* recorded, uint64_t* movedHash);
  Status Stream(std::size_t first, const std::vector<uint64_t>* recorded, uint64_t* movedHash);
  // The records of the batch at [start, end), laid out from the bytes read and written, once
  // every step before them is on the disk; *folds gets their frame checks' folds.
  Status RecordBatch(std::size_t start, std::size_t end, uint64_t movedHash,
                     std::vector<uint64_t>* folds);
  // "all moved", the final writes, the cut and the write that takes the mark away.
  Status Finish(bool allRecorded, uint64_t movedHash);
  Status CopyFromJournal(const FinalWrite& w);
  // Writes what lies outside the mark: it goes last, once everything else is on the disk.
  Status WriteOutsideMark(int64_t pos, const uint8_t* bytes, int64_t n);
  // What step `step`, moved with `bytes`, adds to `h`, the hash of the steps before it, its
  // batch's records having `batchHash`.
  uint64_t AddStepAgain(uint64_t h, std::size_t step, uint64_t batchHash,
                        const uint8_t* bytes) const;
  Status FlushFile();
  Status FlushJournal();

  ChangeFile target_;
  Journal* journal_;  // none only for MoveUnjournaled
  const Recorded& recorded_;
  const Steps& steps_;
  Regions covered_;
  const std::vector<uint8_t*>& buffers_;
  std::vector<uint8_t>& scratch_;
  std::unique_ptr<RecordWriter> writer_;  // only for a move of large steps without flushes
};

// A file size limit (ulimit -f) below the end of what a change writes to the file or to its
// journal stops it before its first byte, as a full disk does.
Status WithinSizeLimit(Files& files, int64_t fileEnd, int64_t journalEnd);

}  // namespace atb::journal
