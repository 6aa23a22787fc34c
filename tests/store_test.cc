// Reading and checking tables, where a stored text ends, UTF-16 and the names of references.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "store/hash.h"
#include "store/table.h"
#include "store/text_end.h"
#include "store/utf.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;

Status Read(const Bytes& bytes, int64_t offset, int64_t end, EntryList* list) {
  MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return ReadTable(source, offset, end, list);
}

bool Damaged(const Bytes& table) {
  EntryList list;
  return Read(table, 0, static_cast<int64_t>(table.size()), &list).damaged();
}

// The checks of a journal's frames are made eight at a time where the processor can: they must
// be the very hashes one at a time makes, or journals would not be read back across machines.
TEST(Hash64Eight, IsHash64OfEachBlock) {
  std::vector<uint8_t> blocks(8 * 512 + 64);
  uint32_t x = 2463534242u;
  for (uint8_t& b : blocks) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<uint8_t>(x);
  }
  for (const std::size_t n : {32, 40, 64, 72, 256, 448, 496, 504}) {
    for (const std::size_t stride : {std::size_t{512}, (n + 63) / 64 * 64}) {
      uint64_t seeds[8], out[8];
      for (int k = 0; k < 8; ++k) seeds[k] = x * (k + 1) + n;
      Hash64Eight(blocks.data() + 8, stride, n, seeds, out);
      for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(out[k], Hash64(blocks.data() + 8 + k * stride, n, seeds[k]))
            << n << " bytes, stride " << stride << ", block " << k;
      }
    }
  }
}

TEST(ReadTable, HoldsEntriesWithAbsoluteOffsetsAndTheEndSentinel) {
  Bytes t = EncodeTable({{FloatEntry(5, 1.5f), TextEntry(6, "abc", "zz"), BoolEntry(7, 1)}});
  Bytes file = Bytes(100, '\0') + t;
  EntryList list;
  ASSERT_TRUE(Read(file, 100, static_cast<int64_t>(file.size()), &list).ok());
  ASSERT_EQ(list.count, 3u);
  const int64_t D = 100 + 4 + 36;
  EXPECT_EQ(list.ID, (std::vector<uint32_t>{5, 6, 7}));
  EXPECT_EQ(list.Type, (std::vector<uint32_t>{0, 3, 2}));
  EXPECT_EQ(list.Off, (std::vector<uint32_t>{D, D + 4, D + 10, D + 11}));
}

TEST(ReadTable, EmptyTablesAndEmptyExtents) {
  EntryList list;
  ASSERT_TRUE(Read(U32(0), 0, 4, &list).ok());
  EXPECT_EQ(list.count, 0u);
  EXPECT_EQ(list.Off, std::vector<uint32_t>{4});
  // Slack after an empty entry block belongs to no entry; equal Offs give an empty extent.
  Table t{{{1, 0, ""}, FloatEntry(2, 1.0f)}, "slack"};
  Bytes b = EncodeTable(t);
  ASSERT_TRUE(Read(b, 0, static_cast<int64_t>(b.size()), &list).ok());
  EXPECT_EQ(list.Off[0], list.Off[1]);
  EXPECT_EQ(list.Off[0], 4 + 24 + 5u);
}

TEST(ReadTable, RefusesDamagedTables) {
  EXPECT_TRUE(Damaged(""));
  EXPECT_TRUE(Damaged("abc"));
  EXPECT_TRUE(Damaged(U32(1)));                          // the entry does not fit
  EXPECT_TRUE(Damaged(U32(1) + U32(1) + U32(0) + "x"));  // one byte short
  EXPECT_FALSE(Damaged(U32(1) + U32(1) + U32(0) + U32(0)));
  EXPECT_TRUE(Damaged(U32(0xFFFFFFFF) + Bytes(64, '\0')));  // a count that cannot fit
  // A value past the extent, one right at its end (allowed: empty), and decreasing positions.
  EXPECT_TRUE(Damaged(EncodeTable({{{1, 0, "abcd", 5}}})));
  EXPECT_FALSE(Damaged(EncodeTable({{{1, 0, "abcd", 4}}})));
  EXPECT_TRUE(Damaged(EncodeTable({{{1, 0, "ab", 2}, {2, 0, "cd", 1}}})));
  // An Off that would wrap around 2^32 back into the extent.
  EXPECT_TRUE(Damaged(EncodeTable({{{1, 0, "abcd", 0xFFFFFFF0}}})));
  // Key order is not checked.
  EXPECT_FALSE(Damaged(EncodeTable({{FloatEntry(9, 1), FloatEntry(3, 2)}})));
}

