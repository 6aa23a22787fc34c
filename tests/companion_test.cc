// atbutil's read side: the value syntax, paths, and what dump, get, check and build promise on
// exact and on random files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <functional>

#include "companion/commands.h"
#include "companion/dump.h"
#include "companion/json_form.h"
#include "companion/value_text.h"
#include "labels/key_hash.h"
#include "labels/key_labels.h"
#include "store/table.h"
#include "tests/random_files.h"
#include "tests/test_util.h"

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
  std::string error;
  return ParseValue(text, type, &value, &error) ? value.bytes : "error: " + error;
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
  EXPECT_TRUE(ParseFloatText("1e60", &bits));
  EXPECT_EQ(bits, 0x7F800000u);
}

TEST(Values, TextsAndLocalizedTextsRoundTripThroughTheirEscapes) {
  EXPECT_EQ(ValueOf(3, Bytes("a\tb\"\\\x01\xe9\0tail\0", 13)),
            "\"a\\tb\\\"\\\\\\x01\\xe9\" trailing \"tail\\x00\"");
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
  EXPECT_EQ(Parsed(100, "ref \"n\""), "error: a reference has no value to set");
  EXPECT_EQ(Parsed(7, "type 8 \"\""), "error: the entry is of type 7");
  EXPECT_EQ(Parsed(7, "type 7 300 bytes fnv64 0x1"),
            "error: an entry shown by its size and hash cannot be written back");
  EXPECT_EQ(Parsed(0, "1.5 trailing \"\\x01\""), F32(1.5f) + "\x01");
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
  std::string error;
  ASSERT_TRUE(names.AddNamesFile(dir / "names", &error));
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
  ASSERT_TRUE(BuildFromJson(json, KeyNames(), &file, &error)) << error;
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
    EXPECT_FALSE(BuildFromJson(json, KeyNames(), &file, &error));
    return error;
  };
  EXPECT_NE(refused("{\"atb\": 1,\n \"header\": {\n  \"start\" 5}}").find("line 3, column 11"),
            std::string::npos);
  EXPECT_EQ(refused(R"({"atb": 2})"), "at /atb: 1 was expected");
  // Found by fuzzing: a number beyond any float.
  EXPECT_EQ(refused("[" + std::string(120, '2') + ".5]").substr(0, 15), "number overflow");
  const std::string head = R"({"atb": 1, "header": {"start": ")" + std::string(48, 'A') +
                           R"(", "outer_size": 1, "middle": "AAAAAAAAAAA=", "root_size": 1}, )";
  EXPECT_EQ(refused(head + R"("root": {"entries": [{"key": 1, "type": "float", "value": "x"}]}})"),
            "at /root/entries/0/value: a float was expected");
  EXPECT_EQ(refused(head + R"("root": {"entries": [{"key": 1, "type": "text"}]}})"),
            "at /root/entries/0: \"value\" is missing");
  EXPECT_EQ(refused(head + R"("root": {"entries": [{"key": 1, "type": 7, "bytes": "A"}]}})"),
            "at /root/entries/0/bytes: base64 bytes were expected");
  // Nesting deep enough to exhaust the stack is refused.
  std::string deep = head + R"("root": )";
  for (int i = 0; i < 3000; ++i) deep += R"({"entries": [{"key": 1, "type": "ref", "table": )";
  deep += R"({"entries": []})";
  for (int i = 0; i < 3000; ++i) deep += "}]}";
  EXPECT_NE(refused(deep + "}").find("tables nested more than 2000 deep"), std::string::npos);
  // Raw bytes for a table must be a sound table, unless marked damaged.
  EXPECT_EQ(refused(head + R"("root": {"entries": [{"key": 1, "type": "ref", "bytes": "AQ=="}]}})"),
            "at /root/entries/0/bytes: not a sound table (root table: extent of 1 bytes too short "
            "for a count); mark it \"damaged\" to keep it as it is");
  Bytes built;
  std::string error;
  EXPECT_TRUE(BuildFromJson(head + R"("root": {"entries": [{"key": 1, "type": "ref",
      "damaged": "kept", "bytes": "AQ=="}]}})",
                            KeyNames(), &built, &error))
      << error;

  testing::TempDir dir;
  WriteFile(dir / "bad.json", "{");
  KeyNames names;
  Outcome r = Capture([&](std::FILE*, std::FILE* e) {
    return BuildCommand(dir / "bad.json", dir / "out.atb", names, e);
  });
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("line 1, column 2"), std::string::npos) << r.err;
  EXPECT_NE(access((dir / "out.atb").c_str(), F_OK), 0);
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
    ASSERT_TRUE(BuildFromJson(DumpedJson(file), names, &rebuilt, &error)) << c << ": " << error;
    ASSERT_EQ(rebuilt, file) << "case " << c;

    const std::string dump = Dumped(file);
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

}  // namespace
}  // namespace atb
