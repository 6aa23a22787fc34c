#include "companion/json_form.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "companion/json_position.h"
#include "companion/paths.h"
#include "companion/value_text.h"
#include "store/coding.h"
#include "store/table.h"

namespace atb {

namespace {

// A float value is read again from its own text (ParseFloatText), so that it is rounded once and
// a number beyond the float range is refused rather than made an infinity or zero.
using Json = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t,
                                  std::uint64_t, double>;

constexpr std::size_t kWindow = 1 << 20;
constexpr int64_t kBase64Chunk = 3 << 18;  // whole groups of three bytes
constexpr const char* kFollowsLength = "follows length";
constexpr const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void AppendJsonString(std::string* out, std::string_view utf8) {
  out->push_back('"');
  for (char c : utf8) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\r':
        out->append("\\r");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(c));
          out->append(esc);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

Status AppendBase64Extent(ByteSource& file, int64_t start, int64_t end, Sink& sink) {
  sink.buf().push_back('"');
  std::string chunk;
  for (int64_t at = start; at < end;) {
    const int64_t n = std::min(end - at, kBase64Chunk);
    chunk.resize(static_cast<std::size_t>(n));
    Status s = file.ReadAt(at, chunk.data(), chunk.size());
    if (!s.ok()) return s;
    AppendBase64(&sink.buf(), chunk);
    sink.Spill();
    at += n;
  }
  sink.buf().push_back('"');
  return Status::Ok();
}

std::string TypeName(uint32_t type) {
  switch (static_cast<EntryType>(type)) {
    case EntryType::Float:
      return "\"float\"";
    case EntryType::Bool:
      return "\"bool\"";
    case EntryType::Text:
      return "\"text\"";
    case EntryType::LocalizedText:
      return "\"localized\"";
    case EntryType::Reference:
      return "\"ref\"";
    default:
      return std::to_string(type);
  }
}

// Appends `, "value": ...` (and trailing bytes) when the extent is exactly a value of its type,
// else `, "bytes": ...`.
Status AppendJsonValue(ByteSource& file, uint32_t type, int64_t start, int64_t end, Sink& sink) {
  std::string& out = sink.buf();
  const int64_t size = end - start;
  const auto kind = static_cast<EntryType>(type);
  int64_t valueEnd = -1;  // where the value's bytes end, when there is a readable value
  std::string value;
  if (kind == EntryType::Float && size >= 4) {
    uint8_t raw[4];
    Status s = file.ReadAt(start, raw, 4);
    if (!s.ok()) return s;
    const uint32_t bits = DecodeFixed32(raw);
    const float f = std::bit_cast<float>(bits);
    if (!std::isfinite(f)) {
      AppendJsonString(&value, FormatFloatBits(bits));
    } else if (f == 0 && std::signbit(f)) {
      value = "-0.0";  // "-0" would read back as the integer 0
    } else {
      value = FormatFloatBits(bits);
    }
    valueEnd = start + 4;
  } else if (kind == EntryType::Bool && size >= 1) {
    uint8_t byte;
    Status s = file.ReadAt(start, &byte, 1);
    if (!s.ok()) return s;
    value = std::to_string(byte);
    valueEnd = start + 1;
  } else if ((kind == EntryType::Text || kind == EntryType::LocalizedText) && size > 0) {
    std::string raw(static_cast<std::size_t>(size), '\0');
    Status s = file.ReadAt(start, raw.data(), raw.size());
    if (!s.ok()) return s;
    if (kind == EntryType::Text) {
      std::size_t zero = raw.find('\0');
      if (zero != std::string::npos && IsValidUtf8(std::string_view(raw).substr(0, zero))) {
        AppendJsonString(&value, std::string_view(raw).substr(0, zero));
        valueEnd = start + static_cast<int64_t>(zero) + 1;
      }
    } else {
      std::vector<uint16_t> units;
      std::size_t k = 0;
      for (; k + 1 < raw.size(); k += 2) {
        auto u = static_cast<uint16_t>(static_cast<uint8_t>(raw[k]) |
                                       static_cast<uint8_t>(raw[k + 1]) << 8);
        if (u == 0) break;
        units.push_back(u);
      }
      std::string utf8;
      if (k + 1 < raw.size() && Utf16ToUtf8(units, &utf8)) {
        AppendJsonString(&value, utf8);
        valueEnd = start + static_cast<int64_t>(k) + 2;
      }
    }
  }
  if (valueEnd < 0) {
    out.append(", \"bytes\": ");
    return AppendBase64Extent(file, start, end, sink);
  }
  out.append(", \"value\": ");
  out.append(value);
  if (valueEnd < end) {
    out.append(", \"trailing\": ");
    return AppendBase64Extent(file, valueEnd, end, sink);
  }
  return Status::Ok();
}

void AppendIndent(std::string* out, std::size_t depth) { out->append(2 * depth + 2, ' '); }

// What a table holds in front of its first value, as `"lead": ..., ` when there is any.
Status AppendLead(ByteSource& file, int64_t table, int64_t end, uint32_t count, Sink& sink) {
  const int64_t data = DataStart(table, count);
  int64_t first = end;
  if (count > 0) {
    CursorEntry entry;
    Status s = ReadEntryAt(file, table, end, count, 0, &entry);
    if (!s.ok()) return s;
    first = entry.start;
  }
  if (first == data) return Status::Ok();
  sink.buf().append("\"lead\": ");
  Status s = AppendBase64Extent(file, data, first, sink);
  sink.buf().append(", ");
  return s;
}

Status AppendDamagedTable(ByteSource& file, int64_t start, int64_t end, const Status& why,
                          Sink& sink) {
  sink.buf().append("{\"damaged\": ");
  AppendJsonString(&sink.buf(), why.Message());
  sink.buf().append(", \"bytes\": ");
  Status s = AppendBase64Extent(file, start, end, sink);
  sink.buf().push_back('}');
  return s;
}

struct JsonFrame {
  EntryCursor cursor;
  bool first = true;
};

// What the open tables' blocks of entries may hold at once.
constexpr std::size_t kBlockBudget = 8 << 20;

// Building.

struct BuildError {
  std::string where;
  std::string what;
  bool atName = false;  // the position shown is that of the member's name, not its value
};

// What building reads besides the tree: the document's text, for numbers and positions.
struct BuildSource {
  std::string_view text;
  const KeyNames& names;
};

// A hand-written document meets its typing mistakes here, not in a silently different file.
void CheckFields(const Json& object, std::initializer_list<const char*> known,
                 const std::string& where, const char* what) {
  for (const auto& [name, value] : object.items()) {
    bool found = false;
    for (const char* k : known) found = found || name == k;
    if (found) continue;
    std::string list;
    for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
    throw BuildError{where + "/" + PointerToken(name),
                     "unknown field \"" + name + "\" (" + what + " has " + list + ")", true};
  }
}

std::string Pointer(const std::string& where, const std::string& key) { return where + "/" + key; }

const Json& Member(const Json& object, const char* key, const std::string& where) {
  if (!object.is_object()) throw BuildError{where, "an object was expected"};
  auto it = object.find(key);
  if (it == object.end()) throw BuildError{where, std::string("\"") + key + "\" is missing"};
  return *it;
}

std::string Bytes64(const Json& v, const std::string& where) {
  std::string bytes;
  if (!v.is_string() || !DecodeBase64(v.get_ref<const std::string&>(), &bytes)) {
    throw BuildError{where, "base64 bytes were expected"};
  }
  return bytes;
}

uint32_t Uint32(const Json& v, const std::string& where) {
  if (!v.is_number_unsigned() || v.get<uint64_t>() > 0xFFFFFFFFu) {
    throw BuildError{where, "a whole number from 0 to 4294967295 was expected"};
  }
  return static_cast<uint32_t>(v.get<uint64_t>());
}

uint32_t KeyOf(const Json& v, const KeyNames& names, const std::string& where) {
  if (!v.is_string()) return Uint32(v, where);
  std::vector<PathElement> elements;
  std::string error;
  const auto& word = v.get_ref<const std::string&>();
  if (word.find('/') != std::string::npos || !ParsePath(word, &elements, &error) ||
      elements.size() != 1 || elements[0].pick || elements[0].kind == PathElement::kEntryNumber) {
    throw BuildError{where, "a key (a number, a label or a name) was expected"};
  }
  return elements[0].kind == PathElement::kKey ? elements[0].number
                                               : names.KeyOfWord(elements[0].word);
}

uint32_t TypeOf(const Json& v, const std::string& where) {
  if (v.is_string()) {
    const auto& name = v.get_ref<const std::string&>();
    if (name == "float") return static_cast<uint32_t>(EntryType::Float);
    if (name == "bool") return static_cast<uint32_t>(EntryType::Bool);
    if (name == "text") return static_cast<uint32_t>(EntryType::Text);
    if (name == "localized") return static_cast<uint32_t>(EntryType::LocalizedText);
    if (name == "ref") return static_cast<uint32_t>(EntryType::Reference);
    throw BuildError{where, "a type (float, bool, text, localized, ref or a number) was expected"};
  }
  return Uint32(v, where);
}

// Tables nest by recursion here; deeper than this, the call stack could run out.
constexpr int kDeepestTable = 2000;

std::string BuildTable(const Json& table, const BuildSource& src, const std::string& where,
                       int depth);

// Raw bytes that stand for a table must be a sound one, unless the document says it is damaged
// (as dump does, so that a damaged file rebuilds byte for byte).
void CheckTableBytes(const Json& holder, const std::string& bytes, const std::string& where) {
  if (holder.contains("damaged")) return;
  MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  Status s = CheckTree(source, 0, static_cast<int64_t>(bytes.size()));
  if (!s.ok()) {
    throw BuildError{
        where, "not a sound table (" + s.Message() + "); mark it \"damaged\" to keep it as it is"};
  }
}

std::string ValueBytes(const Json& entry, uint32_t type, const BuildSource& src,
                       const std::string& where) {
  const Json& v = Member(entry, "value", where);
  const std::string at = Pointer(where, "value");
  std::string bytes;
  switch (static_cast<EntryType>(type)) {
    case EntryType::Float: {
      uint32_t bits;
      std::string why;
      if (v.is_number()) {
        const std::size_t pos = FindJsonValue(src.text, at);
        if (pos == std::string_view::npos ||
            !ParseFloatText(JsonNumberAt(src.text, pos), &bits, &why)) {
          throw BuildError{at, why.empty() ? "a float was expected" : why};
        }
      } else if (!v.is_string()) {
        throw BuildError{at, "a float was expected"};
      } else if (!ParseFloatText(v.get_ref<const std::string&>(), &bits, &why)) {
        throw BuildError{at, why};
      }
      for (int k = 0; k < 4; ++k) bytes.push_back(static_cast<char>(bits >> (8 * k)));
      break;
    }
    case EntryType::Bool: {
      if (v.is_boolean()) {
        bytes.push_back(v.get<bool>() ? 1 : 0);
      } else if (v.is_number_unsigned() && v.get<uint64_t>() <= 255) {
        bytes.push_back(static_cast<char>(v.get<uint64_t>()));
      } else {
        throw BuildError{at, "a bool (true, false or a byte from 0 to 255) was expected"};
      }
      break;
    }
    case EntryType::Text: {
      if (!v.is_string()) throw BuildError{at, "a text was expected"};
      bytes = v.get<std::string>();
      if (bytes.find('\0') != std::string::npos) {
        throw BuildError{at, "a text cannot hold a zero character"};
      }
      bytes.push_back('\0');
      break;
    }
    case EntryType::LocalizedText: {
      std::vector<uint16_t> units;
      if (!v.is_string() || !Utf8ToUtf16(v.get_ref<const std::string&>(), &units)) {
        throw BuildError{at, "a text was expected"};
      }
      units.push_back(0);
      for (std::size_t k = 0; k < units.size(); ++k) {
        if (units[k] == 0 && k + 1 < units.size()) {
          throw BuildError{at, "a localized text cannot hold a zero character"};
        }
        bytes.push_back(static_cast<char>(units[k] & 0xFF));
        bytes.push_back(static_cast<char>(units[k] >> 8));
      }
      break;
    }
    default:
      throw BuildError{where, "an entry of this type takes \"bytes\", not \"value\""};
  }
  if (entry.contains("trailing")) bytes += Bytes64(entry["trailing"], Pointer(where, "trailing"));
  return bytes;
}

std::string EntryBytes(const Json& entry, uint32_t type, const BuildSource& src,
                       const std::string& where, int depth) {
  if (entry.contains("bytes")) {
    if (entry.contains("value") || entry.contains("table")) {
      throw BuildError{where, "an entry has either \"bytes\" or its value, not both"};
    }
    std::string bytes = Bytes64(entry["bytes"], Pointer(where, "bytes"));
    if (type == static_cast<uint32_t>(EntryType::Reference)) {
      CheckTableBytes(entry, bytes, Pointer(where, "bytes"));
    }
    return bytes;
  }
  if (type == static_cast<uint32_t>(EntryType::Reference)) {
    return BuildTable(Member(entry, "table", where), src, Pointer(where, "table"), depth + 1);
  }
  return ValueBytes(entry, type, src, where);
}

// A label is for the reader; one that names another key is a mistake.
void CheckLabel(const Json& entry, uint32_t key, const KeyNames& names, const std::string& where) {
  if (!entry.contains("label")) return;
  const Json& label = entry["label"];
  if (!label.is_string()) throw BuildError{where, "a text was expected"};
  const auto& text = label.get_ref<const std::string&>();
  if (names.NameOf(key) == text || names.KeyOfWord(text) == key) return;
  const std::string_view own = names.NameOf(key);
  throw BuildError{
      where, "the label \"" + text + "\" is not that of key " + std::to_string(key) +
                 (own.empty() ? std::string(" (it has none)") : " (\"" + std::string(own) + "\")") +
                 "; correct it or leave it out"};
}

std::string BuildTable(const Json& table, const BuildSource& src, const std::string& where,
                       int depth) {
  if (!table.is_object()) throw BuildError{where, "an object was expected"};
  CheckFields(table, {"lead", "entries", "damaged", "bytes"}, where, "a table");
  if (depth > kDeepestTable) {
    throw BuildError{where, "tables nested more than " + std::to_string(kDeepestTable) + " deep"};
  }
  if (table.contains("bytes")) {
    if (table.contains("entries")) {
      throw BuildError{where, "a table has either \"bytes\" or \"entries\", not both"};
    }
    std::string bytes = Bytes64(table["bytes"], Pointer(where, "bytes"));
    CheckTableBytes(table, bytes, Pointer(where, "bytes"));
    return bytes;
  }
  const Json& entries = Member(table, "entries", where);
  if (!entries.is_array()) throw BuildError{Pointer(where, "entries"), "an array was expected"};
  std::string head, data;
  if (table.contains("lead")) data = Bytes64(table["lead"], Pointer(where, "lead"));
  head.resize(COUNT_SIZE);
  EncodeFixed32(reinterpret_cast<uint8_t*>(head.data()), static_cast<uint32_t>(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::string at = Pointer(where, "entries/" + std::to_string(i));
    const Json& entry = entries[i];
    if (!entry.is_object()) throw BuildError{at, "an object was expected"};
    CheckFields(entry, {"key", "label", "type", "value", "trailing", "bytes", "table", "damaged"},
                at, "an entry");
    const uint32_t key = KeyOf(Member(entry, "key", at), src.names, Pointer(at, "key"));
    CheckLabel(entry, key, src.names, Pointer(at, "label"));
    const uint32_t type = TypeOf(Member(entry, "type", at), Pointer(at, "type"));
    uint8_t fields[ENTRY_SIZE];
    EncodeFixed32(fields, key);
    EncodeFixed32(fields + 4, type);
    EncodeFixed32(fields + 8, static_cast<uint32_t>(data.size()));
    head.append(reinterpret_cast<char*>(fields), sizeof fields);
    data += EntryBytes(entry, type, src, at, depth);
    if (head.size() + data.size() > static_cast<std::size_t>(MAX_FILE_LENGTH)) {
      throw BuildError{at, "the file would be longer than 2147483647 bytes"};
    }
  }
  return head + data;
}

uint32_t HeaderSize(const Json& v, uint32_t follows, const std::string& where) {
  if (v.is_string() && v.get_ref<const std::string&>() == kFollowsLength) return follows;
  if (v.is_number_unsigned()) return Uint32(v, where);
  throw BuildError{where, std::string("\"") + kFollowsLength + "\" or a number was expected"};
}

}  // namespace

void AppendBase64(std::string* out, std::string_view bytes) {
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                 static_cast<uint8_t>(bytes[i + 2]);
    for (int k = 3; k >= 0; --k) out->push_back(kAlphabet[(v >> (6 * k)) & 63]);
  }
  if (i < bytes.size()) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out->push_back(kAlphabet[v >> 18 & 63]);
    out->push_back(kAlphabet[v >> 12 & 63]);
    out->push_back(i + 1 < bytes.size() ? kAlphabet[v >> 6 & 63] : '=');
    out->push_back('=');
  }
}

