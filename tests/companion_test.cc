// atbutil's read side: the value syntax, paths, and what dump, get, check and build promise on
// exact and on random files.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <functional>

#include "atbutil/commands.h"
#include "labels/key_hash.h"
#include "labels/key_labels.h"
#include "patches/diff.h"
#include "platform/quote.h"
#include "store/coding.h"
#include "store/layout.h"
#include "store/table.h"
#include "tests/random_files.h"
#include "tests/test_util.h"
#include "text/dump.h"
#include "text/json_form.h"
#include "text/value_text.h"

namespace atb {
namespace {

using namespace build;

struct Outcome {
  int status;
  std::string out, err;
};

// Runs a command with its output and error streams caught in memory.
Outcome Capture(const std::function<int(std::FILE*, std::FILE*)>& command) {
  char *outBuf = nullptr, *errBuf = nullptr;
  std::size_t outLen = 0, errLen = 0;
  std::FILE* out = open_memstream(&outBuf, &outLen);
  std::FILE* err = open_memstream(&errBuf, &errLen);
  int status = command(out, err);
  std::fclose(out);
  std::fclose(err);
  Outcome r{status, std::string(outBuf, outLen), std::string(errBuf, errLen)};
  std::free(outBuf);
  std::free(errBuf);
  return r;
}

std::string Dumped(const Bytes& file, const KeyNames& names = KeyNames()) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  Sink sink(nullptr);
  EXPECT_TRUE(DumpText(source, static_cast<int64_t>(file.size()), names, sink).ok());
  return sink.buf();
}

std::string DumpedJson(const Bytes& file) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  Sink sink(nullptr);
  EXPECT_TRUE(DumpJson(source, static_cast<int64_t>(file.size()), KeyNames(), sink).ok());
  return sink.buf();
}

std::string ValueOf(uint32_t type, const Bytes& extent) {
  MemorySource source(reinterpret_cast<const uint8_t*>(extent.data()), extent.size());
  Sink sink(nullptr);
  EXPECT_TRUE(AppendValueText(source, type, 0, static_cast<int64_t>(extent.size()), sink).ok());
  return sink.buf();
}

// The extent that a value line gives back for an entry of `type`, or "error: ...".
Bytes Parsed(uint32_t type, const std::string& text) {
  ParsedValue value;
  const Status s = ParseValue(text, type, &value);
  return s.ok() ? value.bytes : "error: " + s.Message();
}

TEST(Keys, NamesHashToTheirKeysAndLabelsStayTheAuthority) {
  EXPECT_EQ(HashKeyName("reload_time"), 0x09CEA8A9u);
  EXPECT_EQ(HashKeyName("min_damage"), 0x3801F697u);
  EXPECT_EQ(HashKeyName("max_upgrades"), 0x2AB4D94Bu);
  EXPECT_EQ(HashKeyName("name"), 0x2E256A1Au);
  EXPECT_EQ(HashKeyName(""), 0xBD49D10Du);
  EXPECT_EQ(HashKeyName("a name longer than twelve bytes, so several blocks"),
            HashKeyName(std::string("a name longer than twelve bytes, so several blocks")));
  int hashed = 0;
  for (int i = 0; i < kKeyLabelCount; ++i) {
    hashed += HashKeyName(KeyLabelTable[i].label) == KeyLabelTable[i].hash;
  }
  EXPECT_EQ(hashed, 56);
  // A label that is not its name's hash still names its own key.
  KeyNames names;
  EXPECT_EQ(names.KeyOfWord("armor"), 0x6273B874u);
  EXPECT_EQ(names.KeyOfWord("not_a_label"), HashKeyName("not_a_label"));
  EXPECT_EQ(names.PathNameOf(0x6273B874u), "armor");
  EXPECT_EQ(names.PathNameOf(0x1FD35F63u), "");  // "(ignore me)" is not a plain word

  // A name too long to show for every entry stays a word for its key, never shown.
  testing::TempDir dir;
  const std::string longest(kLongestShownName, 'n'), longer(kLongestShownName + 1, 'n');
  WriteFile(dir / "names", longest + "\n" + longer + "\n");
  ASSERT_TRUE(names.AddNamesFile(dir / "names").ok());
  EXPECT_EQ(names.PathNameOf(HashKeyName(longest)), longest);
  EXPECT_EQ(names.NameOf(HashKeyName(longer)), "");
  EXPECT_EQ(names.KeyOfWord(longer), HashKeyName(longer));
}

// A names file is read through the file layer in pieces: lines cut between reads, CRLF ends and
// a last line without its end all count; a failure keeps the system's errno.
TEST(Keys, NamesFilesAreReadThroughTheFileLayer) {
  testing::TempDir dir;
  std::string text = "first\r\n\n";
  text += std::string((1 << 16) - text.size() - 3, 'x') + "\ncut_across\nlast";
  WriteFile(dir / "names", text);
  KeyNames names;
  ASSERT_TRUE(names.AddNamesFile(dir / "names").ok());
  EXPECT_EQ(names.PathNameOf(HashKeyName("first")), "first");
  EXPECT_EQ(names.PathNameOf(HashKeyName("cut_across")), "cut_across");
  EXPECT_EQ(names.PathNameOf(HashKeyName("last")), "last");
  EXPECT_EQ(names.NameOf(HashKeyName("")), "");

  Status s = names.AddNamesFile(dir / "missing");
  EXPECT_TRUE(s.ioError());
  EXPECT_EQ(s.err(), ENOENT);
  EXPECT_EQ(s.Message(), dir / "missing" + ": cannot be read: No such file or directory");
  s = names.AddNamesFile(dir.path());
  EXPECT_EQ(s.err(), EISDIR);
  for (int op : {testing::FaultyFiles::kOpen, testing::FaultyFiles::kRead}) {
    testing::FaultyFiles faulty;
    faulty.FailAt(static_cast<testing::FaultyFiles::Op>(op), 1);
    s = names.AddNamesFile(dir / "names", faulty);
    EXPECT_TRUE(s.ioError()) << op;
    EXPECT_EQ(s.err(), EIO) << op;
  }
}

