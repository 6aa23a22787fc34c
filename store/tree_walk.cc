#include "store/tree_walk.h"

#include <algorithm>
#include <utility>

namespace atb {

namespace {
constexpr int64_t kLargestWindow = 1 << 20;
}  // namespace

Status TreeWalk::Pick(std::size_t level, int32_t* pick) {
  return stack_[level].picks.Pick(source_, budget_, pick);
}

// Opens the table at [start, end): a damaged one goes to the visitor, a sound one onto the stack.
Status TreeWalk::Open(int64_t start, int64_t end, uint64_t holder, TreeVisitor& visitor) {
  Frame f;
  Status s = f.cursor.Open(*window_, start, end, budget_);
  if (s.ioError()) return s;
  if (s.damaged()) {
    return visitor.Damaged(*this, stack_.empty() ? nullptr : &stack_.back().entry, s);
  }
  f.table = {start, end, f.cursor.count(), stack_.size(), holder};
  if (options_.picks) f.picks.Start(start, f.cursor.count(), f.cursor.keysAscend());
  stack_.push_back(std::move(f));
  return visitor.EnterTable(*this, stack_.back().table);
}

// Takes the next entry of the deepest table held, or leaves that table when it has no more.
Status TreeWalk::Step(TreeVisitor& visitor) {
  Frame& top = stack_.back();
  if (top.cursor.done()) {
    const WalkTable left = top.table;
    stack_.pop_back();
    return visitor.LeaveTable(*this, left);
  }
  CursorEntry& e = top.entry;
  Status s = top.cursor.Next(source_, &e);
  if (!s.ok()) return s;
  ++walked_;
  if (options_.picks) top.picks.Note(e);
  if (!(s = visitor.Entry(*this, e)).ok() || !Enters(e)) return s;
  return Open(e.start, e.end, walked_, visitor);
}

Status TreeWalk::Run(int64_t offset, int64_t end, TreeVisitor& visitor) {
  const std::size_t window =
      options_.window != 0
          ? options_.window
          : static_cast<std::size_t>(std::clamp<int64_t>(end - offset, 1, kLargestWindow));
  window_.emplace(source_, window);
  stack_.clear();
  walked_ = 0;
  Status s = Open(offset, end, 0, visitor);
  while (s.ok() && !stack_.empty()) s = Step(visitor);
  return s;
}

}  // namespace atb
