// merge against a model: random BASE files, random disjoint edits on each side; the merge must be
// BASE with both edit sets applied, byte for byte, as the builder encodes it. Overlapping edits
// are conflicts that leave OURS as it was.
#include "patches/merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

#include "atbutil/commands.h"
#include "change/open.h"
#include "tests/edit_model.h"
#include "tests/random_files.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;

// Random edits of one side that overlap neither its own nor `other`'s; new keys are odd for
// one side and even for the other, so that both sides' adds interleave by key.
std::vector<Edit> RandomEdits(const Node& base, Random& r, const std::vector<Edit>& other,
                              uint32_t parity) {
  std::vector<std::vector<uint32_t>> entries, tables;
  Trails(base, {}, &entries, &tables);
  std::vector<Edit> edits;
  for (int n = 1 + r.Below(5); n > 0; --n) {
    Edit e;
    const int kind = entries.empty() ? 3 + r.Below(4) : r.Below(7);
    if (kind <= 2) {
      e.kind = kind == 2 ? Edit::kRemove : Edit::kSet;
      e.trail = entries[static_cast<std::size_t>(r.Below(static_cast<int>(entries.size())))];
      std::tie(e.type, e.value) = RandomValue(r);
    } else {
      e.kind = kind == 6 ? Edit::kLead : Edit::kAdd;
      e.trail = tables[static_cast<std::size_t>(r.Below(static_cast<int>(tables.size())))];
      e.key = 2 * static_cast<uint32_t>(r.Below(12)) + parity;
      std::tie(e.type, e.value) = RandomValue(r);
      if (e.kind == Edit::kLead) e.value = r.Word(3);
    }
    if (e.kind == Edit::kAdd) {
      // A key that no version of the table holds: one place, no list.
      const Node* t = TableAt(const_cast<Node*>(&base), e.trail);
      bool taken = std::any_of(t->items.begin(), t->items.end(),
                               [&](const Node::Item& i) { return i.key == e.key; });
      for (const Edit& o : edits) taken = taken || (o.kind == Edit::kAdd && o.key == e.key);
      if (taken) continue;
    }
    if (Overlaps(e, other) || Overlaps(e, edits)) continue;
    edits.push_back(std::move(e));
  }
  return edits;
}

class Merges : public ::testing::Test {
 protected:
  void SetUp() override { SetDurableChanges(false); }
  void TearDown() override { SetDurableChanges(true); }

  int Merge(const Bytes& base, const Bytes& ours, const Bytes& theirs) {
    WriteFile(dir_ / "base.atb", base);
    WriteFile(dir_ / "ours.atb", ours);
    WriteFile(dir_ / "theirs.atb", theirs);
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* err = open_memstream(&buf, &len);
    const int status = MergeCommand(dir_ / "base.atb", dir_ / "ours.atb", dir_ / "theirs.atb", "",
                                    KeyNames(), err);
    std::fclose(err);
    err_.assign(buf, len);
    std::free(buf);
    return status;
  }
  Bytes Ours() { return ReadFile(dir_ / "ours.atb"); }

  testing::TempDir dir_;
  std::string err_;
};

TEST_F(Merges, DisjointEditsGiveBaseWithBothApplied) {
  Random r(777);
  int merged = 0, nested = 0, both = 0;
  const int cases = testing::kSanitized ? 80 : 300;
  for (int c = 0; c < cases; ++c) {
    const std::unique_ptr<Node> base = FromTable(RandomTable(r));
    const std::vector<Edit> mine = RandomEdits(*base, r, {}, 0);
    const std::vector<Edit> yours = RandomEdits(*base, r, mine, 1);
    std::unique_ptr<Node> ours = base->Copy(), theirs = base->Copy(), expected = base->Copy();
    ApplyEdits(ours.get(), mine);
    ApplyEdits(theirs.get(), yours);
    std::vector<Edit> all = mine;
    all.insert(all.end(), yours.begin(), yours.end());
    ApplyEdits(expected.get(), all);
    Bytes header = EncodeFile(base->Encodable());
    Bytes oursFile = EncodeFile(ours->Encodable()), theirsFile = EncodeFile(theirs->Encodable()),
          expectedFile = EncodeFile(expected->Encodable());
    if (r.OneIn(5)) {  // a header byte changed on THEIRS only
      theirsFile[7] = 'T';
      expectedFile[7] = 'T';
    }
    ASSERT_EQ(Merge(header, oursFile, theirsFile), 0) << c << ": " << err_;
    ASSERT_EQ(Ours(), expectedFile) << c;
    ++merged;
    for (const Edit& e : yours) nested += e.trail.size() > (e.kind == Edit::kAdd ? 0u : 1u);
    both += !mine.empty() && !yours.empty();
  }
  EXPECT_GT(nested, cases / 5);  // changes inside tables, which the other side may change too
  EXPECT_GT(both, cases * 3 / 4);
}

