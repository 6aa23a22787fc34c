#include "change/move_plan.h"

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

uint64_t CountMoves(const std::vector<Splice>& splices, int64_t length, int64_t chunkBytes) {
  uint64_t count = 0;
  int64_t shift = 0;
  for (std::size_t j = 0; j < splices.size(); ++j) {
    shift += splices[j].inserted - splices[j].removed;
    const int64_t from = splices[j].pos + splices[j].removed;
    const int64_t to = j + 1 < splices.size() ? splices[j + 1].pos : length;
    if (from < to && shift != 0)
      count += static_cast<uint64_t>((to - from + chunkBytes - 1) / chunkBytes);
  }
  return count;
}

}  // namespace atb