bool DecodeBase64(std::string_view text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 2] == '=') return false;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int d = k >= 4 - pad ? 0 : value(text[i + k]);
      if (d < 0) return false;
      v = v << 6 | static_cast<uint32_t>(d);
    }
    bytes->push_back(static_cast<char>(v >> 16));
    if (pad < 2) bytes->push_back(static_cast<char>(v >> 8 & 0xFF));
    if (pad < 1) bytes->push_back(static_cast<char>(v & 0xFF));
  }
  return true;
}

Status DumpJson(ByteSource& base, int64_t length, const KeyNames& names, Sink& sink) {
  WindowedSource file(base, kWindow);
  std::string& out = sink.buf();
  uint8_t header[ROOT_TABLE_OFFSET];
  Status s = file.ReadAt(0, header, sizeof header);
  if (!s.ok()) return s;
  auto size = [&](int64_t at, int64_t follows) {
    const uint32_t stored = DecodeFixed32(header + at);
    return stored == static_cast<uint32_t>(length - follows)
               ? "\"" + std::string(kFollowsLength) + "\""
               : std::to_string(stored);
  };
  out.append("{\"atb\": 1,\n \"header\": {\"start\": \"");
  AppendBase64(&out, std::string_view(reinterpret_cast<char*>(header), OUTER_SIZE_OFFSET));
  out.append("\", \"outer_size\": " + size(OUTER_SIZE_OFFSET, 44) + ", \"middle\": \"");
  AppendBase64(&out, std::string_view(reinterpret_cast<char*>(header) + 40, 8));
  out.append("\", \"root_size\": " + size(ROOT_SIZE_OFFSET, ROOT_TABLE_OFFSET) + "},\n \"root\": ");

  BlockBudget budget(kBlockBudget);
  std::deque<JsonFrame> stack(1);
  s = stack[0].cursor.Open(file, ROOT_TABLE_OFFSET, length, budget);
  if (s.ioError()) return s;
  if (s.damaged()) {
    s = AppendDamagedTable(file, ROOT_TABLE_OFFSET, length, s, sink);
    out.append("}\n");
    return s;
  }
  out.append("{");
  s = AppendLead(file, ROOT_TABLE_OFFSET, length, stack[0].cursor.count(), sink);
  if (!s.ok()) return s;
  out.append("\"entries\": [");
  CursorEntry e;
  while (!stack.empty()) {
    JsonFrame& top = stack.back();
    if (top.cursor.done()) {
      if (!top.first) {
        out.push_back('\n');
        AppendIndent(&out, stack.size() - 1);
      }
      out.append("]}");
      stack.pop_back();
      if (!stack.empty()) out.push_back('}');  // the reference entry holding the table
      sink.Spill();
      continue;
    }
    s = top.cursor.Next(base, &e);
    if (!s.ok()) return s;
    out.append(top.first ? "\n" : ",\n");
    top.first = false;
    AppendIndent(&out, stack.size());
    out.append("{\"key\": " + std::to_string(e.ID));
    std::string_view label = names.NameOf(e.ID);
    if (!label.empty() && IsValidUtf8(label)) {
      out.append(", \"label\": ");
      AppendJsonString(&out, label);
    }
    out.append(", \"type\": " + TypeName(e.Type));
    if (!e.Is(EntryType::Reference)) {
      s = AppendJsonValue(file, e.Type, e.start, e.end, sink);
      if (!s.ok()) return s;
      out.push_back('}');
      sink.Spill();
      continue;
    }
    JsonFrame nested;
    s = nested.cursor.Open(file, e.start, e.end, budget);
    if (s.ioError()) return s;
    out.append(", \"table\": ");
    if (s.damaged()) {
      s = AppendDamagedTable(file, e.start, e.end, s, sink);
      if (!s.ok()) return s;
      out.push_back('}');
      continue;
    }
    out.append("{");
    s = AppendLead(file, e.start, e.end, nested.cursor.count(), sink);
    if (!s.ok()) return s;
    out.append("\"entries\": [");
    sink.Spill();
    stack.push_back(std::move(nested));
  }
  out.append("\n}\n");
  return Status::Ok();
}

