// The difference between two attribute files as a patch (patches/patch.h): tables are compared
// entry by entry, matched by key in order, and only what differs is written. A reference whose
// table is sound on both sides is compared inside; anything else that differs is one change.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "store/layout.h"
#include "store/positioned_file.h"
#include "text/dump.h"
#include "text/key_names.h"

namespace atb {

// The entries of `a` and `b` (tables of the files `aFile` and `bFile`) matched by key, in order:
// pairs of indices, ascending in both, found cheaply where the keys ascend. Where a key repeats
// (a list), entries alike in key, type and bytes are matched first, and the keys pair up the rest
// between them; only then are values read.
Status MatchEntries(ByteSource& aFile, const EntryList& a, ByteSource& bFile, const EntryList& b,
                    std::vector<std::pair<uint32_t, uint32_t>>* out);

// Reads a file that is walked in file order: small reads through a window, large ones (extents
// compared in chunks) straight from the file.
class ComparingReader : public ByteSource {
 public:
  explicit ComparingReader(ByteSource& base);
  Status ReadAt(int64_t pos, void* buf, std::size_t n) override;

 private:
  ByteSource& base_;
  WindowedSource window_;
};

// Whether the bytes [aStart, aEnd) of `a` equal the bytes [bStart, bEnd) of `b`.
Status SameBytes(ByteSource& a, int64_t aStart, int64_t aEnd, ByteSource& b, int64_t bStart,
                 int64_t bEnd, bool* same);

// Writes the patch that turns the file `a` into `b` to `sink`, and counts its changes. Refused,
// saying why, when a patch cannot describe the difference (a root table that is damaged);
// nothing is then written. Where b's header sizes do not follow its length, the patch gives
// sizes that do, as every change does, and *staleSizes says so. A `reversible` patch gives every
// old value whole, and every removed entry's neighbours, so that ReversePatch can undo it.
Status WritePatch(ByteSource& a, int64_t aLength, ByteSource& b, int64_t bLength,
                  const KeyNames& names, Sink& sink, int64_t* changes, bool* staleSizes = nullptr,
                  bool reversible = false);

}  // namespace atb
