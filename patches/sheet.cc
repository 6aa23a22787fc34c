#include "patches/sheet.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "patches/folder_patch.h"
#include "patches/patch.h"
#include "store/coding.h"
#include "store/hash.h"
#include "store/layout.h"
#include "store/table.h"
#include "store/type_words.h"
#include "store/utf.h"
#include "text/csv.h"
#include "text/output_sink.h"
#include "text/paths.h"
#include "text/value_text.h"

namespace atb {

namespace {

constexpr uint32_t kFloat = static_cast<uint32_t>(EntryType::Float);
constexpr uint32_t kBool = static_cast<uint32_t>(EntryType::Bool);
constexpr uint32_t kText = static_cast<uint32_t>(EntryType::Text);
constexpr uint32_t kLocalized = static_cast<uint32_t>(EntryType::LocalizedText);
constexpr uint32_t kTable = static_cast<uint32_t>(EntryType::Reference);

const char* const kUnnamedTable = "(table)";
const char* const kDamagedTable = "(damaged table)";

std::string Joined(const std::string& table, const std::string& element) {
  return table == "/" ? "/" + element : table + "/" + element;
}

std::string HashText(uint64_t hash) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%016" PRIx64, hash);
  return buf;
}

Status HashExtent(ByteSource& file, int64_t start, int64_t end, uint64_t* hash) {
  *hash = kFnv1aStart;
  char buf[1 << 16];
  for (int64_t at = start; at < end;) {
    const auto n = static_cast<std::size_t>(std::min<int64_t>(end - at, sizeof buf));
    Status s = file.ReadAt(at, buf, n);
    if (!s.ok()) return s;
    *hash = Fnv1a64(std::string_view(buf, n), *hash);
    at += static_cast<int64_t>(n);
  }
  return Status::Ok();
}

// Whether a spreadsheet would keep a text as it stands: one it would take for a number, a date,
// a truth value or a formula, or that reads as a typed cell, is written with its type instead.
bool KeptAsText(std::string_view text) {
  if (text.empty()) return false;
  if (std::string_view("0123456789+-=@.,($%' \t").find(text.front()) != std::string_view::npos) {
    return false;
  }
  // The full-width = + - @, which some spreadsheets take as those.
  for (const char* wide : {"\xEF\xBC\x9D", "\xEF\xBC\x8B", "\xEF\xBC\x8D", "\xEF\xBC\xA0"}) {
    if (text.substr(0, 3) == wide) return false;
  }
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  if (upper == "TRUE" || upper == "FALSE") return false;
  for (const TypeWordRow& row : kTypeWords) {
    if (text.substr(0, row.patch.size() + 1) == std::string(row.patch) + " ") return false;
  }
  return text.substr(0, 5) != "type ";
}

// A text's cell: UTF-8 as it stands, the backslash doubled, and other control characters than
// the line break and the tab escaped as dump escapes them. False when it is no UTF-8.
bool PlainText(std::string_view text, std::string* cell) {
  if (!IsValidUtf8(text) || !KeptAsText(text)) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const auto c = static_cast<unsigned char>(ch);
    const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                    static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c1) {
      // A control character of the second set (U+0080 to U+009F), as its two bytes.
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\xc2\\x%02x", static_cast<unsigned char>(text[++i]));
      cell->append(buf);
    } else if (ch == '\\') {
      cell->append("\\\\");
    } else if (ch == '\r') {
      cell->append("\\r");
    } else if ((c < 0x20 && ch != '\n' && ch != '\t') || c == 0x7f) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", c);
      cell->append(buf);
    } else {
      cell->push_back(ch);
    }
  }
  return true;
}

// The bytes of a text cell; false, saying why, for an escape that is none.
bool UnescapedText(std::string_view cell, std::string* bytes, std::string* why) {
  for (std::size_t i = 0; i < cell.size(); ++i) {
    if (cell[i] != '\\') {
      bytes->push_back(cell[i]);
      continue;
    }
    const char next = i + 1 < cell.size() ? cell[i + 1] : '\0';
    const char* simple = std::strchr("\\\"nrt", next);
    if (next != '\0' && simple != nullptr) {
      bytes->push_back(next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next);
      ++i;
      continue;
    }
    unsigned value = 0;
    if (next == 'x' && i + 3 < cell.size() &&
        std::isxdigit(static_cast<unsigned char>(cell[i + 2])) &&
        std::isxdigit(static_cast<unsigned char>(cell[i + 3])) &&
        std::sscanf(std::string(cell.substr(i + 2, 2)).c_str(), "%2x", &value) == 1) {
      bytes->push_back(static_cast<char>(value));
      i += 3;
      continue;
    }
    *why = "a backslash starts an escape (\\\\, \\n, \\r, \\t, \\\", \\xHH): write \\\\ for one";
    return false;
  }
  if (bytes->find('\0') != std::string::npos) {
    *why =
        "a text holds no zero byte: write what follows its zero with its type, as in 'text "
        "\"a\" trailing \"\\x00b\"'";
    return false;
  }
  return true;
}

