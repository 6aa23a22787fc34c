// One depth-first walk of a table and every table nested in it, in file order, for whatever reads
// the whole tree: checks, dumps and patches. The walk owns the cursors, their shared budget,
// the window small reads go through and the bound on depth; a visitor is told what it meets.
// Memory grows with the depth of the tables, not with their sizes: an explicit stack, since a
// hostile file can nest tables deeper than the call stack reaches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

#include "store/positioned_file.h"
#include "store/table.h"

namespace atb {

// A sound table that the walk holds open.
struct WalkTable {
  int64_t start = 0, end = 0;
  uint32_t count = 0;
  std::size_t level = 0;  // 0 for the table the walk started at
  // The number of the entry holding it, counting entries from 1 as the walk meets them; 0 for
  // the table the walk started at.
  uint64_t holder = 0;
};

class TreeWalk;

class TreeVisitor {
 public:
  virtual ~TreeVisitor() = default;
  // Every entry in file order, as soon as it is read. When walk.Enters(entry), Damaged or
  // EnterTable follows for the table it holds.
  virtual Status Entry(TreeWalk& walk, const CursorEntry& entry) = 0;
  // A sound table, before its entries: the one the walk started at, or the one the entry just
  // met holds.
  virtual Status EnterTable(TreeWalk&, const WalkTable&) { return Status::Ok(); }
  // A sound table, after its entries; the walk no longer holds it.
  virtual Status LeaveTable(TreeWalk&, const WalkTable&) { return Status::Ok(); }
  // A damaged table, which the walk does not go into: the one it started at (no entry), or the
  // one that `entry`, the entry just met, holds.
  virtual Status Damaged(TreeWalk& walk, const CursorEntry* entry, const Status& why) = 0;
};

struct WalkOptions {
  // The window's size; 0 sizes it to the starting table's extent, up to 1 MiB.
  std::size_t window = 0;
  // Whether Pick is asked for: every entry is then noted for it.
  bool picks = false;
  // At most this many tables are held at once; a reference below that is an entry alone.
  std::size_t deepest = SIZE_MAX;
};

class TreeWalk {
 public:
  explicit TreeWalk(ByteSource& source, WalkOptions options = {})
      : source_(source), options_(options) {}

  // Walks the table at [offset, end). Only an I/O error, or what a visitor returns other than
  // Ok, stops the walk; that status is returned.
  Status Run(int64_t offset, int64_t end, TreeVisitor& visitor);

  // Where a visitor reads values: a window over the source, for small reads in ascending order.
  ByteSource& window() { return *window_; }
  // Tables held now, and each of them (0 the outermost).
  std::size_t depth() const { return stack_.size(); }
  const WalkTable& table(std::size_t level) const { return stack_[level].table; }
  // The entry last met in a held table.
  const CursorEntry& entry(std::size_t level) const { return stack_[level].entry; }
  // That entry's place among the entries with its key, or -1 when no other has that key.
  Status Pick(std::size_t level, int32_t* pick);
  // Whether the walk goes into the table that `entry` of the deepest table held holds.
  bool Enters(const CursorEntry& entry) const {
    return entry.Is(EntryType::Reference) && stack_.size() < options_.deepest;
  }
  // Entries met so far.
  uint64_t walked() const { return walked_; }

 private:
  struct Frame {
    EntryCursor cursor;
    KeyPicks picks;
    WalkTable table;
    CursorEntry entry;
  };
  Status Open(int64_t start, int64_t end, uint64_t holder, TreeVisitor& visitor);
  Status Step(TreeVisitor& visitor);

  ByteSource& source_;
  WalkOptions options_;
  std::optional<WindowedSource> window_;
  BlockBudget budget_{8 << 20};
  std::deque<Frame> stack_;
  uint64_t walked_ = 0;
};

}  // namespace atb
