// An attribute file with edits laid over its tree, as a patch or a merge asks for them one after
// another, each seeing the ones before: entries given new values or types, added and taken out,
// tables' leads and the header replaced. Only the tables that the edits reach are read; nothing
// is written until Commit makes all of them one change through the change layer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "change/change.h"
#include "store/layout.h"
#include "store/positioned_file.h"

namespace atb {

class EditedFile {
 public:
  // A table as the edits so far leave it: the file's own (read once reached), or one held in
  // memory (added, or given new bytes, and then reached by a later edit).
  class Table;

  // `file` is the attribute file of `length` bytes; it must stay open until Commit returns.
  EditedFile(PositionedFile& file, int64_t length);
  ~EditedFile();
  EditedFile(const EditedFile&) = delete;
  EditedFile& operator=(const EditedFile&) = delete;

  // The root table; damaged when it is.
  Status Root(Table** root);
  // The nested table of entry i, a reference; damaged when its bytes are no sound table.
  Status Nested(Table& t, uint32_t i, Table** nested);

  // An entry found by its number: the references on the way down from the root, each as its
  // table and its index there, and then the entry itself.
  struct Way {
    std::vector<std::pair<Table*, uint32_t>> steps;
    std::size_t depth = 0;  // tables from the root to the entry's own, that included
  };
  // Finds the entries numbered `numbers` (ascending) as dump numbers the entries of the file the
  // edits leave, from 1, depth first in file order, none inside a damaged table. (*ways)[k] is
  // the way to numbers[k]: depth 0 for a number beyond the last entry, and only the depth for
  // one deeper than `deepest`. *walked is the count of entries up to the last one found, or of
  // all of them.
  Status FindNumbered(const std::vector<uint64_t>& numbers, std::size_t deepest,
                      std::vector<Way>* ways, uint64_t* walked);

  static uint32_t Count(const Table& t);
  // The entries with `key`, in order; found by halving where the table's keys ascend.
  static void EntriesWithKey(const Table& t, uint32_t key, std::vector<uint32_t>* out);
  static uint32_t Key(const Table& t, uint32_t i);
  static uint32_t Type(const Table& t, uint32_t i);
  // Entry i's extent as it stands: its size, and its bytes in pieces.
  int64_t Size(const Table& t, uint32_t i) const;
  Status ForEachPiece(const Table& t, uint32_t i,
                      const std::function<void(std::string_view)>& fn) const;
  Status Extent(const Table& t, uint32_t i, std::string* bytes) const;
  // The bytes in front of the table's first value.
  Status Lead(const Table& t, std::string* bytes) const;
  // The header as it stands: its sizes follow the length once anything changed it.
  const std::string& header() const { return header_; }
  int64_t length() const { return length_; }
  int64_t originalLength() const { return originalLength_; }

  void Set(Table& t, uint32_t i, uint32_t type, std::string extent);
  void Insert(Table& t, uint32_t before, uint32_t key, uint32_t type, std::string extent);
  void Remove(Table& t, uint32_t i);
  void SetLead(Table& t, std::string bytes);
  // The header's 52 bytes; its sizes are made to follow the length.
  void SetHeader(std::string header);

  // Every edit, as one change to the target (whose file is the one read).
  Status Commit(ChangeTarget& target);

 private:
  int64_t TableSize(const Table& t) const;
  Status ForEachTablePiece(const Table& t, const std::function<void(std::string_view)>& fn) const;
  Status Encode(const Table& t, std::string* bytes) const;
  Status Plan(const Table& t, TableChain chain, Change* change) const;
  void Edited(Table& t);
  void FollowLength();

  PositionedFile& file_;
  int64_t originalLength_, length_;
  std::unique_ptr<Table> root_;
  std::string header_, originalHeader_;
  bool headerSet_ = false;
};

}  // namespace atb