TEST(ReadTable, LargeTablesAreReadInBlocks) {
  Table t;
  for (uint32_t i = 0; i < 70000; ++i) t.entries.push_back(BoolEntry(i, static_cast<uint8_t>(i)));
  Bytes b = EncodeTable(t);
  EntryList list;
  ASSERT_TRUE(Read(b, 0, static_cast<int64_t>(b.size()), &list).ok());
  ASSERT_EQ(list.count, 70000u);
  EXPECT_EQ(list.ID[69999], 69999u);
  EXPECT_EQ(list.Off[69999], 4 + 12 * 70000 + 69999u);
  // Damage far beyond the first block is still found.
  Bytes bad = b;
  bad.replace(4 + 12 * 69000 + 8, 4, U32(0));
  EXPECT_TRUE(Read(bad, 0, static_cast<int64_t>(bad.size()), &list).damaged());
}

TEST(CheckTree, LooksIntoEveryNestedTable) {
  Table deep{{NameEntry("deep")}};
  Table mid{{RefEntry(1, deep), FloatEntry(2, 0)}};
  Bytes good = EncodeFile({{RefEntry(10, mid), TextEntry(11, "t")}});
  EXPECT_TRUE(testing::FileIsSound(good));

  Table broken{{{3, 0, "abcd", 9}}};
  Bytes bad = EncodeFile({{RefEntry(10, {{RefEntry(1, broken)}}), TextEntry(11, "t")}});
  EXPECT_FALSE(testing::FileIsSound(bad));
  // A Reference whose extent is empty cannot hold a table.
  EXPECT_FALSE(testing::FileIsSound(EncodeFile({{{100 /*id*/, 100, ""}, FloatEntry(200, 1)}})));
}

TEST(CheckTree, SurvivesNestingDeeperThanTheStack) {
  // Each level: one Reference entry whose value, right behind it, is the next level.
  const Bytes level = U32(1) + U32(7) + U32(100) + U32(0);
  Bytes t;
  for (int i = 0; i < 200000; ++i) t += level;
  t += EncodeTable({});
  MemorySource source(reinterpret_cast<const uint8_t*>(t.data()), t.size());
  EXPECT_TRUE(CheckTree(source, 0, static_cast<int64_t>(t.size())).ok());
}

TEST(WindowedSource, ServesReadsFromOneWindowAndZerosBeyondTheEnd) {
  Bytes data = "0123456789";
  struct Counting : ByteSource {
    explicit Counting(const Bytes& d) : mem(reinterpret_cast<const uint8_t*>(d.data()), d.size()) {}
    Status ReadAt(int64_t pos, void* buf, std::size_t n) override {
      ++reads;
      return mem.ReadAt(pos, buf, n);
    }
    MemorySource mem;
    int reads = 0;
  } base(data);
  WindowedSource w(base, 6);
  char b[8];
  ASSERT_TRUE(w.ReadAt(2, b, 3).ok());
  EXPECT_EQ(Bytes(b, 3), "234");
  ASSERT_TRUE(w.ReadAt(5, b, 3).ok());  // still inside [2, 8)
  EXPECT_EQ(Bytes(b, 3), "567");
  EXPECT_EQ(base.reads, 1);
  ASSERT_TRUE(w.ReadAt(8, b, 4).ok());  // moves the window; past the end reads zeros
  EXPECT_EQ(Bytes(b, 4), Bytes("89\0\0", 4));
  ASSERT_TRUE(w.ReadAt(0, b, 8).ok());  // larger than the window: straight through
  EXPECT_EQ(Bytes(b, 8), "01234567");
  EXPECT_EQ(base.reads, 3);
}

int64_t ZeroAt(const Bytes& bytes, int64_t start, int64_t end, int unitBytes) {
  MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  int64_t zero = -2;
  EXPECT_TRUE(FindZero(source, start, end, unitBytes, &zero).ok());
  return zero;
}

// The bytes behind each range are zeros: a search that read past its end would find them.
TEST(FindZero, LooksInItsRangeOnlyAndAcrossBlocks) {
  const int64_t block = 64 << 10;
  const Bytes b = Bytes("\0abc\0xyz", 8) + Bytes(2 * block, 'q') + Bytes(4, '\0');
  EXPECT_EQ(ZeroAt(b, 0, 8, 1), 0);
  EXPECT_EQ(ZeroAt(b, 1, 8, 1), 4);
  EXPECT_EQ(ZeroAt(b, 5, 8, 1), -1);
  EXPECT_EQ(ZeroAt(b, 8, 8, 1), -1);
  EXPECT_EQ(ZeroAt(b, 5, 8 + 2 * block, 1), -1);
  EXPECT_EQ(ZeroAt(b, 5, 9 + 2 * block, 1), 8 + 2 * block);  // in the third block
}

