// merge against a model: random BASE files, random disjoint edits on each side; the merge must be
// BASE with both edit sets applied, byte for byte, as the builder encodes it. Overlapping edits
// are conflicts: ours is kept there, and the commands printed take theirs.
#include "patches/merge.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

#include "atbutil/commands.h"
#include "change/open.h"
#include "tests/edit_model.h"
#include "tests/random_files.h"
#include "tests/test_util.h"
#include "text/paths.h"

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

  int Merge(const Bytes& base, const Bytes& ours, const Bytes& theirs,
            MergeSide side = MergeSide::kNone, const std::string& name = "") {
    WriteFile(dir_ / "base.atb", base);
    WriteFile(dir_ / "ours.atb", ours);
    WriteFile(dir_ / "theirs.atb", theirs);
    char* buf = nullptr;
    std::size_t len = 0;
    std::FILE* err = open_memstream(&buf, &len);
    const int status = MergeCommand(dir_ / "base.atb", dir_ / "ours.atb", dir_ / "theirs.atb", name,
                                    side, KeyNames(), err);
    std::fclose(err);
    err_.assign(buf, len);
    std::free(buf);
    return status;
  }
  Bytes Ours() { return ReadFile(dir_ / "ours.atb"); }
  // Runs in the test's folder, through a shell, every command that the last merge printed to
  // take theirs; returns the shell's status, and what it said in *said.
  int TakeTheirs(std::string* said) {
    const std::string marker = ": to take theirs: ";
    std::string script;
    for (std::size_t at = err_.find(marker); at != std::string::npos; at = err_.find(marker, at)) {
      at += marker.size();
      const std::size_t end = err_.find('\n', at);
      script += err_.substr(at, end - at) + "\n";
    }
    WriteFile(dir_ / "take.sh", script);
    const std::string bin = std::string(ATBUTIL_BINARY);
    const testing::Outcome ran =
        testing::Shell("cd '" + dir_.path() + "' && PATH='" + bin.substr(0, bin.rfind('/')) +
                       "':\"$PATH\" ATB_SYNC=0 sh -e take.sh 2>&1");
    *said = script + ran.out;
    return ran.status;
  }

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