TEST(Values, EveryFloatReadsBackToItsBits) {
  EXPECT_EQ(FormatFloatBits(std::bit_cast<uint32_t>(1.5f)), "1.5");
  EXPECT_EQ(FormatFloatBits(std::bit_cast<uint32_t>(0.1f)), "0.1");
  EXPECT_EQ(FormatFloatBits(0x80000000), "-0");
  EXPECT_EQ(FormatFloatBits(0x7F800000), "inf");
  EXPECT_EQ(FormatFloatBits(0xFF800000), "-inf");
  EXPECT_EQ(FormatFloatBits(0x7FC00000), "nan");
  EXPECT_EQ(FormatFloatBits(0xFFC00000), "-nan");
  EXPECT_EQ(FormatFloatBits(0x7F800001), "nan(0x7f800001)");
  Random r(7);
  for (int i = 0; i < 200000; ++i) {
    const uint32_t bits =
        static_cast<uint32_t>(r.Below(1 << 16)) << 16 | static_cast<uint32_t>(r.Below(1 << 16));
    uint32_t back = ~bits;
    ASSERT_TRUE(ParseFloatText(FormatFloatBits(bits), &back)) << bits;
    ASSERT_EQ(back, bits) << FormatFloatBits(bits);
  }
  uint32_t bits;
  EXPECT_TRUE(ParseFloatText("1e3", &bits));
  EXPECT_EQ(bits, std::bit_cast<uint32_t>(1000.0f));
  // Rounded to the nearest float, down to the smallest subnormal; beyond the range, refused.
  EXPECT_TRUE(ParseFloatText("1e-40", &bits));
  EXPECT_EQ(bits, std::bit_cast<uint32_t>(1e-40f));
  EXPECT_TRUE(ParseFloatText("3.4028235e38", &bits));
  EXPECT_EQ(bits, 0x7F7FFFFFu);
  for (auto [word, expected] : std::vector<std::pair<std::string, uint32_t>>{
           {"inf", 0x7F800000}, {"+inf", 0x7F800000}, {"-inf", 0xFF800000}, {"0e-400", 0}}) {
    EXPECT_TRUE(ParseFloatText(word, &bits)) << word;
    EXPECT_EQ(bits, expected) << word;
  }
  std::string why;
  EXPECT_FALSE(ParseFloatText("1e60", &bits, &why));
  EXPECT_EQ(why, "1e60 is beyond the float range (write inf for an infinity)");
  EXPECT_FALSE(ParseFloatText("-3.4028236e38", &bits, &why));
  EXPECT_EQ(why, "-3.4028236e38 is beyond the float range (write -inf for an infinity)");
  EXPECT_FALSE(ParseFloatText("1e-50", &bits, &why));
  EXPECT_EQ(why, "1e-50 is too small for a float: it would become 0");
  // A NaN's bits are said in full or not at all: the library would read these as the quiet NaN.
  for (const std::string nan : {"nan(0x0)", "nan(0x1ffffffff)", "nan(0x7fc0001)", "nan()",
                                "nan(7fc00001)", "-nan(0x7fc00001)", "NAN(0X7FC00001)"}) {
    EXPECT_FALSE(ParseFloatText(nan, &bits, &why)) << nan;
    EXPECT_EQ(why, "\"" + nan +
                       "\" is not a float (a NaN by its bits takes 8 hex digits, as in "
                       "nan(0x7fc00001))");
  }
  EXPECT_FALSE(ParseFloatText("nan(0x7f800000)", &bits, &why));
  EXPECT_EQ(why, "\"nan(0x7f800000)\" is not a float (those bits are no NaN)");
  EXPECT_TRUE(ParseFloatText("nan(0x7FC00001)", &bits));
  EXPECT_EQ(bits, 0x7FC00001u);
}

TEST(Values, TextsAndLocalizedTextsRoundTripThroughTheirEscapes) {
  EXPECT_EQ(ValueOf(3, Bytes("a\tb\"\\\x01\xe9\0tail\0", 13)),
            "\"a\\tb\\\"\\\\\\x01\\xe9\" trailing \"tail\\x00\"");
  // Valid UTF-8 stands as it is; controls (C1 included), cut and overlong sequences do not.
  EXPECT_EQ(ValueOf(3, Bytes("h\xc3\xa9llo \xe2\x9c\x93 \xc2\x85 \xe2\x9c \xc0\xaf\0", 20)),
            "\"h\xc3\xa9llo \xe2\x9c\x93 \\xc2\\x85 \\xe2\\x9c \\xc0\\xaf\"");
  EXPECT_EQ(Parsed(3, "\"h\xc3\xa9llo \\xc3\\xa9\""), Bytes("h\xc3\xa9llo \xc3\xa9\0", 10));
  // A character cut by the dump's reading in chunks is still one character.
  const Bytes across = Bytes((1 << 20) - 1, 'a') + "\xe2\x9c\x93";
  EXPECT_EQ(ValueOf(3, across + Bytes(1, '\0')), "\"" + across + "\"");
  EXPECT_EQ(ValueOf(4, Wide(u"caf\u00e9 \x07\xD800") + "x"),
            "u\"caf\u00e9 \\u0007\\ud800\" trailing \"x\"");
  Random r(11);
  for (int i = 0; i < 2000; ++i) {
    Bytes text = r.Bytes(12) + Bytes(1, '\0') + (r.OneIn(2) ? Bytes(3, '\0') + r.Bytes(3) : "");
    ASSERT_EQ(Parsed(3, ValueOf(3, text)), text);
    std::u16string units;
    for (int k = r.Below(8); k > 0; --k)
      units.push_back(static_cast<char16_t>(1 + r.Below(0xFFFF)));
    ASSERT_EQ(Parsed(4, ValueOf(4, Wide(units))), Wide(units));
  }
  // Extents that hold no whole value say so, and read back as they are.
  for (auto [type, extent] : std::vector<std::pair<uint32_t, Bytes>>{{0, ""},
                                                                     {0, "ab"},
                                                                     {0, F32(2) + "x"},
                                                                     {2, ""},
                                                                     {2, "\x05zz"},
                                                                     {3, "abc"},
                                                                     {4, "a"},
                                                                     {
                                                                         7,
                                                                         "raw\0",
                                                                     },
                                                                     {7, ""}}) {
    ASSERT_EQ(Parsed(type, ValueOf(type, extent)), extent) << ValueOf(type, extent);
  }
  EXPECT_EQ(ValueOf(0, "ab"), "short \"ab\"");
  EXPECT_EQ(ValueOf(3, "abc"), "unterminated \"abc\"");
  EXPECT_EQ(ValueOf(2, ""), "empty");
  EXPECT_EQ(ValueOf(7, Bytes(300, 'x')).substr(0, 25), "type 7 300 bytes fnv64 0x");
}