TEST(FindZero, AZeroUnitLiesAtAnEvenDistanceFromTheStart) {
  const int64_t block = 64 << 10;
  // Zero bytes at block - 1 and block, and a zero unit at block + 2.
  const Bytes b = Bytes(block - 1, 'q') + Bytes("\0\0q\0\0", 5);
  EXPECT_EQ(ZeroAt(b, 0, block + 4, 2), block + 2);
  EXPECT_EQ(ZeroAt(b, 1, block + 4, 2), block - 1);
  EXPECT_EQ(ZeroAt(b, 0, block + 3, 2), -1);  // an odd last byte is no unit
  EXPECT_EQ(ZeroAt(Bytes("a\0\0b\0\0", 6), 0, 6, 2), 4);
}

TEST(Utf16, SurrogatesPairOnlyHighThenLowAndUnitsComeInWholeByteTwos) {
  auto decode = [](std::vector<uint16_t> units) {
    std::vector<uint32_t> cps;
    for (std::size_t i = 0; i < units.size();)
      cps.push_back(NextUtf16(units.data(), units.size(), &i));
    return cps;
  };
  using V = std::vector<uint32_t>;
  EXPECT_EQ(decode({0xD83D, 0xDE00, 0x41}), (V{0x1F600, 0x41}));
  EXPECT_EQ(decode({0xDBFF, 0xDFFF}), V{0x10FFFF});
  // A low one first, a high one at the end, or before anything but a low one, stands alone.
  EXPECT_EQ(decode({0xDE00, 0xD83D}), (V{0xDE00, 0xD83D}));
  EXPECT_EQ(decode({0xD83D, 0xD83D, 0xDE00}), (V{0xD83D, 0x1F600}));
  EXPECT_EQ(decode({0xD800, 0xE000}), (V{0xD800, 0xE000}));
  for (uint32_t cp : {0x0u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    std::vector<uint16_t> units;
    AppendUtf16(cp, &units);
    EXPECT_EQ(decode(units), V{cp});
  }
  std::string le;
  AppendUtf16LE({0x00E9, 0xD83D}, &le);
  EXPECT_EQ(le, Bytes("\xE9\0\x3D\xD8", 4));
  EXPECT_EQ(DecodeUtf16LE(le + "x"), (std::vector<uint16_t>{0x00E9, 0xD83D}));
}

// The name as the dialogue's listing has always read it: at most 200 bytes from the value's
// position, wherever its extent ends.
TEST(ReadReferenceName, TheFirstNameEntryUpToItsZeroAndAtMost200Bytes) {
  auto name = [](const Bytes& bytes) -> std::optional<std::string> {
    MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    bool found = true;
    std::string text = "stale";
    EXPECT_TRUE(
        ReadReferenceName(source, 0, static_cast<int64_t>(bytes.size()), &found, &text).ok());
    if (!found) return std::nullopt;
    return text;
  };
  EXPECT_EQ(name(EncodeTable({{FloatEntry(1, 1)}})), std::nullopt);
  EXPECT_EQ(name(EncodeTable({{NameEntry("first"), NameEntry("second")}})), "first");
  EXPECT_EQ(name(EncodeTable({{FloatEntry(1, 1), NameEntry("")}})), "");
  for (std::size_t n : {199, 200, 201}) {
    EXPECT_EQ(name(EncodeTable({{NameEntry(std::string(n, 'n'))}})),
              std::string(std::min<std::size_t>(n, 200), 'n'));
  }
  EXPECT_EQ(name(EncodeTable({{{REF_NAME_KEY, 0, Bytes("flt\0", 4)}}})), "flt");
  // Without a zero in its extent it runs on into the next value, and past the end as zeros.
  EXPECT_EQ(name(EncodeTable({{{REF_NAME_KEY, 3, "abc"}, TextEntry(0x50000000, "def")}})),
            "abcdef");
  EXPECT_EQ(name(EncodeTable({{{REF_NAME_KEY, 3, "abc"}}})), "abc");
  EXPECT_EQ(name(EncodeTable({{{REF_NAME_KEY, 3, "abc"}}}) + Bytes(300, 'z')),
            "abc" + Bytes(197, 'z'));
}

}  // namespace
}  // namespace atb
