// The journal as it lies on the disk, for the change layer alone: frames that check themselves,
// the header, the plan, the payload, the records in their slots, and what a change and a
// recovery both compute from them. It holds no thread and carries out no step: the mover does
// (change/mover.h). doc/crash-safety.md describes the layout.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "change/move_plan.h"
#include "platform/files.h"
#include "store/positioned_file.h"

namespace atb::journal {

// Every 512 bytes of the journal (a disk sector) is a frame that checks itself: 496 bytes of
// content, the sequence number of the record it belongs to (0 for the plan) and a hash of both
// seeded by the journal's nonce and the frame's place. A frame is whole, never written (all
// zero), or damaged. Every frame of a journal is written before the file bears its mark (the
// slots with blank frames), so that on a marked file a frame never written is a lost sector, not
// a write cut short: a record cut short leaves blank frames or those of an older record.
inline constexpr int64_t kFrame = 512;
inline constexpr int64_t kFrameContent = 496;
inline constexpr char kMagic[8] = {'A', 'T', 'B', 'J', 'R', 'N', 'L', '4'};
// The sequence number of a blank frame: a slot that holds no record yet.
inline constexpr uint64_t kBlankSeq = ~uint64_t{0};
// A disk writes a sector whole or not at all: the unit a torn write of the file leaves.
inline constexpr int64_t kSector = 512;
inline constexpr int64_t kRecordHead = 32;  // kind, step, data size, hash of what has moved
inline constexpr uint32_t kChunkMoved = 1;
inline constexpr uint32_t kAllMoved = 2;
// The first bytes of the old file and of each step's source, kept to recognise the file.
inline constexpr int64_t kPrefixBytes = 4096;
inline constexpr int64_t kSampleBytes = 4096;
// What a journal may make a recovery hold in memory.
inline constexpr int64_t kMaxSlotData = 64 << 20;
inline constexpr int64_t kMaxBatch = 16;
inline constexpr int64_t kMaxPlanBytes = 256 << 20;
inline constexpr int64_t kMaxPayloadBytes = int64_t{1} << 33;
// Frames read or written in one call.
inline constexpr int64_t kFramesPerIo = 128;

int64_t FramesFor(int64_t bytes);
void Put64(std::string* out, uint64_t v);
uint64_t Get64(const uint8_t* p);
void Encode64(uint8_t* p, uint64_t v);

enum class FrameState { kZero, kWhole, kDamaged };
FrameState Inspect(const uint8_t* frame, int64_t at, uint64_t nonce, uint64_t* seq);

// Sums the frames' checks up, in order: a hash of every byte they hold, their place and their
// record.
uint64_t Fold(uint64_t fold, uint64_t check);

// A record's head: its kind, step, data size and the hash of what had moved before its batch.
struct RecordHead {
  uint8_t bytes[kRecordHead];
  RecordHead(uint32_t kind, uint64_t step, int64_t size, uint64_t movedHash);
};

// Lays content out in frames of one sequence number at `out`, for journal offset `at`, piece by
// piece, and checks them eight at a time while they are still in the cache. With no `out` it only
// computes the frames' checks, one at a time in a buffer of its own. fold() sums them up once
// Finish() has checked the last.
class Framer {
 public:
  Framer(uint8_t* out, int64_t at, uint64_t seq, uint64_t nonce);
  void Append(const uint8_t* p, int64_t n);
  // Seals the last frame (an empty content makes one frame); returns the bytes laid out.
  int64_t Finish();
  uint64_t fold() const { return fold_; }

