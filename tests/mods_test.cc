// conflicts, combine and rebase against a model: random BASE files from the tests' builder, random
// mods whose overlaps are known, and what installing them in load order must give.
#include "patches/mods.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>

#include "atbutil/commands.h"
#include "change/open.h"
#include "patches/diff.h"
#include "tests/edit_model.h"
#include "tests/patch_text.h"
#include "tests/test_util.h"
#include "text/paths.h"

namespace atb {
namespace {

using namespace build;

using testing::Capture;
using testing::Ran;

std::size_t ChangesOf(const std::string& patch) {
  Patch p;
  EXPECT_TRUE(ParsePatch(patch, KeyNames(), &p).ok());
  return p.changes.size();
}

// The gap of a table that a new key goes into: the index of the first entry with a greater key.
uint32_t GapOf(const Node& base, const Edit& add) {
  const Node* t = TableAt(const_cast<Node*>(&base), add.trail);
  uint32_t g = 0;
  while (g < t->items.size() && t->items[g].key <= add.key) ++g;
  return g;
}

// Whether applying `e` after `others` (or before) would meet them: at its place in a table, an
// add between the same neighbours, or a neighbour taken out.
bool Meets(const Node& base, const Edit& e, const std::vector<Edit>& others) {
  for (const Edit& o : others) {
    const Edit* add = e.kind == Edit::kAdd ? &e : o.kind == Edit::kAdd ? &o : nullptr;
    const Edit* other = add == &e ? &o : &e;
    if (add == nullptr) continue;
    const uint32_t g = GapOf(base, *add);
    if (other->kind == Edit::kAdd && other->trail == add->trail && GapOf(base, *other) == g) {
      return true;
    }
    if (other->kind == Edit::kRemove && other->trail.size() == add->trail.size() + 1 &&
        IsPrefix(add->trail, other->trail) &&
        (other->trail.back() + 1 == g || other->trail.back() == g)) {
      return true;
    }
  }
  return false;
}

// Random edits of one mod that overlap neither each other nor `others`; new keys are
// residue + k * modulus. With `apart`, none meets an edit of `others` at its place either, so
// that the mods apply one after another.
std::vector<Edit> RandomEdits(const Node& base, Random& r, const std::vector<Edit>& others,
                              uint32_t modulus, uint32_t residue, bool apart) {
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
      e.key = modulus * static_cast<uint32_t>(r.Below(12)) + residue;
      std::tie(e.type, e.value) = RandomValue(r);
      if (e.kind == Edit::kLead) e.value = r.Word(3);
    }
    if (e.kind == Edit::kAdd) {
      const Node* t = TableAt(const_cast<Node*>(&base), e.trail);
      bool taken = std::any_of(t->items.begin(), t->items.end(),
                               [&](const Node::Item& i) { return i.key == e.key; });
      for (const Edit& o : edits) taken = taken || (o.kind == Edit::kAdd && o.key == e.key);
      if (taken) continue;
    }
    if (Overlaps(e, others) || Overlaps(e, edits) || (apart && Meets(base, e, others))) continue;
    edits.push_back(std::move(e));
  }
  return edits;
}

std::vector<Edit> Joined(const std::vector<std::vector<Edit>>& parts) {
  std::vector<Edit> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// The path of the entry reached through `trail`, as dump prints it.
std::string PathIn(const Bytes& file, const std::vector<uint32_t>& trail) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  return CanonicalTablePath(source, static_cast<int64_t>(file.size()), trail, KeyNames());
}

Bytes Edited(const Node& base, const std::vector<Edit>& edits) {
  std::unique_ptr<Node> n = base.Copy();
  ApplyEdits(n.get(), edits);
  return EncodeFile(n->Encodable());
}

