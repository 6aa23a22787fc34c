#include "tests/atb_builder.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "store/coding.h"
#include "store/table.h"
#include "store/table_builder.h"

namespace atb::build {

Bytes U32(uint32_t v) {
  uint8_t b[4];
  EncodeFixed32(b, v);
  return Bytes(reinterpret_cast<char*>(b), 4);
}

Bytes F32(float v) { return U32(std::bit_cast<uint32_t>(v)); }

Bytes Str(const std::string& s) { return s + '\0'; }

Bytes Wide(const std::u16string& s) {
  Bytes out;
  for (char16_t c : s) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out + Bytes(2, '\0');
}

Entry FloatEntry(uint32_t id, float v) { return {id, 0, F32(v)}; }
Entry BoolEntry(uint32_t id, uint8_t v) { return {id, 2, Bytes(1, static_cast<char>(v))}; }
Entry TextEntry(uint32_t id, const std::string& text, const Bytes& after) {
  return {id, 3, Str(text) + after};
}
Entry WideEntry(uint32_t id, const std::u16string& text) { return {id, 4, Wide(text)}; }
Entry RefEntry(uint32_t id, const Table& nested) { return {id, 100, EncodeTable(nested)}; }
Entry NameEntry(const std::string& name) { return TextEntry(REF_NAME_KEY, name); }

Bytes EncodeTable(const Table& table) {
  TableBuilder builder;
  builder.SetLead(table.lead);
  for (const Entry& e : table.entries) {
    if (e.off) {
      builder.AddWithOff(e.id, e.type, e.value, *e.off);
    } else {
      builder.Add(e.id, e.type, e.value);
    }
  }
  if (table.count) builder.SetCount(*table.count);
  return builder.Finish();
}

namespace {

Bytes AroundRoot(const Bytes& body) {
  Bytes header(HEADER_SIZE, '\0');
  for (int i = 0; i < HEADER_START_SIZE; ++i) header[i] = static_cast<char>(0xA0 + i);
  header.replace(HEADER_MIDDLE_OFFSET, HEADER_MIDDLE_SIZE, "HDRBYTES");
  SetHeaderSizes(&header, HEADER_SIZE + static_cast<int64_t>(body.size()));
  return header + body;
}

}  // namespace

Bytes EncodeFile(const Table& root) { return AroundRoot(EncodeTable(root)); }

Bytes EncodeChainFile(const std::vector<Level>& levels, const Table& bottom) {
  // The last entry's extent runs to the end of its table, so each level's own bytes, with an
  // empty reference last, are followed by the next level's.
  Bytes body;
  for (const Level& level : levels) {
    Table t = level.table;
    t.entries.push_back({level.key, 100, ""});
    body += EncodeTable(t);
  }
  return AroundRoot(body + EncodeTable(bottom));
}

Table DecodeTable(const Bytes& bytes, int64_t offset, int64_t end) {
  MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EntryList list;
  if (!ReadTable(source, offset, end, &list).ok()) {
    throw std::runtime_error("damaged table at " + std::to_string(offset));
  }
  Table t;
  t.lead = bytes.substr(DataStart(offset, list.count),
                        (list.count ? list.Off[0] : end) - DataStart(offset, list.count));
  for (uint32_t i = 0; i < list.count; ++i) {
    t.entries.push_back(
        {list.ID[i], list.Type[i], bytes.substr(list.Off[i], list.Off[i + 1] - list.Off[i])});
  }
  return t;
}

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  // Into space taken once, a block at a time: tests read files of megabytes, often.
  Bytes bytes;
  if (in.seekg(0, std::ios::end)) {
    bytes.reserve(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
    in.seekg(0);
  }
  in.clear();  // what cannot seek is read from where it is
  char block[1 << 16];
  while (in.read(block, sizeof block), in.gcount() > 0) {
    bytes.append(block, static_cast<std::size_t>(in.gcount()));
  }
  return bytes;
}

}  // namespace atb::build