// Overlapping edits are conflicts, amid disjoint edits on both sides. The merge makes every
// disjoint edit and keeps ours at the conflict (status 1); the command it prints takes theirs
// there, giving what --theirs gives; --ours gives what the conflict left.
TEST_F(Merges, AConflictKeepsOursThereMergesTheRestAndTellsHowToTakeTheirs) {
  Random r(4711);
  int conflicts = 0, amid = 0;
  const int cases = testing::kSanitized ? 25 : 80;
  for (int c = 0; c < cases; ++c) {
    const std::unique_ptr<Node> base = FromTable(RandomTable(r));
    std::vector<std::vector<uint32_t>> entries, tables;
    Trails(*base, {}, &entries, &tables);
    if (entries.empty()) continue;
    const auto target =
        entries[static_cast<std::size_t>(r.Below(static_cast<int>(entries.size())))];
    // Values of any type but a table (which would be merged inside), unlike the entry's own and
    // each other.
    const Node::Item& now =
        TableAt(base.get(), {target.begin(), target.end() - 1})->items[target.back()];
    Edit set{Edit::kSet, target, 0, 0, {}}, other = set;
    std::tie(set.type, set.value) = RandomValue(r);
    std::tie(other.type, other.value) = RandomValue(r);
    const auto same = [](const Edit& e, uint32_t type, const Bytes& value) {
      return e.type == type && e.value == value;
    };
    if (set.type == 100 || same(set, now.type, now.value)) set.type = 3, set.value = Str("ours");
    if (other.type == 100 || same(other, now.type, now.value) || same(other, set.type, set.value)) {
      other.type = 3, other.value = Str("theirs' " + r.Word(4));
    }
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
    std::vector<Edit> around = {set, other};
    const std::vector<Edit> mine = RandomEdits(*base, r, around, 0);
    around.insert(around.end(), mine.begin(), mine.end());
    const std::vector<Edit> yours = RandomEdits(*base, r, around, 1);
    const auto with = [&](std::vector<Edit> edits, std::vector<const std::vector<Edit>*> more) {
      for (const auto* m : more) edits.insert(edits.end(), m->begin(), m->end());
      std::unique_ptr<Node> n = base->Copy();
      ApplyEdits(n.get(), edits);
      return EncodeFile(n->Encodable());
    };
    const Bytes b = EncodeFile(base->Encodable()), o = with({set}, {&mine}),
                t = with({other}, {&yours}), kept = with({set}, {&mine, &yours}),
                taken = with({other}, {&mine, &yours});
    ASSERT_EQ(Merge(b, o, t), 1) << c << ": " << err_;
    ASSERT_EQ(Ours(), kept) << c << ": " << err_;
    ASSERT_NE(err_.find(": base "), std::string::npos) << err_;
    ASSERT_NE(err_.find(": 1 conflict, ours kept there and every other change merged: settle it "
                        "(the line under it says how to take theirs)\n"),
              std::string::npos)
        << err_;
    std::string said;
    ASSERT_EQ(TakeTheirs(&said), 0) << c << ": " << err_ << said;
    ASSERT_EQ(Ours(), taken) << c << ": " << err_ << said;
    ASSERT_EQ(Merge(b, o, t, MergeSide::kTheirs), 0) << c << ": " << err_;
    ASSERT_EQ(Ours(), taken) << c;
    ASSERT_NE(err_.find(": 1 conflict settled: theirs taken\n"), std::string::npos) << err_;
    ASSERT_EQ(Merge(b, o, t, MergeSide::kOurs), 0) << c << ": " << err_;
    ASSERT_EQ(Ours(), kept) << c;
    ++conflicts;
    amid += !yours.empty();
  }
  EXPECT_GT(conflicts, cases * 3 / 4);
  EXPECT_GT(amid, conflicts * 3 / 4);  // theirs' other changes, merged beside the conflict
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
  const std::string file = dir_ / "ours.atb", named = "atbutil: " + file + ": ";
  EXPECT_EQ(err_, named + "/40: base absent, ours float 1, theirs float 2\n" + named +
                      "/40: to take theirs: atbutil set " + file + " /40 2\n" + named +
                      "1 conflict, ours kept there and every other change merged: settle it (the "
                      "line under it says how to take theirs)\n");
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
                      named + "/5: to take theirs: atbutil remove " + file + " /5\n" + named +
                      "/6: base float 6, ours float 7, theirs float 8\n" + named +
                      "/6: to take theirs: atbutil set " + file + " /6 8\n" + named +
                      "2 conflicts, ours kept at each and every other change merged: settle them "
                      "(the line under each says how to take theirs)\n");
  EXPECT_EQ(Ours(), EncodeFile(mine));
}

