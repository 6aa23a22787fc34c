#include "store/moves.h"

#include <algorithm>

namespace atb {

std::vector<ChunkMove> PlanMoves(const std::vector<Splice>& splices, int64_t length,
                                 int64_t chunkBytes) {
  // Segment j lies between splice j - 1 and splice j (the last one runs to the end) and moves by
  // the growth of every splice in front of it.
  struct Segment {
    int64_t from, to, shift;
  };
  std::vector<Segment> segments;
  int64_t shift = 0;
  for (std::size_t j = 0; j < splices.size(); ++j) {
    shift += splices[j].inserted - splices[j].removed;
    const int64_t from = splices[j].pos + splices[j].removed;
    const int64_t to = j + 1 < splices.size() ? splices[j + 1].pos : length;
    if (from < to && shift != 0) segments.push_back({from, to, shift});
  }
  std::vector<ChunkMove> moves;
  // A segment moving down can only overwrite bytes in front of it, whose segments moved down
  // before it (left to right), each from its start; one moving up only bytes behind it, whose
  // segments moved up before it (right to left), each from its end. Down moves never reach a
  // segment that moves up, nor up moves one that moves down, so the two passes can go in this
  // order.
  for (const Segment& g : segments) {
    if (g.shift > 0) continue;
    for (int64_t at = g.from; at < g.to; at += chunkBytes) {
      const int64_t n = std::min(g.to - at, chunkBytes);
      moves.push_back({at, at + g.shift, n});
    }
  }
  for (auto g = segments.rbegin(); g != segments.rend(); ++g) {
    if (g->shift < 0) continue;
    for (int64_t stop = g->to; stop > g->from; stop -= chunkBytes) {
      const int64_t n = std::min(stop - g->from, chunkBytes);
      moves.push_back({stop - n, stop - n + g->shift, n});
    }
  }
  return moves;
}

int64_t LengthAfter(const std::vector<Splice>& splices, int64_t length) {
  for (const Splice& s : splices) length += s.inserted - s.removed;
  return length;
}

Status CopyMoves(AtbFile& file, const std::vector<ChunkMove>& moves, std::size_t first,
                 const std::vector<uint8_t*>& buffers, const MoveHooks& hooks) {
  for (std::size_t start = first; start < moves.size(); start += buffers.size()) {
    const std::size_t end = std::min(moves.size(), start + buffers.size());
    // Sources of later steps are never written by earlier ones: reading them all first gives
    // the same bytes.
    for (std::size_t i = start; i < end; ++i) {
      Status s =
          file.ReadAt(moves[i].from, buffers[i - start], static_cast<std::size_t>(moves[i].size));
      if (!s.ok()) return s;
    }
    if (hooks.before) {
      Status s = hooks.before(start, end, buffers.data());
      if (!s.ok()) return s;
    }
    for (std::size_t i = start; i < end; ++i) {
      const ChunkMove& m = moves[i];
      Status s = file.WriteAt(m.to, buffers[i - start], static_cast<std::size_t>(m.size));
      if (s.ok() && hooks.after) s = hooks.after(i, m, buffers[i - start]);
      if (!s.ok()) return s;
    }
  }
  return Status::Ok();
}

}  // namespace atb