TEST(Values, WhatAnEntryCannotTakeIsRefusedWithAReason) {
  EXPECT_EQ(Parsed(0, "abc"), "error: \"abc\" is not a float");
  EXPECT_EQ(Parsed(0, "\"1.5\""), "error: a text cannot go into a float entry");
  EXPECT_EQ(Parsed(2, "256"), "error: \"256\" is not a bool (0 to 255, true or false)");
  EXPECT_EQ(Parsed(2, "true"), Bytes(1, '\1'));
  EXPECT_EQ(Parsed(3, "1.5"), "error: a text entry takes a quoted text");
  EXPECT_EQ(Parsed(3, "\"a\\x00b\""), "error: a text cannot hold a zero byte (\\x00)");
  EXPECT_EQ(Parsed(3, "\"open"), "error: a text without its closing quote");
  EXPECT_EQ(Parsed(3, "\"a\" extra"), "error: unexpected \"extra\" after the value");
  EXPECT_EQ(Parsed(100, "ref \"n\""),
            "error: a reference has no value to set (its form as get prints it is taken, and "
            "changes nothing)");
  EXPECT_EQ(Parsed(7, "type 8 \"\""), "error: the entry is of type 7");
  EXPECT_EQ(Parsed(7, "type 7 300 bytes fnv64 0x1"),
            "error: an entry shown by its size and hash takes only that form back, with the "
            "hash of its bytes");
  EXPECT_EQ(Parsed(0, "1e39"), "error: 1e39 is beyond the float range (write inf for an infinity)");
  EXPECT_EQ(Parsed(0, "1.5 trailing \"\\x01\""), F32(1.5f) + "\x01");
  // Byte texts and localized texts share their short escapes and each has its own.
  EXPECT_EQ(Parsed(4, "u\"\\ud83d\\ude00\\\"\\n\\ud800\""), Wide(u"\U0001F600\"\n\xD800"));
  EXPECT_EQ(Parsed(3, "\"\xff\\r\""), Bytes("\xff\r\0", 3));
  EXPECT_EQ(Parsed(3, "\"\\u0041\""), "error: unknown escape \\u");
  EXPECT_EQ(Parsed(4, "u\"\\x41\""), "error: unknown escape \\x in a localized text");
  EXPECT_EQ(Parsed(3, "\"\\x4\""), "error: \\x needs two hex digits");
  EXPECT_EQ(Parsed(4, "u\"\\u004\""), "error: \\u needs four hex digits");
  EXPECT_EQ(Parsed(4, "u\"open"), "error: a localized text without its closing quote");
  EXPECT_EQ(Parsed(4, "u\"\xff\""), "error: a localized text that is not UTF-8");
  EXPECT_EQ(Parsed(3, "\"a\\"), "error: a lone backslash");
}

const Table kSample{{
    RefEntry(0x2000, {{FloatEntry(0x13B8FCB6, 40), RefEntry(0x40000000, {{NameEntry("deep")}}),
                       NameEntry("caster")}}),
    FloatEntry(0x09CEA8A9, 2.5f),  // reload_time
    FloatEntry(0x1FD35F63, 1),     // "(ignore me)": not a plain word
    TextEntry(0x20000001, "a\nb"), BoolEntry(0x30000000, 1), BoolEntry(0x30000000, 0),
    RefEntry(0x50000000, {{{1, 0, "abcd", 9}}}),  // damaged inside
}};

TEST(Dump, OneLinePerEntryWithCanonicalPaths) {
  EXPECT_EQ(Dumped(EncodeFile(kSample)),
            "/8192 = ref \"caster\"\n"
            "/8192/max_damage = 40\n"
            "/8192/1073741824 = ref \"deep\"\n"
            "/8192/1073741824/1238765486 = \"deep\"\n"
            "/8192/1238765486 = \"caster\"\n"
            "/reload_time = 2.5\n"
            "/533946211 = 1\n"
            "/536870913 = \"a\\nb\"\n"
            "/805306368[0] = 1\n"
            "/805306368[1] = 0\n"
            "/1342177280 = damaged table: entry 0's value outside the data area (Off 9, data "
            "area of 4 bytes)\n");
  KeyNames names;
  testing::TempDir dir;
  WriteFile(dir / "names", "ref_name\r\nname\n\ntop_flag\n");
  ASSERT_TRUE(names.AddNamesFile(dir / "names").ok());
  EXPECT_EQ(Dumped(EncodeFile({{FloatEntry(HashKeyName("top_flag"), 1)}}), names),
            "/top_flag = 1\n");
}

TEST(Dump, AGrowingTextChangesOneLineAndNothingMovingIsShown) {
  Table longer = kSample;
  longer.entries[0].value = EncodeTable(
      {{FloatEntry(0x13B8FCB6, 40), RefEntry(0x40000000, {{NameEntry("deeper and longer")}}),
        NameEntry("caster")}});
  std::string a = Dumped(EncodeFile(kSample)), b = Dumped(EncodeFile(longer));
  int differing = 0;
  for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
    std::size_t ei = a.find('\n', i), ej = b.find('\n', j);
    differing += a.substr(i, ei - i) != b.substr(j, ej - j);
    i = ei + 1, j = ej + 1;
  }
  EXPECT_EQ(differing, 2);  // the name itself and the reference that lists it
}