// The cell of entry i of `list`, a table of `file`.
Status CellOf(ByteSource& file, const EntryList& list, uint32_t i, const KeyNames& names,
              SheetCell* cell) {
  const uint32_t type = list.Type[i];
  const int64_t start = list.ExtentStart(i), end = list.ExtentEnd(i);
  cell->type = type;
  cell->start = start;
  cell->end = end;
  Sink expected(nullptr);
  Status s = AppendExpectedValue(file, type, start, end, expected);
  if (!s.ok()) return s;
  cell->expected = std::move(expected.buf());
  if (type == kTable) {
    bool found = false;
    std::string name;
    s = ReadReferenceName(file, start, end, &found, &name);
    EntryList inner;
    if (!s.ok() || !ReadTable(file, start, end, &inner).ok()) {
      cell->plain = kDamagedTable;
    } else if (!found) {
      cell->plain = kUnnamedTable;
    } else if (!PlainText(name, &cell->plain)) {
      cell->plain = "table ";
      AppendQuotedBytes(&cell->plain, name);
    }
    cell->typed = cell->plain;
    return Status::Ok();
  }
  Sink typed(nullptr);
  if (!(s = AppendNewValue(file, type, start, end, names, 0, typed)).ok()) return s;
  cell->typed = std::move(typed.buf());
  const int64_t size = end - start;
  if (size > 1 << 20) return Status::Ok();
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (!(s = file.ReadAt(start, bytes.data(), bytes.size())).ok()) return s;
  if (type == kFloat && size == 4) {
    // A spreadsheet keeps -0 as 0: it is written with its type, which keeps it a text there.
    const uint32_t bits = DecodeFixed32(reinterpret_cast<const uint8_t*>(bytes.data()));
    // -0 and -inf, -nan likewise: a spreadsheet reads a cell starting with - as a number or a
    // formula.
    const std::string text = FormatFloatBits(bits);
    if (text[0] != '-' || (text != "-0" && std::isdigit(static_cast<unsigned char>(text[1])))) {
      cell->plain = text;
    }
  } else if (type == kBool && size == 1) {
    cell->plain = std::to_string(static_cast<unsigned char>(bytes[0]));
  } else if (type == kText && !bytes.empty() && bytes.find('\0') == bytes.size() - 1) {
    bytes.pop_back();
    if (!PlainText(bytes, &cell->plain)) cell->plain.clear();
  } else if (type == kLocalized && size % 2 == 0 && size >= 2) {
    std::vector<uint16_t> units = DecodeUtf16LE(bytes);
    const auto zero = std::find(units.begin(), units.end(), 0);
    std::string utf8;
    if (zero == units.end() - 1 && (units.pop_back(), Utf16ToUtf8(units, &utf8)) &&
        !PlainText(utf8, &cell->plain)) {
      cell->plain.clear();
    }
  }
  return Status::Ok();
}

// The row of the table at [start, end); false in *sound when it is damaged.
Status RowOf(ByteSource& file, int64_t start, int64_t end, const std::string& path,
             const KeyNames& names, SheetRow* row, std::string* damage) {
  EntryList list;
  Status s = ReadTable(file, start, end, &list);
  if (s.damaged()) {
    *damage = s.Message();
    return Status::Ok();
  }
  if (!s.ok()) return s;
  row->path = path;
  if (!(s = HashExtent(file, start, end, &row->hash)).ok()) return s;
  std::unordered_map<uint32_t, uint32_t> seen, count;
  for (uint32_t i = 0; i < list.count; ++i) ++count[list.ID[i]];
  for (uint32_t i = 0; i < list.count; ++i) {
    SheetCell cell;
    cell.key = list.ID[i];
    cell.occurrence = seen[cell.key]++;
    if (!(s = CellOf(file, list, i, names, &cell)).ok()) return s;
    std::string element;
    AppendPathElement(names, cell.key,
                      count[cell.key] > 1 ? static_cast<int32_t>(cell.occurrence) : -1, &element);
    cell.path = Joined(path, element);
    cell.count = count[cell.key];
    row->greatestKey.push_back(
        std::max(cell.key, row->greatestKey.empty() ? 0 : row->greatestKey.back()));
    row->cells.push_back(std::move(cell));
  }
  return Status::Ok();
}

