// Moving the bytes of a file in place to make room for replacements, in bounded chunks, each
// byte at most once and never over a byte that still has to move.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "store/atb_file.h"

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

// The length of the file once the splices are made.
int64_t LengthAfter(const std::vector<Splice>& splices, int64_t length);

// What a copy does around its steps: `before` once the bytes of a batch of steps are read and
// before any of them is written (where a journal keeps them), `after` once a step is written. An
// error from either stops the copy.
struct MoveHooks {
  std::function<Status(std::size_t first, std::size_t end, uint8_t* const* bytes)> before;
  std::function<Status(std::size_t step, const ChunkMove& move, const uint8_t* bytes)> after;
};

// Carries out moves[first..] in batches of as many steps as there are buffers, each buffer
// holding at least the largest step: every step of a batch is read before any is written. The
// file must already be long enough for every destination; its length is left as it is. The
// position is left unspecified.
Status CopyMoves(AtbFile& file, const std::vector<ChunkMove>& moves, std::size_t first,
                 const std::vector<uint8_t*>& buffers, const MoveHooks& hooks = {});

}  // namespace atb