// Every kind of conflict with the commands that take theirs: a value that set writes, a value of
// another type (a patch), a table taken whole from THEIRS, a removal, an entry that only THEIRS
// kept (one of a list too), a table's lead and the header. Run, they give what --theirs gives,
// but for a damaged table, which no command takes in, as the message says.
TEST_F(Merges, EveryKindOfConflictTellsHowToTakeTheirs) {
  const Table inner{{NameEntry("inner"), FloatEntry(1, 1)}};
  const Table changed{{NameEntry("inner"), FloatEntry(1, 10)}};
  Table damaged = changed;
  damaged.count = 1000;
  const Table base{{RefEntry(2, inner), TextEntry(3, "three"), FloatEntry(4, 4), FloatEntry(5, 5),
                    TextEntry(6, "six"), RefEntry(7, inner), FloatEntry(8, 8), TextEntry(9, "a"),
                    TextEntry(9, "b")},
                   "ld"};
  Table ours = base, theirs = base, taken = base;
  ours.entries[0] = FloatEntry(2, 20);  // a table made a float, and changed inside on THEIRS
  theirs.entries[0] = taken.entries[0] = RefEntry(2, changed);
  ours.entries[1] = TextEntry(3, "ours");
  theirs.entries[1] = taken.entries[1] = FloatEntry(3, 3);
  ours.entries[2] = FloatEntry(4, 40);                       // removed on THEIRS below
  theirs.entries[3] = taken.entries[3] = FloatEntry(5, 50);  // removed on OURS below
  ours.entries[4] = TextEntry(6, "ours six");
  theirs.entries[4] = taken.entries[4] = TextEntry(6, "it's theirs");
  ours.entries[5] = taken.entries[5] = RefEntry(7, changed);
  theirs.entries[5] = RefEntry(7, damaged);
  theirs.entries[6] = taken.entries[6] = FloatEntry(8, 80);  // no conflict
  ours.entries.pop_back();                                   // one of a list, changed on THEIRS
  theirs.entries.back() = taken.entries.back() = TextEntry(9, "b2");
  ours.lead = "lo";
  theirs.lead = taken.lead = "lt";
  ours.entries.erase(ours.entries.begin() + 3);
  theirs.entries.erase(theirs.entries.begin() + 2);
  taken.entries.erase(taken.entries.begin() + 2);
  Bytes o = EncodeFile(ours), t = EncodeFile(theirs), expected = EncodeFile(taken);
  o[7] = 'O';
  t[7] = expected[7] = 'T';
  Table kept = ours;
  kept.entries[5] = FloatEntry(8, 80);
  Bytes merged = EncodeFile(kept);
  merged[7] = 'O';

  ASSERT_EQ(Merge(EncodeFile(base), o, t), 1) << err_;
  EXPECT_EQ(Ours(), merged);
  const std::string file = dir_ / "ours.atb", from = dir_ / "theirs.atb";
  const std::string named = "atbutil: " + file + ": ", patch = "printf '%s\\n' '";
  const std::string applied = "' 'end 1 change' | atbutil apply " + file + " -\n";
  for (const std::string& line : std::vector<std::string>{
           "/2: to take theirs: atbutil extract " + from + " /2 table.atb && atbutil remove " +
               file + " /2 && atbutil insert " + file + " / 2 table.atb && rm table.atb\n",
           "/3: to take theirs: " + patch + "set /3: text \"ours\" -> float 3" + applied,
           "/4: to take theirs: atbutil remove " + file + " /4\n",
           "/5: to take theirs: atbutil add " + file + " /5 float 50\n",
           "/6: to take theirs: atbutil set " + file + " /6 '\"it'\\''s theirs\"'\n",
           "lead /: to take theirs: " + patch + "lead /: \"lo\" -> \"lt\"" + applied,
           "header: to take theirs: " + patch + "header: \"",
           "/7: THEIRS's table is damaged (count 1000 too large for the extent of",
           "/9[1]: to take theirs: " + patch + "add /9 after /9 before end (of 1): text \"b2\"" +
               applied,
           "9 conflicts, ours kept at each and every other change merged"}) {
    EXPECT_NE(err_.find(named + line), std::string::npos) << line << "\n" << err_;
  }
  std::string said;
  ASSERT_EQ(TakeTheirs(&said), 0) << said;
  EXPECT_EQ(Ours(), expected) << said;

  ASSERT_EQ(Merge(EncodeFile(base), o, t, MergeSide::kTheirs), 0) << err_;
  taken.entries[4] = RefEntry(7, damaged);
  expected = EncodeFile(taken);
  expected[7] = 'T';
  EXPECT_EQ(Ours(), expected);
  EXPECT_NE(err_.find(named + "/7: writes THEIRS's damaged table (count 1000"), std::string::npos)
      << err_;
  EXPECT_NE(err_.find(named + "9 conflicts settled: theirs taken\n"), std::string::npos) << err_;
  ASSERT_EQ(Merge(EncodeFile(base), o, t, MergeSide::kOurs), 0) << err_;
  EXPECT_EQ(Ours(), merged);
}