uint64_t ColumnId(uint32_t key, uint32_t occurrence) {
  return (static_cast<uint64_t>(key) << 32) | occurrence;
}

// The header of a key column: the key as dump names it, `[k]` from the second entry with it on.
// A name that is one of the fixed columns' is written as the key's number.
std::string ColumnHeader(const KeyNames& names, uint32_t key, uint32_t occurrence) {
  std::string header;
  AppendPathElement(names, key, -1, &header);
  if (header == kFileColumn || header == kPathColumn || header == kHashColumn) {
    header = std::to_string(key);
  }
  if (occurrence > 0) header += "[" + std::to_string(occurrence) + "]";
  return header;
}

std::string Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return std::string(s);
}

}  // namespace

Status ReadSheetRows(ByteSource& file, int64_t length, const Selector& selector, bool root,
                     const std::function<bool(const std::string&)>& wanted, const KeyNames& names,
                     std::vector<SheetRow>* rows, std::vector<std::string>* damaged) {
  auto add = [&](int64_t start, int64_t end, const std::string& path, int depth) {
    SheetRow row;
    row.depth = depth;
    std::string damage;
    Status s = RowOf(file, start, end, path, names, &row, &damage);
    if (!s.ok()) return s;
    if (!damage.empty()) {
      damaged->push_back(path + ": a damaged table, not in the sheet: " + damage);
    } else {
      rows->push_back(std::move(row));
    }
    return Status::Ok();
  };
  if (root) {
    Status s = add(ROOT_TABLE_OFFSET, length, "/", 0);
    if (!s.ok() || selector.steps.empty()) return s;
  }
  if (selector.steps.empty() && selector.counted == 0) return Status::Ok();
  return SelectEntries(file, length, selector, names, [&](const SelectedEntry& e) {
    if (e.type != kTable || (wanted && !wanted(e.path))) return Status::Ok();
    return add(e.start, e.end, e.path, e.depth + 1);
  });
}

std::string WriteSheet(const std::vector<SheetFile>& files, const KeyNames& names) {
  struct Column {
    uint32_t key, occurrence, type;
    bool mixed;
  };
  std::vector<Column> columns;
  std::unordered_map<uint64_t, std::size_t> index;
  for (const SheetFile& f : files) {
    for (const SheetRow& row : f.rows) {
      for (const SheetCell& c : row.cells) {
        auto [it, fresh] = index.emplace(ColumnId(c.key, c.occurrence), columns.size());
        if (fresh) {
          columns.push_back({c.key, c.occurrence, c.type, false});
        } else if (columns[it->second].type != c.type) {
          columns[it->second].mixed = true;
        }
      }
    }
  }
  std::vector<std::string> cells{kFileColumn, kPathColumn, kHashColumn};
  for (const Column& c : columns) cells.push_back(ColumnHeader(names, c.key, c.occurrence));
  std::string out;
  AppendSheetRecord(cells, ',', &out);
  for (const SheetFile& f : files) {
    for (const SheetRow& row : f.rows) {
      cells.assign(3 + columns.size(), std::string());
      // A name that a spreadsheet would take for a formula or a number keeps its meaning with
      // "./" in front, and is read back without it.
      cells[0] = KeptAsText(f.relative) ? f.relative : "./" + f.relative;
      cells[1] = row.path;
      cells[2] = HashText(row.hash);
      for (const SheetCell& c : row.cells) {
        const std::size_t k = index.at(ColumnId(c.key, c.occurrence));
        cells[3 + k] = columns[k].mixed || c.plain.empty() ? c.typed : c.plain;
      }
      AppendSheetRecord(cells, ',', &out);
    }
  }
  return out;
}

