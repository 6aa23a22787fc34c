// atbutil's command line for shells and scripts: get of several values, standard input as a
// file, the names that every command reads, names and hash, and the progress line.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "atbutil/commands.h"
#include "atbutil/progress.h"
#include "labels/key_hash.h"
#include "labels/key_labels.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::Shell;

using testing::Capture;
using Caught = testing::Ran;

std::string Q(const std::string& s) { return "'" + s + "'"; }
const std::string kAtbutil = ATBUTIL_BINARY;

const Table kUnit{{RefEntry(0x2000, {{NameEntry("arc_caster"), FloatEntry(0x13B8FCB6, 40)}}),
                   TextEntry(5, "two\nlines", Bytes("\0junk", 5)), WideEntry(6, u"Caster \u00e9"),
                   FloatEntry(7, 2.5), WideEntry(8, u"a\xD800z")}};

TEST(Get, SeveralValuesInOrderRawOrZeroEndedAndNoneWhenOneMisses) {
  testing::TempDir dir;
  WriteFile(dir / "u.atb", EncodeFile(kUnit));
  const KeyNames names;
  auto get = [&](std::vector<std::string> paths, GetForm form) {
    return Capture([&](std::FILE* o, std::FILE* e) {
      return GetCommand(dir / "u.atb", paths, form, names, o, e);
    });
  };
  Caught r = get({"/7", "/5", "/6", "/8192/max_damage", "/8192"}, {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "2.5\n\"two\\nlines\" trailing \"\\x00junk\"\nu\"Caster \u00e9\"\n40\nref "
            "\"arc_caster\"\n");
  // Raw: a text's own characters, the localized one as UTF-8; other types as without it.
  r = get({"/5", "/6", "/7", "/8192/1238765486"}, {true, '\0'});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string("two\nlines\0Caster \u00e9\0"
                               "2.5\0arc_caster\0",
                               35));
  // One path that misses, or a raw text UTF-8 cannot carry: every fault said, nothing printed.
  r = get({"/7", "/99", "/5", "/8192/98"}, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("\"99\""), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("\"98\""), std::string::npos) << r.err;
  r = get({"/7", "/8"}, {true, '\n'});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("/8: the localized text holds an unpaired surrogate"), std::string::npos)
      << r.err;
  EXPECT_EQ(get({"/8"}, {}).out, "u\"a\\ud800z\"\n");
  // As the shell takes it.
  const testing::Outcome shell = Shell("n=$(" + kAtbutil + " get --raw " + Q(dir / "u.atb") +
                                       " /8192/ref_name) && printf '[%s]' \"$n\"");
  EXPECT_EQ(shell.out, "[arc_caster]");
}

// Every command that reads an attribute file takes "-" for standard input, a pipe included, and
// leaves nothing of it behind in TMPDIR.
TEST(StandardInput, EveryReadingCommandTakesDashAndLeavesNoCopy) {
  testing::TempDir dir, tmp;
  const Table changed{{FloatEntry(7, 3.5)}};
  WriteFile(dir / "u.atb", EncodeFile(kUnit));
  WriteFile(dir / "v.atb", EncodeFile(changed));
  WriteFile(dir / "bad.atb", EncodeFile(kUnit).substr(0, 60));
  const std::string tool = "TMPDIR=" + Q(tmp.path()) + " " + kAtbutil + " ";
  const std::string u = Q(dir / "u.atb"), v = Q(dir / "v.atb");
  auto piped = [&](const std::string& file, const std::string& command) {
    return Shell("cat " + file + " | " + tool + command + " 2>&1; echo \"rc=$?\"");
  };
  auto named = [&](const std::string& command) {
    return Shell(tool + command + " 2>&1; echo \"rc=$?\"");
  };
  for (const std::string command : {"dump", "dump --json", "textconv", "check"}) {
    EXPECT_EQ(piped(u, command + " -").out, named(command + " " + u).out) << command;
  }
  EXPECT_EQ(piped(u, "get --raw - /5 /7").out, "two\nlines\n2.5\nrc=0\n");
  EXPECT_EQ(piped(u, "diff - " + v).out, named("diff " + u + " " + v).out);
  EXPECT_EQ(piped(v, "diff " + u + " -").out, named("diff " + u + " " + v).out);
  // Messages name it standard input; what cannot be read from it is said so.
  EXPECT_EQ(piped(Q(dir / "bad.atb"), "check -").out,
            "standard input: /: count 5 too large for the extent of 8 bytes\nrc=1\n");
  EXPECT_EQ(Shell(tool + "dump - < /dev/null 2>&1").out,
            "atbutil: standard input: only 0 bytes, shorter than a header and a table count\n");
  EXPECT_EQ(piped(u, "diff - -").out,
            "atbutil: standard input (-) can be only one of A and B\nrc=2\n");
  EXPECT_EQ(piped(u, "set - /7 1").out,
            "atbutil: standard input can only be read, not changed\nrc=2\n");
  EXPECT_EQ(Shell("ls -A " + Q(tmp.path())).out, "");
}

