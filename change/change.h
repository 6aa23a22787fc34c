// A change to an open attribute file, made as one unit: values replaced (the file growing or
// shrinking with them), entries added and entries taken out, anywhere in the tree. Given the chain
// of tables from the root to each changed entry, the change makes space or closes it, writes the
// new bytes, and carries every difference into the counts and offsets of every enclosing table and
// into the header's sizes. Both front ends make their changes through it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "change/journal.h"
#include "store/positioned_file.h"

namespace atb {

// One table on the way from the root to a change: where it lies, where its extent ends, and the
// entry chosen in it (the reference descended into, or the entry changed).
struct TableLink {
  int64_t table;
  int64_t end;
  uint32_t entry;
};
using TableChain = std::vector<TableLink>;

class Change {
 public:
  // Replaces the `removed` bytes at absolute position `pos`, which lie within the extent of the
  // chain's last entry, by `bytes`.
  void Replace(TableChain chain, int64_t pos, int64_t removed, std::string bytes);

  // Adds an entry to the table of the chain's last link (whose `entry` is not used), in front of
  // the first entry whose key is greater (unsigned), or last, with `value` as its extent, lying
  // in front of that entry's value. Entries added at one place go in the order of their keys.
  void Insert(TableChain chain, uint32_t key, uint32_t type, std::string value);
  // The same, with the first `size` bytes of `source` as its extent, read while the change is
  // made and never held whole; with `table`, they must be a sound table. `source` must live
  // until Apply returns.
  void Insert(TableChain chain, uint32_t key, uint32_t type, ByteSource& source, int64_t size,
              bool table);

  // Takes the chain's last entry out of its table: its 12 bytes out of the entry block and its
  // extent out of the data area (for a reference, its whole nested table).
  void Remove(TableChain chain);

  // Adds an entry in front of entry `before` of the table of the chain's last link (or last, with
  // `before` = its count), its value in front of that entry's value. Entries added in front of
  // one entry this way go in the order they were asked for, behind those placed by key.
  void InsertAt(TableChain chain, uint32_t before, uint32_t key, uint32_t type, std::string value);
  // Replaces the bytes of the table of the chain's last link that lie in front of its first
  // value (all of its data area when it has no entries).
  void ReplaceLead(TableChain chain, std::string bytes);
  // Gives the chain's last entry another type; its extent stays as it is unless replaced too.
  void SetType(TableChain chain, uint32_t type);
  // Writes the header's 52 bytes, but for its two sizes, which follow the file's new length.
  void SetHeader(std::string header);

  bool empty() const { return edits_.empty() && header_.empty(); }

  // Checks everything first, then changes the target's file through its journal (see
  // change/journal.h). With the file untouched: damaged when a table on a chain is; refused when
  // a chain does not fit the file (a link is not a reference, a range is not inside its entry's
  // extent), when two edits overlap (an entry taken out overlaps every edit inside it), or when
  // the journal cannot be written; too large when the file would outgrow 32-bit offsets; no
  // space when the disk cannot hold the change. An I/O error after the file began to change
  // leaves the journal for the next open to finish the change. The file's position is left
  // unspecified.
  Status Apply(ChangeTarget& target) const;

  // The most bytes one step of the move copies; tests make it small.
  void set_chunk_bytes(int64_t bytes) { chunkBytes_ = bytes; }

 private:
  struct Edit {
    enum Kind { kReplace, kInsert, kRemove, kLead, kType } kind = kReplace;
    TableChain chain;
    int64_t pos = 0, removed = 0;  // a replacement
    uint32_t key = 0, type = 0;    // an added entry, or a new type
    int64_t before = -1;           // an added entry's place, when not found by its key
    std::string bytes;
    ByteSource* source = nullptr;  // instead of bytes: its first `size` bytes
    int64_t size = 0;
    bool table = false;
    int64_t Size() const { return source != nullptr ? size : static_cast<int64_t>(bytes.size()); }
  };
  class Planner;  // turns the edits into the plan the journal carries out
  std::vector<Edit> edits_;
  std::string header_;
  int64_t chunkBytes_ = 1 << 20;
};

}  // namespace atb