namespace {

// How reading one cell came out: a new value, the file's value as it is, refused, or no typed
// form at all (then the cell is read as its column's type).
enum class CellRead { kValue, kUnchanged, kRefused, kNotTyped };

// A typed cell: a type word, a blank and the value as dump writes it; *value as dump writes it
// too, so that `float 2.0` is `float 2`, the same as the file's.
CellRead ReadTypedCell(const std::string& cell, const SheetCell* now, const KeyNames& names,
                       std::string* value, std::string* why) {
  const std::size_t blank = cell.find(' ');
  if (blank == std::string::npos || cell.find_first_of("\r\n") != std::string::npos) {
    return CellRead::kNotTyped;
  }
  const std::string word = cell.substr(0, blank);
  std::string rest = cell.substr(blank + 1);
  uint32_t type = 0;
  bool typed = TypeOfWord(word, TypeSpelling::kPatch, &type);
  if (!typed && word == "type") {
    const std::size_t next = rest.find(' ');
    unsigned long n = 0;
    if (next != std::string::npos && std::sscanf(rest.substr(0, next).c_str(), "%lu", &n) == 1 &&
        n <= UINT32_MAX) {
      type = static_cast<uint32_t>(n);
      rest = rest.substr(next + 1);
      typed = true;
    }
  }
  if (!typed) return CellRead::kNotTyped;
  if (type == kTable) return *why = "a table is not written in a cell", CellRead::kRefused;
  ParsedValue parsed;
  // A type with no word is read with its "type N" in front, as dump writes it.
  const bool worded = !WordOfType(type, TypeSpelling::kPatch).empty();
  Status s = ParseValue(worded ? rest : Trimmed(cell), type, &parsed);
  if (!s.ok()) {
    *why = "'" + cell + "' starts as a typed value but is none (" + s.Message() +
           "); a text that starts so is written as text \"...\"";
    return CellRead::kRefused;
  }
  *value = Trimmed(cell);
  MemorySource source(reinterpret_cast<const uint8_t*>(parsed.bytes.data()), parsed.bytes.size());
  Sink canonical(nullptr);
  if (AppendNewValue(source, type, 0, static_cast<int64_t>(parsed.bytes.size()), names, 0,
                     canonical)
          .ok()) {
    if (now != nullptr && canonical.buf() == now->typed) return CellRead::kUnchanged;
    // Only a whole value stands for the entry's whole extent; a value alone keeps what followed
    // the old one, as the cell says it.
    if (parsed.whole) *value = std::move(canonical.buf());
  }
  return CellRead::kValue;
}

// A cell without its type, read as a value of `type`.
CellRead ReadPlainCell(const std::string& cell, uint32_t type, const SheetCell* now, char separator,
                       std::string* value, std::string* why) {
  const std::string trimmed = Trimmed(cell);
  if (type == kFloat) {
    std::string number = trimmed;
    const std::size_t comma = number.find(',');
    if (comma != std::string::npos) {
      if (separator != ';' || number.find('.') != std::string::npos ||
          number.find(',', comma + 1) != std::string::npos) {
        *why = cell + " is no number: write it with one decimal mark and no thousands separator";
        return CellRead::kRefused;
      }
      number[comma] = '.';
    }
    uint32_t bits = 0;
    std::string because;
    if (!ParseFloatText(number, &bits, &because)) {
      return *why = cell + " is no float: " + because, CellRead::kRefused;
    }
    if (now != nullptr && now->plain == FormatFloatBits(bits)) return CellRead::kUnchanged;
    *value = "float " + FormatFloatBits(bits);
  } else if (type == kBool) {
    std::string upper = trimmed;
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    unsigned n = 0;
    int used = 0;
    if (upper == "TRUE" || upper == "FALSE") {
      n = upper == "TRUE" ? 1 : 0;
    } else if (trimmed.empty() || trimmed.size() > 3 ||
               trimmed.find_first_not_of("0123456789") != std::string::npos ||
               std::sscanf(trimmed.c_str(), "%3u%n", &n, &used) != 1 || n > 255) {
      *why = cell + " is no bool: write 0 or 1 (or a byte up to 255)";
      return CellRead::kRefused;
    }
    if (now != nullptr && now->plain == std::to_string(n)) return CellRead::kUnchanged;
    *value = "bool " + std::to_string(n);
  } else if (type == kText || type == kLocalized) {
    std::string bytes;
    if (!UnescapedText(cell, &bytes, why)) return CellRead::kRefused;
    if (type == kText) {
      *value = "text ";
      AppendQuotedBytes(value, bytes);
    } else {
      std::vector<uint16_t> units;
      if (!Utf8ToUtf16(bytes, &units)) {
        return *why = "a localized text must be UTF-8", CellRead::kRefused;
      }
      *value = "localized ";
      AppendQuotedWide(value, units);
    }
  } else {
    *why = "an entry of type " + std::to_string(type) + " is written with its type, as in 'type " +
           std::to_string(type) + " \"\\x01\"'";
    return CellRead::kRefused;
  }
  return CellRead::kValue;
}

}  // namespace

