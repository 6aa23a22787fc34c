// Memory bounded by depth, not by size: dump, get, check and build on tables nested thousands
// deep and on tables of many entries, measured by the heap they hold at their peak; and the
// blocks that walks read tables in.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <tuple>

#include "store/table.h"
#include "tests/random_files.h"
#include "tests/sampling.h"
#include "tests/test_util.h"
#include "text/dump.h"
#include "text/json_form.h"
#include "text/paths.h"

// Present when built with AddressSanitizer, whose heap mallinfo2 does not see.
extern "C" __attribute__((weak)) std::size_t __sanitizer_get_current_allocated_bytes();

namespace atb {
namespace {

using namespace build;

// Bytes the heap holds now.
std::size_t HeapInUse() {
  if (__sanitizer_get_current_allocated_bytes != nullptr) {
    return __sanitizer_get_current_allocated_bytes();
  }
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

// A file in memory whose reads note the most the heap held beyond what it held at the start.
class PeakSource : public ByteSource {
 public:
  explicit PeakSource(const Bytes& file)
      : inner_(reinterpret_cast<const uint8_t*>(file.data()), file.size()), base_(HeapInUse()) {}
  Status ReadAt(int64_t pos, void* buf, std::size_t n) override {
    peak_ = std::max(peak_, HeapInUse());
    return inner_.ReadAt(pos, buf, n);
  }
  std::size_t peak() const { return std::max(peak_, base_) - base_; }

 private:
  MemorySource inner_;
  std::size_t base_, peak_ = 0;
};

// Tables nested `depth` deep, each holding only the next, keyed 0 to 6 in turn.
Bytes Chain(int depth) {
  Bytes tables;
  for (int d = 0; d < depth; ++d) {
    tables += U32(1) + U32(static_cast<uint32_t>(d % 7)) + U32(100) + U32(0);
  }
  tables += U32(0);
  const auto length = static_cast<uint32_t>(52 + tables.size());
  return Bytes(36, 'h') + U32(length - 44) + Bytes(8, 'm') + U32(length - 52) + tables;
}

// A chain whose reading shows its memory all the way down: each level holds 4 KiB (key 9)
// before the next (keys 0 to 6, so keys do not ascend and picks are read back), and the last
// holds a block larger than a read window beside a damaged table. Reads that miss the window are
// where the peak is sampled.
Bytes PaddedChain(int depth) {
  Bytes tables;
  for (int d = 0; d < depth; ++d) {
    tables += U32(2) + U32(9) + U32(7) + U32(0) + U32(static_cast<uint32_t>(d % 7)) + U32(100) +
              U32(4096) + Bytes(4096, 'p');
  }
  tables += U32(2) + U32(9) + U32(7) + U32(0) + U32(0) + U32(100) + U32(1200 << 10) +
            Bytes(1200 << 10, 'b') + U32(7);
  const auto length = static_cast<uint32_t>(52 + tables.size());
  return Bytes(36, 'h') + U32(length - 44) + Bytes(8, 'm') + U32(length - 52) + tables;
}

// A root of `n` references to empty tables, keys ascending in runs of three equal ones.
Bytes Wide(uint32_t n) {
  Bytes root = U32(n);
  for (uint32_t i = 0; i < n; ++i) root += U32(i / 3) + U32(100) + U32(4 * i);
  root += Bytes(4 * static_cast<std::size_t>(n), '\0');
  const auto length = static_cast<uint32_t>(52 + root.size());
  return Bytes(36, 'h') + U32(length - 44) + Bytes(8, 'm') + U32(length - 52) + root;
}

struct Peaks {
  std::size_t dump, json, check, get;
};

// The peak heap of each reading command over `file`; `path` names an entry for get.
Peaks Measure(const Bytes& file, const std::string& path) {
  std::FILE* null = std::fopen("/dev/null", "w");
  Peaks p{};
  const auto length = static_cast<int64_t>(file.size());
  KeyNames names;
  // The output gathers up to a spill; its buffer is counted out.
  {
    Sink sink(null);
    sink.buf().reserve(4 << 20);
    PeakSource source(file);
    EXPECT_TRUE(DumpText(source, length, names, sink).ok());
    p.dump = source.peak();
  }
  {
    Sink sink(null);
    sink.buf().reserve(4 << 20);
    PeakSource source(file);
    EXPECT_TRUE(DumpJson(source, length, names, sink).ok());
    p.json = source.peak();
  }
  {
    PeakSource source(file);
    std::vector<TableDamage> damage;
    EXPECT_FALSE(CheckTree(source, ROOT_TABLE_OFFSET, length, &damage).ioError());
    p.check = source.peak();
  }
  {
    std::vector<PathElement> elements;
    EXPECT_TRUE(ParsePath(path, &elements).ok());
    PeakSource source(file);
    FoundEntry found;
    const Status s = FindEntry(source, length, elements, names, &found);
    EXPECT_TRUE(s.ok()) << s.Message();
    p.get = source.peak();
  }
  std::fclose(null);
  return p;
}

std::string ChainPath(int depth) {
  std::string path;
  for (int d = 0; d < depth; ++d) {
    path += '/';
    path += std::to_string(d % 7);
  }
  return path;
}

// The last of the three entries keyed `key`.
std::string ThirdOf(uint32_t key) {
  std::string path(1, '/');
  path += std::to_string(key);
  return path += "[2]";
}

TEST(Memory, ReadingGrowsWithTheDepthNotWithItsSquare) {
  // What each command holds beyond what it holds for a shallow file (its read window, its output
  // buffer).
  const int depth = testing::kSanitized ? 1000 : 1500;
  const Peaks shallow = Measure(PaddedChain(300), ChainPath(300) + "/0");
  const Peaks once = Measure(PaddedChain(depth), ChainPath(depth) + "/0");
  const Peaks twice = Measure(PaddedChain(2 * depth), ChainPath(2 * depth) + "/0");
  // Holding each line's path at every level, as dump did, grows more than fourfold here; a path
  // and a frame per level, less than threefold.
  for (auto [name, base, a, b] : {std::tuple("dump", shallow.dump, once.dump, twice.dump),
                                  std::tuple("dump --json", shallow.json, once.json, twice.json),
                                  std::tuple("check", shallow.check, once.check, twice.check),
                                  std::tuple("get", shallow.get, once.get, twice.get)}) {
    EXPECT_LT(b - base, 3 * (a - base)) << name << ": " << a << " then " << b << " bytes";
    EXPECT_LT(b - base, 2u * depth * 512) << name;
  }

  // What is printed is what every level's path says.
  const Bytes file = Chain(4);
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  Sink sink(nullptr);
  ASSERT_TRUE(DumpText(source, static_cast<int64_t>(file.size()), KeyNames(), sink).ok());
  EXPECT_EQ(sink.buf(), "/0 = ref\n/0/1 = ref\n/0/1/2 = ref\n/0/1/2/3 = ref\n");
}

TEST(Memory, ATableIsHeldABlockAtATimeWhateverItsEntries) {
  // Both beyond what fills a read window.
  const uint32_t n = 66000;
  const Peaks small = Measure(Wide(n), ThirdOf(n / 3 - 1));
  const Peaks large = Measure(Wide(n * 3 / 2), ThirdOf(n / 2 - 1));
  // The whole entry list and its picks took 16 bytes an entry: 516 KiB more here.
  for (auto [name, a, b] :
       {std::tuple("dump", small.dump, large.dump),
        std::tuple("dump --json", small.json, large.json),
        std::tuple("check", small.check, large.check), std::tuple("get", small.get, large.get)}) {
    EXPECT_LT(b, a + (64 << 10)) << name << ": " << a << " then " << b << " bytes";
  }
}

// The entries and picks of a table as a naive reading of all of it gives them.
TEST(TableWalks, CursorsAndPicksAgreeWithTheWholeTableInAnyBlock) {
  Random r(31);
  for (bool ascending : {true, false}) {
    Table t;
    std::vector<uint32_t> keys;
    for (int i = 0; i < 3000; ++i) keys.push_back(static_cast<uint32_t>(r.Below(400)));
    if (ascending) std::sort(keys.begin(), keys.end());
    for (uint32_t key : keys) t.entries.push_back(TextEntry(key, r.Word(3)));
    const Bytes bytes = EncodeTable(t);
    MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    const auto end = static_cast<int64_t>(bytes.size());
    EntryList list;
    ASSERT_TRUE(ReadTable(source, 0, end, &list).ok());
    // A budget too small for one block: every table gets the least, and crosses many blocks.
    for (std::size_t budget : {std::size_t{0}, std::size_t{8} << 20}) {
      BlockBudget blocks(budget);
      EntryCursor cursor;
      ASSERT_TRUE(cursor.Open(source, 0, end, blocks).ok());
      EXPECT_EQ(cursor.keysAscend(), ascending);
      KeyPicks picks;
      picks.Start(0, cursor.count(), cursor.keysAscend());
      std::vector<uint32_t> seen(400, 0);
      for (uint32_t i = 0; i < list.count; ++i) {
        CursorEntry e;
        ASSERT_TRUE(cursor.Next(source, &e).ok());
        ASSERT_EQ(e.ID, list.ID[i]);
        ASSERT_EQ(e.start, list.ExtentStart(i));
        ASSERT_EQ(e.end, list.ExtentEnd(i));
        picks.Note(e);
        int32_t pick;
        ASSERT_TRUE(picks.Pick(source, blocks, &pick).ok());
        const auto total = std::count(keys.begin(), keys.end(), e.ID);
        ASSERT_EQ(pick, total > 1 ? static_cast<int32_t>(seen[e.ID]) : -1) << i;
        ++seen[e.ID];
      }
      EXPECT_TRUE(cursor.done());
    }
  }
}

// A tree whose keys repeat and come in any order, nested up to three deep.
Table Unordered(Random& r, int depth = 0) {
  Table t;
  for (int i = r.Below(12); i > 0; --i) {
    const auto key = r.OneIn(6) ? 0x80000000u : static_cast<uint32_t>(1 + r.Below(5));
    if (depth < 3 && r.OneIn(3)) {
      Table nested = Unordered(r, depth + 1);
      if (r.OneIn(2)) nested.entries.push_back(NameEntry(r.Word(4)));
      t.entries.push_back(RefEntry(key, nested));
    } else if (r.OneIn(2)) {
      t.entries.push_back(TextEntry(key, r.Word(5)));
    } else {
      t.entries.push_back(FloatEntry(key, static_cast<float>(r.Below(9))));
    }
  }
  return t;
}

// Every path a dump prints leads get back to that line's value, and check names each damaged
// table as a path from its trail does; keys ascending or in any order, some tables damaged.
TEST(TableWalks, DumpedPathsLeadBackWhateverTheKeyOrder) {
  Random r(5);
  KeyNames names;
  for (int c = 0; c < testing::Share(160, 160, 80); ++c) {
    Bytes file = c % 2 == 0 ? RandomFile(r) : EncodeFile(Unordered(r));
    for (int k = c % 2 == 1 && r.OneIn(3) ? 1 + r.Below(3) : 0; k > 0; --k) {
      file[52 + static_cast<std::size_t>(r.Below(static_cast<int>(file.size()) - 52))] ^= 0x40;
    }
    MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    const auto length = static_cast<int64_t>(file.size());
    Sink dump(nullptr);
    ASSERT_TRUE(DumpText(source, length, names, dump).ok());
    std::size_t lines = 0;
    for (std::size_t at = 0; at < dump.buf().size(); ++lines) {
      const std::size_t end = dump.buf().find('\n', at);
      const std::string line = dump.buf().substr(at, end - at);
      at = end + 1;
      const std::size_t eq = line.find(" = ");
      if (line.compare(0, eq, "/") == 0) continue;  // a damaged root
      std::vector<PathElement> elements;
      ASSERT_TRUE(ParsePath(line.substr(0, eq), &elements).ok()) << line;
      FoundEntry found;
      const Status s = FindEntry(source, length, elements, names, &found);
      ASSERT_TRUE(s.ok()) << "case " << c << ": " << line << ": " << s.Message();
      Sink value(nullptr);
      ASSERT_TRUE(
          AppendEntryText(source, found.entry.Type, found.entry.start, found.entry.end, value)
              .ok());
      ASSERT_EQ(value.buf(), line.substr(eq + 3)) << "case " << c;
    }
    std::vector<TableDamage> damage;
    CheckTree(source, ROOT_TABLE_OFFSET, length, &damage);
    for (const TableDamage& d : damage) {
      EXPECT_EQ(DamagedTablePath(names, d), CanonicalTablePath(source, length, d.trail, names))
          << "case " << c;
    }
  }
}

// A table that another program changes between its check and its reading is an I/O error, never
// an extent outside it.
TEST(TableWalks, ATableChangedAfterItsCheckIsAnIoError) {
  Table t;
  for (uint32_t i = 0; i < 600; ++i) t.entries.push_back(BoolEntry(i, 1));
  Bytes bytes = EncodeTable(t);
  MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  BlockBudget budget(1 << 20);
  EntryCursor cursor;
  ASSERT_TRUE(cursor.Open(source, 0, static_cast<int64_t>(bytes.size()), budget).ok());
  bytes.replace(static_cast<std::size_t>(OffFieldPos(0, 500)), 4, U32(0x7FFFFFF0));
  Status s;
  CursorEntry e;
  while (s.ok() && !cursor.done()) s = cursor.Next(source, &e);
  EXPECT_TRUE(s.ioError());
  EXPECT_EQ(s.Message(), "the file changed while it was read");
}

// A document read through a file layer whose reads note the most the heap held.
struct Built {
  bool ok;
  std::string error;
  Bytes file;
  std::size_t peak;
};

Built BuildStreamed(const std::string& json) {
  struct Noting : Files {
    const std::string* text;
    std::size_t at = 0, base = HeapInUse(), peak = 0;
    ssize_t Read(int, void* buf, std::size_t n) override {
      peak = std::max(peak, HeapInUse());
      n = std::min(n, text->size() - at);
      std::copy_n(text->data() + at, n, static_cast<char*>(buf));
      at += n;
      return static_cast<ssize_t>(n);
    }
  } cookie;
  cookie.text = &json;
  Built b;
  {
    JsonText text(cookie, -1);
    BuiltFile built;
    b.ok = testing::OkElseWhy(BuildFromJson(text, KeyNames(), &built), &b.error);
    built.WriteTo([&](std::string_view piece) {
      b.file.append(piece);
      return true;
    });
  }
  b.peak = std::max(cookie.peak, cookie.base) - cookie.base;
  return b;
}

TEST(Memory, BuildHoldsTheFileAndTheWayDownNotTheDocument) {
  // The dump of a deep chain, each of its lines indented far more than a dump does: build holds
  // what grows with the depth, not the blanks.
  std::size_t peaks[2];
  for (int k = 0; k < 2; ++k) {
    const Bytes file = Chain((testing::kSanitized ? 800 : 1500) * (k + 1));
    MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    Sink json(nullptr);
    ASSERT_TRUE(DumpJson(source, static_cast<int64_t>(file.size()), KeyNames(), json).ok());
    std::string indented;
    for (char c : json.buf()) {
      indented.push_back(c);
      if (c == '\n') indented.append(1000, ' ');
    }
    const Built b = BuildStreamed(indented);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(b.file, file);
    peaks[k] = b.peak;
    // The smaller document is mostly the way down itself, which the sanitizers' padding inflates.
    if (k == 1) {
      EXPECT_LT(b.peak, indented.size() / 3);
    }
  }
  EXPECT_LT(peaks[1], 3 * peaks[0]) << peaks[0] << " then " << peaks[1];

  // Deeper than any call stack, written without blanks.
  const int depth = testing::kSanitized ? 20000 : 100000;
  std::string deep = R"({"root": )";
  for (int d = 0; d < depth; ++d) deep += R"({"entries": [{"key": 1, "type": "ref", "table": )";
  deep += R"({"entries": []})";
  for (int d = 0; d < depth; ++d) deep += "}]}";
  const Built b = BuildStreamed(deep + "}");
  ASSERT_TRUE(b.ok) << b.error;
  Bytes tables;
  for (int d = 0; d < depth; ++d) tables += U32(1) + U32(1) + U32(100) + U32(0);
  EXPECT_EQ(b.file.substr(52), tables + U32(0));
  EXPECT_TRUE(testing::FileIsSound(b.file));
}

// Heads placed in front of their data and heads placed in it, around the size where one turns
// into the other; and a table beside a value, dropped after its head was placed.
TEST(Build, TablesOfEverySizeRoundTrip) {
  // The inner table's data: the block and a float, 4,094 to 4,097 bytes, then far more.
  for (std::size_t size : {4090, 4091, 4092, 4093, 9000}) {
    const Table inner{{{2, 7, Bytes(size, 'x')}, FloatEntry(3, 1)}};
    const Table middle{{RefEntry(1, inner), TextEntry(4, "after"), RefEntry(5, inner)}};
    const Bytes file = EncodeFile({{FloatEntry(0, 2), RefEntry(6, middle), RefEntry(7, {})}});
    MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    Sink json(nullptr);
    ASSERT_TRUE(DumpJson(source, static_cast<int64_t>(file.size()), KeyNames(), json).ok());
    Bytes rebuilt;
    std::string error;
    ASSERT_TRUE(testing::OkElseWhy(BuildFromJson(json.buf(), KeyNames(), &rebuilt), &error))
        << error;
    EXPECT_EQ(rebuilt, file) << size;
  }
  std::string big;
  AppendBase64(&big, Bytes(9000, 'x'));
  Bytes rebuilt;
  std::string error;
  ASSERT_TRUE(testing::OkElseWhy(
      BuildFromJson(R"({"root": {"entries": [{"key": 1, "type": "float", "table": {"entries":
      [{"key": 2, "type": "ref", "table": {"entries": [{"key": 3, "type": 7, "bytes": ")" +
                        big + R"("}]}}]}, "value": 2}]}})",
                    KeyNames(), &rebuilt),
      &error))
      << error;
  EXPECT_EQ(rebuilt.substr(52), EncodeTable({{FloatEntry(1, 2)}}));
}

