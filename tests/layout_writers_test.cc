// What lays out tables and headers, what walks the tree, and the shared words of the text forms.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "store/header.h"
#include "store/table.h"
#include "store/table_builder.h"
#include "store/tree_walk.h"
#include "store/type_words.h"
#include "tests/test_util.h"
#include "text/paths.h"

namespace atb {
namespace {

using namespace build;

EntryList ReadBack(const Bytes& bytes) {
  MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EntryList list;
  EXPECT_TRUE(ReadTable(source, 0, static_cast<int64_t>(bytes.size()), &list).ok());
  return list;
}

TEST(TableBuilder, ALeadGivenLateMovesEveryOffAndAHeadFitsItsValues) {
  TableBuilder early, late, sized;
  early.SetLead("LD");
  for (TableBuilder* b : {&early, &late}) {
    b->Add(1, 0, F32(1.5f));
    b->Add(2, 3, Str("ab"));
  }
  late.SetLead("LD");
  EXPECT_EQ(early.Finish(), late.Finish());
  EXPECT_EQ(late.ValueOffset(1), 4u);  // counted from the first value, the lead left out
  const EntryList list = ReadBack(late.Finish());
  ASSERT_EQ(list.count, 2u);
  EXPECT_EQ(list.Off[0], DataStart(0, 2) + 2);
  EXPECT_EQ(list.Off[1], list.Off[0] + 4);
  sized.AddSized(1, 0, 4);
  sized.AddSized(2, 3, 3);
  sized.SetLead("LD");
  EXPECT_EQ(sized.Head() + F32(1.5f) + Str("ab"), late.Finish());
  EXPECT_EQ(static_cast<int64_t>(sized.Head().size()), TableBuilder::HeadSize(2, 2));
}

TEST(TableBuilder, StoresTheCountAndOffsItIsGivenForDamagedTables) {
  TableBuilder b;
  b.SetLead("L");
  b.AddWithOff(7, 0, F32(1), 99);
  b.Add(8, 2, "\1");
  b.SetCount(5);
  const Bytes bytes = b.Finish();
  EXPECT_EQ(bytes.substr(0, 4), U32(5));
  EXPECT_EQ(bytes.substr(EntryPos(0, 0) + 8, 4), U32(99));
  EXPECT_EQ(bytes.substr(EntryPos(0, 1) + 8, 4), U32(5));  // the lead and the first value
  EXPECT_EQ(bytes, EncodeTable({{{7, 0, F32(1), 99}, {8, 2, "\1"}}, "L", 5}));
}

TEST(HeaderSizes, FollowTheLengthAndLeaveTheRestAlone) {
  std::string header(HEADER_SIZE, 'x');
  EXPECT_FALSE(HeaderSizesFollow(header, 1000));
  SetHeaderSizes(&header, 1000);
  EXPECT_TRUE(HeaderSizesFollow(header, 1000));
  EXPECT_FALSE(HeaderSizesFollow(header, 1001));
  EXPECT_EQ(header.substr(OUTER_SIZE_OFFSET, 4), U32(956));
  EXPECT_EQ(header.substr(ROOT_SIZE_OFFSET, 4), U32(948));
  EXPECT_EQ(header.substr(0, HEADER_START_SIZE), std::string(HEADER_START_SIZE, 'x'));
  EXPECT_EQ(header.substr(HEADER_MIDDLE_OFFSET, HEADER_MIDDLE_SIZE), "xxxxxxxx");
  const Bytes file = EncodeFile({{FloatEntry(1, 2)}});
  EXPECT_TRUE(HeaderSizesFollow(file.substr(0, HEADER_SIZE), static_cast<int64_t>(file.size())));
}

// Writes what the walk tells, one word each.
class Recorder : public TreeVisitor {
 public:
  Status Entry(TreeWalk& walk, const CursorEntry& e) override {
    Say('e', e.ID, walk.Enters(e) ? "> " : " ");
    return Status::Ok();
  }
  Status EnterTable(TreeWalk&, const WalkTable& t) override {
    Say('[', t.level, "@");
    said.append(std::to_string(t.holder)).append(" ");
    return Status::Ok();
  }
  Status LeaveTable(TreeWalk&, const WalkTable&) override {
    said += "] ";
    return Status::Ok();
  }
  Status Damaged(TreeWalk& walk, const CursorEntry* e, const Status&) override {
    Say('d', e == nullptr ? 0 : e->ID, "/");
    said.append(std::to_string(walk.depth())).append(" ");
    return stopAtDamage ? Status::Refused("stop") : Status::Ok();
  }
  std::string said;
  bool stopAtDamage = false;