TEST_F(Merges, OverlappingEditsAreConflictsAndLeaveOursAsItWas) {
  Random r(4711);
  int conflicts = 0;
  const int cases = testing::kSanitized ? 50 : 120;
  for (int c = 0; c < cases; ++c) {
    const std::unique_ptr<Node> base = FromTable(RandomTable(r));
    std::vector<std::vector<uint32_t>> entries, tables;
    Trails(*base, {}, &entries, &tables);
    if (entries.empty()) continue;
    const auto target =
        entries[static_cast<std::size_t>(r.Below(static_cast<int>(entries.size())))];
    Edit set{Edit::kSet, target, 0, 3, Str("ours " + r.Word(4))};
    Edit other{Edit::kSet, target, 0, 3, Str("theirs " + r.Word(4))};
    switch (r.Below(3)) {
      case 0:
        other.kind = Edit::kRemove;
        break;
      case 1:
        if (target.size() > 1)
          other = {Edit::kRemove, {target.begin(), target.end() - 1}, 0, 0, {}};
        break;
      default:
        break;
    }
    if (r.OneIn(2)) std::swap(set, other);
    std::unique_ptr<Node> ours = base->Copy(), theirs = base->Copy();
    ApplyEdits(ours.get(), {set});
    ApplyEdits(theirs.get(), {other});
    const Bytes oursFile = EncodeFile(ours->Encodable());
    ASSERT_EQ(Merge(EncodeFile(base->Encodable()), oursFile, EncodeFile(theirs->Encodable())), 1)
        << c;
    ASSERT_EQ(Ours(), oursFile) << c;
    ASSERT_NE(err_.find(": base "), std::string::npos) << err_;
    ASSERT_NE(err_.find("1 conflict; left as it was"), std::string::npos) << err_;
    ++conflicts;
  }
  EXPECT_GT(conflicts, cases * 3 / 4);
}

TEST_F(Merges, AddsMeetInKeyOrderListsGrowOnBothSidesAndAttributesConflict) {
  const Table base{{FloatEntry(10, 1), TextEntry(20, "a"), TextEntry(20, "b"), FloatEntry(30, 3)}};
  Table ours = base, theirs = base;
  ours.entries.insert(ours.entries.begin() + 1, FloatEntry(12, 12));
  ours.entries.insert(ours.entries.begin() + 4, TextEntry(20, "ours"));
  theirs.entries.insert(theirs.entries.begin() + 1, FloatEntry(11, 11));
  theirs.entries.insert(theirs.entries.begin() + 2, FloatEntry(12, 12));  // alike: kept once
  theirs.entries.insert(theirs.entries.begin() + 3, FloatEntry(13, 13));
  theirs.entries.insert(theirs.entries.begin() + 6, TextEntry(20, "theirs"));
  Table expected = base;
  expected.entries.insert(expected.entries.begin() + 1,
                          {FloatEntry(11, 11), FloatEntry(12, 12), FloatEntry(13, 13)});
  expected.entries.insert(expected.entries.begin() + 6,
                          {TextEntry(20, "ours"), TextEntry(20, "theirs")});
  ASSERT_EQ(Merge(EncodeFile(base), EncodeFile(ours), EncodeFile(theirs)), 0) << err_;
  EXPECT_EQ(Ours(), EncodeFile(expected));

  // One key set on both sides to different values, where neither holds it twice: a conflict.
  ours = base;
  theirs = base;
  ours.entries.push_back(FloatEntry(40, 1));
  theirs.entries.push_back(FloatEntry(40, 2));
  EXPECT_EQ(Merge(EncodeFile(base), EncodeFile(ours), EncodeFile(theirs)), 1);
  const std::string named = "atbutil: " + (dir_ / "ours.atb") + ": ";
  EXPECT_EQ(err_, named + "/40: base absent, ours float 1, theirs float 2\n" + named +
                      "1 conflict; left as it was\n");
  EXPECT_EQ(Ours(), EncodeFile(ours));

  // The same value changed differently, and a table changed inside on one side and removed on
  // the other: every conflict is listed.
  const Table nested{{RefEntry(5, {{FloatEntry(1, 1)}}), FloatEntry(6, 6)}};
  const Table mine{{RefEntry(5, {{FloatEntry(1, 2)}}), FloatEntry(6, 7)}};
  const Table yours{{FloatEntry(6, 8)}};
  EXPECT_EQ(Merge(EncodeFile(nested), EncodeFile(mine), EncodeFile(yours)), 1);
  EXPECT_EQ(err_, named +
                      "/5: base table 20 bytes fnv64 0x5d0a85e3219a9068, ours table 20 "
                      "bytes fnv64 0x5b5714e320283be5, theirs removed\n" +
                      named + "/6: base float 6, ours float 7, theirs float 8\n" + named +
                      "2 conflicts; left as it was\n");
  EXPECT_EQ(Ours(), EncodeFile(mine));

  // A damaged root table is trouble.
  Bytes damaged = EncodeFile(base);
  damaged[ROOT_TABLE_OFFSET] = 0x7F;
  EXPECT_EQ(Merge(EncodeFile(base), EncodeFile(base), damaged), 2);
  EXPECT_EQ(err_.substr(0, 42), "atbutil: THEIRS's root table is damaged: c");
}

}  // namespace
}  // namespace atb