SheetReader::SheetReader(std::string_view text, const KeyNames& names,
                         std::vector<std::string>* refusals)
    : names_(names) {
  SheetText sheet;
  Status s = ParseSheet(text, &sheet);
  if (!s.ok()) {
    refusals->push_back(s.Message());
    return;
  }
  if (sheet.records.empty()) {
    refusals->push_back("the sheet is empty: it needs its header row");
    return;
  }
  separator_ = sheet.separator;
  for (SheetRecord& r : sheet.records) {
    sheetRows_.push_back(r.row);
    records_.push_back(std::move(r.cells));
  }
  const std::vector<std::string>& header = records_[0];
  const std::size_t headerRow = sheetRows_[0];
  std::size_t* const fixed[3] = {&fileColumn_, &pathColumn_, &hashColumn_};
  const char* const fixedNames[3] = {kFileColumn, kPathColumn, kHashColumn};
  std::set<uint64_t> keyColumns;
  for (std::size_t k = 0; k < header.size(); ++k) {
    const std::string name = Trimmed(header[k]);
    const std::string at = CellName(k, headerRow) + ": ";
    const auto f = std::find(fixedNames, fixedNames + 3, name) - fixedNames;
    if (f < 3) {
      if (*fixed[f] != SIZE_MAX) refusals->push_back(at + "a second column " + name);
      *fixed[f] = k;
      continue;
    }
    if (name.empty()) continue;
    PathElement element;
    if (!ParsePathElement(name, &element).ok() ||
        (element.kind != PathElement::kKey && element.kind != PathElement::kWord)) {
      refusals->push_back(at + "'" + name +
                          "' names no key (a column is named as dump names keys)");
      continue;
    }
    Column c;
    c.index = k;
    c.key = KeyOfElement(element, names);
    c.occurrence = element.pick.value_or(0);
    c.header = name;
    if (!keyColumns.insert(ColumnId(c.key, c.occurrence)).second) {
      refusals->push_back(at + "a second column for " + name);
      continue;
    }
    columns_.push_back(std::move(c));
  }
  // A cell under no header, once per column, in one pass over the cells.
  std::set<std::size_t> unnamed;
  for (std::size_t r = 1; r < records_.size(); ++r) {
    for (std::size_t k = 0; k < records_[r].size() && k < header.size(); ++k) {
      if (!records_[r][k].empty() && Trimmed(header[k]).empty() && unnamed.insert(k).second) {
        refusals->push_back(CellName(k, sheetRows_[r]) + ": a cell in a column with no header");
      }
    }
  }
  for (int f = 0; f < 3; ++f) {
    if (*fixed[f] == SIZE_MAX) {
      refusals->push_back(CellName(0, headerRow) + ": the sheet has no column '" + fixedNames[f] +
                          "'; make it with atbutil table");
    }
  }
  if (std::any_of(fixed, fixed + 3, [](const std::size_t* k) { return *k == SIZE_MAX; })) return;
  std::map<std::pair<std::string, std::string>, std::size_t> first;
  for (std::size_t r = 1; r < records_.size(); ++r) {
    const std::vector<std::string>& cells = records_[r];
    const std::size_t row = sheetRows_[r];
    if (cells.size() < header.size()) {
      refusals->push_back(CellName(cells.size(), row) + ": the row ends before the header does");
      continue;
    }
    for (std::size_t k = header.size(); k < cells.size(); ++k) {
      if (!cells[k].empty()) {
        refusals->push_back(CellName(k, row) + ": a cell beyond the header's columns");
        break;
      }
    }
    Row entry{r, cells[fileColumn_], cells[pathColumn_], Trimmed(cells[hashColumn_])};
    if (entry.file.rfind("./", 0) == 0) entry.file.erase(0, 2);
    if (entry.file.empty() || entry.path.empty() || entry.hash.empty()) {
      const std::size_t k = entry.file.empty()   ? fileColumn_
                            : entry.path.empty() ? pathColumn_
                                                 : hashColumn_;
      refusals->push_back(CellName(k, row) + ": a row needs its file, path and fnv64 as the " +
                          "sheet gave them; a row cannot be added");
      continue;
    }
    auto [it, fresh] = first.emplace(std::make_pair(entry.file, entry.path), row);
    if (!fresh) {
      refusals->push_back(CellName(pathColumn_, row) + ": the same table as row " +
                          std::to_string(it->second));
      continue;
    }
    wanted_[entry.file].insert(entry.path);
    rows_.push_back(std::move(entry));
  }
}