bool BuildFromJson(std::string_view json, const KeyNames& names, std::string* file,
                   std::string* error) {
  Json doc;
  try {
    doc = Json::parse(json.begin(), json.end());
  } catch (const Json::exception& e) {  // a syntax error, or a number no float can hold
    std::string what = e.what();
    std::size_t at = what.find("] ");
    *error = at == std::string::npos ? what : what.substr(at + 2);
    return false;
  }
  const BuildSource src{json, names};
  try {
    if (!doc.is_object()) throw BuildError{"", "an object was expected"};
    CheckFields(doc, {"atb", "header", "root"}, "", "the document");
    if (doc.contains("atb")) {
      const Json& version = doc["atb"];
      if (!version.is_number_unsigned() || version.get<uint64_t>() != 1) {
        throw BuildError{"/atb", "1 was expected"};
      }
    }
    // A hand-written document may leave the header out: zeros, and sizes that follow the length.
    static const Json kDefaultHeader = Json::object();
    const Json& header = doc.contains("header") ? doc["header"] : kDefaultHeader;
    if (!header.is_object()) throw BuildError{"/header", "an object was expected"};
    CheckFields(header, {"start", "outer_size", "middle", "root_size"}, "/header", "the header");
    const std::string start = header.contains("start") ? Bytes64(header["start"], "/header/start")
                                                       : std::string(OUTER_SIZE_OFFSET, '\0');
    const std::string middle = header.contains("middle")
                                   ? Bytes64(header["middle"], "/header/middle")
                                   : std::string(8, '\0');
    if (start.size() != static_cast<std::size_t>(OUTER_SIZE_OFFSET)) {
      throw BuildError{"/header/start", "36 bytes were expected"};
    }
    if (middle.size() != 8) throw BuildError{"/header/middle", "8 bytes were expected"};
    const std::string root = BuildTable(Member(doc, "root", ""), src, "/root", 0);
    const auto length = static_cast<int64_t>(ROOT_TABLE_OFFSET + root.size());
    if (length > MAX_FILE_LENGTH) {
      throw BuildError{"/root", "the file would be longer than 2147483647 bytes"};
    }
    uint8_t sizes[8];
    static const Json kFollows = kFollowsLength;
    EncodeFixed32(sizes, HeaderSize(header.contains("outer_size") ? header["outer_size"] : kFollows,
                                    static_cast<uint32_t>(length - 44), "/header/outer_size"));
    EncodeFixed32(
        sizes + 4,
        HeaderSize(header.contains("root_size") ? header["root_size"] : kFollows,
                   static_cast<uint32_t>(length - ROOT_TABLE_OFFSET), "/header/root_size"));
    file->clear();
    file->reserve(static_cast<std::size_t>(length));
    *file += start;
    file->append(reinterpret_cast<char*>(sizes), 4);
    *file += middle;
    file->append(reinterpret_cast<char*>(sizes + 4), 4);
    *file += root;
    return true;
  } catch (const BuildError& e) {
    std::size_t pos = FindJsonValue(json, e.where);
    if (e.atName && pos != std::string_view::npos) pos = JsonNameOf(json, pos);
    *error = pos == std::string_view::npos ? std::string() : LineAndColumn(json, pos) + ", ";
    *error += "at " + (e.where.empty() ? std::string("/") : e.where) + ": " + e.what;
    return false;
  } catch (const Json::exception& e) {
    *error = e.what();
    return false;
  }
}

}  // namespace atb