TEST(Paths, GetFindsEntriesByEveryKindOfElement) {
  testing::TempDir dir;
  WriteFile(dir / "f.atb", EncodeFile(kSample));
  KeyNames names;
  auto get = [&](const std::string& path) {
    return Capture(
        [&](std::FILE* o, std::FILE* e) { return GetCommand(dir / "f.atb", path, names, o, e); });
  };
  for (const char* path : {"reload_time", "/reload_time", "164538537", "0x09CEA8A9", "#1"}) {
    EXPECT_EQ(get(path).out, "2.5\n") << path;
  }
  EXPECT_EQ(get("caster/deep/#0").out, "\"deep\"\n");  // references by name
  EXPECT_EQ(get("8192/max_damage").out, "40\n");       // a label hashed like the name
  EXPECT_EQ(get("805306368[1]").out, "0\n");
  EXPECT_EQ(get("0x30000000[0]").out, "1\n");
  Outcome several = get("805306368");
  EXPECT_EQ(several.status, 1);
  EXPECT_NE(several.err.find("matches 2 entries in /: #4 (key 805306368) #5 (key 805306368)"),
            std::string::npos);
  EXPECT_EQ(get("nothing_here").status, 1);
  EXPECT_EQ(get("reload_time/x").err,
            "atbutil: " + (dir / "f.atb") + ": \"reload_time\" in / is not a reference\n");
  EXPECT_EQ(get("1342177280/0").status, 1);  // through a damaged table
  EXPECT_EQ(get("/").status, 2);
  EXPECT_EQ(get("#1[").status, 2);

  // A reference goes by the name the dialogue lists for it: at most 200 bytes of it.
  const std::string name(250, 'n'), listed(200, 'n');
  const Bytes g = EncodeFile({{RefEntry(7, {{NameEntry(name), FloatEntry(0x50000000, 1)}})}});
  WriteFile(dir / "g.atb", g);
  const std::string dumped = Dumped(g);
  EXPECT_EQ(dumped.substr(0, dumped.find('\n')), "/7 = ref \"" + listed + "\"");
  auto getG = [&](const std::string& path) {
    return Capture(
        [&](std::FILE* o, std::FILE* e) { return GetCommand(dir / "g.atb", path, names, o, e); });
  };
  EXPECT_EQ(getG(listed + "/1342177280").out, "1\n");
  EXPECT_EQ(getG(name + "/1342177280").status, 1);
}

TEST(Check, OneLinePerDamagedTableAndTheDialoguesReasons) {
  testing::TempDir dir;
  WriteFile(dir / "good.atb", EncodeFile({{FloatEntry(1, 1)}}));
  WriteFile(dir / "bad.atb", EncodeFile(kSample));
  WriteFile(dir / "short.atb", "abc");
  KeyNames names;
  Outcome r = Capture([&](std::FILE* o, std::FILE* e) {
    return CheckCommand({dir / "good.atb", dir / "bad.atb", dir / "short.atb"}, names, o, e);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, (dir / "bad.atb") +
                       ": /1342177280: entry 0's value outside the data area (Off 9, data area "
                       "of 4 bytes)\n" +
                       (dir / "short.atb") +
                       ": /: only 3 bytes, shorter than a header and a table count\n");
  r = Capture([&](std::FILE* o, std::FILE* e) {
    return CheckCommand({dir / "good.atb", dir / "missing.atb"}, names, o, e);
  });
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "atbutil: " + (dir / "missing.atb") + ": No such file or directory\n");
}

// A name in a command that a message suggests is one shell word that means that very name,
// whatever it holds: pasted, it runs nothing else.
TEST(Check, NamesInSuggestedCommandsAreShellWords) {
  testing::TempDir dir;
  for (const std::string name : {"plain-1.atb", "a b.atb", "it's.atb", "p; touch PWNED; q.atb",
                                 "r`touch PWNED`.atb", "$(touch PWNED)\n\x1b[2J.atb", "x'\\n'\t"}) {
    WriteFile(dir / "word", "printf %s " + ShellWord(name));
    const testing::Outcome o = testing::Shell("cd '" + dir.path() + "' && bash ./word");
    EXPECT_EQ(o.out, name) << ShellWord(name);
    EXPECT_NE(access((dir / "PWNED").c_str(), F_OK), 0) << ShellWord(name);
  }
}

// A name holding a line break or an escape sequence never forges a line nor reaches a terminal
// as it is: it is quoted with C escapes, wherever a name is said.
TEST(Check, NamesWithControlBytesAreQuoted) {
  testing::TempDir dir;
  WriteFile(dir / "d\nfake.atb: all good\nx.atb", "abc");
  WriteFile(dir / "e\x1b[2J.atb", "abcd");
  KeyNames names;
  Outcome r = Capture([&](std::FILE* o, std::FILE* e) {
    return CheckCommand({dir.path(), dir / "gone\n.atb"}, names, o, e);
  });
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "\"" + dir.path() +
                       "/d\\nfake.atb: all good\\nx.atb\": /: only 3 bytes, shorter than a header "
                       "and a table count\n\"" +
                       dir.path() +
                       "/e\\033[2J.atb\": /: only 4 bytes, shorter than a header and a table "
                       "count\n");
  EXPECT_EQ(r.err, "atbutil: \"" + dir.path() + "/gone\\n.atb\": No such file or directory\n");
  r = Capture([&](std::FILE* o, std::FILE* e) {
    return GetCommand(dir / "e\x1b[2J.atb", "1", names, o, e);
  });
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