 private:
  void Seal();
  // Checks the frames laid out but not yet checked, up to frame `upTo`.
  void Check(int64_t upTo);
  uint8_t local_[kFrame];
  uint8_t* start_;  // frame 0
  uint8_t* out_;    // the frame being filled
  bool store_;
  int64_t at_;  // of frame 0, or without `out` of the frame being filled
  uint64_t seq_, nonce_;
  int64_t fill_ = 0, used_ = 0, checked_ = 0;
  uint64_t fold_ = 0;
};

// Where things lie in a journal: the header frame, the plan, the payload, halves * batch slots of
// one record each, and the frame of "all moved". The steps of a move go in batches: the records
// of batch j take the slots of half j mod 2 (a move of one batch needs one half).
struct Layout {
  uint64_t nonce = 0;
  uint64_t inode = 0;
  int64_t planBytes = 0;
  int64_t payloadBytes = 0;
  int64_t slotData = 0;  // the most data one record holds
  int64_t batch = 1;     // steps whose records are written before their steps are
  int64_t halves = 1;

  int64_t PlanAt() const { return kFrame; }
  int64_t PayloadAt() const { return PlanAt() + FramesFor(planBytes) * kFrame; }
  int64_t SlotFrames() const;
  int64_t Slots() const { return halves * batch; }
  int64_t SlotAt(int64_t slot) const;
  int64_t AllMovedAt() const { return SlotAt(Slots()); }
  int64_t End() const { return AllMovedAt() + kFrame; }
  // The slot of the record of step `step`.
  int64_t SlotOfStep(uint64_t step) const;
  // The header frame's content.
  std::string Header() const;
  // False when the header's content is not one this tool writes.
  bool ReadHeader(const uint8_t* content);
};

// The bytes of a change's final writes, as the journal keeps them.
struct FinalWrite {
  int64_t pos;
  int64_t size;
  int64_t payloadAt;
  int64_t preimageAt;        // -1 when none: only a change that moves nothing keeps them
  const std::string* bytes;  // in memory, when the change has them there
};

// What the journal's plan holds.
struct Recorded {
  int64_t oldLength = 0, newLength = 0, chunkBytes = 0;
  std::vector<Splice> splices;
  std::vector<FinalWrite> writes;
  std::string prefix;
  std::vector<uint64_t> samples;  // a hash of the start of each step's source
  // What the finished file holds where the mark lies: the change's last write.
  std::string unmarked;
};

std::string Serialize(const Recorded& r);
// False when the plan is not one this tool could have written.
bool Deserialize(const std::string& bytes, const Layout& layout, Recorded* r);

// The regions that the final writes cover, merged, in ascending order.
using Regions = std::vector<std::pair<int64_t, int64_t>>;
Regions FinalRegions(const std::vector<FinalWrite>& writes);

// Adds to `h` the bytes at [at, at + n) that no final write covers: what a step left in the
// file, before the final writes and after them alike.
uint64_t HashUncovered(uint64_t h, int64_t at, const uint8_t* bytes, int64_t n,
                       const Regions& covered);

uint64_t SampleHash(const ChunkMove& m, const uint8_t* source);

// The steps of a change and what follows from them and the batch size alone.
//
// The record of a step holds a check of each piece of its destination (the part of it in one
// sector of the file), then the bytes of its source that a torn write of its batch can destroy,
// in ascending order: those that another step of the batch writes over, and those its own write
// moves into another sector than the one they lie in. Every other byte of the source survives
// somewhere a recovery finds it: where it lay, while its sector there is not yet written, or in
// its new place, written in the same sector write as the one that overwrote it. For a shift of
// 40 bytes that is 40 bytes of every 512, not all of them.
struct Steps {
  Steps(std::vector<ChunkMove> moves, int64_t batch, const Regions& covered);
  std::vector<ChunkMove> moves;
  int64_t batch;
  int64_t largest = 0;
  // The bytes of each step's record, and the most of any.
  std::vector<int64_t> recordBytes;
  int64_t largestRecord = 0;
  // Whether a step counts into the hash of what has moved by its record's frame checks (no final
  // write covers its destination, so the record's piece checks vouch for all of it) rather than
  // by its bytes.
  std::vector<bool> folded;
  std::size_t size() const { return moves.size(); }
  std::size_t BatchStart(std::size_t step) const {
    return step / static_cast<std::size_t>(batch) * static_cast<std::size_t>(batch);
  }
  std::size_t BatchEnd(std::size_t first) const {
    return std::min(moves.size(), first + static_cast<std::size_t>(batch));
  }
};

// The pieces of a step's destination: the parts of it in one sector each.
int64_t Pieces(const ChunkMove& m);

// Appends the content of step `step`'s record, the step moving `bytes`, to `framer`.
void AppendRecord(Framer& framer, const Steps& steps, std::size_t step, const uint8_t* bytes,
                  uint64_t nonce);

// Rebuilds at `out` the bytes of step `step` of the batch in flight, from the file and the
// step's record `data`; `room` is scratch space of as many bytes. *fits is false when the file
// holds anything but what the batch's own writes can have left: the bytes rebuilt do not give the
// record's checks.
Status RebuildStep(PositionedFile& file, const Steps& steps, std::size_t step,
                   const std::string& data, uint64_t nonce, uint8_t* out, uint8_t* room,
                   bool* fits);

// What step `step` adds to `h`, the hash of what moved before it: `recordFold` when folded,
// else its bytes but for what final writes cover.
uint64_t AddStep(const Steps& steps, std::size_t step, uint64_t h, const uint8_t* bytes,
                 uint64_t recordFold, const Regions& covered);

// A whole record of a journal.
struct Record {
  uint32_t kind = 0;
  uint64_t step = 0;
  uint64_t movedHash = 0;
  std::string data;
};

// An open journal: framed reads and writes.
class Journal {
 public:
  Journal(Files& files, int fd, Layout layout) : file_(files, fd), layout_(layout) {}

