// table and table --patch: the sheet read as spreadsheets write it, an unedited sheet that makes
// no change for every kind of file, random cell edits against a model, and every refusal named
// by its cell with nothing printed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "atbutil/commands.h"
#include "change/open.h"
#include "tests/random_files.h"
#include "tests/test_util.h"
#include "text/csv.h"
#include "text/value_text.h"

namespace atb {
namespace {

using namespace build;
using testing::Capture;
using testing::Ran;
namespace fs = std::filesystem;

TEST(Sheets, ReadAsSpreadsheetsWriteThem) {
  struct Case {
    std::string text;
    char separator;
    std::vector<std::vector<std::string>> records;  // cells, with the row first
  };
  const Case cases[] = {
      {"a,b\r\n1,2\r\n", ',', {{"1", "a", "b"}, {"2", "1", "2"}}},
      {"\xEF\xBB\xBF"
       "a;b\n\"x;y\";2,5\n\n",
       ';',
       {{"1", "a", "b"}, {"2", "x;y", "2,5"}}},
      {"a,b\n\"two\nlines\",\"say \"\"hi\"\"\"\n3,",
       ',',
       {{"1", "a", "b"}, {"2", "two\nlines", "say \"hi\""}, {"3", "3", ""}}},
      {"a\n\n\nb\r", ',', {{"1", "a"}, {"4", "b"}}},
      {"a,\"\"\n", ',', {{"1", "a", ""}}},
  };
  for (const Case& c : cases) {
    SheetText sheet;
    ASSERT_TRUE(ParseSheet(c.text, &sheet).ok()) << c.text;
    EXPECT_EQ(sheet.separator, c.separator) << c.text;
    std::vector<std::vector<std::string>> got;
    for (const SheetRecord& r : sheet.records) {
      got.push_back({std::to_string(r.row)});
      got.back().insert(got.back().end(), r.cells.begin(), r.cells.end());
    }
    EXPECT_EQ(got, c.records) << c.text;
  }
  const std::pair<std::string, std::string> bad[] = {
      {"a,b\n1,\"open", "B2: a quoted cell does not end"},
      {"a,b\n1,x\"y\n", "B2: a quote inside a cell that does not start with one"},
      {"a,b,c\n1,2,\"x\"y\n", "C2: a quoted cell goes on after its closing quote"},
  };
  for (const auto& [text, why] : bad) {
    SheetText sheet;
    EXPECT_EQ(ParseSheet(text, &sheet).Message(), why);
  }
  EXPECT_EQ(CellName(0, 1), "A1");
  EXPECT_EQ(CellName(25, 7), "Z7");
  EXPECT_EQ(CellName(26, 7), "AA7");
  EXPECT_EQ(CellName(27 * 26, 2), "AAA2");
  std::string out;
  AppendSheetRecord({"plain", "a,b", " x", "q\"", ""}, ',', &out);
  EXPECT_EQ(out, "plain,\"a,b\",\" x\",\"q\"\"\",\r\n");
}

class Tables : public ::testing::Test {
 protected:
  void SetUp() override { SetDurableChanges(false); }
  void TearDown() override { SetDurableChanges(true); }
  Ran Sheet(const std::string& selector, const std::vector<std::string>& roots) {
    return Capture([&](std::FILE* out, std::FILE* err) {
      return TableCommand(selector, roots, KeyNames(), out, err);
    });
  }
  Ran SheetPatch(const std::string& sheet, const std::vector<std::string>& roots) {
    const std::string path = dir_ / "sheet.csv";
    WriteFile(path, sheet);
    return Capture([&](std::FILE* out, std::FILE* err) {
      return TablePatchCommand(path, roots, KeyNames(), stdin, out, err);
    });
  }
  Ran Apply(const std::string& target, const std::string& patch) {
    const std::string path = dir_ / "p.patch";
    WriteFile(path, patch);
    return Capture([&](std::FILE*, std::FILE* err) {
      return ApplyCommand(target, {path}, false, KeyNames(), stdin, err);
    });
  }
  testing::TempDir dir_;
};

// Every kind of file, damaged ones, repeated keys, unknown types and bytes after texts included:
// its sheet read back unedited is no change.
TEST_F(Tables, AnUneditedSheetChangesNothing) {
  Random r(31);
  for (int round = 0; round < (testing::kSanitized ? 8 : 40); ++round) {
    const std::string root = dir_ / ("f" + std::to_string(round));
    fs::create_directories(root + "/sub");
    for (int f = 0; f < 3; ++f)
      WriteFile(root + (f == 2 ? "/sub/" : "/") + "t" + std::to_string(f) + ".atb", RandomFile(r));
    for (const char* selector : {"/", "/**/*"}) {
      const Ran sheet = Sheet(selector, {root});
      ASSERT_LE(sheet.status, 2) << sheet.err;
      const Ran back = SheetPatch(sheet.out, {root});
      EXPECT_EQ(back.status, 0) << selector << "\n" << sheet.out << back.err;
      EXPECT_EQ(back.out, "") << sheet.out;
    }
  }
}

// A folder of uniform tables: each file a root of a few floats, a bool, a text and a nested
// named table. Random cells are changed, emptied and filled; the patch applied gives what the
// model says, and a sheet made again from the result is the edited one, value for value.
TEST_F(Tables, EditedCellsBecomeTheChangesTheModelSays) {
  Random r(77);
  using Model = std::map<std::string, std::map<std::string, std::string>>;  // file -> key -> cell
  for (int round = 0; round < (testing::kSanitized ? 3 : 10); ++round) {
    const std::string root = dir_ / ("u" + std::to_string(round));
    fs::create_directories(root);
    const int files = 2 + r.Below(6);
    for (int f = 0; f < files; ++f) {
      Table t;
      for (uint32_t k = 1; k <= 4; ++k) {
        if (!r.OneIn(4)) t.entries.push_back(FloatEntry(k, static_cast<float>(r.Below(1000)) / 8));
      }
      t.entries.push_back(BoolEntry(10, static_cast<uint8_t>(r.Below(2))));
      t.entries.push_back(TextEntry(11, "name " + r.Word(6)));
      Table nested;
      nested.entries.push_back(NameEntry("part"));
      t.entries.push_back(RefEntry(12, nested));
      WriteFile(root + "/w" + std::to_string(f) + ".atb", EncodeFile(t));
    }
    const Ran sheet = Sheet("/", {root});
    ASSERT_EQ(sheet.status, 0) << sheet.err;
    SheetText parsed;
    ASSERT_TRUE(ParseSheet(sheet.out, &parsed).ok());
    std::vector<std::string>& header = parsed.records[0].cells;
    // Edit: a float changed (written with a decimal comma in a sheet saved with `;`), one
    // emptied, one filled where absent, a text changed, a bool flipped.
    const bool semicolons = r.OneIn(2);
    Model expected;
    for (std::size_t i = 1; i < parsed.records.size(); ++i) {
      std::vector<std::string>& cells = parsed.records[i].cells;
      for (std::size_t c = 3; c < header.size(); ++c) {
        std::string& cell = cells[c];
        const std::string& key = header[c];
        if (key == "12") continue;  // the nested table: not edited here
        const int pick = r.Below(5);
        if (key == "10" && pick == 0) cell = cell == "1" ? "0" : "1";
        if (key == "11" && pick == 0) cell = "renamed \"" + r.Word(3) + "\" \\\\ x";
        if (key.size() == 1 && pick == 0) cell = "";
        if (key.size() == 1 && pick == 1) {
          const int v = r.Below(800);
          cell = std::to_string(v / 4) + (semicolons ? "," : ".") + std::to_string(v % 4 * 25);
        }
        if (!cell.empty()) expected[cells[0]][key] = cell;
      }
    }
    std::string edited;
    for (const SheetRecord& rec : parsed.records) {
      AppendSheetRecord(rec.cells, semicolons ? ';' : ',', &edited);
    }
    const Ran patch = SheetPatch(edited, {root});
    ASSERT_LE(patch.status, 1) << patch.err << edited;
    const Ran applied = Apply(root, patch.out);
    ASSERT_EQ(applied.status, 0) << applied.err << patch.out;
    // The sheet of the result holds the edited values, each read back as the model has it.
    const Ran again = Sheet("/", {root});
    SheetText now;
    ASSERT_TRUE(ParseSheet(again.out, &now).ok());
    Model got;
    for (std::size_t i = 1; i < now.records.size(); ++i) {
      const std::vector<std::string>& cells = now.records[i].cells;
      for (std::size_t c = 3; c < now.records[0].cells.size(); ++c) {
        if (now.records[0].cells[c] != "12" && !cells[c].empty()) {
          got[cells[0]][now.records[0].cells[c]] = cells[c];
        }
      }
    }
    // 2,50 and 2.5 are one float: both sides are compared as the shortest form.
    auto shortest = [](std::string number) {
      for (char& ch : number) ch = ch == ',' ? '.' : ch;
      uint32_t bits = 0;
      EXPECT_TRUE(ParseFloatText(number, &bits)) << number;
      return FormatFloatBits(bits);
    };
    for (Model* m : {&expected, &got}) {
      for (auto& [file, cells] : *m) {
        for (auto& [key, cell] : cells) {
          if (key.size() == 1) cell = shortest(cell);
        }
      }
    }
    EXPECT_EQ(got, expected) << edited << patch.out;
    // Read back again, the sheet is no change.
    EXPECT_EQ(SheetPatch(again.out, {root}).out, "");
  }
}

// Each refusal names its cell, prints nothing on standard output and exits 2; rows and
// columns deleted change nothing.
TEST_F(Tables, RefusalsNameTheirCellAndPrintNothing) {
  const std::string root = dir_ / "r";
  fs::create_directories(root);
  Table t;
  t.entries.push_back(FloatEntry(1, 2.5f));
  t.entries.push_back(TextEntry(2, "abc"));
  Table nested;
  nested.entries.push_back(NameEntry("inner"));
  t.entries.push_back(RefEntry(3, nested));
  WriteFile(root + "/a.atb", EncodeFile(t));
  WriteFile(root + "/b.atb", EncodeFile(t));
  const Ran sheet = Sheet("/", {root});
  ASSERT_EQ(sheet.status, 0);
  ASSERT_EQ(sheet.out.substr(0, sheet.out.find('\r')), "file,path,fnv64,1,2,3");
  const std::string header = "file,path,fnv64,1,2,3\n";
  const std::string a =
      sheet.out.substr(sheet.out.find('\n') + 1, sheet.out.find("\nb.atb") - sheet.out.find('\n'));
  const std::string b = sheet.out.substr(sheet.out.find("\nb.atb") + 1);
  auto hashOf = [](const std::string& row) { return row.substr(row.find(",/,") + 3, 18); };
  const std::string ha = hashOf(a), hb = hashOf(b);
  const std::pair<std::string, std::string> refused[] = {
      {header + "a.atb,/," + ha + ",x2,abc,inner\n", "D2: x2 is no float"},
      {header + "a.atb,/," + ha + ",2.5,abc,\n", "F2: a nested table's cell cannot be emptied"},
      {header + "a.atb,/," + ha + ",2.5,abc,other\n", "F2: a nested table is changed"},
      {header + "gone.atb,/," + ha + ",2.5,abc,inner\n", "A2: gone.atb is not among the files"},
      {header + "a.atb,/9," + ha + ",2.5,abc,inner\n", "B2: a.atb has no table /9 now"},
      {header + "a.atb,/,0x0000000000000001,2.5,abc,inner\n", "C2: a.atb: / changed since"},
      {header + "a.atb,/," + ha + ",2.5,abc,inner\na.atb,/," + ha + ",2.5,abc,inner\n",
       "B3: the same table as row 2"},
      {header + "a.atb,/,,2.5,abc,inner\n", "C2: a row needs its file, path and fnv64"},
      {"file,path,fnv64,1,renamed,3\na.atb,/," + ha + ",2.5,abc,inner\n",
       "E1: no table of the sheet has renamed"},
      {"file,path,1,2,3\na.atb,/,2.5,abc,inner\n", "A1: the sheet has no column 'fnv64'"},
      {header + "a.atb,/," + ha + ",2.5,a\\qb,inner\n", "E2: a backslash starts an escape"},
      {header + "a.atb,/," + ha + ",2.5,abc\n", "F2: the row ends before the header does"},
      {"file,path,fnv64,1,1,3\na.atb,/," + ha + ",2.5,abc,inner\n", "E1: a second column for 1"},
      {header + "a.atb,/," + ha + ",\"1,000\",abc,inner\n", "D2: 1,000 is no number"},
  };
  const std::string before = ReadFile(root + "/a.atb");
  for (const auto& [text, says] : refused) {
    const Ran r = SheetPatch(text, {root});
    EXPECT_EQ(r.status, 2) << text;
    EXPECT_EQ(r.out, "") << text;
    EXPECT_NE(r.err.find("sheet.csv: " + says), std::string::npos) << text << r.err;
  }
  EXPECT_EQ(ReadFile(root + "/a.atb"), before);
  // Columns reordered and deleted, a row deleted: only the edit made is a change.
  const Ran edited = SheetPatch("path,2,fnv64,file\n/,abd," + ha + ",a.atb\n", {root});
  EXPECT_EQ(edited.status, 1) << edited.err;
  EXPECT_EQ(edited.out,
            "file a.atb\nset /2: text \"abc\" -> text \"abd\"\nend 1 change\nend 1 file\n");
  // One file alone: a patch of that file, its rows named by its own name.
  const Ran one = SheetPatch("file,path,fnv64,1\nb.atb,/," + hb + ",2.50\n", {root + "/b.atb"});
  EXPECT_EQ(one.status, 0) << one.err;
  const Ran set = SheetPatch("file,path,fnv64,1\nb.atb,/," + hb + ",-7\n", {root + "/b.atb"});
  EXPECT_EQ(set.out, "set /1: float 2.5 -> float -7\nend 1 change\n");
}

// A file whose name a spreadsheet would take for a formula is written "./NAME", and read back
// as that file; a cell whose value makes no patch apply would take refuses the sheet whole.
TEST_F(Tables, HostileNamesAndValuesStayInTheirCells) {
  const std::string root = dir_ / "h";
  fs::create_directories(root);
  Table t;
  t.entries.push_back(TextEntry(1, "abc"));
  t.entries.push_back(FloatEntry(2, 1));
  WriteFile(root + "/=HYPERLINK(1).atb", EncodeFile(t));
  WriteFile(root + "/-x.atb", EncodeFile(t));
  const Ran sheet = Sheet("/", {root});
  ASSERT_EQ(sheet.status, 0) << sheet.err;
  EXPECT_NE(sheet.out.find("\r\n./-x.atb,/,"), std::string::npos) << sheet.out;
  EXPECT_NE(sheet.out.find("\r\n./=HYPERLINK(1).atb,/,"), std::string::npos) << sheet.out;
  EXPECT_EQ(SheetPatch(sheet.out, {root}).status, 0);
  std::string edited = sheet.out;
  // A line of its own in a text cell stays in the text; a typed value with more behind it, and
  // a text holding a zero byte, are refused.
  const std::size_t abc = edited.find("abc");
  const Ran lines = SheetPatch(
      edited.substr(0, abc) + "\"x\nset /2: float 1 -> float 9\"" + edited.substr(abc + 3), {root});
  EXPECT_EQ(lines.status, 1) << lines.err;
  EXPECT_NE(lines.out.find("text \"x\\nset /2: float 1 -> float 9\""), std::string::npos)
      << lines.out;
  for (const std::string& value : {std::string("\"float 1 -> float 9\""), std::string("a\0b", 3)}) {
    const std::size_t at = edited.find(value[0] == 'a' ? "abc" : ",1\r");
    std::string text = edited;
    if (value[0] == 'a') {
      text.replace(at, 3, value);
    } else {
      text.replace(at + 1, 1, value);
    }
    const Ran r = SheetPatch(text, {root});
    EXPECT_EQ(r.status, 2) << text << r.out;
    EXPECT_EQ(r.out, "");
  }
}

// What a hostile attack on the sheet found: each now reads back as it should.
TEST_F(Tables, OddValuesAndSheetsReadBackAsTheyShould) {
  const std::string root = dir_ / "o";
  fs::create_directories(root);
  Table t;
  t.entries.push_back({1, 3, ""});  // a text with no bytes at all
  t.entries.push_back(FloatEntry(2, 2));
  t.entries.push_back({16, 9, "\x01"});
  t.entries.push_back(FloatEntry(3, -INFINITY));
  t.entries.push_back(BoolEntry(4, 1));
  WriteFile(root + "/a.atb", EncodeFile(t));
  const Ran sheet = Sheet("/", {root});
  ASSERT_EQ(sheet.status, 0) << sheet.err;
  EXPECT_NE(sheet.out.find(",text empty,2,\"type 9 \"\"\\x01\"\"\",float -inf,1\r\n"),
            std::string::npos)
      << sheet.out;
  auto edited = [&](const std::string& from, const std::string& to) {
    std::string text = sheet.out;
    text.replace(text.find(from), from.size(), to);
    return SheetPatch(text, {root});
  };
  EXPECT_EQ(edited("empty,2,", "empty,float 2.0,").status, 0);
  EXPECT_EQ(
      edited("\"\"\\x01\"\"", "\"\"\\x05\"\"").out,
      "file a.atb\nset /16: type 9 \"\\x01\" -> type 9 \"\\x05\"\nend 1 change\nend 1 file\n");
  EXPECT_EQ(edited("inf,1\r", "inf,+1\r").status, 2);
  // A file named twice, a "sep=" line, and a row of separators alone are no change.
  const fs::path cwd = fs::current_path();
  fs::current_path(dir_.path());
  const Ran twice = Sheet("/", {"o", "o/a.atb"});
  fs::current_path(cwd);
  EXPECT_EQ(std::count(twice.out.begin(), twice.out.end(), '\n'), 2) << twice.out << twice.err;
  EXPECT_EQ(SheetPatch("sep=,\r\n" + sheet.out + ",,,,,,,\r\n", {root}).status, 0);
  // A table deeper than a patch reaches: its cells cannot be changed by a patch.
  Table deep;
  deep.entries.push_back(FloatEntry(1, 1));
  for (int level = 0; level < 256; ++level) {
    Table outer;
    outer.entries.push_back(RefEntry(2, deep));
    deep = outer;
  }
  const std::string far = dir_ / "far";
  fs::create_directories(far);
  WriteFile(far + "/a.atb", EncodeFile(deep));
  std::string deepSheet = Sheet("/**/*[?type=table]", {far}).out;
  ASSERT_EQ(deepSheet.substr(deepSheet.size() - 4), ",1\r\n");
  deepSheet.replace(deepSheet.size() - 3, 1, "5");
  const Ran refused = SheetPatch(deepSheet, {far});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("more than 256 tables deep"), std::string::npos) << refused.err;
}

// Texts a spreadsheet would take for numbers, dates or formulas are written with their type, so
// that they come back as they were; a cell filled in a column of one type gets that type.
TEST_F(Tables, TextsASpreadsheetWouldConvertKeepTheirType) {
  const std::string root = dir_ / "k";
  fs::create_directories(root);
  Table t;
  t.entries.push_back(TextEntry(1, "007"));
  t.entries.push_back(TextEntry(2, "=SUM(A1)"));
  t.entries.push_back(TextEntry(3, ""));
  t.entries.push_back(TextEntry(4, "plain"));
  t.entries.push_back(TextEntry(5, "a", "\x01"));
  Table other;
  other.entries.push_back(TextEntry(4, "other"));
  other.entries.push_back(TextEntry(6, "x"));
  WriteFile(root + "/a.atb", EncodeFile(t));
  WriteFile(root + "/b.atb", EncodeFile(other));
  const Ran sheet = Sheet("/", {root});
  EXPECT_NE(sheet.out.find("\"text \"\"007\"\"\",\"text \"\"=SUM(A1)\"\"\",\"text \"\"\"\"\",plain,"
                           "\"text \"\"a\"\" trailing \"\"\\x01\"\"\""),
            std::string::npos)
      << sheet.out;
  std::string edited = sheet.out;
  // Fill key 6 for a.atb: a text column, so the cell is a text.
  const std::size_t end = edited.find("\r\n", edited.find("a.atb"));
  edited.insert(end, "1/2");
  const Ran patch = SheetPatch(edited, {root});
  EXPECT_EQ(patch.status, 1) << patch.err;
  EXPECT_NE(patch.out.find("add /6 after /5 before end: text \"1/2\""), std::string::npos)
      << patch.out;
}

// A sheet opened and saved again by a spreadsheet program (gnumeric's ssconvert, which guesses
// every cell's type on import as a spreadsheet does), with `,` and with `;`, reads back as no
// change: numbers it rewrites (1E-20, 10000000000) are the same floats, and the texts it would
// convert were written with their type.
TEST_F(Tables, ASheetSavedByASpreadsheetProgramIsNoChange) {
  if (std::system("command -v ssconvert >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "ssconvert (Debian's gnumeric) is not installed; make test installs it";
  }
  const std::string root = dir_ / "g";
  fs::create_directories(root);
  const float floats[] = {0.1f,          1e-20f,          123456789.0f, -0.0f,
                          3.4028235e38f, 1.17549435e-38f, 16777216.0f,  1e10f,
                          NAN,           INFINITY,        -2.5f};
  const char* const texts[] = {"007",  "1/2",       "TRUE",        "2024-01-01",  "50%",
                               "=1+1", "-x",        " lead",       "trail ",      "a;b",
                               "a,b",  "tab\there", "line\nbreak", "back\\slash", "é ü 日本",
                               "1e5",  "0x10",      "plain words", "say \"x\""};
  for (int f = 0; f < 2; ++f) {
    Table t;
    uint32_t key = 1;
    for (float v : floats) t.entries.push_back(FloatEntry(key++, f == 0 ? v : -v));
    for (const char* text : texts) t.entries.push_back(TextEntry(key++, text));
    t.entries.push_back(BoolEntry(key++, static_cast<uint8_t>(f == 0 ? 7 : 1)));
    t.entries.push_back(WideEntry(key++, u"wide 1/2"));
    WriteFile(root + "/t" + std::to_string(f) + ".atb", EncodeFile(t));
  }
  const Ran sheet = Sheet("/", {root});
  ASSERT_EQ(sheet.status, 0) << sheet.err;
  const std::string in = dir_ / "in.csv";
  WriteFile(in, sheet.out);
  for (const char* options : {"",
                              "--export-type=Gnumeric_stf:stf_assistant -O 'separator=; "
                              "quoting-mode=always eol=windows'"}) {
    const std::string saved = dir_ / "saved.csv";
    const testing::Outcome converted =
        testing::Shell("ssconvert " + std::string(options) + " '" + in + "' '" + saved + "' 2>&1");
    ASSERT_EQ(converted.status, 0) << converted.out;
    const Ran back = SheetPatch(ReadFile(saved), {root});
    EXPECT_EQ(back.status, 0) << options << "\n" << ReadFile(saved) << back.err << back.out;
    EXPECT_EQ(back.out, "") << options;
  }
}

}  // namespace
}  // namespace atb
