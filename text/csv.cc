#include "text/csv.h"

#include <algorithm>

namespace atb {

std::string CellName(std::size_t column, std::size_t row) {
  std::string letters;
  for (std::size_t c = column + 1; c > 0; c = (c - 1) / 26) {
    letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
  }
  return letters + std::to_string(row);
}

namespace {

char SeparatorOf(std::string_view text) {
  bool quoted = false, comma = false, semicolon = false;
  for (const char c : text) {
    if (c == '"') quoted = !quoted;
    if (quoted) continue;
    if (c == '\n' || c == '\r') break;
    comma = comma || c == ',';
    semicolon = semicolon || c == ';';
  }
  return semicolon && !comma ? ';' : ',';
}

// A line of separators alone is what spreadsheets write for a row whose cells were cleared.
bool Empty(const SheetRecord& r) {
  return std::all_of(r.cells.begin(), r.cells.end(),
                     [](const std::string& c) { return c.empty(); });
}

}  // namespace

Status ParseSheet(std::string_view text, SheetText* sheet) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  sheet->separator = SeparatorOf(text);
  // "sep=;" on a line of its own names the separator, as some spreadsheets write it.
  if (text.size() >= 5 && text.substr(0, 4) == "sep=" &&
      (text.size() == 5 || text[5] == '\n' || text[5] == '\r')) {
    sheet->separator = text[4];
    text.remove_prefix(
        std::min(text.size(), text.substr(5, 2) == "\r\n" ? std::size_t{7} : std::size_t{6}));
  }
  sheet->records.clear();
  const char sep = sheet->separator;
  SheetRecord record;
  std::string cell;
  std::size_t i = 0;
  auto fail = [&](const std::string& why) {
    return Status::Invalid(CellName(record.cells.size(), record.row) + ": " + why);
  };
  // Rows count records as a spreadsheet shows them, empty lines included.
  std::size_t row = 1;
  while (i < text.size()) {
    record.row = row;
    // One cell.
    if (text[i] == '"') {
      ++i;
      for (;;) {
        if (i >= text.size()) return fail("a quoted cell does not end");
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            cell.push_back('"');
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        cell.push_back(text[i++]);
      }
      if (i < text.size() && text[i] != sep && text[i] != '\n' && text[i] != '\r') {
        return fail("a quoted cell goes on after its closing quote");
      }
    } else {
      while (i < text.size() && text[i] != sep && text[i] != '\n' && text[i] != '\r') {
        if (text[i] == '"') return fail("a quote inside a cell that does not start with one");
        cell.push_back(text[i++]);
      }
    }
    if (i >= text.size()) break;
    if (text[i] == sep) {
      record.cells.push_back(std::move(cell));
      cell.clear();
      ++i;
      if (i == text.size()) break;
      continue;
    }
    // A line end: CRLF, LF or a lone CR.
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    ++i;
    record.cells.push_back(std::move(cell));
    cell.clear();
    if (!Empty(record)) sheet->records.push_back(std::move(record));
    record = SheetRecord();
    ++row;
  }
  if (!record.cells.empty() || !cell.empty() || (i > 0 && text[i - 1] == sep)) {
    record.row = row;
    record.cells.push_back(std::move(cell));
    if (!Empty(record)) sheet->records.push_back(std::move(record));
  }
  return Status::Ok();
}

void AppendSheetRecord(const std::vector<std::string>& cells, char separator, std::string* out) {
  for (std::size_t k = 0; k < cells.size(); ++k) {
    if (k > 0) out->push_back(separator);
    const std::string& c = cells[k];
    const bool quoted = c.find_first_of(std::string("\"\r\n") + separator) != std::string::npos ||
                        (!c.empty() && (c.front() == ' ' || c.back() == ' ' || c.front() == '\t' ||
                                        c.back() == '\t'));
    if (!quoted) {
      out->append(c);
      continue;
    }
    out->push_back('"');
    for (const char ch : c) {
      if (ch == '"') out->push_back('"');
      out->push_back(ch);
    }
    out->push_back('"');
  }
  out->append("\r\n");
}

}  // namespace atb