class Mods : public ::testing::Test {
 protected:
  void SetUp() override {
    SetDurableChanges(false);
    const char* tmp = std::getenv("TMPDIR");
    if (tmp != nullptr) oldTmp_ = tmp;
    setenv("TMPDIR", scratch_.path().c_str(), 1);
  }
  void TearDown() override {
    SetDurableChanges(true);
    if (oldTmp_.empty()) {
      unsetenv("TMPDIR");
    } else {
      setenv("TMPDIR", oldTmp_.c_str(), 1);
    }
    // Every command takes its scratch folder away with it.
    EXPECT_EQ(testing::Shell("ls -A " + scratch_.path()).out, "");
  }

  // Writes BASE and each mod, as an attribute file or (asPatch) as the patch from BASE to it.
  std::vector<std::string> WriteMods(const Bytes& base, const std::vector<Bytes>& mods,
                                     const std::vector<bool>& asPatch) {
    WriteFile(Base(), base);
    std::vector<std::string> paths;
    for (std::size_t m = 0; m < mods.size(); ++m) {
      paths.push_back(dir_ / std::to_string(m));
      paths.back() += asPatch[m] ? "-mod.patch" : "-mod.atb";
      WriteFile(paths.back(), asPatch[m] ? testing::PatchBetween(base, mods[m]) : mods[m]);
    }
    return paths;
  }
  Ran Conflicts(const std::vector<std::string>& mods, bool all = false, bool json = true) {
    return Capture([&](std::FILE* out, std::FILE* err) {
      return ConflictsCommand(Base(), mods, all, json, {}, KeyNames(), out, err);
    });
  }
  Ran Combine(const std::vector<std::string>& mods) {
    return Capture([&](std::FILE* out, std::FILE* err) {
      return CombineCommand(Base(), mods, KeyNames(), out, err);
    });
  }
  // `file` with the patches applied in order (strictly, as apply does), or "refused".
  Bytes Applied(const Bytes& file, const std::vector<std::string>& patches) {
    const std::string path = dir_ / "applied.atb";
    WriteFile(path, file);
    std::vector<std::string> paths;
    for (std::size_t k = 0; k < patches.size(); ++k) {
      paths.push_back(dir_ / std::to_string(k));
      paths.back() += ".patch";
      WriteFile(paths.back(), patches[k]);
    }
    Ran r = Capture([&](std::FILE*, std::FILE* err) {
      return ApplyCommand(path, paths, false, KeyNames(), stdin, err);
    });
    return r.status == 0 ? ReadFile(path) : "refused: " + r.err;
  }
  std::string Base() const { return dir_ / "base.atb"; }

  testing::TempDir dir_, scratch_;
  std::string oldTmp_;
};

TEST_F(Mods, ModsApartCombineAsAppliedOneAfterAnotherByteForByte) {
  Random r(9001);
  int nested = 0, patches = 0;
  const int cases = testing::kSanitized ? 40 : 150;
  for (int c = 0; c < cases; ++c) {
    const std::unique_ptr<Node> base = FromTable(RandomTable(r));
    const auto count = static_cast<uint32_t>(2 + r.Below(3));
    std::vector<std::vector<Edit>> edits;
    std::vector<Bytes> files;
    std::vector<bool> asPatch;
    for (uint32_t m = 0; m < count; ++m) {
      edits.push_back(RandomEdits(*base, r, Joined(edits), count, m, true));
      files.push_back(Edited(*base, edits.back()));
      asPatch.push_back(r.OneIn(2));
      patches += asPatch.back();
    }
    const Bytes baseFile = EncodeFile(base->Encodable());
    Bytes expected = Edited(*base, Joined(edits));
    if (r.OneIn(4)) {  // one mod changes a header byte
      files[0][7] = 'M';
      expected[7] = 'M';
    }
    const std::vector<std::string> mods = WriteMods(baseFile, files, asPatch);
    std::vector<std::string> one;
    std::size_t changes = 0;
    for (const Bytes& f : files) {
      one.push_back(testing::PatchBetween(baseFile, f));
      changes += ChangesOf(one.back());
    }
    ASSERT_EQ(Applied(baseFile, one), expected) << c;

    const Ran combined = Combine(mods);
    ASSERT_EQ(combined.status, 0) << c << combined.err;
    ASSERT_EQ(combined.err, "");
    ASSERT_EQ(Applied(baseFile, {combined.out}), expected) << c << combined.out;

    const Ran none = Conflicts(mods, false, false);
    ASSERT_EQ(none.status, 0) << c << none.err;
    ASSERT_EQ(none.out, "");
    // Every change of every mod is an entry of its own, touched by that mod alone.
    const Ran all = Conflicts(mods, true);
    ASSERT_EQ(all.status, 0) << all.err;
    const nlohmann::json listed = nlohmann::json::parse(all.out);
    ASSERT_EQ(listed.size(), changes) << c << all.out;
    for (const auto& e : listed) {
      ASSERT_EQ(e["kind"], "single");
      ASSERT_EQ(e["file"], Base());
      ASSERT_EQ(e["mods"].size(), 1u);
      ASSERT_EQ(e["winner"], e["mods"][0]["mod"]);
    }
    for (const auto& e : Joined(edits)) nested += e.trail.size() > (e.kind == Edit::kAdd ? 0u : 1u);
  }
  EXPECT_GT(nested, cases / 2);
  EXPECT_GT(patches, cases / 2);
}