  PositionedFile& file() { return file_; }
  const Layout& layout() const { return layout_; }

  // Writes `n` content bytes as frames of `seq` at `at`.
  Status WriteFramed(int64_t at, const uint8_t* content, int64_t n, uint64_t seq,
                     std::vector<uint8_t>* scratch);
  // Reads `n` content bytes at content position `pos` of the region of frames at `region`,
  // every frame whole and of `seq`.
  Status ReadFramed(int64_t region, int64_t pos, uint8_t* out, int64_t n, uint64_t seq);

  // Writes "all moved" after `steps` steps.
  Status WriteAllMoved(uint64_t steps, uint64_t movedHash, std::vector<uint8_t>* scratch);
  // Writes `frames` blank frames at `at`, through `scratch`.
  Status WriteBlanks(int64_t at, int64_t frames, std::vector<uint8_t>* scratch);
  // Lays out at `out` the record of step `step`, which moves `bytes`, the steps before its batch
  // having `movedHash`; *fold gets the fold of its frames' checks. Returns its bytes.
  int64_t LayOutRecord(const Steps& steps, std::size_t step, uint64_t movedHash,
                       const uint8_t* bytes, uint8_t* out, uint64_t* fold) const;
  // Writes the record of step `step` laid out at `frames`.
  Status WriteLaidOut(uint64_t step, const uint8_t* frames, int64_t bytes);
  // Starts writing the slot of step `step`'s record to the disk.
  void StartWriteback(uint64_t step);
  // The fold of the frame checks that the record of step `step`, which moves `bytes`, has.
  uint64_t RecordFold(const Steps& steps, std::size_t step, uint64_t movedHash,
                      const uint8_t* bytes) const;

  // Every whole record in the slots and the frame of "all moved". Damaged when any of their
  // frames is damaged or was never written (a lost sector: every one was written before the
  // file was marked), or a record does not fit the layout.
  Status ReadRecords(std::vector<Record>* records);

 private:
  PositionedFile file_;
  Layout layout_;
};

// The content of a journal region as a source, for checking a table kept there.
class FramedSource : public ByteSource {
 public:
  FramedSource(Journal& journal, int64_t region, int64_t start, int64_t size)
      : journal_(journal), region_(region), start_(start), size_(size) {}
  Status ReadAt(int64_t pos, void* buf, std::size_t n) override;

 private:
  Journal& journal_;
  int64_t region_, start_, size_;
};

// What a record of `largest` bytes of data takes in frames, and what writing the payload takes.
std::size_t RecordRoom(int64_t largest);

}  // namespace atb::journal
