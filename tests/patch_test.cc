// diff and apply: the patch text on exact files, what apply checks and refuses, and the
// properties over random files: applying diff A B to A gives B byte for byte, diff A A is empty,
// and a patch applied twice is refused the second time with the file unchanged.
#include "patches/patch.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "atbutil/commands.h"
#include "change/open.h"
#include "patches/diff.h"
#include "patches/merge.h"
#include "store/coding.h"
#include "store/hash.h"
#include "store/table.h"
#include "tests/random_files.h"
#include "tests/test_util.h"
#include "text/dump.h"
#include "text/value_text.h"

namespace atb {
namespace {

using namespace build;

using testing::Capture;
using testing::Ran;

// The patch from a to b, or "refused: ..." when there is none.
std::string Diff(const Bytes& a, const Bytes& b, const KeyNames& names = KeyNames()) {
  MemorySource x(reinterpret_cast<const uint8_t*>(a.data()), a.size());
  MemorySource y(reinterpret_cast<const uint8_t*>(b.data()), b.size());
  Sink sink(nullptr);
  int64_t changes;
  Status s = WritePatch(x, static_cast<int64_t>(a.size()), y, static_cast<int64_t>(b.size()), names,
                        sink, &changes);
  return s.ok() ? sink.buf() : "refused: " + s.Message();
}

class Patches : public ::testing::Test {
 protected:
  // Flushing in order is tested on its own; here it would only cost time.

  // Writes each patch text to a file and applies them all to `file`.
  Ran Apply(const Bytes& file, const std::vector<std::string>& texts, bool check = false,
            const KeyNames& names = KeyNames()) {
    WriteFile(path_, file);
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      paths.push_back(dir_.path() + "/p" + std::to_string(i));
      WriteFile(paths.back(), texts[i]);
    }
    return Capture([&](std::FILE*, std::FILE* err) {
      return ApplyCommand(path_, paths, check, names, stdin, err);
    });
  }
  Bytes Now() { return ReadFile(path_); }
  void SetUp() override {
    SetDurableChanges(false);
    quiet_ = std::fopen("/dev/null", "w");
  }
  void TearDown() override {
    SetDurableChanges(true);
    std::fclose(quiet_);
  }
  std::FILE* quiet_ = nullptr;

