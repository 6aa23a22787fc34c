// Whole transcripts of browsing: the listing of every kind of entry, names, navigation and
// refusals. Browsing never changes a byte of the file.
#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using namespace testing;

class Browse : public ::testing::Test {
 protected:
  // Opens a file built from `root` as t.atb, runs `input` and checks that nothing changed.
  std::string Run(const Table& root, const std::string& input, bool terminal = false) {
    return RunBoth(root, input, terminal).out;
  }
  testing::Dialogue RunBoth(const Table& root, const std::string& input, bool terminal = false) {
    Bytes bytes = EncodeFile(root);
    WriteFile(dir_ / "t.atb", bytes);
    testing::Dialogue d =
        testing::RunDialogue(dir_.path(), "t.atb\n" + input, SystemFiles(), terminal);
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(ReadFile(dir_ / "t.atb"), bytes);
    return d;
  }
  testing::TempDir dir_;
};

// The worked example of the file format: a named reference and a float, 104 bytes.
Table WorkedExample() {
  return {{RefEntry(0x00000100, {{NameEntry("abc")}}), FloatEntry(0x80000000, 2.0f)}};
}

TEST(Builder, WritesTheWorkedExampleByteForByte) {
  Bytes b = EncodeFile(WorkedExample());
  ASSERT_EQ(b.size(), 104u);
  EXPECT_EQ(b.substr(36, 4), U32(60));
  EXPECT_EQ(b.substr(48, 4), U32(52));
  EXPECT_EQ(b.substr(52, 28),
            U32(2) + U32(0x100) + U32(100) + U32(0) + U32(0x80000000) + U32(0) + U32(20));
  EXPECT_EQ(b.substr(80, 20), U32(1) + U32(REF_NAME_KEY) + U32(3) + U32(0) + Bytes("abc\0", 4));
  EXPECT_EQ(b.substr(100), F32(2.0f));
}

TEST_F(Browse, WorkedExampleDescendAndBackUp) {
  std::string root = Listing({"0 REF(ID:256):abc", "1 ID:2147483648:2.000000"}) + kMenu;
  EXPECT_EQ(Run(WorkedExample(), "0\n999\n999\nquit\n"),
            kStart + root + Listing({"0 text:abc"}) + kMenu + root + kPrompt);
}

TEST_F(Browse, EveryEntryTypeAndUnknownTypeCodes) {
  Table t{{
      FloatEntry(0x09CEA8A9, 1.5f),
      BoolEntry(0x58068A28, 1),
      BoolEntry(0x2E5A28D5, 255),
      TextEntry(0x10, "abc", "trailing bytes"),
      WideEntry(0x11, u"50% \u00e9\u20ac\U0001F600"),
      {0x12, 1, "x"},
      {0x13, 5, "x"},
      {0x14, 99, "x"},
      {0x15, 101, "x"},
      {0x16, 0xFFFFFFFF, "x"},
  }};
  std::string list =
      Listing({"0 reload_time:1.500000", "1 can_upgrade:1", "2 can_be_repaired:ff", "3 text:abc",
               "4 localized text50% \u00e9\u20ac\U0001F600", "5 ", "6 ", "7 ", "8 ", "9 "}) +
      kMenu;
  // Unknown codes and localized text cannot be edited.
  std::string refused;
  for (int i = 0; i < 6; ++i) refused += "I can't edit this!" + list;
  EXPECT_EQ(Run(t, "4\n5\n6\n7\n8\n9\n999\nquit\n"), kStart + list + refused + kPrompt);
}

TEST_F(Browse, KeyLabels) {
  Table t{{
      FloatEntry(0, 0),
      FloatEntry(0x2AB4D94B, 0),
      FloatEntry(0x2DCB5D46, 0),
      FloatEntry(0x6F9395DE, 0),
      FloatEntry(0xDFCBA169, 0),
      BoolEntry(0x12345678, 0),
      BoolEntry(0xFFFFFFFF, 0),
  }};
  EXPECT_EQ(Run(t, "999\nquit\n"),
            kStart +
                Listing({"0 ID:0:0.000000", "1 max_upgrades:0.000000",
                         "2 in_combat_time_multiplier:0.000000", "3 max_support_cap:0.000000",
                         "4 default_to_melee:0.000000", "5 ID:305419896:0", "6 ID:4294967295:0"}) +
                kMenu + kPrompt);
}

