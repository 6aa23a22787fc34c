// The in-place operations that make room in the open file and keep its offsets consistent.
// None of them prints or asks anything; each reports the first failed read, write or seek.
#pragma once

#include <cstdint>
#include <vector>

#include "store/atb_file.h"

namespace atb {

// The stored length of the Text value at `offset`: the bytes up to and including its first
// zero byte, looked for no further than `endOffset`, the end of the value's extent. *length is
// 0 when the extent holds no zero byte. Reads in blocks. On return the position is at offset.
Status MeasureText(AtbFile& file, int64_t offset, int64_t endOffset, int64_t* length);

// Makes the file `size` bytes longer by moving every byte from `pos` to the end up by size.
// The gap at pos keeps unspecified content, for the caller to overwrite. The tail moves in
// bounded chunks from the end backwards, so memory does not grow with the file. On return the
// position is at pos.
Status InsertGap(AtbFile& file, int64_t pos, int64_t size);

// Makes room for several replacements at once: splice i takes out the `removed` bytes at `pos`
// (positions in the file as it is) and leaves `inserted` bytes of unspecified content in their
// place, for the caller to overwrite. Every other byte moves to where it then belongs, in one
// pass: each byte moves at most once, in bounded chunks, and nothing is overwritten before it has
// moved. The file's length follows. Splices must be in ascending order of position and must not
// overlap. The position is left unspecified.
struct Splice {
  int64_t pos;
  int64_t removed;
  int64_t inserted;
};
// `chunkBytes` bounds the memory it takes; tests make it small.
Status MakeRoom(AtbFile& file, const std::vector<Splice>& splices, int64_t chunkBytes = 4 << 20);

// One step of MakeRoom: `size` bytes copied from `from` to `to`.
struct ChunkMove {
  int64_t from;
  int64_t to;
  int64_t size;
};

// The steps MakeRoom takes on a file of `length` bytes, in its order: each byte is copied at
// most once, and no step overwrites a byte that a later step still has to copy.
std::vector<ChunkMove> PlanMoves(const std::vector<Splice>& splices, int64_t length,
                                 int64_t chunkBytes);

// The length of the file once the splices are made.
int64_t LengthAfter(const std::vector<Splice>& splices, int64_t length);

// Rewrites the header's OuterSize and RootSize from the file's current length.
Status RewriteHeaderSizes(AtbFile& file);

}  // namespace atb