// Names come from --names (several), then ATB_NAMES, then the user's own file, the first name of
// a key winning; a file that is named and fails is an error, the user's own missing is none.
TEST(Names, EverySourceAddsAndTheReferenceNameHasALabelOfItsOwn) {
  testing::TempDir dir;
  const uint32_t speed = HashKeyName("speed"), range = HashKeyName("range");
  WriteFile(dir / "a", "# a comment\nspeed\t# 3 entries\n");
  WriteFile(dir / "b", "range\nspeed\n");
  KeyNames names;
  EXPECT_FALSE(LoadNames({{dir / "a"}, ":" + dir / "missing", ""}, &names).ok());
  names = KeyNames();
  ASSERT_TRUE(LoadNames({{dir / "a"}, ":" + dir / "b" + ":", dir / "none"}, &names).ok());
  EXPECT_EQ(names.NameOf(speed), "speed");
  EXPECT_EQ(names.NameOf(range), "range");
  EXPECT_EQ(names.NameOf(HashKeyName("# a comment")), "");
  EXPECT_EQ(names.KeyOfWord(kReferenceNameLabel), REF_NAME_KEY);
  EXPECT_EQ(names.PathNameOf(REF_NAME_KEY), kReferenceNameLabel);
  // The label shadows no key of the table, and no row of it takes the word.
  EXPECT_EQ(FindKeyLabel(HashKeyName(kReferenceNameLabel)), nullptr);
  EXPECT_EQ(FindKeyLabel(REF_NAME_KEY), nullptr);
  for (int i = 0; i < kKeyLabelCount; ++i) {
    EXPECT_NE(std::string(KeyLabelTable[i].label), kReferenceNameLabel);
  }
  // The program reads them from its environment, for every command that shows keys.
  WriteFile(dir / "u.atb", EncodeFile({{FloatEntry(speed, 1), FloatEntry(range, 2)}}));
  std::string configDir = dir / "config/atb-edit";
  ASSERT_EQ(Shell("mkdir -p " + Q(configDir)).status, 0);
  WriteFile(configDir + "/names", "range\n");
  const std::string env = "XDG_CONFIG_HOME=" + Q(dir / "config") + " ATB_NAMES=" + Q(dir / "a");
  EXPECT_EQ(Shell(env + " " + kAtbutil + " dump " + Q(dir / "u.atb")).out,
            "/speed = 1\n/range = 2\n");
  EXPECT_EQ(Shell("HOME=/nonexistent " + kAtbutil + " dump --names " + Q(dir / "b") + " --names " +
                  Q(dir / "a") + " " + Q(dir / "u.atb"))
                .out,
            "/speed = 1\n/range = 2\n");
  EXPECT_EQ(Shell("HOME=" + Q(dir.path()) + " XDG_CONFIG_HOME= ATB_NAMES= " + kAtbutil + " get " +
                  Q(dir / "u.atb") + " range")
                .out,
            "2\n");
  EXPECT_EQ(
      Shell("HOME=/nonexistent ATB_NAMES=" + Q(dir / "gone") + " " + kAtbutil + " dump " +
            Q(dir / "u.atb") + " 2>&1; echo $?")
          .out,
      "atbutil: ATB_NAMES: " + dir / "gone" + ": cannot be read: No such file or directory\n2\n");
  // hash gives the key a word stands for in a path.
  EXPECT_EQ(Shell(kAtbutil + " hash speed ref_name reload_time accurancy").out,
            std::to_string(speed) + "\n1238765486\n" + std::to_string(0x09CEA8A9) + "\n" +
                std::to_string(0xE205B1DA) + "\n");
}