// NAME, git's name for the file, is the one every message and command says, quoted for the shell
// where it needs to be; a table comes from git's stage 3 of the file. Theirs' change beside the
// conflict is merged.
TEST_F(Merges, NameIsTheFileInEveryMessageAndCommand) {
  uint32_t reload = 0, damage = 0;
  ASSERT_TRUE(ParseKey("reload_time", KeyNames(), &reload));
  ASSERT_TRUE(ParseKey("min_damage", KeyNames(), &damage));
  const Table base{{FloatEntry(damage, 25), FloatEntry(reload, 2.5)}};
  const Table ours{{FloatEntry(damage, 25), FloatEntry(reload, 3)}};
  const Table theirs{{FloatEntry(damage, 30), FloatEntry(reload, 3.25)}};
  ASSERT_EQ(Merge(EncodeFile(base), EncodeFile(ours), EncodeFile(theirs), MergeSide::kNone,
                  "units/gun.atb"),
            1);
  EXPECT_EQ(Ours(), EncodeFile(Table{{FloatEntry(damage, 30), FloatEntry(reload, 3)}}));
  const std::string named = "atbutil: units/gun.atb: ";
  EXPECT_EQ(err_, named + "/reload_time: base float 2.5, ours float 3, theirs float 3.25\n" +
                      named +
                      "/reload_time: to take theirs: atbutil set units/gun.atb /reload_time "
                      "3.25\n" +
                      named +
                      "1 conflict, ours kept there and every other change merged: settle it (the "
                      "line under it says how to take theirs), then git add units/gun.atb\n");

  const Table nested{{RefEntry(1, {{FloatEntry(1, 1)}})}};
  ASSERT_EQ(Merge(EncodeFile(nested), EncodeFile({{FloatEntry(1, 2)}}),
                  EncodeFile({{RefEntry(1, {{FloatEntry(1, 3)}})}}), MergeSide::kNone,
                  "my units/gun's.atb"),
            1);
  const std::string quoted = "'my units/gun'\\''s.atb'";
  EXPECT_NE(err_.find("atbutil: my units/gun's.atb: /1: to take theirs: git show ':3:my "
                      "units/gun'\\''s.atb' > theirs.atb && atbutil extract theirs.atb /1 "
                      "table.atb && atbutil remove " +
                      quoted + " /1 && atbutil insert " + quoted +
                      " / 1 table.atb && rm theirs.atb table.atb\n"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find(", then git add " + quoted + "\n"), std::string::npos) << err_;
  EXPECT_EQ(err_.find(dir_.path()), std::string::npos) << err_;
}

// A merge that fails for any other reason writes nothing, conflicts or not: OURS stays byte for
// byte as it was, and the status is 2.
TEST_F(Merges, AFailingMergeLeavesOursAsItWas) {
  const Table base{{FloatEntry(1, 1), FloatEntry(2, 2)}};
  const Bytes ours = EncodeFile({{FloatEntry(1, 10), FloatEntry(2, 2)}});
  Bytes theirs = EncodeFile({{FloatEntry(1, 20), FloatEntry(2, 30)}});
  theirs[ROOT_TABLE_OFFSET] = 0x7F;  // a damaged root
  for (const MergeSide side : {MergeSide::kNone, MergeSide::kOurs, MergeSide::kTheirs}) {
    EXPECT_EQ(Merge(EncodeFile(base), ours, theirs, side, "f.atb"), 2);
    EXPECT_EQ(err_.substr(0, 42), "atbutil: THEIRS's root table is damaged: c");
    EXPECT_EQ(Ours(), ours);
  }
  // THEIRS cannot be read: a folder stands in its place.
  Merge(EncodeFile(base), ours, ours);
  std::remove((dir_ / "theirs.atb").c_str());
  ASSERT_EQ(mkdir((dir_ / "theirs.atb").c_str(), 0700), 0);
  char* buf = nullptr;
  std::size_t len = 0;
  std::FILE* err = open_memstream(&buf, &len);
  EXPECT_EQ(MergeCommand(dir_ / "base.atb", dir_ / "ours.atb", dir_ / "theirs.atb", "f.atb",
                         MergeSide::kNone, KeyNames(), err),
            2);
  std::fclose(err);
  EXPECT_NE(std::string(buf, len).find("atbutil: f.atb (theirs): "), std::string::npos)
      << std::string(buf, len);
  std::free(buf);
  EXPECT_EQ(Ours(), ours);
}

}  // namespace
}  // namespace atb