 private:
  void Say(char what, uint64_t n, const char* then) {
    said.push_back(what);
    said.append(std::to_string(n)).append(then);
  }
};

std::string Walk(const Bytes& table, WalkOptions options, bool stop = false,
                 Status* result = nullptr) {
  MemorySource source(reinterpret_cast<const uint8_t*>(table.data()), table.size());
  TreeWalk walk(source, options);
  Recorder r;
  r.stopAtDamage = stop;
  Status s = walk.Run(0, static_cast<int64_t>(table.size()), r);
  if (result != nullptr) *result = s;
  return r.said;
}

TEST(TreeWalk, TellsTablesEntriesAndDamageInFileOrderAndStopsWhereTheVisitorSays) {
  const Table damaged = {{FloatEntry(1, 1)}, "", 40};
  const Bytes tree =
      EncodeTable({{RefEntry(1, {{FloatEntry(2, 2), RefEntry(3, {{FloatEntry(4, 4)}})}}),
                    RefEntry(5, damaged), FloatEntry(6, 6)}});
  EXPECT_EQ(Walk(tree, {}), "[0@0 e1> [1@1 e2 e3> [2@3 e4 ] ] e5> d5/1 e6 ] ");
  WalkOptions shallow;
  shallow.deepest = 2;
  EXPECT_EQ(Walk(tree, shallow), "[0@0 e1> [1@1 e2 e3 ] e5> d5/1 e6 ] ");
  Status s;
  EXPECT_EQ(Walk(tree, {}, true, &s), "[0@0 e1> [1@1 e2 e3> [2@3 e4 ] ] e5> d5/1 ");
  EXPECT_TRUE(s.refused());
  EXPECT_EQ(Walk(EncodeTable(damaged), {}, false, &s), "d0/0 ");
  EXPECT_TRUE(s.ok());
}

TEST(TypeWords, PatchesSayTableJsonSaysRefAndEachReadsOnlyItsOwn) {
  uint32_t type = 0;
  EXPECT_EQ(WordOfType(100, TypeSpelling::kPatch), "table");
  EXPECT_EQ(WordOfType(100, TypeSpelling::kJson), "ref");
  EXPECT_TRUE(TypeOfWord("ref", TypeSpelling::kJson, &type) && type == 100);
  EXPECT_FALSE(TypeOfWord("ref", TypeSpelling::kPatch, &type));
  EXPECT_FALSE(TypeOfWord("table", TypeSpelling::kJson, &type));
  for (const TypeWordRow& row : kTypeWords) {
    for (const auto spelling : {TypeSpelling::kPatch, TypeSpelling::kJson}) {
      ASSERT_TRUE(
          TypeOfWord(WordOfType(static_cast<uint32_t>(row.type), spelling), spelling, &type));
      EXPECT_EQ(type, static_cast<uint32_t>(row.type));
    }
  }
  EXPECT_EQ(WordOfType(7, TypeSpelling::kPatch), "");
  EXPECT_TRUE(IsValueType(4));
  EXPECT_FALSE(IsValueType(100));
  EXPECT_FALSE(IsValueType(7));
}

TEST(ParseKey, ANewEntrysKeyIsALabelANameOrANumberAlone) {
  const KeyNames names;
  uint32_t key = 0;
  EXPECT_TRUE(ParseKey("0x10", names, &key) && key == 16);
  EXPECT_TRUE(ParseKey("17", names, &key) && key == 17);
  EXPECT_TRUE(ParseKey("armor", names, &key) && key == names.KeyOfWord("armor"));
  EXPECT_TRUE(ParseKey("@5", names, &key) && key == names.KeyOfWord("@5"));
  for (const char* no : {"#3", "a[1]", "a/b", "", "99999999999"}) {
    EXPECT_FALSE(ParseKey(no, names, &key)) << no;
  }
}

}  // namespace
}  // namespace atb