  testing::TempDir dir_;
  const std::string path_ = dir_ / "f.atb";
};

Bytes WithHeaderByte(Bytes file, std::size_t at, char c) {
  file[at] = c;
  return file;
}

// Every kind of change, each shown once with what it expects, and applied exactly.
TEST_F(Patches, TheTextShowsEachChangeOnceWithWhatItExpects) {
  const Table a{{RefEntry(0x2000, {{FloatEntry(0x13B8FCB6, 40), TextEntry(2, "inner", "xy"),
                                    RefEntry(3, {{NameEntry("deep"), BoolEntry(4, 1)}}),
                                    NameEntry("caster")}}),
                 FloatEntry(0x09CEA8A9, 2.5f),
                 TextEntry(0x20000001, "Arc Caster"),
                 BoolEntry(0x30000000, 1),
                 BoolEntry(0x30000000, 0),
                 {0x60000000, 7, "raw"},
                 {0x60000001, 9, Bytes(300, 'z')}}};
  const Table b{{RefEntry(0x2000, {{FloatEntry(0x13B8FCB6, 40), TextEntry(2, "inner", "zz"),
                                    RefEntry(3, {{NameEntry("deep"), BoolEntry(4, 1)}, "lead"}),
                                    NameEntry("caster")}}),
                 BoolEntry(0x09CEA8A9, 7),
                 TextEntry(0x20000001, "Arc Caster"),
                 BoolEntry(0x30000000, 0),
                 BoolEntry(0x30000000, 1),
                 BoolEntry(0x30000000, 2),
                 RefEntry(5, {{FloatEntry(1, 1), RefEntry(2, {{}, "x"})}}),
                 {0x60000000, 7, "raw\x01"}}};
  const Bytes before = EncodeFile(a), after = WithHeaderByte(EncodeFile(b), 3, 'Q');
  const std::string patch = Diff(before, after);
  std::string header = "header: ";
  AppendQuotedBytes(&header, before.substr(0, ROOT_TABLE_OFFSET));
  header += " -> ";
  AppendQuotedBytes(&header, after.substr(0, ROOT_TABLE_OFFSET));
  EXPECT_EQ(patch,
            header + "\n" +
                "set /8192/2: text \"inner\" trailing \"xy\" -> text \"inner\" trailing \"zz\"\n"
                "lead /8192/3: \"\" -> \"lead\"\n"
                "set /reload_time: float 2.5 -> bool 7\n"
                "remove /805306368[0] (of 2): bool 1\n"
                "add /805306368 after /805306368[1] before /1610612736 (of 2): bool 1\n"
                "add /805306368 after /805306368[1] before /1610612736 (of 2): bool 2\n"
                "add /5 after /805306368[1] before /1610612736: table {\n"
                "  1: float 1\n"
                "  2: table {\n"
                "    lead \"x\"\n"
                "  }\n"
                "}\n"
                "set /1610612736: type 7 \"raw\" -> type 7 \"raw\\x01\"\n"
                "remove /1610612737: type 9 300 bytes fnv64 0x3c7a8537095b7045\n"
                "end 10 changes\n");
  ASSERT_EQ(Apply(before, {patch}).status, 0);
  EXPECT_EQ(Now(), after);
  EXPECT_EQ(Diff(after, after), "");
  EXPECT_EQ(Diff(after, before).substr(0, 8), "header: ");

  // A damaged nested table is changed whole, as raw bytes; so is a reference made a float.
  Table damaged = b;
  damaged.entries[0].value[4 + 8] = 0x7F;  // its first entry's Off
  damaged.entries[6] = FloatEntry(5, 1);
  const Bytes broken = EncodeFile(damaged);
  const std::string whole = Diff(after, broken);
  EXPECT_NE(whole.find("set /8192: table 109 bytes fnv64 0x"), std::string::npos) << whole;
  EXPECT_NE(
      whole.find(" -> table damaged raw \"\\x04\\x00\\x00\\x00\\xb6\\xfc\\xb8\\x13\\x00\\x00\\x00"
                 "\\x00\\x7f\\x00"),
      std::string::npos)
      << whole;
  EXPECT_NE(whole.find("set /5: table 37 bytes fnv64 0x"), std::string::npos) << whole;
  EXPECT_NE(whole.find(" -> float 1\n"), std::string::npos) << whole;
  ASSERT_EQ(Apply(after, {whole}).status, 0);
  EXPECT_EQ(Now(), broken);

  // B's sizes do not follow its length (a tool left them stale): the patch gives sizes that do,
  // and applying it gives B but for them.
  Bytes odd = after;
  odd[ROOT_SIZE_OFFSET] ^= 1;
  const std::string fixing = Diff(before, odd);
  ASSERT_NE(fixing.compare(0, 8, "refused:"), 0) << fixing;
  ASSERT_EQ(Apply(before, {fixing}).status, 0);
  EXPECT_EQ(Now(), after);
  EXPECT_EQ(Diff(odd, odd), "");
  EXPECT_EQ(Diff(odd, after).substr(0, 8), "header: ");
  WriteFile(dir_ / "odd.atb", odd);
  WriteFile(dir_ / "before.atb", before);
  Ran said = Capture([&](std::FILE* out, std::FILE* err) {
    return DiffCommand(dir_ / "before.atb", dir_ / "odd.atb", KeyNames(), out, err);
  });
  EXPECT_EQ(said.status, 1);
  EXPECT_EQ(said.out, fixing);
  EXPECT_EQ(said.err, "atbutil: " + (dir_ / "odd.atb") + ": its header sizes do not follow its " +
                          "length of " + std::to_string(odd.size()) +
                          " bytes: applying the patch gives sizes that do, as every change does\n");
  Bytes rootless = before;
  rootless[ROOT_TABLE_OFFSET] = 0x7F;
  EXPECT_EQ(Diff(rootless, before).substr(0, 44), "refused: the first file's root table is dama");
}

TEST_F(Patches, EveryFailingChangeIsListedAndNothingIsWritten) {
  const Bytes base = EncodeFile({{FloatEntry(1, 1), TextEntry(2, "two"), FloatEntry(3, 3)}});
  const Bytes target =
      EncodeFile({{FloatEntry(1, 5), TextEntry(2, "two!"), FloatEntry(3, 3), BoolEntry(4, 1)}});
  const std::string patch = Diff(base, target);
  const Bytes elsewhere = EncodeFile({{FloatEntry(1, 9), FloatEntry(3, 3), FloatEntry(7, 7)}});
  Ran r = Apply(elsewhere, {patch});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Now(), elsewhere);
  const std::string p = dir_ / "p0";
  EXPECT_EQ(r.err, "atbutil: " + p + ": /1: expected float 1, found float 9\n" + "atbutil: " + p +
                       ": /2: expected text \"two\", found no entry /2\n" + "atbutil: " + p +
                       ": /4: expected /3 followed by the end, found /3 " + "followed by /7\n" +
                       "atbutil: " + path_ + ": 3 changes do not apply; nothing was changed\n");