// Folders: every *.atb below them in sorted order, symlinks not followed, unreadable folders
// reported; the parallel check prints what a one-by-one check would.
TEST(Check, FoldersAreWalkedInSortedOrderWithoutFollowingSymlinks) {
  testing::TempDir dir;
  const std::string top = dir / "top";
  ASSERT_EQ(
      testing::Shell("mkdir -p '" + top + "/b/deep' '" + top + "/a' '" + dir.path() + "/outside'")
          .status,
      0);
  const Bytes good = EncodeFile({{FloatEntry(1, 1)}});
  WriteFile(dir / "outside/x.atb", "abc");  // damaged, reached only through symlinks
  for (int i = 0; i < 40; ++i) {
    WriteFile(top + "/b/deep/f" + std::to_string(100 + i) + ".atb", i % 7 == 3 ? "short" : good);
  }
  WriteFile(top + "/a/z.atb", EncodeFile(kSample));
  WriteFile(top + "/a/notes.txt", "not checked");
  WriteFile(top + "/c.atb", good);
  ASSERT_EQ(symlink((dir / "outside").c_str(), (top + "/link").c_str()), 0);
  ASSERT_EQ(symlink((dir / "outside/x.atb").c_str(), (top + "/linked.atb").c_str()), 0);
  KeyNames names;
  std::string expected = top +
                         "/a/z.atb: /1342177280: entry 0's value outside the data area "
                         "(Off 9, data area of 4 bytes)\n";
  for (int i = 0; i < 40; ++i) {
    if (i % 7 == 3) {
      expected += top + "/b/deep/f" + std::to_string(100 + i) +
                  ".atb: /: only 5 bytes, shorter than a header and a table count\n";
    }
  }
  for (int run = 0; run < 3; ++run) {
    Outcome r =
        Capture([&](std::FILE* o, std::FILE* e) { return CheckCommand({top}, names, o, e); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
  }
  // A trailing slash, a file named as well, and a folder that cannot be read (unless root, who
  // reads every folder).
  ASSERT_EQ(chmod((top + "/a").c_str(), 0), 0);
  const bool unreadable = access((top + "/a").c_str(), R_OK) != 0;
  Outcome r = Capture([&](std::FILE* o, std::FILE* e) {
    return CheckCommand({top + "/", dir / "outside/x.atb"}, names, o, e);
  });
  chmod((top + "/a").c_str(), 0755);
  if (unreadable) {
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "atbutil: " + top + "/a: Permission denied\n");
  }
  EXPECT_NE(r.out.find(top + "/b/deep/f103.atb: /: only 5"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(dir / "outside/x.atb: /: only 3"), std::string::npos) << r.out;
}

// A folder swapped for a symlink while check walks the tree leads nowhere outside the tree: it is
// said, and nothing it points to is read.
TEST(Check, AFolderSwappedForASymlinkMidWalkIsNotFollowed) {
  testing::TempDir dir;
  const std::string top = dir / "top", outside = dir / "outside";
  ASSERT_EQ(testing::Shell("mkdir -p '" + top + "/a' '" + outside + "'").status, 0);
  WriteFile(top + "/a/good.atb", EncodeFile({{FloatEntry(1, 1)}}));
  WriteFile(outside + "/x.atb", "abc");
  class Swapping : public Files {
   public:
    Swapping(std::string top, std::string outside) : top_(top), outside_(outside) {}
    int ListDirectory(const std::string& d, std::vector<DirectoryEntry>* entries,
                      struct stat* self) override {
      const int rc = Files::ListDirectory(d, entries, self);
      if (d == top_) {
        EXPECT_EQ(rename((top_ + "/a").c_str(), (top_ + "/a.old").c_str()), 0);
        EXPECT_EQ(symlink(outside_.c_str(), (top_ + "/a").c_str()), 0);
      }
      return rc;
    }

   private:
    std::string top_, outside_;
  } swapping(top, outside);
  Outcome r = Capture(
      [&](std::FILE* o, std::FILE* e) { return CheckCommand({top}, KeyNames(), o, e, swapping); });
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "atbutil: " + top + "/a: was replaced while it was read\n");
  EXPECT_EQ(r.out, "");
}

TEST(Build, AHandEditedJsonBuildsASoundFile) {
  const std::string json = R"({"atb": 1,
 "header": {"start": ")" + std::string(48, 'A') +
                           R"(", "outer_size": "follows length",
            "middle": "AAAAAAAAAAA=", "root_size": 7},
 "root": {"entries": [
   {"key": "reload_time", "type": "float", "value": 0.1},
   {"key": 5, "type": "ref", "table": {"entries": [
     {"key": 1238765486, "type": "text", "value": "a longer name than before"},
     {"key": "0x10", "type": "bool", "value": true, "trailing": "AQI="}]}},
   {"key": 6, "type": "localized", "value": "caf\u00e9"},
   {"key": 7, "type": 9, "bytes": "AQID"}]}}
)";
  Bytes file;
  std::string error;
  ASSERT_TRUE(testing::OkElseWhy(BuildFromJson(json, KeyNames(), &file), &error)) << error;
  EXPECT_TRUE(testing::FileIsSound(file));
  EXPECT_EQ(file.substr(36, 4), U32(static_cast<uint32_t>(file.size() - 44)));
  EXPECT_EQ(file.substr(48, 4), U32(7));
  EXPECT_EQ(file.substr(52), EncodeTable({{FloatEntry(0x09CEA8A9, 0.1f),
                                           RefEntry(5, {{NameEntry("a longer name than before"),
                                                         {0x10, 2, Bytes("\1\1\2", 3)}}}),
                                           WideEntry(6, u"caf\u00e9"),
                                           {7, 9, "\1\2\3"}}}));
}

