// Where the bytes of a change go: the splices it makes, and the steps that move every other byte
// there. A change and its recovery derive the same steps from the same splices, so a journal
// names a step by its number.
#pragma once

#include <cstdint>
#include <vector>

namespace atb {

// Splice i takes out the `removed` bytes at `pos` (a position in the file as it is) and leaves
// `inserted` bytes of unspecified content in their place. Splices are in ascending order of
// position and do not overlap.
struct Splice {
  int64_t pos;
  int64_t removed;
  int64_t inserted;
};

// One step of a move: `size` bytes copied from `from` to `to`.
struct ChunkMove {
  int64_t from;
  int64_t to;
  int64_t size;
};

// The steps that move every byte of a file of `length` bytes to where it belongs once the
// splices are made: each byte is copied at most once, no step overwrites a byte that a later
// step still has to copy, and the destinations of two steps never overlap. Segments that move
// towards the front go first, front to back, then those that move towards the end, back to front.
std::vector<ChunkMove> PlanMoves(const std::vector<Splice>& splices, int64_t length,
                                 int64_t chunkBytes);

// The number of steps PlanMoves makes, counted without making them, so that a journal cannot
// make a recovery build an unbounded list.
uint64_t CountMoves(const std::vector<Splice>& splices, int64_t length, int64_t chunkBytes);

// The length of the file once the splices are made.
int64_t LengthAfter(const std::vector<Splice>& splices, int64_t length);

}  // namespace atb