std::string SheetReader::CellChange(const SheetRow& row, const SheetCell* now, const Column& column,
                                    const std::string& cell, std::size_t sheetRow,
                                    uint32_t columnType, bool typeKnown,
                                    std::vector<std::string>* refusals) const {
  const std::string at = CellName(column.index, sheetRow) + ": ";
  auto refuse = [&](const std::string& why) {
    refusals->push_back(at + why);
    return std::string();
  };
  std::string path;
  if (now != nullptr) {
    const uint32_t count = now->count;
    path = now->path;
    if (cell.empty()) {
      if (now->type == kTable) return refuse("a nested table's cell cannot be emptied");
      return "remove " + path + (count > 1 ? " (of " + std::to_string(count) + ")" : "") + ": " +
             now->expected + "\n";
    }
    if (cell == now->plain || cell == now->typed) return {};
    if (now->type == kTable) {
      return refuse("a nested table is changed in a row of its own, not by its name");
    }
  } else if (cell.empty()) {
    return {};
  }
  std::string value, why;
  CellRead read = ReadTypedCell(cell, now, names_, &value, &why);
  if (read == CellRead::kNotTyped) {
    if (now == nullptr && !typeKnown) {
      return refuse(
          "the column holds entries of several types, or none: write the type, as in "
          "'float 2.5'");
    }
    read =
        ReadPlainCell(cell, now != nullptr ? now->type : columnType, now, separator_, &value, &why);
  }
  if (read == CellRead::kRefused) return refuse(why);
  if (read == CellRead::kUnchanged) return {};
  if (now != nullptr) {
    if (value == now->typed) return {};
    return "set " + path + ": " + now->expected + " -> " + value + "\n";
  }
  if (column.occurrence > 0) {
    return refuse("a second entry with one key is added with atbutil add, not in a sheet");
  }
  // Where add puts it: in front of the first entry whose key is greater, or last.
  std::string element;
  AppendPathElement(names_, column.key, -1, &element);
  // The first cell whose key is greater is the first whose greatest key so far is.
  const auto next = row.cells.begin() +
                    (std::upper_bound(row.greatestKey.begin(), row.greatestKey.end(), column.key) -
                     row.greatestKey.begin());
  const std::string after = next == row.cells.begin() ? "start" : std::prev(next)->path;
  const std::string before = next == row.cells.end() ? "end" : next->path;
  return "add " + Joined(row.path, element) + " after " + after + " before " + before + ": " +
         value + "\n";
}

SheetReader::Matched SheetReader::Match(const std::vector<SheetFile>& now,
                                        std::vector<std::string>* refusals) const {
  std::map<std::pair<std::string, std::string>, const Row*> byTable;
  for (const Row& r : rows_) byTable.emplace(std::make_pair(r.file, r.path), &r);
  Matched out;
  auto& [matched, filesMatched] = out;
  std::set<const Row*> found;
  std::set<std::string> named;
  for (const SheetFile& f : now) {
    named.insert(f.relative);
    for (const SheetRow& row : f.rows) {
      auto it = byTable.find({f.relative, row.path});
      if (it == byTable.end()) continue;
      const Row& r = *it->second;
      found.insert(&r);
      if (r.hash != HashText(row.hash)) {
        refusals->push_back(CellName(hashColumn_, sheetRows_[r.record]) + ": " + r.file + ": " +
                            r.path + " changed since the sheet was made; make the sheet again");
        continue;
      }
      matched.emplace_back(&row, &r);
    }
    filesMatched.push_back(matched.size());
  }
  for (const Row& r : rows_) {
    if (found.count(&r) != 0) continue;
    const std::string at =
        CellName(named.count(r.file) != 0 ? pathColumn_ : fileColumn_, sheetRows_[r.record]) + ": ";
    refusals->push_back(named.count(r.file) == 0
                            ? at + r.file + " is not among the files given"
                            : at + r.file + " has no table " + r.path + " now");
  }
  return out;
}