TEST(Build, BadJsonIsRefusedWithWhereAndWhatAndOutIsNotCreated) {
  auto refused = [](const std::string& json) {
    Bytes file;
    std::string error;
    EXPECT_FALSE(testing::OkElseWhy(BuildFromJson(json, KeyNames(), &file), &error));
    return error;
  };
  EXPECT_NE(refused("{\"atb\": 1,\n \"header\": {\n  \"start\" 5}}").find("line 3, column 11"),
            std::string::npos);
  EXPECT_EQ(refused(R"({"atb": 2})"), "line 1, column 9, at /atb: 1 was expected");
  // Found by fuzzing: a number beyond any float.
  std::string huge(400, '2');
  huge.insert(0, 1, '[').append(".5]");
  EXPECT_EQ(refused(huge).substr(0, 15), "number overflow");
  const std::string head = R"({"atb": 1, "header": {"start": ")" + std::string(48, 'A') +
                           R"(", "outer_size": 1, "middle": "AAAAAAAAAAA=", "root_size": 1}, )";
  EXPECT_EQ(refused(head + R"("root": {"entries": [{"key": 1, "type": "float", "value": "x"}]}})"),
            "line 1, column 202, at /root/entries/0/value: \"x\" is not a float");
  EXPECT_EQ(refused(head + R"("root": {"entries": [{"key": 1, "type": "text"}]}})"),
            "line 1, column 165, at /root/entries/0: \"value\" is missing");
  EXPECT_EQ(refused(head + R"("root": {"entries": [{"key": 1, "type": 7, "bytes": "A"}]}})"),
            "line 1, column 196, at /root/entries/0/bytes: base64 bytes were expected");
  // Raw bytes for a table must be a sound table, unless marked damaged.
  EXPECT_EQ(refused(head + R"("root": {"entries": [{"key": 1, "type": "ref", "bytes": "AQ=="}]}})"),
            "line 1, column 200, at /root/entries/0/bytes: not a sound table (root table: extent "
            "of 1 bytes too short "
            "for a count); mark it \"damaged\" to keep it as it is");
  Bytes built;
  std::string error;
  EXPECT_TRUE(
      testing::OkElseWhy(BuildFromJson(head + R"("root": {"entries": [{"key": 1, "type": "ref",
      "damaged": "kept", "bytes": "AQ=="}]}})",
                                       KeyNames(), &built),
                         &error))
      << error;

  testing::TempDir dir;
  WriteFile(dir / "bad.json", "{");
  KeyNames names;
  Outcome r = Capture([&](std::FILE* o, std::FILE* e) {
    return BuildCommand(dir / "bad.json", dir / "out.atb", names, o, e);
  });
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("line 1, column 2"), std::string::npos) << r.err;
  EXPECT_NE(access((dir / "out.atb").c_str(), F_OK), 0);
}

TEST(Build, DefaultsUnknownFieldsAndFloatsReadOnceFromTheirText) {
  Bytes file;
  std::string error;
  // 1.0000000596046448 lies just above the midpoint of two floats, but its nearest double is the
  // midpoint itself: read through a double it would round down, to 1.
  ASSERT_TRUE(testing::OkElseWhy(BuildFromJson(R"({"root": {"entries": [
      {"key": 1, "type": "float", "value": 1.0000000596046448},
      {"key": 2, "type": "float", "value": 1e-40}, {"key": 3, "type": "float", "value": "-inf"}]}})",
                                               KeyNames(), &file),
                                 &error))
      << error;
  EXPECT_EQ(
      file,
      Bytes(36, '\0') + U32(static_cast<uint32_t>(file.size() - 44)) + Bytes(8, '\0') +
          U32(static_cast<uint32_t>(file.size() - 52)) +
          EncodeTable({{{1, 0, U32(0x3F800001)}, FloatEntry(2, 1e-40f), {3, 0, U32(0xFF800000)}}}));
  auto refused = [](const std::string& json) {
    Bytes out;
    std::string why;
    EXPECT_FALSE(testing::OkElseWhy(BuildFromJson(json, KeyNames(), &out), &why)) << json;
    return why;
  };
  EXPECT_EQ(refused("{\"root\": {\"entries\": []},\n \"comment\": \"x\"}"),
            "line 2, column 2, at /comment: unknown field \"comment\" (the document has atb, "
            "header, root)");
  EXPECT_EQ(refused(R"({"header": {"size": 1}, "root": {"entries": []}})"),
            "line 1, column 13, at /header/size: unknown field \"size\" (the header has start, "
            "outer_size, middle, root_size)");
  EXPECT_EQ(refused(R"({"root": {"entries": [], "a/b~": 1}})"),
            "line 1, column 26, at /root/a~1b~0: unknown field \"a/b~\" (a table has lead, "
            "entries, damaged, bytes)");
  EXPECT_EQ(refused(R"({"root": {"entries": [{"key": 1, "type": "float", "value": -1e-50}]}})"),
            "line 1, column 60, at /root/entries/0/value: -1e-50 is too small for a float: it "
            "would become 0");
  // A label agrees with its key by the label table, or by the name's hash.
  EXPECT_TRUE(testing::OkElseWhy(BuildFromJson(R"({"root": {"entries": [
      {"key": 164538537, "label": "reload_time", "type": "bool", "value": 1},
      {"key": "some_name", "label": "some_name", "type": "bool", "value": 1}]}})",
                                               KeyNames(), &file),
                                 &error))
      << error;
}