// Two mods meet at one entry as planted: agree, override, lost or hidden; a third changes other
// entries. conflicts tells that entry alone, and combine gives the winner's change.
TEST_F(Mods, KnownOverlapsAreToldByKindAndTheWinnerStands) {
  Random r(31337);
  int told[4] = {0, 0, 0, 0};
  const int cases = testing::kSanitized ? 60 : 240;
  for (int c = 0; c < cases; ++c) {
    const std::unique_ptr<Node> base = FromTable(RandomTable(r));
    std::vector<std::vector<uint32_t>> entries, tables;
    Trails(*base, {}, &entries, &tables);
    std::vector<std::vector<uint32_t>> deep;
    for (const auto& e : entries) {
      if (e.size() > 1) deep.push_back(e);
    }
    if (deep.empty()) continue;
    const auto target = deep[static_cast<std::size_t>(r.Below(static_cast<int>(deep.size())))];
    const std::vector<uint32_t> holder(target.begin(), target.end() - 1);
    const int kind = (told[0] + told[1] + told[2] + told[3]) % 4;
    const Edit one{Edit::kSet, target, 0, 0, F32(1000.0f + static_cast<float>(c))};
    const Edit two{Edit::kSet, target, 0, 0, F32(2000.0f + static_cast<float>(c))};
    const Edit drop{Edit::kRemove, r.OneIn(2) ? holder : target, 0, 0, {}};
    std::vector<Edit> first, second, winning;
    const Bytes baseFile = EncodeFile(base->Encodable());
    const std::string dropped = PathIn(baseFile, holder);
    std::vector<std::string> values;
    switch (kind) {
      case 0:  // agree
        first = second = winning = {one};
        values = {"float " + std::to_string(1000 + c), "float " + std::to_string(1000 + c)};
        break;
      case 1:  // override
        first = {one};
        second = winning = {two};
        values = {"float " + std::to_string(1000 + c), "float " + std::to_string(2000 + c)};
        break;
      case 2:  // lost: the table removed after an entry in it changed
        first = {one};
        second = winning = {Edit{Edit::kRemove, holder, 0, 0, {}}};
        values = {"float " + std::to_string(1000 + c), "removed with " + dropped};
        break;
      default:  // hidden: the entry, or its table, removed before it changes
        first = winning = {drop};
        second = {two};
        values = {drop.trail == target ? "removed" : "removed with " + dropped,
                  "float " + std::to_string(2000 + c)};
        break;
    }
    const std::vector<Edit> noise = RandomEdits(*base, r, Joined({first, second}), 3, 2, false);
    std::vector<Bytes> files = {Edited(*base, first), Edited(*base, second), Edited(*base, noise)};
    std::vector<bool> asPatch = {r.OneIn(2), r.OneIn(2), r.OneIn(2)};
    std::vector<std::string> mods = WriteMods(baseFile, files, asPatch);
    const std::string a = mods[0], b = mods[1];
    // The noise goes anywhere in the load order.
    std::rotate(mods.begin() + r.Below(3), mods.begin() + 2, mods.end());
    const Ran ran = Conflicts(mods);
    ASSERT_EQ(ran.status, kind == 0 ? 0 : 1) << c << ran.err;
    const nlohmann::json listed = nlohmann::json::parse(ran.out);
    ASSERT_EQ(listed.size(), 1u) << c << ran.out;
    const auto& e = listed[0];
    const char* const words[] = {"agree", "override", "lost", "hidden"};
    EXPECT_EQ(e["kind"], words[kind]) << c << ran.out;
    EXPECT_EQ(e["path"], PathIn(baseFile, target));
    EXPECT_TRUE(e["base"].is_string());
    ASSERT_EQ(e["mods"].size(), 2u) << ran.out;
    EXPECT_EQ(e["mods"][0]["mod"], a);
    EXPECT_EQ(e["mods"][1]["mod"], b);
    EXPECT_EQ(e["mods"][0]["value"], values[0]) << ran.out;
    EXPECT_EQ(e["mods"][1]["value"], values[1]) << ran.out;
    EXPECT_EQ(e["winner"], kind == 3 ? a : b);

    const Ran combined = Combine(mods);
    ASSERT_EQ(combined.status, ran.status) << combined.err;
    EXPECT_EQ(combined.err.empty(), kind == 0) << combined.err;
    ASSERT_EQ(Applied(baseFile, {combined.out}), Edited(*base, Joined({winning, noise}))) << c;
    ++told[kind];
  }
  for (int k = 0; k < 4; ++k) EXPECT_GT(told[k], cases / 16) << k;
}

