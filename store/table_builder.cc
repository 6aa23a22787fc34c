#include "store/table_builder.h"

#include "store/coding.h"

namespace atb {

void TableBuilder::AppendRecord(std::string* out, const TableEntry& entry) {
  uint8_t bytes[ENTRY_SIZE];
  EncodeFixed32(bytes, entry.ID);
  EncodeFixed32(bytes + 4, entry.Type);
  EncodeFixed32(bytes + 8, entry.Off);
  out->append(reinterpret_cast<char*>(bytes), sizeof bytes);
}

void TableBuilder::Record(uint32_t key, uint32_t type, int64_t size) {
  AppendRecord(&records_, {key, type, static_cast<uint32_t>(valuesSize_)});
  valuesSize_ += size;
}

void TableBuilder::Add(uint32_t key, uint32_t type, std::string_view value) {
  Record(key, type, static_cast<int64_t>(value.size()));
  values_.append(value);
}

void TableBuilder::AddSized(uint32_t key, uint32_t type, int64_t size) { Record(key, type, size); }

void TableBuilder::AddWithOff(uint32_t key, uint32_t type, std::string_view value, uint32_t off) {
  storedOffs_.emplace_back(count(), off);
  Add(key, type, value);
}

uint32_t TableBuilder::ValueOffset(uint32_t i) const {
  return DecodeFixed32(reinterpret_cast<const uint8_t*>(records_.data()) + ENTRY_SIZE * i + 8);
}

std::string TableBuilder::Head() const {
  std::string head(COUNT_SIZE, '\0');
  auto* count = reinterpret_cast<uint8_t*>(head.data());
  EncodeFixed32(count, count_.value_or(this->count()));
  head.reserve(static_cast<std::size_t>(HeadSize(this->count(), 0)) + lead_.size());
  head += records_;
  auto* records = reinterpret_cast<uint8_t*>(head.data() + COUNT_SIZE);
  const auto lead = static_cast<uint32_t>(lead_.size());
  for (uint32_t i = 0; i < this->count(); ++i) {
    uint8_t* off = records + ENTRY_SIZE * i + 8;
    EncodeFixed32(off, DecodeFixed32(off) + lead);
  }
  for (const auto& [i, off] : storedOffs_) EncodeFixed32(records + ENTRY_SIZE * i + 8, off);
  head += lead_;
  return head;
}

}  // namespace atb