TEST_F(Browse, ReferenceNames) {
  std::string longName(250, 'n');
  Table t{{
      RefEntry(1, {{FloatEntry(5, 1)}}),                         // no name
      RefEntry(2, {{NameEntry("first"), NameEntry("second")}}),  // the first counts
      RefEntry(3, {{NameEntry(longName)}}),                      // cut at 200
      RefEntry(4, {{{REF_NAME_KEY, 0, Bytes("flt\0", 4)}}}),     // any type names it
      RefEntry(0x80000000, {{}}),                                // an empty table
      RefEntry(6, {{{1, 0, "abcd", 9}}}),                        // damaged: no name
  }};
  std::string list = Listing({"0 REF(ID:1):Not Found", "1 REF(ID:2):first",
                              "2 REF(ID:3):" + longName.substr(0, 200), "3 REF(ID:4):flt",
                              "4 REF(ID:2147483648):Not Found", "5 REF(ID:6):Not Found"}) +
                     kMenu;
  EXPECT_EQ(Run(t, "999\nquit\n"), kStart + list + kPrompt);
}

TEST_F(Browse, EmptyTablesAndDepthTwoNavigation) {
  Table leaf{{NameEntry("leaf"), FloatEntry(0x95662850, 3)}};
  Table mid{{RefEntry(7, leaf), RefEntry(8, {{}}), NameEntry("mid")}};
  Table root{{RefEntry(1, mid)}};
  std::string r = Listing({"0 REF(ID:1):mid"}) + kMenu;
  std::string m = Listing({"0 REF(ID:7):leaf", "1 REF(ID:8):Not Found", "2 text:mid"}) + kMenu;
  std::string l = Listing({"0 text:leaf", "1 morale_damage:3.000000"}) + kMenu;
  EXPECT_EQ(Run(root, "0\n0\n999\n1\n999\n999\n999\nquit\n"),
            kStart + r + m + l + m + kMenu + m + r + kPrompt);
  EXPECT_EQ(Run({}, "999\nquit\n"), kStart + kMenu + kPrompt);
}

TEST_F(Browse, EntryNumbersOutsideTheTableAreRefused) {
  Table t{{FloatEntry(1, 1)}};
  std::string list = Listing({"0 ID:1:1.000000"}) + kMenu;
  std::string out = kStart + list;
  for (int i = 0; i < 5; ++i) out += "I can't edit this!" + list;
  EXPECT_EQ(Run(t, "1\n-1\n2147483647\n99999999999\n996\n999xyz\nquit\n"), out + kPrompt);
}

TEST_F(Browse, DamagedNestedTableIsNotOpenedAndSaysWhy) {
  Table inner{{RefEntry(1, {{{1, 0, "abcd", 9}}})}};
  Table t{{RefEntry(1, inner), FloatEntry(2, 1)}};
  std::string list = Listing({"0 REF(ID:1):Not Found", "1 ID:2:1.000000"}) + kMenu;
  std::string innerList = Listing({"0 REF(ID:1):Not Found"}) + kMenu;
  testing::Dialogue d = RunBoth(t, "0\n0\n999\n999\nquit\n");
  EXPECT_EQ(d.out,
            kStart + list + innerList + "\nbad table, not opened" + innerList + list + kPrompt);
  EXPECT_EQ(d.err,
            "atb: t.atb: table 0/0: entry 0's value outside the data area (Off 9, data area of 4 "
            "bytes)\n");
}

TEST_F(Browse, TextsShowWhatWasReadWithControlBytesMaskedOnlyOnATerminal) {
  // No zero byte within the first 200 bytes; then a text at the very end of the file, whose
  // 200-byte read runs past the end.
  Table t{{TextEntry(1, std::string(300, 'a')), TextEntry(2, "bell\a\x1b[2Jend\t\x7f"),
           WideEntry(3, u"w\x1b\x85\xD800x\u00e9")},
          /*lead=*/""};
  const std::string tail = "999\nquit\n";
  EXPECT_EQ(Run(t, tail),
            kStart +
                Listing({"0 text:" + std::string(200, 'a'), "1 text:bell\a\x1b[2Jend\t\x7f",
                         "2 localized textw\x1b\xc2\x85\xef\xbf\xbdx\xc3\xa9"}) +
                kMenu + kPrompt);
  EXPECT_EQ(Run(t, tail, /*terminal=*/true),
            kStart +
                Listing({"0 text:" + std::string(200, 'a'), "1 text:bell??[2Jend??",
                         "2 localized textw??\xef\xbf\xbdx\xc3\xa9"}) +
                kMenu + kPrompt);
}

}  // namespace
}  // namespace atb