TEST_F(Mods, EditsLostInATableALaterModRemovesAreToldAsLost) {
  const Table base{
      {FloatEntry(10, 1), RefEntry(20, {{FloatEntry(1, 5), FloatEntry(2, 6)}}), FloatEntry(30, 3)}};
  const Table edits{
      {FloatEntry(10, 1), RefEntry(20, {{FloatEntry(1, 7), FloatEntry(2, 6)}}), FloatEntry(30, 4)}};
  const Table gone{{FloatEntry(10, 1), FloatEntry(30, 3)}};
  const std::vector<std::string> mods =
      WriteMods(EncodeFile(base), {EncodeFile(edits), EncodeFile(gone)}, {true, false});
  const std::string a = mods[0], b = mods[1];
  const Ran ran = Conflicts(mods, false, false);
  ASSERT_EQ(ran.status, 1) << ran.err;
  const std::string pad(a.size() - 4, ' ');
  const std::string block = "/20/1: lost, " + b + " wins\n  base  " + pad + "float 5\n  " + a +
                            "  float 7\n  " + b + std::string(a.size() - b.size(), ' ') +
                            "  removed with /20\n";
  EXPECT_EQ(ran.out, block);
  const Ran all = Conflicts(mods, true, false);
  EXPECT_EQ(all.status, 1);
  // In the order of BASE: the table, the entry inside it, the entry behind it.
  const std::size_t table = all.out.find("/20: single, " + b + " wins\n"),
                    inside = all.out.find("\n\n" + block), behind = all.out.find("\n\n/30: single");
  EXPECT_EQ(table, 0u) << all.out;
  EXPECT_LT(table, inside);
  EXPECT_LT(inside, behind);
  const Ran combined = Combine(mods);
  EXPECT_EQ(combined.status, 1);
  EXPECT_EQ(combined.err,
            block + "atbutil: " + Base() +
                ": 1 conflict: the change of the mod that wins stands in the patch\n");
  EXPECT_EQ(Applied(EncodeFile(base), {combined.out}),
            EncodeFile(Table{{FloatEntry(10, 1), FloatEntry(30, 4)}}));
}