// names finds the words whose hashes are keys without a name, in texts of both kinds, whole
// and word by word, across files, but not a label of another key; a damaged file is said and the
// rest still count.
TEST(Names, TextsAndTheirWordsNameKeysThatHaveNone) {
  testing::TempDir dir;
  const uint32_t bonus = HashKeyName("damage_bonus"), odd = HashKeyName("Odd Name"),
                 speed = HashKeyName("speed_up");
  ASSERT_EQ(Shell("mkdir " + Q(dir / "mods")).status, 0);
  WriteFile(dir / "mods/a.atb",
            EncodeFile({{FloatEntry(bonus, 1), FloatEntry(bonus, 2), TextEntry(9, "Odd Name"),
                         RefEntry(0x2000, {{NameEntry("x"), FloatEntry(odd, 3)}})}}));
  WriteFile(dir / "mods/b.atb",
            EncodeFile({{WideEntry(10, u"see damage_bonus,speed_up\u00e9max_damage accurancy"),
                         FloatEntry(speed, 1), FloatEntry(0x13B8FCB6, 5),
                         FloatEntry(HashKeyName("accurancy"), 1)}}));
  WriteFile(dir / "mods/c.atb", EncodeFile({{FloatEntry(1, 1)}}).substr(0, 55));
  const KeyNames names;
  Caught r = Capture(
      [&](std::FILE* o, std::FILE* e) { return NamesCommand({dir / "mods"}, names, o, e); });
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "Odd Name\t# 1 entry\ndamage_bonus\t# 2 entries\nspeed_up\t# 1 entry\n");
  EXPECT_NE(r.err.find("mods/c.atb"), std::string::npos) << r.err;
  // What it prints is a names file that explains them.
  WriteFile(dir / "found", r.out);
  KeyNames read;
  ASSERT_TRUE(read.AddNamesFile(dir / "found").ok());
  EXPECT_EQ(read.NameOf(odd), "Odd Name");
  EXPECT_EQ(read.PathNameOf(speed), "speed_up");
  // Named already: nothing left to find.
  r = Capture([&](std::FILE* o, std::FILE* e) {
    return NamesCommand({dir / "mods/a.atb", dir / "mods/b.atb"}, read, o, e);
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
}

// The progress line: nothing in the first second nor off a terminal, then at most four lines a
// second, each over the last, taken away before other output and back only at the next redraw,
// and taken away at the end.
TEST(Progress, DrawnLateRarelyAndClearedOnlyOnATerminal) {
  int64_t now = 0;
  auto clock = [&] { return now; };
  Caught r = Capture([&](std::FILE*, std::FILE* e) {
    Progress p(e, "files", true, clock);
    for (int i = 1; i <= 20; ++i) {
      now += 100;
      p.Update(i, 20);
    }
    p.Clear();
    p.Update(19, 20);
    p.Clear();
    now += 1000;
    p.Update(20, 20);
    return 0;
  });
  const std::string l10 = "\ratbutil: 10 of 20 files (50%)",
                    l13 = "\ratbutil: 13 of 20 files (65%)",
                    l16 = "\ratbutil: 16 of 20 files (80%)",
                    l19 = "\ratbutil: 19 of 20 files (95%)",
                    l20 = "\ratbutil: 20 of 20 files (100%)";
  auto blank = [](const std::string& line) {
    std::string spaces(line.size() + 1, ' ');
    spaces.front() = spaces.back() = '\r';
    return spaces;
  };
  EXPECT_EQ(r.err, l10 + l13 + l16 + l19 + blank(l19) + l20 + blank(l20));
  r = Capture([&](std::FILE*, std::FILE* e) {
    Progress p(e, "files", false, clock);
    now += 5000;
    p.Update(1, 2);
    return 0;
  });
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace atb