std::string SheetReader::Patch(const std::vector<SheetFile>& now, bool folder,
                               std::vector<std::string>* refusals, int64_t* changes) const {
  *changes = 0;
  const auto [matched, filesMatched] = Match(now, refusals);
  // A column's type, where every entry it has in those tables is of one type.
  std::unordered_map<uint64_t, std::pair<uint32_t, bool>> types;  // type, several
  for (const auto& [row, r] : matched) {
    for (const SheetCell& c : row->cells) {
      auto [it, fresh] =
          types.emplace(ColumnId(c.key, c.occurrence), std::make_pair(c.type, false));
      if (!fresh && it->second.first != c.type) it->second.second = true;
    }
  }
  // A column that none of those tables has is one renamed or added, unless it is empty there
  // (the rows of the tables that had it were deleted).
  std::set<std::size_t> unknown;
  for (const Column& c : columns_) {
    if (types.count(ColumnId(c.key, c.occurrence)) != 0) continue;
    unknown.insert(c.index);
    if (std::any_of(matched.begin(), matched.end(),
                    [&](const auto& m) { return !records_[m.second->record][c.index].empty(); })) {
      refusals->push_back(CellName(c.index, sheetRows_[0]) + ": no table of the sheet has " +
                          c.header + ": a column cannot be renamed or added");
    }
  }
  std::string out;
  int64_t files = 0;
  std::size_t next = 0;
  for (std::size_t f = 0; f < now.size(); ++f) {
    std::string lines;
    int64_t count = 0;
    for (; next < filesMatched[f]; ++next) {
      const SheetRow& row = *matched[next].first;
      const Row& r = *matched[next].second;
      const std::vector<std::string>& cells = records_[r.record];
      const bool tooDeep = row.depth >= kDeepestPatchTable;
      // Entries added between the same neighbours go in the patch's order: by key, as add
      // would place them one by one.
      std::vector<std::pair<uint32_t, std::string>> adds;
      std::unordered_map<uint64_t, const SheetCell*> byColumn;
      for (const SheetCell& cell : row.cells)
        byColumn.emplace(ColumnId(cell.key, cell.occurrence), &cell);
      for (const Column& c : columns_) {
        if (unknown.count(c.index) != 0) continue;
        const auto at = byColumn.find(ColumnId(c.key, c.occurrence));
        const SheetCell* cur = at == byColumn.end() ? nullptr : at->second;
        const auto type = types.find(ColumnId(c.key, c.occurrence));
        const bool known = type != types.end() && !type->second.second;
        const std::string change = CellChange(row, cur, c, cells[c.index], sheetRows_[r.record],
                                              known ? type->second.first : 0, known, refusals);
        if (change.empty()) continue;
        if (tooDeep) {
          refusals->push_back(CellName(c.index, sheetRows_[r.record]) + ": a table more than " +
                              std::to_string(kDeepestPatchTable) +
                              " tables deep, which a patch cannot reach: use atbutil set");
          continue;
        }
        ++count;
        if (change.rfind("add ", 0) == 0) {
          adds.emplace_back(c.key, change);
        } else {
          lines += change;
        }
      }
      std::stable_sort(adds.begin(), adds.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      for (const auto& add : adds) lines += add.second;
    }
    if (count == 0) continue;
    ++files;
    *changes += count;
    if (folder) out += FileLine(now[f].relative);
    out += lines + "end " + std::to_string(count) + (count == 1 ? " change\n" : " changes\n");
  }
  if (folder && files > 0) out += EndOfFilesLine(files);
  // Every value went through the value reader, but what is printed must be a patch that apply
  // takes as meant: one that is not is refused whole.
  Status s;
  if (folder) {
    FolderPatch parsed;
    s = ParseFolderPatch(out, names_, &parsed);
  } else {
    atb::Patch parsed;
    s = ParsePatch(out, names_, &parsed);
  }
  if (!s.ok()) {
    refusals->push_back("the sheet's changes make no patch that apply takes (" + s.Message() +
                        "); write the values as dump prints them");
    *changes = 0;
    return {};
  }
  return out;
}

}  // namespace atb
