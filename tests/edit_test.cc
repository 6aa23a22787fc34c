// Editing values: floats and bools in place, texts that grow the file, and growth carried up
// through every enclosing table. Every accepted edit leaves a file whose tables all check out;
// every refusal leaves it byte for byte as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using namespace testing;

class Edit : public ::testing::Test {
 protected:
  void Put(const Table& root) { WriteFile(Path(), EncodeFile(root)); }
  std::string Path() const { return dir_ / "t.atb"; }
  Bytes Contents() const { return ReadFile(Path()); }
  std::string Run(const std::string& input, Files& files = SystemFiles()) {
    testing::Dialogue d = testing::RunDialogue(dir_.path(), "t.atb\n" + input, files);
    EXPECT_EQ(d.status, 0);
    return d.out;
  }
  // Runs `input` and expects the file unchanged.
  std::string Refused(const std::string& input) {
    Bytes before = Contents();
    std::string out = Run(input);
    EXPECT_EQ(Contents(), before);
    return out;
  }
  testing::TempDir dir_;
};

Table WorkedExample(const std::string& name) {
  return {{RefEntry(0x00000100, {{NameEntry(name)}}), FloatEntry(0x80000000, 2.0f)}};
}

TEST_F(Edit, WorkedExampleTextGrowsAndTheRootFollows) {
  Put(WorkedExample("abc"));
  const Bytes before = Contents();
  std::string out = Run("0\n0\nabcdef\n999\nquit\n");
  EXPECT_EQ(out, kStart + Listing({"0 REF(ID:256):abc", "1 ID:2147483648:2.000000"}) + kMenu +
                     Listing({"0 text:abc"}) + kMenu + "new text?" +
                     Listing({"0 REF(ID:256):abcdef", "1 ID:2147483648:2.000000"}) + kMenu +
                     kPrompt);
  Bytes after = Contents();
  ASSERT_EQ(after.size(), 107u);
  EXPECT_EQ(after.substr(76, 4), U32(23));  // the Float's Off
  EXPECT_EQ(after.substr(96, 7), Bytes("abcdef\0", 7));
  EXPECT_EQ(after.substr(103), F32(2.0f));
  EXPECT_EQ(after.substr(36, 4), U32(107 - 44));
  EXPECT_EQ(after.substr(48, 4), U32(107 - 52));
  EXPECT_EQ(after.substr(0, 36), before.substr(0, 36));
  EXPECT_EQ(after.substr(40, 8), before.substr(40, 8));
  EXPECT_EQ(after, EncodeFile(WorkedExample("abcdef")));
  EXPECT_TRUE(testing::FileIsSound(after));
}

TEST_F(Edit, TextsOfEqualOrSmallerLength) {
  Put({{TextEntry(1, "abc", "tail"), TextEntry(2, ""), FloatEntry(3, 1)}});
  std::string list = Listing({"0 text:abc", "1 text:", "2 ID:3:1.000000"}) + kMenu;
  // Same length: in place, the bytes after the zero byte untouched, the same table listed.
  EXPECT_EQ(Run("0\nxyz\n999\nquit\n"), kStart + list + "new text?" +
                                            Listing({"0 text:xyz", "1 text:", "2 ID:3:1.000000"}) +
                                            kMenu + kPrompt);
  EXPECT_EQ(Contents(),
            EncodeFile({{TextEntry(1, "xyz", "tail"), TextEntry(2, ""), FloatEntry(3, 1)}}));
  Put({{TextEntry(1, "abc", "tail"), TextEntry(2, ""), FloatEntry(3, 1)}});
  const std::string small = "new text?\ninput too small (try filling with spaces?]" + list;
  EXPECT_EQ(Refused("0\nab\n0\n\n1\n\n999\nquit\n"),
            kStart + list + small + small + "new text?" + list + kPrompt);
}

TEST_F(Edit, GrowthAtDepthTwoMatchesAnIndependentlyBuiltFile) {
  auto tree = [](const std::string& text) {
    Table leaf{
        {FloatEntry(1, 1), TextEntry(2, text, "after"), FloatEntry(3, 3), NameEntry("leaf")}};
    Table mid{{FloatEntry(1, 4), RefEntry(2, leaf), TextEntry(3, "m"), RefEntry(4, {{}}),
               NameEntry("mid")}};
    return Table{
        {TextEntry(1, "r"), RefEntry(2, mid), FloatEntry(3, 5), RefEntry(4, {{FloatEntry(9, 9)}})},
        "lead"};
  };
  Put(tree("ab"));
  std::string out = Run("1\n1\n1\nabcdefgh\n999\nquit\n");
  EXPECT_EQ(Contents(), EncodeFile(tree("abcdefgh")));
  EXPECT_TRUE(testing::FileIsSound(Contents()));
  // Back at the root's fresh listing and menu.
  std::string rootList =
      Listing({"0 text:r", "1 REF(ID:2):mid", "2 ID:3:5.000000", "3 REF(ID:4):Not Found"}) + kMenu;
  std::string tail = "new text?" + rootList + kPrompt;
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  // The root's last entry, a reference, now ends at the new end of the file.
  Put(tree("ab"));
  out = Run("1\n1\n1\nabcdefgh\n3\n999\n999\nquit\n");
  EXPECT_EQ(out.substr(out.size() - kPrompt.size() - rootList.size() - kMenu.size() - 16),
            Listing({"0 ID:9:9.000000"}) + kMenu + rootList + kPrompt);
}