  // --check reports the same and writes nothing either way.
  EXPECT_EQ(Apply(elsewhere, {patch}, true).status, 1);
  EXPECT_EQ(Apply(base, {patch}, true).status, 0);
  EXPECT_EQ(Now(), base);

  // Applied once, a patch is refused the second time: every change of it says why.
  ASSERT_EQ(Apply(base, {patch}).status, 0);
  EXPECT_EQ(Now(), target);
  r = Capture([&](std::FILE*, std::FILE* err) {
    return ApplyCommand(path_, {dir_ / "p0"}, false, KeyNames(), stdin, err);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/4: expected /3 followed by the end, found /3 followed by /4\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("3 changes do not apply"), std::string::npos) << r.err;
  EXPECT_EQ(Now(), target);
}

// A header that would begin as a change's mark is refused: every open would then take the file
// for one left in the middle of a change.
TEST_F(Patches, AHeaderThatReadsAsAChangesMarkIsRefused) {
  const Bytes base = EncodeFile({{FloatEntry(1, 1)}});
  std::string text = "header: ";
  AppendQuotedBytes(&text, base.substr(0, ROOT_TABLE_OFFSET));
  text += " -> ";
  AppendQuotedBytes(&text, "ATB-MOVE" + base.substr(8, ROOT_TABLE_OFFSET - 8));
  const Ran r = Apply(base, {text + "\nend 1 change\n"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.err.find("the mark of an interrupted change"), std::string::npos) << r.err;
  EXPECT_EQ(Now(), base);
}

// Several patches are one change, each seeing what the ones before it did (a load order); within
// one patch every change names the file as it was before that patch.
TEST_F(Patches, PatchesApplyInOrderAsOneChange) {
  const Bytes start = EncodeFile({{FloatEntry(1, 1), TextEntry(2, "two")}});
  const Bytes middle =
      EncodeFile({{FloatEntry(1, 1), TextEntry(2, "two"), RefEntry(9, {{FloatEntry(1, 1)}})}});
  const Bytes end = EncodeFile(
      {{FloatEntry(1, 2), TextEntry(2, "a longer two"), RefEntry(9, {{FloatEntry(1, 3)}, "ld"})}});
  const std::string first = Diff(start, middle), second = Diff(middle, end);
  ASSERT_EQ(Apply(start, {first, second}).status, 0);
  EXPECT_EQ(Now(), end);
  // Out of order, the second finds nothing of what it expects; nothing is written.
  Ran r = Apply(start, {second, first});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/9/1: expected float 1, found no entry /9"), std::string::npos) << r.err;
  EXPECT_EQ(Now(), start);

  // One patch that changes one entry twice, or inside an entry it removes, is refused.
  const std::string twice = "set /1: float 1 -> float 2\nremove /1: float 1\nend 2 changes\n";
  r = Apply(start, {twice});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/1: the patch changes this entry more than once"), std::string::npos);
  const std::string removal = Diff(middle, start);
  r = Apply(middle, {removal.substr(0, removal.find('\n') + 1) +
                     "set /9/1: float 1 -> float 2\nend 2 changes\n"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/9/1: lies inside an entry that the patch also sets or removes"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(Now(), middle);
}

TEST_F(Patches, APatchThatIsNotOneIsTroubleAndSaysWhere) {
  const Bytes file = EncodeFile({{FloatEntry(1, 1)}});
  for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
           {"set /1: float 1 -> float 2\n", "the patch is cut short: its end line is missing"},
           {"set /1: float 1 -> float 2\nend 2 changes\n",
            "line 2: the end line counts 2 changes, the patch holds 1"},
           {"set /1: float 1 -> float 2\nend 1 change\nset /1: float 2 -> float 3\n",
            "line 3: text after the end line"},
           {"# a comment\n\nmove /1: float 1\n",
            "line 3: a change is set, add, remove, lead or "
            "header"},
           {"set 1: float 1 -> float 2\n", "line 1: a path in a patch starts with / or @"},
           {"set /1: float 1 float 2\n", "line 1: OLD -> NEW was expected"},
           {"set /1: 1 -> float 2\n",
            "line 1: a value starts with its type: float, bool, text, "
            "localized, table or type N"},
           {"set /1: float 1 -> float \"x\"\n", "line 1: a text cannot go into a float entry"},
           {"add /1[0] after start before end: float 1\n",
            "line 1: a new entry's key is a label, a name or a number, not \"1[0]\""},
           {"add /5 after start before end: table {\n  1: float 1\n",
            "line 2: a table block without its closing }"},
           {"add /5 after start before end: table {\n  1 float 1\n}\n",
            "line 2: an entry of a table is KEY: VALUE"},
           {"header: \"x\" -> \"y\"\n", "line 1: a header is 52 bytes"},
           {"set /1: float 1 -> float 2 (of 2)\n", "line 1: unexpected \"(of 2)\" after the value"},
       }) {
    Ran r = Apply(file, {text});
    EXPECT_EQ(r.status, 2) << text;
    EXPECT_EQ(r.err, "atbutil: " + (dir_ / "p0") + ": " + error + "\n") << text;
    EXPECT_EQ(Now(), file);
  }
  // A value whose text holds the arrow, and one from standard input.
  const Bytes arrow = EncodeFile({{TextEntry(1, "a -> b")}});
  ASSERT_EQ(Apply(file, {"set /1: float 1 -> text \"a -> b\"\nend 1 change\n"}).status, 0);
  EXPECT_EQ(Now(), WithHeaderByte(arrow, 0, arrow[0]));
  EXPECT_EQ(Apply(file, {}).status, 2);
}

// The example of doc/patch.md applies to the sample file and is what diff writes back; so is the
// README's.
// Damage crosses a patch or a merge only where it is marked: what diff writes for a damaged
// table applies and says so; the same bytes unmarked are refused over a sound table, and kept
// over a damaged one; a merge that carries THEIRS's damaged table says so too.
TEST_F(Patches, DamageIsWrittenOnlyWhereItIsMarked) {
  const Table sound{{RefEntry(5, {{FloatEntry(1, 1)}}), FloatEntry(6, 2)}};
  Table broken = sound;
  broken.entries[0].value = "\xff\xff\xff\x7f";
  const Bytes a = EncodeFile(sound), b = EncodeFile(broken);
  const std::string patch = Diff(a, b);
  const std::string note =
      " writes a damaged table (line 1: count 2147483647 too large for the "
      "extent of 4 bytes)\n";
  ASSERT_NE(patch.find(" -> table damaged raw \"\\xff\\xff\\xff\\x7f\"\n"), std::string::npos)
      << patch;
  Ran applied = Apply(a, {patch});
  EXPECT_EQ(applied.status, 0);
  EXPECT_EQ(applied.err, "atbutil: " + (dir_ / "p0") + ": /5:" + note);
  EXPECT_EQ(Now(), b);

  std::string unmarked = patch;
  unmarked.erase(unmarked.find("damaged "), 8);
  Ran refused = Apply(a, {unmarked});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("/5: the new table is damaged (line 1: count 2147483647"),
            std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("write table damaged raw \"...\" if that is meant"),
            std::string::npos);
  EXPECT_EQ(Now(), a);

  // Over a table that is damaged already, unmarked bytes keep applying, as they always have.
  std::string again = "set /5: table 4 bytes fnv64 0x";
  char hash[17];
  std::snprintf(hash, sizeof hash, "%016llx",
                static_cast<unsigned long long>(Fnv1a64("\xff\xff\xff\x7f")));
  again += std::string(hash) + " -> table raw \"\\x01\"\nend 1 change\n";
  Ran kept = Apply(b, {again});
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_NE(kept.err.find("writes a damaged table (line 1: extent of 1 bytes too short"),
            std::string::npos)
      << kept.err;

  // Damage inside a block, added: refused unmarked, named by its own line.
  const std::string add =
      "add /7 after /6 before end: table {\n  1: float 1\n  2: table raw "
      "\"\\x01\"\n}\nend 1 change\n";
  Ran nested = Apply(a, {add});
  EXPECT_EQ(nested.status, 1);
  EXPECT_NE(nested.err.find("/7: the new table is damaged (line 3: extent of 1 bytes"),
            std::string::npos)
      << nested.err;
  std::string marked = add;
  marked.replace(marked.find("raw"), 3, "damaged raw");
  EXPECT_EQ(Apply(a, {marked}).status, 0);
  EXPECT_FALSE(testing::FileIsSound(Now()));

  // A merge carries THEIRS's damaged table and says where.
  WriteFile(dir_ / "base.atb", a);
  WriteFile(dir_ / "theirs.atb", b);
  Table ours = sound;
  ours.entries[1] = FloatEntry(6, 3);
  WriteFile(path_, EncodeFile(ours));
  Ran merged = Capture([&](std::FILE*, std::FILE* err) {
    return MergeCommand(dir_ / "base.atb", path_, dir_ / "theirs.atb", "f.atb", MergeSide::kNone,
                        KeyNames(), err);
  });
  EXPECT_EQ(merged.status, 0);
  EXPECT_EQ(merged.err,
            "atbutil: f.atb: /5: writes THEIRS's damaged table (count 2147483647 too "
            "large for the extent of 4 bytes)\n");
  broken.entries[1] = FloatEntry(6, 3);
  EXPECT_EQ(Now(), EncodeFile(broken));
}

TEST_F(Patches, ThePagesExamplesAreTrue) {
  ASSERT_EQ(testing::Shell(std::string(MAKE_SAMPLE_BINARY) + " " + dir_.path()).status, 0);
  const Bytes sample = ReadFile(dir_ / "sample.atb");
  const std::string page = ReadFile(std::string(ATB_SOURCE_DIR) + "/doc/patch.md");
  const std::size_t body = page.find("```\n") + 4;
  const std::string example = page.substr(body, page.find("```", body) - body);
  // The names atbutil reads by: ref_name among them.
  KeyNames names;
  ASSERT_TRUE(LoadNames({}, &names).ok());
  ASSERT_EQ(Apply(sample, {example}, false, names).status, 0);
  EXPECT_EQ(Diff(sample, Now(), names), example);

  const std::string readme = ReadFile(std::string(ATB_SOURCE_DIR) + "/README.md");
  const std::string command = "$ atbutil diff sample.atb new.atb\n";
  const std::size_t at = readme.find(command) + command.size();
  const std::string shown = readme.substr(at, readme.find("$ ", at) - at);
  WriteFile(path_, sample);
  std::FILE* quiet = std::fopen("/dev/null", "w");
  ASSERT_EQ(AddCommand(path_, {"8192/max_range", "float", "12.5"}, KeyNames(), quiet), 0);
  ASSERT_EQ(SetCommand(path_, {"reload_time", "3.25"}, KeyNames(), quiet), 0);
  ASSERT_EQ(RemoveCommand(path_, {"536870914"}, KeyNames(), quiet), 0);
  std::fclose(quiet);
  EXPECT_EQ(Diff(sample, Now(), names), shown);
}

// A failing disk under apply and merge: the k-th open, read, write, seek, truncation or close
// fails, for every k. Either nothing was done (status 1 or 2, the file as it was), or the failure
// is reported (status 2) and the next open finishes the change; or the failure did no harm.
TEST_F(Patches, EveryFailingCallOfAnApplyOrAMergeIsReported) {
  const Bytes base = EncodeFile({{RefEntry(1, {{TextEntry(1, "inner"), FloatEntry(2, 2)}}),
                                  TextEntry(2, "long text to shrink"), FloatEntry(3, 3)}});
  const Bytes ours = EncodeFile({{RefEntry(1, {{TextEntry(1, "inner, longer"), FloatEntry(2, 2)}}),
                                  TextEntry(2, "long text to shrink"), FloatEntry(3, 3)}});
  const Bytes theirs = EncodeFile({{RefEntry(1, {{TextEntry(1, "inner"), FloatEntry(2, 5)}, "ld"}),
                                    TextEntry(2, "short"), BoolEntry(4, 1)}});
  WriteFile(dir_ / "p", Diff(base, theirs));
  WriteFile(dir_ / "base.atb", base);
  WriteFile(dir_ / "theirs.atb", theirs);
  const std::vector<std::pair<Bytes, std::function<int(Files&)>>> commands = {
      {base,
       [&](Files& files) {
         return ApplyCommand(path_, {dir_ / "p"}, false, KeyNames(), stdin, quiet_, files);
       }},
      {ours,
       [&](Files& files) {
         return MergeCommand(dir_ / "base.atb", path_, dir_ / "theirs.atb", "", MergeSide::kNone,
                             KeyNames(), quiet_, files);
       }},
  };
  int runs = 0;
  for (const auto& [before, command] : commands) {
    WriteFile(path_, before);
    testing::FaultyFiles counting;
    ASSERT_EQ(command(counting), 0);
    const Bytes done = Now();
    for (int op = testing::FaultyFiles::kOpen; op < testing::FaultyFiles::kOps; ++op) {
      for (bool shortWrite : {false, true}) {
        if (shortWrite && op != testing::FaultyFiles::kWrite) continue;
        for (int k = 1; k <= counting.Calls(static_cast<testing::FaultyFiles::Op>(op)); ++k) {
          WriteFile(path_, before);
          testing::FaultyFiles faulty;
          faulty.FailAt(static_cast<testing::FaultyFiles::Op>(op), k, EIO, shortWrite);
          const int status = command(faulty);
          ++runs;
          const std::string where = "op " + std::to_string(op) + " call " + std::to_string(k);
          if (status == 0) {
            EXPECT_EQ(Now(), done) << where << " was not reported";
            continue;
          }
          EXPECT_TRUE(status == 1 || status == 2) << where;
          EXPECT_EQ(RecoverCommand(path_, false, "", quiet_), 0) << where;
          const Bytes after = Now();
          EXPECT_TRUE(after == before || (status == 2 && after == done)) << where;
        }
      }
    }
  }
  EXPECT_GT(runs, 30);
}

// ---------------------------------------------------------------------------------------------
// Properties over random files.

// A random change to a random file through atbutil's own commands: set, add, remove or insert.
// Answers false when the command refused (the file is then as it was).
bool RandomCommand(const std::string& path, Random& r, const testing::TempDir& dir) {
  const Bytes file = ReadFile(path);
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  Sink sink(nullptr);
  if (!DumpText(source, static_cast<int64_t>(file.size()), KeyNames(), sink).ok()) return false;
  std::vector<std::pair<std::string, std::string>> lines;
  std::vector<std::string> tables = {"/"};
  for (std::size_t at = 0; at < sink.buf().size();) {
    const std::size_t end = sink.buf().find('\n', at);
    const std::string line = sink.buf().substr(at, end - at);
    at = end + 1;
    const std::size_t eq = line.find(" = ");
    lines.emplace_back(line.substr(0, eq), line.substr(eq + 3));
    if (lines.back().second.compare(0, 3, "ref") == 0) tables.push_back(lines.back().first);
  }
  std::FILE* quiet = std::fopen("/dev/null", "w");
  int status = 1;
  const std::string table =
      tables[static_cast<std::size_t>(r.Below(static_cast<int>(tables.size())))];
  const std::string key = std::to_string(r.OneIn(5) ? 0x80000000u + r.Below(3) : r.Below(14));
  switch (lines.empty() ? 1 : r.Below(4)) {
    case 0: {  // set: a value of the same form
      const auto& [p, value] =
          lines[static_cast<std::size_t>(r.Below(static_cast<int>(lines.size())))];
      std::string v = std::to_string(r.Below(3));
      if (value[0] == '"') {
        v = std::string(1, '"').append(r.Word(9)).append(1, '"');
      } else if (value.compare(0, 2, "u\"") == 0) {
        v = std::string("u\"").append(r.Word(4)).append(1, '"');
      } else if (value.compare(0, 5, "type ") == 0) {
        v = value.substr(0, value.find(' ', 5)).append(" \"").append(r.Word(5)).append(1, '"');
      }
      status = SetCommand(path, {p, v}, KeyNames(), quiet);
      break;
    }
    case 1: {
      static const char* const kTypes[][2] = {{"float", "1.5"},     {"bool", "1"},
                                              {"text", "\"new\""},  {"localized", "u\"wide\""},
                                              {"table", "\"box\""}, {"table", "empty"}};
      const auto& [type, value] = kTypes[r.Below(6)];
      status = AddCommand(path, {(table == "/" ? "" : table) + "/" + key, type, value}, KeyNames(),
                          quiet);
      break;
    }
    case 2:
      status = RemoveCommand(
          path, {lines[static_cast<std::size_t>(r.Below(static_cast<int>(lines.size())))].first},
          KeyNames(), quiet);
      break;
    default: {
      WriteFile(dir / "side", EncodeTable(RandomTable(r, 2)));
      status = InsertCommand(path, table, key, dir / "side", KeyNames(), quiet);
    }
  }
  std::fclose(quiet);
  return status == 0;
}

// A random file whose root table is sound: some of its nested tables may be damaged, its header
// bytes differ, and now and then its sizes do not follow its length.
Bytes RandomSoundRoot(Random& r) {
  for (;;) {
    Bytes file = RandomFile(r);
    MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    EntryList root;
    if (!ReadTable(source, ROOT_TABLE_OFFSET, static_cast<int64_t>(file.size()), &root).ok()) {
      continue;
    }
    if (r.OneIn(4)) file[static_cast<std::size_t>(r.Below(36))] = static_cast<char>(r.Below(256));
    // A nested table whose count cannot be: damaged, and so changed whole.
    for (uint32_t i = 0; i < root.count && r.OneIn(2); ++i) {
      if (root.Is(i, EntryType::Reference)) {
        file[root.ExtentStart(i) + 3] = 0x7F;
        break;
      }
    }
    if (r.OneIn(6)) file[OUTER_SIZE_OFFSET] ^= 1;
    return file;
  }
}

TEST_F(Patches, ApplyingTheDiffGivesTheOtherFileByteForByte) {
  Random r(2121);
  int unrelated = 0, derived = 0, raw = 0, twice = 0;
  const int cases = testing::kSanitized ? 60 : 400;
  for (int c = 0; c < cases; ++c) {
    const Bytes a = RandomSoundRoot(r);
    Bytes b;
    if (c % 2 == 0) {
      b = RandomSoundRoot(r);
      ++unrelated;
    } else {
      WriteFile(dir_ / "b.atb", a);
      for (int n = 1 + r.Below(4); n > 0; --n) RandomCommand(dir_ / "b.atb", r, dir_);
      b = ReadFile(dir_ / "b.atb");
      ++derived;
    }
    ASSERT_EQ(Diff(a, a), "") << c;
    const std::string patch = Diff(a, b);
    ASSERT_NE(patch.compare(0, 8, "refused:"), 0) << c << ": " << patch;
    raw += patch.find(" raw \"") != std::string::npos;
    Ran applied = Apply(a, {patch});
    ASSERT_EQ(applied.status, 0) << c << ": " << applied.err << patch;
    // Sizes that no change can leave come out following the length; all else is B's.
    Bytes expected = b;
    auto* p = reinterpret_cast<uint8_t*>(expected.data());
    EncodeFixed32(p + OUTER_SIZE_OFFSET, OuterSizeFor(static_cast<int64_t>(b.size())));
    EncodeFixed32(p + ROOT_SIZE_OFFSET, RootSizeFor(static_cast<int64_t>(b.size())));
    ASSERT_EQ(Now(), a == b ? a : expected) << c << ":\n" << patch;
    if (patch.empty()) continue;
    Ran again = Capture([&](std::FILE*, std::FILE* err) {
      return ApplyCommand(path_, {dir_ / "p0"}, false, KeyNames(), stdin, err);
    });
    ASSERT_EQ(again.status, 1) << c << ":\n" << patch;
    ASSERT_EQ(Now(), expected) << c;
    ++twice;
  }
  EXPECT_GT(unrelated, cases / 3);
  EXPECT_GT(derived, cases / 3);
  EXPECT_GE(raw, cases / 40);
  EXPECT_GT(twice, cases / 2);
}

// A patch that diff --reversible writes is its own undo: applied and then applied with -R it
// gives the file back byte for byte, and so do two patches undone together, the last first. A
// patch that lacks an old value, or a removal's place, is refused whole with the file unchanged.
TEST_F(Patches, AReversiblePatchUndoneGivesTheFileBackByteForByte) {
  Random r(4343);
  auto reversibleDiff = [](const Bytes& a, const Bytes& b) {
    MemorySource x(reinterpret_cast<const uint8_t*>(a.data()), a.size());
    MemorySource y(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    Sink sink(nullptr);
    int64_t changes;
    EXPECT_TRUE(WritePatch(x, static_cast<int64_t>(a.size()), y, static_cast<int64_t>(b.size()),
                           KeyNames(), sink, &changes, nullptr, true)
                    .ok());
    return sink.buf();
  };
  // Sizes that follow the length, as any change leaves them: only such a file can come back.
  auto following = [](Bytes file) {
    auto* p = reinterpret_cast<uint8_t*>(file.data());
    EncodeFixed32(p + OUTER_SIZE_OFFSET, OuterSizeFor(static_cast<int64_t>(file.size())));
    EncodeFixed32(p + ROOT_SIZE_OFFSET, RootSizeFor(static_cast<int64_t>(file.size())));
    return file;
  };
  auto changed = [&](const Bytes& from) {
    WriteFile(dir_ / "b.atb", from);
    for (int n = 1 + r.Below(4); n > 0; --n) RandomCommand(dir_ / "b.atb", r, dir_);
    return ReadFile(dir_ / "b.atb");
  };
  auto undo = [&](std::vector<std::string> patches) {
    return Capture([&](std::FILE*, std::FILE* err) {
      return ApplyCommand(path_, patches, false, KeyNames(), stdin, err, SystemFiles(), false,
                          true);
    });
  };
  const int cases = testing::kSanitized ? 40 : 300;
  int removals = 0, pairs = 0;
  for (int c = 0; c < cases; ++c) {
    const Bytes a = following(RandomSoundRoot(r));
    const Bytes b = c % 3 == 0 ? following(RandomSoundRoot(r)) : changed(a);
    const std::string patch = reversibleDiff(a, b);
    if (patch.empty()) continue;
    removals += patch.find("\nremove ") != std::string::npos || patch.rfind("remove ", 0) == 0;
    Ran applied = Apply(a, {patch});
    ASSERT_EQ(applied.status, 0) << c << ": " << applied.err << patch;
    Ran undone = undo({dir_ / "p0"});
    ASSERT_EQ(undone.status, 0) << c << ": " << undone.err << patch;
    ASSERT_EQ(Now(), a) << c << ":\n" << patch;
    if (c % 4 != 1) continue;
    const Bytes b2 = following(b);
    const Bytes d = changed(b2);
    const std::string second = reversibleDiff(b2, d);
    if (second.empty()) continue;
    ASSERT_EQ(Apply(a, {patch, second}).status, 0) << c;
    undone = undo({dir_ / "p0", dir_ / "p1"});
    ASSERT_EQ(undone.status, 0) << c << ": " << undone.err << patch << second;
    ASSERT_EQ(Now(), a) << c;
    ++pairs;
  }
  EXPECT_GT(removals, cases / 4);
  EXPECT_GT(pairs, cases / 10);

  // Where a key repeats, undoing finds each entry again among those with its key: one removed in
  // the middle goes back there. A removal's neighbours are what apply expects too.
  const Bytes listed = EncodeFile({{FloatEntry(5, 1), FloatEntry(5, 2), FloatEntry(5, 3),
                                    RefEntry(6, {{FloatEntry(1, 1)}}), TextEntry(7, "x")}});
  const std::string moves =
      "remove /5[1] after /5[0] before /5[2] (of 3): float 2\n"
      "add /5 after /5[2] before /6 (of 3): float 9\n"
      "add /6/2 after /6/1 before end: float 4\n"
      "end 3 changes\n";
  ASSERT_EQ(Apply(listed, {moves}).status, 0);
  EXPECT_EQ(Now(),
            EncodeFile({{FloatEntry(5, 1), FloatEntry(5, 3), FloatEntry(5, 9),
                         RefEntry(6, {{FloatEntry(1, 1), FloatEntry(2, 4)}}), TextEntry(7, "x")}}));
  ASSERT_EQ(undo({dir_ / "p0"}).status, 0);
  EXPECT_EQ(Now(), listed);
  const Ran misplaced =
      Apply(listed, {"remove /5[1] after /5[2] before /6 (of 3): float 2\nend 1 change\n"});
  EXPECT_EQ(misplaced.status, 1);
  EXPECT_NE(misplaced.err.find("/5[1]: expected it after /5[2] and before /6, found it after "
                               "/5[0] and before /5[2]"),
            std::string::npos)
      << misplaced.err;
  EXPECT_EQ(Now(), listed);

  // What a patch does not hold cannot be put back: refused whole, the file left as it is.
  const Bytes a = EncodeFile({{FloatEntry(1, 1), TextEntry(2, std::string(300, 'x')),
                               RefEntry(3, {{FloatEntry(4, 4)}}), FloatEntry(5, 5)}});
  const Bytes b = EncodeFile({{FloatEntry(1, 2), TextEntry(2, "short"), FloatEntry(5, 5)}});
  const std::string plain = Diff(a, b);
  ASSERT_EQ(Apply(a, {plain}).status, 0);
  const Bytes made = Now();
  const Ran refused = undo({dir_ / "p0"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(Now(), made);
  EXPECT_NE(refused.err.find("line 2: /2: its old value is given only by its size and hash"),
            std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("line 3: /3: its old value is given only by its size and hash"),
            std::string::npos)
      << refused.err;
  // Undone on a file it did not make: what it expects to find is not there.
  WriteFile(dir_ / "p0", reversibleDiff(a, b));
  WriteFile(path_, a);
  const Ran elsewhere = undo({dir_ / "p0"});
  EXPECT_EQ(elsewhere.status, 1) << elsewhere.err;
  EXPECT_EQ(Now(), a);
}

}  // namespace
}  // namespace atb
