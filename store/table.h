// Reading a table, and checking that tables can be trusted before anything is read through them.
// A table can hold millions of entries and nest millions deep: the walks here hold a bounded
// block of each open table's entries, never a whole table, and keep only the way down.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/layout.h"
#include "store/positioned_file.h"

namespace atb {

// Reads the table at `offset`, whose extent ends at `endOffset`, into *list: its count, its
// entries with every Off made absolute, and the end sentinel Off[count] = endOffset.
//
// The table is damaged (and *list unusable) when its extent is shorter than a count, when its
// entries do not fit its extent, when an entry's value lies outside the data area, or when the
// values' positions decrease from one entry to the next; the Status then says which. Key order
// is not checked. Any count that fits the extent is held.
//
// The entry block is read in large blocks, together with the count where it fits.
Status ReadTable(ByteSource& source, int64_t offset, int64_t endOffset, EntryList* list);

// Damaged when a file of this length cannot be an attribute file: shorter than a header and a
// table count, or longer than offsets can reach.
Status CheckFileLength(int64_t length);

// What checking a table found besides its soundness.
struct TableShape {
  uint32_t count = 0;
  bool keysAscend = true;  // no key is below the one before it
};

// Checks the table at `offset` as ReadTable does, with the same reasons, holding a block of its
// entries at a time.
Status CheckTable(ByteSource& source, int64_t offset, int64_t endOffset, TableShape* shape);

// Memory that the open tables of one walk share for their blocks: a table gets what it asks for
// while the walk holds less than the budget, and a small block after that, so that a walk down
// many large tables holds a bounded amount.
class BlockBudget {
 public:
  explicit BlockBudget(std::size_t bytes) : left_(static_cast<int64_t>(bytes)) {}
  // Between `least` and `want` bytes; give them back when done.
  std::size_t Take(std::size_t want, std::size_t least);
  void Give(std::size_t bytes) { left_ += static_cast<int64_t>(bytes); }

 private:
  int64_t left_;  // below zero once tables hold their least beyond the budget
};

// One entry as a cursor reads it: its number, key, type and extent, and the next entry's key.
struct CursorEntry {
  uint32_t index = 0;
  uint32_t ID = 0;
  uint32_t Type = 0;
  int64_t start = 0, end = 0;
  bool hasNext = false;
  uint32_t nextID = 0;

  bool Is(EntryType type) const { return Type == static_cast<uint32_t>(type); }
};

// The entries of one table, checked first and then read in order a block at a time.
class EntryCursor {
 public:
  EntryCursor() = default;
  ~EntryCursor();
  EntryCursor(EntryCursor&& other) noexcept;
  EntryCursor& operator=(EntryCursor&& other) noexcept;

  // Checks the table at `offset` (as CheckTable) and places the cursor before its first entry.
  // The cursor's block comes from `budget`, which must outlive it.
  Status Open(ByteSource& source, int64_t offset, int64_t endOffset, BlockBudget& budget);

  uint32_t count() const { return count_; }
  bool keysAscend() const { return keysAscend_; }
  bool done() const { return next_ == count_; }

  // Reads the next entry. An I/O error when the table is no longer what Open checked (another
  // program changed the file).
  Status Next(ByteSource& source, CursorEntry* entry);

 private:
  void Release();
  int64_t table_ = 0, end_ = 0;
  uint32_t count_ = 0, next_ = 0;
  bool keysAscend_ = true;
  uint32_t blockEntries_ = 0;  // how many entries a block read takes
  int64_t blockAt_ = 0;        // where `block_` was read from
  std::vector<uint8_t> block_;
  BlockBudget* budget_ = nullptr;
  std::size_t taken_ = 0;
};

// Which of several entries with one key an entry is, in file order: what a path's "[k]" says.
// Every entry of the table is noted in order; the pick is asked for the one noted last. Keys
// that ascend need nothing more; otherwise the picks of a block of entries are worked out by
// reading the table's keys again, one block at a time.
class KeyPicks {
 public:
  void Start(int64_t table, uint32_t count, bool keysAscend);
  void Note(const CursorEntry& entry);
  // Its place among the entries with its key, or -1 when no other entry has that key.
  Status Pick(ByteSource& source, BlockBudget& budget, int32_t* pick);