TEST_F(Mods, AddsOfSeveralModsToOneTableAreAllKeptAndOneAttributeAddedTwiceClashes) {
  const Table base{{FloatEntry(10, 1), FloatEntry(30, 3)}};
  const Table a{{FloatEntry(10, 1), FloatEntry(12, 12), FloatEntry(30, 3), FloatEntry(40, 1)}};
  const Table b{{FloatEntry(10, 1), FloatEntry(11, 11), FloatEntry(12, 12), FloatEntry(30, 3),
                 FloatEntry(40, 2)}};
  const std::vector<std::string> mods =
      WriteMods(EncodeFile(base), {EncodeFile(a), EncodeFile(b)}, {false, true});
  const Ran ran = Conflicts(mods);
  ASSERT_EQ(ran.status, 1) << ran.err;
  const nlohmann::json listed = nlohmann::json::parse(ran.out);
  ASSERT_EQ(listed.size(), 2u) << ran.out;
  EXPECT_EQ(listed[0]["path"], "/12");
  EXPECT_EQ(listed[0]["kind"], "agree");
  EXPECT_TRUE(listed[0]["base"].is_null());
  EXPECT_EQ(listed[1]["path"], "/40");
  EXPECT_EQ(listed[1]["kind"], "override");
  EXPECT_EQ(listed[1]["winner"], mods[1]);
  const Ran combined = Combine(mods);
  EXPECT_EQ(combined.status, 1);
  EXPECT_EQ(Applied(EncodeFile(base), {combined.out}),
            EncodeFile(Table{{FloatEntry(10, 1), FloatEntry(11, 11), FloatEntry(12, 12),
                              FloatEntry(30, 3), FloatEntry(40, 2)}}));
}

TEST_F(Mods, BadInputIsRefusedWithNothingWritten) {
  const Bytes base = EncodeFile(Table{{FloatEntry(10, 1), FloatEntry(30, 3)}});
  const Bytes other = EncodeFile(Table{{FloatEntry(10, 2), FloatEntry(30, 3)}});
  const Bytes mod = EncodeFile(Table{{FloatEntry(10, 5)}});
  std::vector<std::string> mods = WriteMods(base, {mod}, {false});
  const std::string stale = dir_ / "stale.patch", junk = dir_ / "junk.txt";
  WriteFile(stale, testing::PatchBetween(other, mod));  // made for another file
  WriteFile(junk, "set /10 float 1\n");
  const std::vector<std::vector<std::string>> bad = {
      {stale}, {mods[0], mods[0]}, {junk}, {dir_ / "missing.atb"}};
  const std::vector<std::string> says = {
      stale + ": /10: expected float 2, found float 1", mods[0] + ": given twice",
      junk +
          ": neither a patch (line 1: a colon was expected after the path) nor an attribute "
          "file (",
      "missing.atb"};
  for (std::size_t k = 0; k < bad.size(); ++k) {
    for (bool combine : {false, true}) {
      const Ran ran = combine ? Combine(bad[k]) : Conflicts(bad[k]);
      EXPECT_EQ(ran.status, 2) << k;
      EXPECT_EQ(ran.out, "") << k;
      EXPECT_NE(ran.err.find(says[k]), std::string::npos) << k << ran.err;
    }
  }
  EXPECT_EQ(ReadFile(Base()), base);
  EXPECT_EQ(ReadFile(mods[0]), mod);
  // A patch that does not apply to OLD cannot be made again for NEW.
  const Ran rebased = Capture([&](std::FILE* out, std::FILE* err) {
    return RebaseCommand(stale, Base(), mods[0], KeyNames(), out, err);
  });
  EXPECT_EQ(rebased.status, 2);
  EXPECT_EQ(rebased.out, "");
  EXPECT_NE(rebased.err.find(says[0]), std::string::npos) << rebased.err;
  EXPECT_EQ(ReadFile(Base()), base);
  EXPECT_EQ(ReadFile(mods[0]), mod);
}