TEST_F(Edit, GrowthOfTheLastEntryOfATable) {
  auto tree = [](const std::string& text) {
    Table nested{{FloatEntry(1, 1), TextEntry(2, text)}};
    return Table{{RefEntry(1, nested), FloatEntry(2, 2)}};
  };
  Put(tree("x"));
  Run("0\n1\nxyz\n999\nquit\n");
  EXPECT_EQ(Contents(), EncodeFile(tree("xyz")));
  EXPECT_TRUE(testing::FileIsSound(Contents()));
}

TEST_F(Edit, GrowthInTheRootEndsTheFilesEditing) {
  Put({{TextEntry(1, "ab"), FloatEntry(2, 2), TextEntry(3, "z")}});
  std::string list = Listing({"0 text:ab", "1 ID:2:2.000000", "2 text:z"}) + kMenu;
  EXPECT_EQ(Run("0\nabcd\nquit\n"), kStart + list + "new text?" + kPrompt);
  EXPECT_EQ(Contents(), EncodeFile({{TextEntry(1, "abcd"), FloatEntry(2, 2), TextEntry(3, "z")}}));
  EXPECT_TRUE(testing::FileIsSound(Contents()));
  // Opened again, it shows the new text.
  EXPECT_EQ(Run("999\nquit\n"),
            kStart + Listing({"0 text:abcd", "1 ID:2:2.000000", "2 text:z"}) + kMenu + kPrompt);
}

TEST_F(Edit, FloatsAndBools) {
  Put({{FloatEntry(1, 1), BoolEntry(2, 0)}});
  struct Case {
    const char* entry;
    const char* line;
    Bytes stored;
  };
  for (const Case& c :
       {Case{"0", "1e3", F32(1000)}, Case{"0", "letters", F32(0)}, Case{"0", " -2.5", F32(-2.5f)},
        Case{"1", "2", "\x01"}, Case{"1", "-1", "\x01"}, Case{"1", "0", Bytes(1, '\0')},
        Case{"1", "x", Bytes(1, '\0')}, Case{"1", "99999999999", "\x01"}}) {
    std::string out = Run(std::string(c.entry) + "\n" + c.line + "\n999\nquit\n");
    bool isFloat = c.entry[0] == '0';
    EXPECT_NE(out.find(isFloat ? "new value(float)?" : "new value(bool)?"), std::string::npos);
    Bytes after = Contents();
    EXPECT_EQ(after.substr(isFloat ? 80 : 84, isFloat ? 4 : 1), c.stored) << c.line;
    EXPECT_EQ(after.size(), 85u);
    EXPECT_TRUE(testing::FileIsSound(after));
  }
  // After the edit the same table's menu comes back, listing the new value; 999 leaves.
  EXPECT_EQ(Run("0\n1.5\n999\nquit\n"),
            kStart + Listing({"0 ID:1:-2.500000", "1 ID:2:1"}) + kMenu + "new value(float)?" +
                Listing({"0 ID:1:1.500000", "1 ID:2:1"}) + kMenu + kPrompt);
}

TEST_F(Edit, ValuesThatCannotBeEditedSafelyAreRefusedBeforeAnyPrompt) {
  Put({{{1, 0, "abc"}, {2, 2, ""}, {3, 3, "no zero"}, FloatEntry(4, 1)}});
  // Listing reads past a short extent into what follows; editing must not write there.
  std::string out = Refused("0\n1\n2\n999\nquit\n");
  EXPECT_EQ(out.find("new "), std::string::npos);
  EXPECT_NE(out.find("I can't edit this!"), std::string::npos);
}

TEST_F(Edit, AGrowthPastTheLargestFileIsRefused) {
  Put({{TextEntry(1, "abc"), {2, 7, ""}}});
  const Bytes head = Contents();
  ASSERT_EQ(truncate(Path().c_str(), 2147483647 - 2), 0);  // sparse
  std::string out = Run("0\nabcdef\n999\nquit\n");
  EXPECT_NE(out.find("new text?\nfile too large\n0 text:abc"), std::string::npos);
  int fd = open(Path().c_str(), O_RDONLY);
  EXPECT_EQ(lseek(fd, 0, SEEK_END), 2147483647 - 2);
  Bytes now(head.size(), '\0');
  EXPECT_EQ(pread(fd, now.data(), now.size(), 0), static_cast<ssize_t>(now.size()));
  EXPECT_EQ(now, head);
  close(fd);
}

}  // namespace
}  // namespace atb
