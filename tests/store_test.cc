// Reading and checking tables, and the in-place growth primitives, on real files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "store/growth.h"
#include "store/table.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::TempDir;

Status Read(const Bytes& bytes, int64_t offset, int64_t end, EntryList* list) {
  MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return ReadTable(source, offset, end, list);
}

bool Damaged(const Bytes& table) {
  EntryList list;
  return Read(table, 0, static_cast<int64_t>(table.size()), &list).damaged();
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

// A real file, opened for the primitives.
class Primitives : public ::testing::Test {
 protected:
  void Open(const Bytes& bytes) {
    WriteFile(dir_ / "f", bytes);
    fd_ = ::open((dir_ / "f").c_str(), O_RDWR);
    ASSERT_NE(fd_, -1);
  }
  ~Primitives() override {
    if (fd_ != -1) ::close(fd_);
  }
  Bytes Contents() { return ReadFile(dir_ / "f"); }
  int64_t Position() { return ::lseek(fd_, 0, SEEK_CUR); }
  AtbFile File() { return AtbFile(SystemFiles(), fd_); }

  TempDir dir_;
  int fd_ = -1;
};

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

TEST_F(Primitives, MeasureTextIsBoundedByTheExtent) {
  Open(Bytes("\0abc\0xyz", 8) + Bytes(5000, 'q') + Bytes(1, '\0'));
  AtbFile f = File();
  int64_t len;
  ASSERT_TRUE(MeasureText(f, 0, 8, &len).ok());
  EXPECT_EQ(len, 1);
  EXPECT_EQ(Position(), 0);
  ASSERT_TRUE(MeasureText(f, 1, 8, &len).ok());
  EXPECT_EQ(len, 4);
  EXPECT_EQ(Position(), 1);
  ASSERT_TRUE(MeasureText(f, 5, 8, &len).ok());  // "xyz" has no zero byte within its extent
  EXPECT_EQ(len, 0);
  ASSERT_TRUE(MeasureText(f, 5, 5009, &len).ok());  // found across a block boundary
  EXPECT_EQ(len, 5004);
  EXPECT_EQ(Position(), 5);
}

}  // namespace
}  // namespace atb
