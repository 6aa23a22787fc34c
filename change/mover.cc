#include "change/mover.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

#include "change/mark.h"
#include "platform/processors.h"

namespace atb::journal {

bool OneStepAtATime(const Steps& steps) { return steps.batch == 1 && steps.size() > 1; }

std::size_t SourceBuffers(const Steps& steps) {
  return OneStepAtATime(steps) ? 3 : static_cast<std::size_t>(steps.batch);
}

std::size_t ScratchRoom(const Steps& steps) {
  return RecordRoom(steps.largestRecord) * (OneStepAtATime(steps) ? 2 : 1);
}

StepBuffers::StepBuffers(const Steps& steps, int64_t least)
    : buffer_(static_cast<std::size_t>(std::max(steps.largest, least)) * SourceBuffers(steps)) {
  const auto each = static_cast<std::size_t>(std::max(steps.largest, least));
  for (std::size_t k = 0; buffer_.ok() && k < SourceBuffers(steps); ++k) {
    pointers_.push_back(buffer_.data() + k * each);
  }
}

Mover::Mover(ChangeFile target, Journal& journal, const Recorded& recorded, const Steps& steps,
             const std::vector<uint8_t*>& buffers, std::vector<uint8_t>& scratch)
    : Mover(target, &journal, recorded, steps, buffers, scratch) {}

Mover::Mover(ChangeFile target, Journal* journal, const Recorded& recorded, const Steps& steps,
             const std::vector<uint8_t*>& buffers, std::vector<uint8_t>& scratch)
    : target_(target),
      journal_(journal),
      recorded_(recorded),
      steps_(steps),
      covered_(FinalRegions(recorded.writes)),
      buffers_(buffers),
      scratch_(scratch) {
  // Only a move of many large steps without flushes gains from a second thread (with them, the
  // disk sets the pace), and only where there is a second processor for it and the file layer
  // takes calls from two threads at once. Without one, the same writes are made in the same
  // order by this thread.
  if (journal != nullptr && !target.durable && target.file.files().Concurrent() &&
      steps.size() > 1 && steps.largest >= (256 << 10) && UsableProcessors() > 1) {
    try {
      writer_ = std::make_unique<RecordWriter>();
    } catch (const std::system_error&) {
    }
  }
}

Status Mover::MoveUnjournaled(PositionedFile& file, const Steps& steps,
                              const std::vector<uint8_t*>& buffers) {
  const Recorded nothing;
  std::vector<uint8_t> noScratch;
  Mover mover({file, false}, nullptr, nothing, steps, buffers, noScratch);
  uint64_t unused = 0;
  return mover.Batches(0, nullptr, &unused);
}

uint64_t Mover::AddStepAgain(uint64_t h, std::size_t step, uint64_t batchHash,
                             const uint8_t* bytes) const {
  const uint64_t fold =
      steps_.folded[step] ? journal_->RecordFold(steps_, step, batchHash, bytes) : 0;
  return AddStep(steps_, step, h, bytes, fold, covered_);
}

Status Mover::Run(std::size_t first, const std::vector<uint64_t>* recorded, bool allRecorded,
                  uint64_t movedHash) {
  // Reserved before the file changed: no allocation here.
  scratch_.resize(scratch_.capacity());
  Status s = OneStepAtATime(steps_) ? Stream(first, recorded, &movedHash)
                                    : Batches(first, recorded, &movedHash);
  if (!s.ok()) return s;
  return Finish(allRecorded, movedHash);
}

Status Mover::Resume(std::size_t batchStart, const std::map<uint64_t, Record>& batch,
                     uint64_t movedHash, uint8_t* room) {
  PositionedFile& file = target_.file;
  const int64_t longest = std::max(recorded_.oldLength, recorded_.newLength);
  int64_t length;
  Status s = file.Length(&length);
  if (s.ok() && length < longest) s = file.SetLength(longest);
  // The steps in flight again, whole, in order, from the bytes the journal or their sources
  // kept.
  for (const auto& [step, record] : batch) {
    if (!s.ok()) break;
    bool fits;
    s = RebuildStep(file, steps_, step, record.data, journal_->layout().nonce,
                    buffers_[step - batchStart], room, &fits);
    if (s.ok() && !fits) s = Status::Damaged("the file changed while it was recovered");
  }
  uint64_t h = movedHash;
  for (const auto& [step, record] : batch) {
    if (!s.ok()) break;
    const ChunkMove& m = steps_.moves[step];
    const uint8_t* bytes = buffers_[step - batchStart];
    s = file.WriteAt(m.to, bytes, static_cast<std::size_t>(m.size));
    h = AddStepAgain(h, step, movedHash, bytes);
  }
  if (!s.ok()) return s;
  return Run(steps_.BatchEnd(batchStart), nullptr, false, h);
}

Status Mover::Finish(bool allRecorded, uint64_t movedHash) {
  PositionedFile& file = target_.file;
  Status s;
  if (!allRecorded) {
    if (!(s = FlushFile()).ok()) return s;
    s = journal_->WriteAllMoved(steps_.size(), movedHash, &scratch_);
    scratch_.resize(scratch_.capacity());
    if (!s.ok() || !(s = FlushJournal()).ok()) return s;
  }
  for (const FinalWrite& w : recorded_.writes) {
    if (w.bytes != nullptr) {
      s = WriteOutsideMark(w.pos, reinterpret_cast<const uint8_t*>(w.bytes->data()),
                           static_cast<int64_t>(w.bytes->size()));
    } else {
      s = CopyFromJournal(w);
    }
    if (!s.ok()) return s;
  }
  if (recorded_.newLength < std::max(recorded_.oldLength, recorded_.newLength)) {
    if (!(s = file.SetLength(recorded_.newLength)).ok()) return s;
  }
  // The mark goes only once everything else is on the disk: a file without it is whole.
  if (!(s = FlushFile()).ok()) return s;
  s = file.WriteAt(0, recorded_.unmarked.data(), recorded_.unmarked.size());
  if (!s.ok()) return s;
  return FlushFile();
}

Status Mover::WriteOutsideMark(int64_t pos, const uint8_t* bytes, int64_t n) {
  const int64_t skip = std::clamp<int64_t>(kMarkBytes - pos, 0, n);
  if (skip == n) return Status::Ok();
  return target_.file.WriteAt(pos + skip, bytes + skip, static_cast<std::size_t>(n - skip));
}

// Every step of a batch is read, then its records written, then its steps: sources of later
// steps are never written by earlier ones, so reading them first gives the same bytes.
Status Mover::Batches(std::size_t first, const std::vector<uint64_t>* recorded,
                      uint64_t* movedHash) {
  PositionedFile& file = target_.file;
  std::vector<uint64_t> folds(buffers_.size());
  for (std::size_t start = first; start < steps_.size(); start = steps_.BatchEnd(start)) {
    const std::size_t end = steps_.BatchEnd(start);
    Status s;
    for (std::size_t t = start; s.ok() && t < end; ++t) {
      const ChunkMove& m = steps_.moves[t];
      s = file.ReadAt(m.from, buffers_[t - start], static_cast<std::size_t>(m.size));
    }
    if (!s.ok()) return s;
    if (journal_ != nullptr && start == first && recorded != nullptr) {
      folds = *recorded;
    } else if (journal_ != nullptr) {
      if (!(s = RecordBatch(start, end, *movedHash, &folds)).ok()) return s;
    }
    for (std::size_t t = start; t < end; ++t) {
      const ChunkMove& m = steps_.moves[t];
      const uint8_t* bytes = buffers_[t - start];
      if (!(s = file.WriteAt(m.to, bytes, static_cast<std::size_t>(m.size))).ok()) return s;
      if (target_.durable) file.files().StartWriteback(file.fd(), m.to, m.size);
      if (journal_ != nullptr) {
        *movedHash = AddStep(steps_, t, *movedHash, bytes, folds[t - start], covered_);
      }
    }
  }
  return Status::Ok();
}

Status Mover::RecordBatch(std::size_t start, std::size_t end, uint64_t movedHash,
                          std::vector<uint64_t>* folds) {
  // Every step before the batch is on the disk before its records say so, and before they take
  // the slots of the batch before last.
  Status s = FlushFile();
  for (std::size_t t = start; s.ok() && t < end; ++t) {
    const int64_t bytes = journal_->LayOutRecord(steps_, t, movedHash, buffers_[t - start],
                                                 scratch_.data(), &(*folds)[t - start]);
    s = journal_->WriteLaidOut(t, scratch_.data(), bytes);
    // The disk starts on it while the next is laid out.
    if (s.ok() && target_.durable) journal_->StartWriteback(t);
  }
  if (s.ok()) s = FlushJournal();
  return s;
}

// Steps one at a time, in the same order of writes as batches of one: step t's record, then
// step t, then the record of step t + 1. Without flushes, a second thread lays out the record of
// step t + 1 while step t is written, and writes it while step t + 2 is read: the checks then
// cost no time of their own (see RecordWriter). Step t's bytes are in buffer t mod 3, its record in
// half t mod 2 of the scratch space.
Status Mover::Stream(std::size_t first, const std::vector<uint64_t>* recorded,
                     uint64_t* movedHash) {
  PositionedFile& file = target_.file;
  const std::size_t n = steps_.size();
  const std::size_t half = RecordRoom(steps_.largestRecord);
  auto source = [&](std::size_t t) { return buffers_[t % 3]; };
  auto record = [&](std::size_t t) { return scratch_.data() + t % 2 * half; };
  auto read = [&](std::size_t t) {
    const ChunkMove& m = steps_.moves[t];
    return file.ReadAt(m.from, source(t), static_cast<std::size_t>(m.size));
  };
  RecordWriter* writer = writer_.get();
  Status s;
  for (std::size_t t = first; t < n && t < first + 2; ++t) {
    if (!(s = read(t)).ok()) return s;
  }
  uint64_t fold = 0;
  if (recorded != nullptr) {
    fold = recorded->front();
  } else if (first < n) {
    // The step before is on the disk before this record says so.
    const int64_t bytes =
        journal_->LayOutRecord(steps_, first, *movedHash, source(first), record(first), &fold);
    s = FlushFile();
    if (s.ok()) s = journal_->WriteLaidOut(first, record(first), bytes);
    if (s.ok()) s = FlushJournal();
    if (!s.ok()) return s;
  }
  for (std::size_t t = first; t < n; ++t) {
    *movedHash = AddStep(steps_, t, *movedHash, source(t), fold, covered_);
    const bool next = t + 1 < n;
    int64_t bytes = 0;
    if (next && writer != nullptr) {
      writer->Start(*journal_, steps_, t + 1, *movedHash, source(t + 1), record(t + 1));
    } else if (next) {
      bytes =
          journal_->LayOutRecord(steps_, t + 1, *movedHash, source(t + 1), record(t + 1), &fold);
    }
    const ChunkMove& m = steps_.moves[t];
    s = file.WriteAt(m.to, source(t), static_cast<std::size_t>(m.size));
    if (s.ok() && target_.durable) file.files().StartWriteback(file.fd(), m.to, m.size);
    // Step t is moved (and, with flushes, on the disk) before the record of step t + 1 says so
    // and takes the slot of step t - 1.
    if (s.ok() && next) s = FlushFile();
    if (next && writer != nullptr) {
      writer->Release(s.ok());
      if (s.ok() && t + 2 < n) s = read(t + 2);
      const Status written = writer->Wait(&fold);
      if (s.ok()) s = written;
    } else if (next) {
      if (s.ok()) s = journal_->WriteLaidOut(t + 1, record(t + 1), bytes);
      if (s.ok()) s = FlushJournal();
      if (s.ok() && t + 2 < n) s = read(t + 2);
    }
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

Status Mover::FlushFile() {
  if (target_.durable && target_.file.files().Sync(target_.file.fd()) == -1) {
    return Status::FromErrno(errno);
  }
  return Status::Ok();
}

Status Mover::FlushJournal() {
  if (target_.durable && journal_->file().files().Sync(journal_->file().fd()) == -1) {
    return Status::FromErrno(errno);
  }
  return Status::Ok();
}

Status Mover::CopyFromJournal(const FinalWrite& w) {
  // Through the scratch space, reserved before the file changed: no allocation here.
  scratch_.resize(scratch_.capacity());
  const auto room = static_cast<int64_t>(scratch_.size());
  const int64_t payload = journal_->layout().PayloadAt();
  for (int64_t done = 0; done < w.size;) {
    const int64_t n = std::min(w.size - done, room);
    Status s = journal_->ReadFramed(payload, w.payloadAt + done, scratch_.data(), n, 0);
    if (s.ok()) s = WriteOutsideMark(w.pos + done, scratch_.data(), n);
    if (!s.ok()) return s;
    done += n;
  }
  return Status::Ok();
}

Status WithinSizeLimit(Files& files, int64_t fileEnd, int64_t journalEnd) {
  const int64_t limit = files.FileSizeLimit();
  const int64_t needed = std::max(fileEnd, journalEnd);
  if (needed <= limit) return Status::Ok();
  return Status::SizeLimit("the file size limit (ulimit -f) of " + std::to_string(limit) +
                           " bytes is below the " + std::to_string(needed) +
                           " bytes the change writes" +
                           (journalEnd > fileEnd ? " to its journal" : ""));
}

}  // namespace atb::journal
