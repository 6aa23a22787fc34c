// Tables as spreadsheets: a row per table, a column per key, and the edited sheet read back as a
// patch whose every change expects what the file holds now. A row carries the hash of the table
// it was made from, so that a table changed since is refused rather than changed back. doc/table.md
// tells the forms of the cells.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/status.h"
#include "store/positioned_file.h"
#include "text/key_names.h"
#include "text/select.h"

namespace atb {

// The columns every sheet has before its key columns.
inline constexpr const char* kFileColumn = "file";
inline constexpr const char* kPathColumn = "path";
inline constexpr const char* kHashColumn = "fnv64";

// One entry of a row's table, as its cell shows it.
struct SheetCell {
  uint32_t key = 0;
  uint32_t occurrence = 0;  // among the table's entries with this key, from 0
  uint32_t count = 0;       // the table's entries with this key
  uint32_t type = 0;
  int64_t start = 0, end = 0;  // the entry's extent
  // The cell in a column of entries of this one type; empty where the value needs its type to
  // be read back (then `typed` is written).
  std::string plain;
  std::string typed;     // the type word and the value, as a patch writes a new value
  std::string expected;  // the value as a patch expects it
  std::string path;      // the entry's path as dump prints it
};

// A table the sheet shows as a row.
struct SheetRow {
  std::string path;   // as dump prints it; "/" for the root table
  uint64_t hash = 0;  // FNV-1a 64 of the table's bytes
  int depth = 0;      // of its entries: tables above them, as a patch counts them
  std::vector<SheetCell> cells;
  std::vector<uint32_t> greatestKey;  // of the cells up to each one, to place an add quickly
};

// The rows of one file, named as the sheet names it.
struct SheetFile {
  std::string relative;
  std::vector<SheetRow> rows;
};

// Reads the rows of one file: the root table when `root`, then every table (reference) that
// `selector` matches and `wanted` takes (every one when `wanted` is empty), in dump's order. A
// damaged table is no row: `damaged` gets its path and what is wrong.
Status ReadSheetRows(ByteSource& file, int64_t length, const Selector& selector, bool root,
                     const std::function<bool(const std::string&)>& wanted, const KeyNames& names,
                     std::vector<SheetRow>* rows, std::vector<std::string>* damaged);

// The sheet of the files' rows, in the order given: a header, then a row per table.
std::string WriteSheet(const std::vector<SheetFile>& files, const KeyNames& names);

// An edited sheet, read back.
class SheetReader {
 public:
  // Parses the sheet and its header; the refusals so far go to *refusals, each naming its cell.
  SheetReader(std::string_view text, const KeyNames& names, std::vector<std::string>* refusals);

  // The files the sheet's rows name, and the paths of their rows in each.
  const std::map<std::string, std::set<std::string>>& wanted() const { return wanted_; }

  // The changes the sheet makes to `now` (the files as they are, each with the rows read for the
  // paths wanted): with `folder`, a patch over a folder, else a patch of the one file. Refusals
  // go to *refusals; *changes counts the changes.
  std::string Patch(const std::vector<SheetFile>& now, bool folder,
                    std::vector<std::string>* refusals, int64_t* changes) const;

 private:
  struct Column {
    std::size_t index = 0;  // in the sheet's records
    uint32_t key = 0;
    uint32_t occurrence = 0;
    std::string header;
  };
  struct Row {
    std::size_t record = 0;
    std::string file, path, hash;
  };
  // The rows whose table is there as the sheet was made of it, in the order of the files and of
  // the tables in each, and how many of them come before each file's end; the others refused.
  struct Matched {
    std::vector<std::pair<const SheetRow*, const Row*>> rows;
    std::vector<std::size_t> fileEnds;
  };
  Matched Match(const std::vector<SheetFile>& now, std::vector<std::string>* refusals) const;
  std::string CellChange(const SheetRow& row, const SheetCell* now, const Column& column,
                         const std::string& cell, std::size_t sheetRow, uint32_t columnType,
                         bool typeKnown, std::vector<std::string>* refusals) const;

  const KeyNames& names_;
  char separator_ = ',';
  std::size_t fileColumn_ = SIZE_MAX, pathColumn_ = SIZE_MAX, hashColumn_ = SIZE_MAX;
  std::vector<std::vector<std::string>> records_;
  std::vector<std::size_t> sheetRows_;  // each record's row in the spreadsheet
  std::vector<Column> columns_;
  std::vector<Row> rows_;
  std::map<std::string, std::set<std::string>> wanted_;
};

}  // namespace atb