// A document that says two things at one place is refused where it says the second, whether or
// not building would read that place, and before anything found later or held from earlier;
// so is a NaN whose bits the text does not say.
TEST(Build, MembersGivenTwiceAndNansWithoutTheirBitsAreRefused) {
  auto refused = [](const std::string& json) {
    Bytes out;
    std::string why;
    EXPECT_FALSE(testing::OkElseWhy(BuildFromJson(json, KeyNames(), &out), &why)) << json;
    return why;
  };
  const std::string twice = " appears a second time in this object: keep one of them";
  EXPECT_EQ(refused(R"({"root": {"entries": []}, "root": {"entries": []}})"),
            "line 1, column 27, at /root: \"root\"" + twice);
  EXPECT_EQ(refused("{\"root\": {\"entries\": [{\"key\": 1,\n \"key\": 2, \"type\": \"bool\", "
                    "\"value\": 1}]}}"),
            "line 2, column 2, at /root/entries/0/key: \"key\"" + twice);
  EXPECT_EQ(
      refused(R"({"root": {"entries": [{"key": 1, "type": "float", "value": 1, "value": 2}]}})"),
      "line 1, column 63, at /root/entries/0/value: \"value\"" + twice);
  EXPECT_EQ(refused(R"({"header": {"middle": "AAAAAAAAAAA=", "\u006diddle": ""}, "root": {}})"),
            "line 1, column 39, at /header/middle: \"middle\"" + twice);
  EXPECT_EQ(refused(R"({"root": {"entries": [], "lead": "", "entries": []}})"),
            "line 1, column 38, at /root/entries: \"entries\"" + twice);
  EXPECT_EQ(refused(R"({"root": {"entries": [{"key": 5, "type": "ref", "table": {"entries": []},
      "table": {"entries": []}}]}})"),
            "line 2, column 7, at /root/entries/0/table: \"table\"" + twice);
  // Inside what building skips, and in unknown members.
  EXPECT_EQ(refused(R"({"root": {"entries": [{"key": 1, "type": 9, "bytes": "", "damaged": [0,
      {"a/b": 1, "a/b": 2}]}]}})"),
            "line 2, column 18, at /root/entries/0/damaged/1/a~1b: \"a/b\"" + twice);
  EXPECT_EQ(refused(R"({"root": {"entries": [[{"x": 1, "x": 1}]]}})"),
            "line 1, column 33, at /root/entries/0/0/x: \"x\"" + twice);
  EXPECT_EQ(refused(R"({"note": 1, "root": {"entries": []}, "note": 2})"),
            "line 1, column 38, at /note: \"note\"" + twice);
  // It outranks a refusal held from an earlier entry, and a syntax error after it.
  EXPECT_EQ(refused(R"({"root": {"entries": [{"key": 1, "type": "float", "value": "x"},
      {"key": 2, "key": 3}]}} trailing)"),
            "line 2, column 18, at /root/entries/1/key: \"key\"" + twice);
  EXPECT_EQ(
      refused(R"j({"root": {"entries": [{"key": 1, "type": "float", "value": "nan(0x0)"}]}})j"),
      "line 1, column 60, at /root/entries/0/value: \"nan(0x0)\" is not a float (a NaN by "
      "its bits takes 8 hex digits, as in nan(0x7fc00001))");
  // One name in several objects is no repeat.
  Bytes file;
  std::string error;
  EXPECT_TRUE(testing::OkElseWhy(BuildFromJson(R"({"root": {"entries": [
      {"key": 1, "type": "ref", "table": {"entries": [{"key": 1, "type": "bool", "value": 1}]}},
      {"key": 2, "type": 9, "bytes": "", "damaged": {"key": 1, "k": {"key": 1}}}]}})",
                                               KeyNames(), &file),
                                 &error))
      << error;
}

// What doc/json.md shows is what build does: its documents build sound files, and each refused
// one gets the message shown under it.
TEST(Build, TheJsonPageIsTrue) {
  const std::string page = ReadFile(std::string(ATB_SOURCE_DIR) + "/doc/json.md");
  int built = 0, refusedAsShown = 0;
  for (std::size_t at = page.find("```"); at != std::string::npos;) {
    const std::size_t body = page.find('\n', at) + 1;
    const std::size_t end = page.find("```", body);
    const std::string block = page.substr(body, end - body);
    Bytes file;
    std::string error;
    if (page.compare(at, 7, "```json") == 0) {
      EXPECT_TRUE(testing::OkElseWhy(BuildFromJson(block, KeyNames(), &file), &error))
          << error << "\n"
          << block;
      EXPECT_TRUE(testing::FileIsSound(file));
      ++built;
    }
    for (std::size_t line = 0; line < block.size();) {
      std::size_t next = block.find('\n', line);
      const std::string document = block.substr(line, next - line);
      line = next + 1;
      if (document.compare(0, 2, "{\"") != 0 || line >= block.size()) continue;
      next = block.find('\n', line);
      const std::string said = block.substr(line, next - line);
      if (said.compare(0, 9, "atbutil: ") != 0) continue;
      EXPECT_FALSE(testing::OkElseWhy(BuildFromJson(document, KeyNames(), &file), &error))
          << document;
      EXPECT_EQ("atbutil: min.json: " + error, said);
      ++refusedAsShown;
    }
    at = page.find("```", end + 3);
  }
  EXPECT_EQ(built, 2);
  EXPECT_EQ(refusedAsShown, 4);
}

// Random files, some of them damaged: the JSON form rebuilds every file byte for byte, every
// dump line's path gets its value back, and check agrees with the dialogue's refusals.
TEST(CompanionProperties, DumpGetBuildAndCheckAgreeOnRandomFiles) {
  Random r(20261208);
  KeyNames names;
  testing::TempDir dir;
  const std::string path = dir / "f.atb";
  for (int c = 0; c < 400; ++c) {
    const Bytes file = RandomFile(r);
    WriteFile(path, file);

    Bytes rebuilt;
    std::string error;
    ASSERT_TRUE(testing::OkElseWhy(BuildFromJson(DumpedJson(file), names, &rebuilt), &error))
        << c << ": " << error;
    ASSERT_EQ(rebuilt, file) << "case " << c;

    const std::string dump = Dumped(file);
    std::vector<std::string> pairs;  // every line set back as dump printed it
    for (std::size_t at = 0; at < dump.size();) {
      const std::size_t end = dump.find('\n', at);
      const std::string line = dump.substr(at, end - at);
      at = end + 1;
      const std::size_t eq = line.find(" = ");
      ASSERT_NE(eq, std::string::npos) << line;
      if (line.substr(0, eq) == "/") continue;  // a damaged root
      Outcome got = Capture([&](std::FILE* o, std::FILE* e) {
        return GetCommand(path, line.substr(0, eq), names, o, e);
      });
      ASSERT_EQ(got.out, line.substr(eq + 3) + "\n") << "case " << c << ": " << got.err;
      pairs.push_back(line.substr(0, eq));
      pairs.push_back(line.substr(eq + 3));
    }
    if (!pairs.empty()) {
      Outcome set =
          Capture([&](std::FILE*, std::FILE* e) { return SetCommand(path, pairs, names, e); });
      ASSERT_EQ(set.status, 0) << "case " << c << ": " << set.err;
      ASSERT_EQ(ReadFile(path), file) << "case " << c;
    }

    std::vector<TableDamage> damage;
    MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    CheckTree(source, ROOT_TABLE_OFFSET, static_cast<int64_t>(file.size()), &damage);
    Outcome checked =
        Capture([&](std::FILE* o, std::FILE* e) { return CheckCommand({path}, names, o, e); });
    ASSERT_EQ(checked.status, damage.empty() ? 0 : 1) << "case " << c;
    ASSERT_EQ(damage.empty(), testing::FileIsSound(file));
    // The dialogue refuses the same tables for the same reasons.
    for (const TableDamage& d : damage) {
      std::string script = "f.atb\n";
      for (uint32_t i : d.trail) script += std::to_string(i) + "\n";
      for (std::size_t k = 0; k <= d.trail.size(); ++k) script += "999\n";
      script += "quit\n";
      testing::Dialogue dialogue = testing::RunDialogue(dir.path(), script);
      ASSERT_NE(dialogue.err.find("atb: f.atb: " + DescribeTrail(d.trail) + ": " + d.reason),
                std::string::npos)
          << "case " << c << "\n"
          << dialogue.err;
      ASSERT_NE(checked.out.find(d.reason), std::string::npos);
    }
  }
}

