// Sheets as spreadsheets save them: RFC 4180 records, read as spreadsheet programs write them
// (a byte-order mark, CRLF or LF line ends, line breaks inside quoted cells, a trailing empty
// line, `;` as the separator where the decimal mark is a comma), and written as RFC 4180 asks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace atb {

// One record of a sheet: its cells, and the spreadsheet row it is (counted from 1).
struct SheetRecord {
  std::size_t row = 0;
  std::vector<std::string> cells;
};

struct SheetText {
  char separator = ',';
  std::vector<SheetRecord> records;  // the header first; wholly empty records are left out
};

// The spreadsheet name of a cell: column 0, row 1 is "A1"; column 26 is "AA".
std::string CellName(std::size_t column, std::size_t row);

// Parses a sheet. The separator is `;` when the first record holds it outside quotes and holds
// no `,` there, else `,`; a first line "sep=X" names it instead. A record of empty cells alone
// (an empty line, or separators alone) is left out. Invalid, naming the cell (CellName), when a
// quoted cell does not end, or a quote stands inside an unquoted cell or right after a closing one.
Status ParseSheet(std::string_view text, SheetText* sheet);

// Appends one record, its cells separated by `separator` and ended by CRLF; a cell holding the
// separator, a quote, CR or LF, or blanks at either end, is quoted with its quotes doubled.
void AppendSheetRecord(const std::vector<std::string>& cells, char separator, std::string* out);

}  // namespace atb