 private:
  // For keys that do not ascend: the picks of the entries from `first` on.
  struct Block {
    ~Block();
    int64_t table = 0;
    uint32_t count = 0, first = 0;
    std::vector<int32_t> picks;
    BlockBudget* budget = nullptr;
    std::size_t taken = 0;
  };
  bool ascend_ = true;
  uint32_t index_ = 0, key_ = 0, runStart_ = 0;
  int32_t sortedPick_ = -1;
  std::unique_ptr<Block> block_;
};

// Damage deeper than this many steps keeps only its last step: a way kept whole for each of many
// damaged tables deep down would grow with the square of the depth.
inline constexpr std::size_t kDamageSteps = 64;

// A damaged table found by CheckTree: the way to it from the table the check started at (for each
// step the entry number, its key and its pick among the entries with that key, or -1; only the
// last step when there are more than kDamageSteps), and what is wrong with it.
struct TableDamage {
  std::vector<uint32_t> trail;
  std::string reason;
  std::vector<uint32_t> keys;
  std::vector<int32_t> picks;
  std::size_t depth = 0;  // steps on the way
  // The number of the reference that holds the table of the last step's entry, counting entries
  // from 1 as a depth-first walk meets them (see CountEntries); 0 for the table the check
  // started at.
  uint64_t holder = 0;
};

// "root table", or "table 0/3" for the table of entry 3 of the table of entry 0 of the root.
std::string DescribeTrail(const std::vector<uint32_t>& trail);

// Checks the table and every table nested in it through Reference entries, at any depth, reading
// tables only, never values. Damaged when any table is, with the first one's place and reason as
// the message; when `damage` is given, every damaged table is added to it, in file order (the
// tables inside a damaged one cannot be reached). An I/O error stops the check. Holds the way
// down and a bounded block of each table on it.
Status CheckTree(ByteSource& source, int64_t offset, int64_t endOffset,
                 std::vector<TableDamage>* damage = nullptr);

// How many entries lie in the sound table at [offset, endOffset) and in every sound table nested
// in it, at any depth: what a depth-first walk in file order meets, which does not go into a
// damaged table. Damaged tables count nothing; an I/O error stops the count.
Status CountEntries(ByteSource& source, int64_t offset, int64_t endOffset, uint64_t* count);

// Entry i of a sound table with `count` entries, as a cursor would read it.
Status ReadEntryAt(ByteSource& source, int64_t offset, int64_t endOffset, uint32_t count,
                   uint32_t i, CursorEntry* entry);

// Where the lead of a sound table with `count` entries ends: at its first value, or at the end
// of its extent when it has no entry. The lead starts at DataStart(offset, count).
Status FindLeadEnd(ByteSource& source, int64_t offset, int64_t endOffset, uint32_t count,
                   int64_t* leadEnd);

// The first entry of a sound table keyed `key`: *found, and its extent [*start, *end).
Status FindFirstKey(ByteSource& source, int64_t offset, int64_t endOffset, uint32_t key,
                    bool* found, int64_t* start, int64_t* end);

// The name under which a reference is shown, for the sound table at [offset, endOffset) that it
// holds: the bytes at the value of the table's first entry keyed REF_NAME_KEY, whatever that
// entry's type, up to the first zero byte and at most REF_NAME_LIMIT of them. They are read from
// the value's position whatever its extent, as the dialogue's listing has always read them
// (beyond the end of the file they read as zero). *found is false when no entry has that key.
Status ReadReferenceName(ByteSource& source, int64_t offset, int64_t endOffset, bool* found,
                         std::string* name);

}  // namespace atb