// Every read, open, listing and write of the reading commands and of build goes through the file
// layer: each failing call is said and exits 2, or did no harm; a replaced OUT is whole or as it
// was.
TEST(Faults, EveryFailingCallOfAReadingCommandIsSaid) {
  testing::TempDir dir;
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  WriteFile(dir / "sub/f.atb", EncodeFile(kSample));
  WriteFile(dir / "sub/g.atb", EncodeFile({{FloatEntry(1, 1)}}));
  const std::string f = dir / "sub/f.atb";
  Outcome json =
      Capture([&](std::FILE* o, std::FILE* e) { return DumpCommand(f, true, KeyNames(), o, e); });
  ASSERT_EQ(json.status, 0);
  WriteFile(dir / "f.json", json.out);
  const KeyNames names;
  using Command = std::function<int(std::FILE*, std::FILE*, Files&)>;
  const std::pair<const char*, Command> commands[] = {
      {"dump", [&](auto o, auto e, Files& fs) { return DumpCommand(f, false, names, o, e, fs); }},
      {"dump --json",
       [&](auto o, auto e, Files& fs) { return DumpCommand(f, true, names, o, e, fs); }},
      {"textconv", [&](auto o, auto e, Files& fs) { return TextconvCommand(f, names, o, e, fs); }},
      {"get",
       [&](auto o, auto e, Files& fs) { return GetCommand(f, "reload_time", names, o, e, fs); }},
      // One folder of two files: the faulty layer counts on one thread at a time.
      {"check",
       [&](auto o, auto e, Files& fs) { return CheckCommand({dir / "sub"}, names, o, e, fs); }},
      {"build",
       [&](auto o, auto e, Files& fs) {
         return BuildCommand(dir / "f.json", dir / "out.atb", names, o, e, fs);
       }},
  };
  int runs = 0;
  // Named variables, not a structured binding: the lambdas below capture them.
  for (const auto& named : commands) {
    const char* const name = named.first;
    const Command& command = named.second;
    WriteFile(dir / "out.atb", "old");
    testing::FaultyFiles counting;
    Outcome clean = Capture([&](std::FILE* o, std::FILE* e) { return command(o, e, counting); });
    ASSERT_NE(clean.status, 2) << name << ": " << clean.err;  // check finds f.atb damaged
    for (int op = testing::FaultyFiles::kOpen; op < testing::FaultyFiles::kOps; ++op) {
      for (int k = 1; k <= counting.Calls(static_cast<testing::FaultyFiles::Op>(op)); ++k) {
        WriteFile(dir / "out.atb", "old");
        testing::FaultyFiles faulty;
        faulty.FailAt(static_cast<testing::FaultyFiles::Op>(op), k);
        Outcome r = Capture([&](std::FILE* o, std::FILE* e) { return command(o, e, faulty); });
        const std::string where =
            std::string(name) + ": op " + std::to_string(op) + " call " + std::to_string(k);
        ++runs;
        if (r.status != 2) {
          EXPECT_EQ(r.status, clean.status) << where;
          EXPECT_EQ(r.out, clean.out) << where << " was not said";
        } else {
          EXPECT_EQ(r.status, 2) << where << ": " << r.err;
          EXPECT_NE(r.err.find("atbutil: "), std::string::npos) << where;
          EXPECT_NE(r.err.find("Input/output error"), std::string::npos) << where << ": " << r.err;
        }
        const Bytes out = ReadFile(dir / "out.atb");
        // OUT is replaced whole or not at all, and replaced when build says it was.
        EXPECT_TRUE(out == "old" || out == EncodeFile(kSample)) << where;
        if (r.status == 0 && std::string(name) == "build") {
          EXPECT_NE(out, "old") << where;
        }
      }
    }
  }
  EXPECT_GT(runs, 20);
}

// Memory that runs out is an error with a reason (exit 2), never an abort. diff holds both root
// tables whole; a fresh atbutil runs under address space limits from too little to start at all
// to enough (a forked test process would find memory its earlier tests freed).
TEST(Faults, MemoryThatRunsOutIsAnErrorNotAnAbort) {
  if (testing::kSanitized) GTEST_SKIP() << "the sanitizers reserve more than any cap leaves";
  testing::TempDir dir;
  const std::string a = dir / "a.atb", b = dir / "b.atb";
  Table root;
  for (uint32_t i = 0; i < 1000000; ++i) root.entries.push_back(FloatEntry(i, 1));
  const Bytes file = EncodeFile(root);
  WriteFile(a, file);
  WriteFile(b, file);
  int refused = 0, made = 0;
  for (int limit = 4000; limit <= 64000; limit += 2000) {
    const testing::Outcome o =
        testing::Shell("ulimit -v " + std::to_string(limit) + "; '" + ATBUTIL_BINARY + "' diff '" +
                       a + "' '" + b + "' 2>&1");
    const std::string at = "ulimit -v " + std::to_string(limit) + ": " + o.out;
    if (o.status == 0) {
      ++made;
      EXPECT_EQ(o.out, "") << at;
    } else if (o.out == "atbutil: not enough memory\n") {
      EXPECT_EQ(o.status, 2) << at;  // too little to read the command line
    } else if (o.out.find("not enough memory") != std::string::npos) {
      ++refused;
      EXPECT_EQ(o.status, 2) << at;
      EXPECT_EQ(o.out, "atbutil: " + a + " -> " + b + ": not enough memory for what it holds\n");
    } else {
      EXPECT_LT(o.status, 128) << at;  // too little to start at all, but no abort
    }
  }
  EXPECT_GT(made, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace atb