// OLD, NEW made from it by one set of edits, and a patch made for OLD by another: planted in it a
// change NEW makes alike, one NEW makes otherwise, and one inside a table NEW takes out.
TEST_F(Mods, RebaseSortsEachChangeAsAModelDoes) {
  Random r(2024);
  int conflicts = 0, gone = 0;
  const int cases = testing::kSanitized ? 40 : 150;
  for (int c = 0; c < cases; ++c) {
    const std::unique_ptr<Node> old = FromTable(RandomTable(r));
    std::vector<std::vector<uint32_t>> entries, tables;
    Trails(*old, {}, &entries, &tables);
    std::vector<std::vector<uint32_t>> leaves, deep;
    for (const auto& e : entries) {
      if (TableAt(old.get(), {e.begin(), e.end() - 1})->items[e.back()].nested) continue;
      leaves.push_back(e);
      if (e.size() > 1) deep.push_back(e);
    }
    std::vector<Edit> theirs, mine;  // planted: NEW's, and the patch's
    int planted[3] = {0, 0, 0};      // already, conflicting, gone
    for (int k = 0; k < 3 && !leaves.empty(); ++k) {
      const auto& from = k == 2 && !deep.empty() ? deep : leaves;
      const auto leaf = from[static_cast<std::size_t>(r.Below(static_cast<int>(from.size())))];
      Edit in{Edit::kSet, leaf, 0, 3, Str("new " + std::to_string(c))};
      Edit patched = in;
      if (k == 1) patched.value = Str("patch " + std::to_string(c));
      if (k == 2) {
        if (leaf.size() < 2) continue;
        in = Edit{Edit::kRemove, {leaf.begin(), leaf.end() - 1}, 0, 0, {}};
      }
      if (Overlaps(in, theirs) || Overlaps(in, mine) || Overlaps(patched, theirs) ||
          Overlaps(patched, mine) || (k > 0 && r.OneIn(3))) {
        continue;
      }
      theirs.push_back(in);
      mine.push_back(patched);
      ++planted[k];
    }
    const std::vector<Edit> newEdits = RandomEdits(*old, r, Joined({theirs, mine}), 2, 0, false);
    const std::vector<Edit> still =
        RandomEdits(*old, r, Joined({theirs, mine, newEdits}), 2, 1, true);
    const Bytes oldFile = EncodeFile(old->Encodable());
    const Bytes newFile = Edited(*old, Joined({theirs, newEdits}));
    WriteFile(dir_ / "old.atb", oldFile);
    WriteFile(dir_ / "new.atb", newFile);
    WriteFile(dir_ / "mine.patch",
              testing::PatchBetween(oldFile, Edited(*old, Joined({mine, still}))));
    const Ran ran = Capture([&](std::FILE* out, std::FILE* err) {
      return RebaseCommand(dir_ / "mine.patch", dir_ / "old.atb", dir_ / "new.atb", KeyNames(), out,
                           err);
    });
    const bool clean = planted[1] + planted[2] == 0;
    ASSERT_EQ(ran.status, clean ? 0 : 1) << c << ran.err;
    auto count = [&](const std::string& what) {
      std::size_t n = 0;
      for (std::size_t at = ran.err.find(what); at != std::string::npos;
           at = ran.err.find(what, at + 1)) {
        ++n;
      }
      return static_cast<int>(n);
    };
    EXPECT_EQ(count(": already in NEW; left out"), planted[0]) << c << ran.err;
    EXPECT_EQ(count(": conflict: expected "), planted[1]) << c << ran.err;
    EXPECT_EQ(count(": gone: its table is gone in NEW"), planted[2]) << c << ran.err;
    const Bytes rebased = ran.out.empty() ? newFile : Applied(newFile, {ran.out});
    ASSERT_EQ(rebased, Edited(*old, Joined({theirs, newEdits, still}))) << c << ran.out << ran.err;
    conflicts += planted[1];
    gone += planted[2];
  }
  EXPECT_GT(conflicts, cases / 4);
  EXPECT_GT(gone, cases / 15);
}

}  // namespace
}  // namespace atb
