// Lays out a table's bytes (doc/format.md): its count, its entry records, its lead and its data
// area. Every writer of whole tables, and of entry records, goes through here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/layout.h"

namespace atb {

class TableBuilder {
 public:
  // The bytes of the data area in front of the first value, which belong to no entry. May be
  // given at any time before the head is taken: every Off moves behind it then.
  void SetLead(std::string lead) { lead_ = std::move(lead); }
  // An entry whose value (its whole extent) follows the values added before it.
  void Add(uint32_t key, uint32_t type, std::string_view value);
  // An entry of `size` bytes whose value the caller writes behind the head itself.
  void AddSized(uint32_t key, uint32_t type, int64_t size);
  // An entry whose stored Off is `off`, wherever its value lies: for tables damaged on purpose.
  void AddWithOff(uint32_t key, uint32_t type, std::string_view value, uint32_t off);
  // A stored count other than the number of entries, likewise.
  void SetCount(uint32_t count) { count_ = count; }

  uint32_t count() const { return static_cast<uint32_t>(records_.size() / ENTRY_SIZE); }
  // What the values take, without the lead; and the lead.
  int64_t valuesSize() const { return valuesSize_; }
  int64_t leadSize() const { return static_cast<int64_t>(lead_.size()); }
  // Where entry i's value lies, counted from the first value (the lead left out).
  uint32_t ValueOffset(uint32_t i) const;

  // The count, the entry records and the lead: everything in front of the first value.
  std::string Head() const;
  // The whole table: the head and the values given to Add.
  std::string Finish() const { return Head() + values_; }

  // What a head of `count` entries and a lead of `lead` bytes takes.
  static int64_t HeadSize(int64_t count, int64_t lead) {
    return COUNT_SIZE + ENTRY_SIZE * count + lead;
  }
  // Appends one entry record as stored.
  static void AppendRecord(std::string* out, const TableEntry& entry);

 private:
  void Record(uint32_t key, uint32_t type, int64_t size);

  std::string records_;  // Offs counted from the first value
  std::string lead_, values_;
  int64_t valuesSize_ = 0;
  std::optional<uint32_t> count_;
  std::vector<std::pair<uint32_t, uint32_t>> storedOffs_;  // entry and its Off, as given
};

}  // namespace atb