// Each document is refused, or built, as the whole document parsed first and then checked was.
TEST(Build, AStreamReachesTheVerdictOfTheWholeDocument) {
  auto built = [](const std::string& json) {
    Bytes file;
    std::string error;
    EXPECT_TRUE(testing::OkElseWhy(BuildFromJson(json, KeyNames(), &file), &error)) << json << "\n"
                                                                                    << error;
    return file.substr(52);
  };
  auto refused = [](const std::string& json) {
    Bytes file;
    std::string error;
    EXPECT_FALSE(testing::OkElseWhy(BuildFromJson(json, KeyNames(), &file), &error)) << json;
    return error;
  };
  // An entry's members in any order; a table beside a value counts for nothing, even broken.
  EXPECT_EQ(built(R"({"root": {"entries": [{"table": {"entries": []}, "type": "ref", "key": 5},
      {"key": 6, "table": {"entries": [{"key": []}]}, "type": "float", "value": 1.5}]}})"),
            EncodeTable({{RefEntry(5, {}), FloatEntry(6, 1.5f)}}));
  // A member given twice is refused where it is given again, before what was held.
  EXPECT_EQ(refused(R"({"root": {"entries": [{"key": 1}]}, "root": {"entries": [{"key": 1}],
      "entries": [{"key": 2, "type": "bool", "value": 0, "value": true}]}})"),
            "line 1, column 37, at /root: \"root\" appears a second time in this object: keep one "
            "of them");
  // A lead written after the entries still lies in front of their values.
  EXPECT_EQ(built(R"({"root": {"entries": [{"key": 1, "type": "bool", "value": 1}],
      "lead": "AAA="}})"),
            EncodeTable({{BoolEntry(1, 1)}, Bytes(2, '\0')}));
  // A table's own members are checked before its entries, an entry's key and type before its
  // table, and the first entry that fails before the next.
  EXPECT_EQ(refused(R"({"root": {"entries": [{"key": 1, "type": "float", "value": "x"}],
      "zz": 1}})"),
            "line 2, column 7, at /root/zz: unknown field \"zz\" (a table has lead, entries, "
            "damaged, bytes)");
  EXPECT_EQ(refused(R"({"root": {"entries": [{"type": "ref", "table": {"entries": [{"key": 1}]},
      "key": -1}]}})"),
            "line 2, column 14, at /root/entries/0/key: a whole number from 0 to 4294967295 was "
            "expected");
  EXPECT_EQ(refused(R"({"root": {"entries": [{"key": 1, "type": "float", "value": "x"},
      {"type": "float"}]}})"),
            "line 1, column 60, at /root/entries/0/value: \"x\" is not a float");
  // The header is checked before the root, wherever it is written.
  EXPECT_EQ(refused(R"({"root": {"entries": [{"key": []}]}, "header": {"start": "A"}})"),
            "line 1, column 58, at /header/start: base64 bytes were expected");
  // A syntax error anywhere outranks them all.
  EXPECT_EQ(refused(R"({"root": {"entries": [{"key": []}]}, "x": 1)"),
            "parse error at line 1, column 44: syntax error while parsing object - unexpected end "
            "of input; expected '}'");
  // Columns and the last characters read count every blank, however many were written.
  const std::string blanks(300, ' ');
  EXPECT_EQ(refused("{\"root\":" + blanks + "\t" + blanks + "tru}"),
            "parse error at line 1, column 613: syntax error while parsing value - invalid "
            "literal; last read: '\"root\":" +
                blanks + "<U+0009>" + blanks + "tru}'");
  EXPECT_EQ(refused("{\"root\": {\"entries\": [\n" + blanks + "{\"key\": 1, \"colour\": 2}]}}"),
            "line 2, column 312, at /root/entries/0/colour: unknown field \"colour\" (an entry "
            "has key, label, type, value, trailing, bytes, table, damaged)");
}

}  // namespace
}  // namespace atb
