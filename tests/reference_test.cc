// Ripping an entry's extent to a side file and adding a reference from one. Accepted adds leave
// files whose every table checks out; refusals leave both files as they were.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using namespace testing;

class References : public ::testing::Test {
 protected:
  void Put(const Table& root, const std::string& name = "t.atb") {
    WriteFile(dir_ / name, EncodeFile(root));
  }
  Bytes Contents(const std::string& name = "t.atb") const { return ReadFile(dir_ / name); }
  std::string Run(const std::string& input, Files& files = SystemFiles()) {
    testing::Dialogue d = testing::RunDialogue(dir_.path(), input, files);
    EXPECT_EQ(d.status, 0);
    err_ = d.err;
    return d.out;
  }
  std::string err_;  // the last run's reasons
  bool Exists(const std::string& name) const { return access((dir_ / name).c_str(), F_OK) == 0; }
  testing::TempDir dir_;
};

const Table kSide{{FloatEntry(5, 1.0f)}};  // 20 bytes

TEST_F(References, WorkedExampleGrowThenAdd) {
  Put({{RefEntry(0x100, {{NameEntry("abc")}}), FloatEntry(0x80000000, 2.0f)}});
  ASSERT_EQ(EncodeTable(kSide).size(), 20u);
  WriteFile(dir_ / "268435456", EncodeTable(kSide));
  std::string out = Run("t.atb\n0\n0\nabcdef\n998\n268435456\nquit\n");
  EXPECT_EQ(out.substr(out.size() - 23 - kPrompt.size()), "ID of reference to add?" + kPrompt);
  Bytes b = Contents();
  ASSERT_EQ(b.size(), 139u);
  EXPECT_EQ(b.substr(36, 4), U32(95));
  EXPECT_EQ(b.substr(48, 4), U32(87));
  EXPECT_EQ(b.substr(52, 40), U32(3) + U32(0x100) + U32(100) + U32(0) + U32(0x10000000) + U32(100) +
                                  U32(23) + U32(0x80000000) + U32(0) + U32(43));
  EXPECT_EQ(b.substr(115, 20), EncodeTable(kSide));
  EXPECT_EQ(b.substr(135), F32(2.0f));
  EXPECT_EQ(b, EncodeFile({{RefEntry(0x100, {{NameEntry("abcdef")}}), RefEntry(0x10000000, kSide),
                            FloatEntry(0x80000000, 2.0f)}}));
  // Opened again, it lists the new entry.
  EXPECT_EQ(Run("t.atb\n999\nquit\n"),
            kStart +
                Listing({"0 REF(ID:256):abcdef", "1 REF(ID:268435456):Not Found",
                         "2 ID:2147483648:2.000000"}) +
                kMenu + kPrompt);
}

TEST_F(References, WhereTheNewEntryGoes) {
  WriteFile(dir_ / "7", EncodeTable(kSide));
  WriteFile(dir_ / "4294967295", EncodeTable(kSide));
  WriteFile(dir_ / "side", EncodeTable(kSide));
  const Table base{{FloatEntry(3, 3), FloatEntry(7, 7), FloatEntry(9, 9)}, "lead"};
  struct Case {
    std::string line;
    Table want;
  };
  const Case cases[] = {
      // An equal key goes after the existing ones.
      {"7", {{FloatEntry(3, 3), FloatEntry(7, 7), RefEntry(7, kSide), FloatEntry(9, 9)}, "lead"}},
      // The largest key appends: no other Off changes.
      {"4294967295",
       {{FloatEntry(3, 3), FloatEntry(7, 7), FloatEntry(9, 9), RefEntry(0xFFFFFFFF, kSide)},
        "lead"}},
      // A line starting with letters is key 0, in front of every larger key.
      {"side",
       {{RefEntry(0, kSide), FloatEntry(3, 3), FloatEntry(7, 7), FloatEntry(9, 9)}, "lead"}},
  };
  for (const Case& c : cases) {
    Put(base);
    Run("t.atb\n998\n" + c.line + "\nquit\n");
    EXPECT_EQ(Contents(), EncodeFile(c.want)) << c.line;
    EXPECT_TRUE(testing::FileIsSound(Contents()));
  }
  // Into an empty table: its value goes at the end of the extent, behind the slack.
  Put({{}, "slack"});
  Run("t.atb\n998\n7\nquit\n");
  EXPECT_EQ(Contents(), EncodeFile({{RefEntry(7, kSide)}, "slack"}));
}

TEST_F(References, AddBelowTheRootIsCarriedUpToIt) {
  auto tree = [](bool added) {
    Table leaf{{FloatEntry(1, 1), FloatEntry(9, 9)}};
    if (added) leaf.entries.insert(leaf.entries.begin() + 1, RefEntry(7, kSide));
    Table mid{{FloatEntry(1, 1), RefEntry(2, leaf), TextEntry(3, "m")}};
    return Table{{RefEntry(1, mid), FloatEntry(2, 2), RefEntry(3, {{FloatEntry(1, 1)}})}};
  };
  Put(tree(false));
  WriteFile(dir_ / "7", EncodeTable(kSide));
  std::string out = Run("t.atb\n0\n1\n998\n7\n2\n999\n999\nquit\n");
  EXPECT_EQ(Contents(), EncodeFile(tree(true)));
  EXPECT_TRUE(testing::FileIsSound(Contents()));
  std::string root =
      Listing({"0 REF(ID:1):Not Found", "1 ID:2:2.000000", "2 REF(ID:3):Not Found"}) + kMenu;
  // After the add: the root's fresh listing; its last reference ends at the new end of file.
  std::string tail =
      "ID of reference to add?" + root + Listing({"0 ID:1:1.000000"}) + kMenu + root + kPrompt;
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(References, RefusedAddsLeaveBothFilesAsTheyWere) {
  Put({{FloatEntry(1, 1), RefEntry(2, {{NameEntry("n")}})}});
  const Bytes before = Contents();
  Table damaged{{{1, 0, "abcd", 9}}};
  WriteFile(dir_ / "11", EncodeTable({{RefEntry(1, damaged)}}));  // damaged inside
  WriteFile(dir_ / "12", U32(3) + Bytes(20, '\0'));               // entries that do not fit
  WriteFile(dir_ / "13", "ab");
  mkdir((dir_ / "14").c_str(), 0777);
  mkfifo((dir_ / "15").c_str(), 0666);
  std::string list = Listing({"0 ID:1:1.000000", "1 REF(ID:2):n"}) + kMenu;
  std::string ask = "ID of reference to add?";
  EXPECT_EQ(Run("t.atb\n998\n10\n998\n\n998\n11\n998\n12\n998\n13\n998\n14\n998\n15\n999\nquit\n"),
            kStart + list + ask + "\nfile not found" + list + ask + "\nfile not found" + list +
                ask + "\nbad side file 11" + list + ask + "\nbad side file 12" + list + ask +
                "\nbad side file 13" + list + ask + "\nfile not found" + list + ask +
                "\nfile not found" + list + kPrompt);
  EXPECT_EQ(err_,
            "atb: 10: No such file or directory\n"
            "atb: : not a regular file\n"
            "atb: 11: table 0: entry 0's value outside the data area (Off 9, data area of 4 "
            "bytes)\n"
            "atb: 12: root table: count 3 too large for the extent of 24 bytes\n"
            "atb: 13: root table: extent of 2 bytes too short for a count\n"
            "atb: 14: not a regular file\n"
            "atb: 15: not a regular file\n");
  EXPECT_EQ(Contents(), before);
  EXPECT_EQ(Contents("12"), U32(3) + Bytes(20, '\0'));
}

TEST_F(References, AnAddPastTheLargestFileIsRefused) {
  Put({{FloatEntry(1, 1), {2, 7, ""}}});
  const Bytes head = Contents();
  ASSERT_EQ(truncate((dir_ / "t.atb").c_str(), 2147483647 - 31), 0);
  WriteFile(dir_ / "7", EncodeTable(kSide));
  std::string out = Run("t.atb\n998\n7\n999\nquit\n");
  EXPECT_NE(out.find("ID of reference to add?\nfile too large\n0 "), std::string::npos);
  int fd = open((dir_ / "t.atb").c_str(), O_RDONLY);
  EXPECT_EQ(lseek(fd, 0, SEEK_END), 2147483647 - 31);
  Bytes now(head.size(), '\0');
  EXPECT_EQ(pread(fd, now.data(), now.size(), 0), static_cast<ssize_t>(now.size()));
  EXPECT_EQ(now, head);
  close(fd);
}

TEST_F(References, RipWritesExactlyTheExtent) {
  Table nested{{NameEntry("abc"), FloatEntry(5, 5)}};
  Put({{RefEntry(0x100, nested), {0x200, 7, ""}, TextEntry(0x80000000, "last", "tail")}, "lead"});
  const Bytes before = Contents();
  WriteFile(dir_ / "256", Bytes(1000, 'o'));  // older and longer: must not leave its tail
  std::string list = Listing({"0 REF(ID:256):abc", "1 ", "2 text:last"}) + kMenu;
  std::string ask = "number of the reference to rip?";
  EXPECT_EQ(Run("t.atb\n997\n0\n997\n1\n997\n2\n999\nquit\n"),
            kStart + list + ask + list + ask + list + ask + list + kPrompt);
  EXPECT_EQ(Contents("256"), EncodeTable(nested));
  EXPECT_EQ(Contents("512"), "");
  EXPECT_EQ(Contents("2147483648"), Bytes("last\0tail", 9));
  EXPECT_EQ(Contents(), before);
}

TEST_F(References, RefusedRipsWriteNothingAnywhere) {
  // The attribute file is named like the key of its own entry: ripping must not truncate it.
  Put({{FloatEntry(1, 1), FloatEntry(5, 5)}}, "5");
  const Bytes before = Contents("5");
  mkdir((dir_ / "1").c_str(), 0777);
  std::string list = Listing({"0 ID:1:1.000000", "1 ID:5:5.000000"}) + kMenu;
  std::string ask = "number of the reference to rip?";
  EXPECT_EQ(Run("5\n997\n2\n997\n-1\n997\n0\n997\n1\n999\nquit\n"),
            kStart + list + ask + "I can't edit this!" + list + ask + "I can't edit this!" + list +
                ask + "\ncan't write side file 1" + list + ask + "\ncan't write side file 5" +
                list + kPrompt);
  EXPECT_EQ(err_, "atb: 1: not a regular file\natb: 5: is the attribute file itself\n");
  EXPECT_EQ(Contents("5"), before);
  EXPECT_FALSE(Exists("2"));
}

// A side file that would be replaced as a whole cannot stand for what the user keeps in it: one
// marked read-only, and one whose other names would keep the old bytes.
TEST_F(References, RipsLeaveReadOnlyAndLinkedSideFilesAlone) {
  Put({{FloatEntry(1, 1), FloatEntry(5, 5)}});
  WriteFile(dir_ / "1", "read-only");
  ASSERT_EQ(chmod((dir_ / "1").c_str(), 0444), 0);
  WriteFile(dir_ / "5", "linked");
  ASSERT_EQ(link((dir_ / "5").c_str(), (dir_ / "other").c_str()), 0);
  std::string list = Listing({"0 ID:1:1.000000", "1 ID:5:5.000000"}) + kMenu;
  std::string ask = "number of the reference to rip?";
  EXPECT_EQ(Run("t.atb\n997\n0\n997\n1\n999\nquit\n"),
            kStart + list + ask + "\ncan't write side file 1" + list + ask +
                "\ncan't write side file 5" + list + kPrompt);
  EXPECT_EQ(err_.substr(0, 24), "atb: 1: is read-only: ma") << err_;
  EXPECT_NE(err_.find("atb: 5: has 2 names (hard links), and replacing it would leave the other "
                      "names with the old bytes"),
            std::string::npos)
      << err_;
  EXPECT_EQ(Contents("1"), "read-only");
  EXPECT_EQ(Contents("5"), "linked");
  EXPECT_EQ(Contents("other"), "linked");
  struct stat st;
  ASSERT_EQ(stat((dir_ / "1").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
}

// The side file of an add is never the attribute file, under its own name or another.
TEST_F(References, TheAttributeFileIsNeverItsOwnSideFile) {
  Put({{FloatEntry(1, 1)}}, "100");
  const Bytes before = Contents("100");
  ASSERT_EQ(before.size(), 72u);
  ASSERT_EQ(symlink("100", (dir_ / "200").c_str()), 0);
  std::string list = Listing({"0 ID:1:1.000000"}) + kMenu;
  std::string ask = "ID of reference to add?";
  EXPECT_EQ(Run("100\n998\n100\n998\n200\n999\nquit\n"),
            kStart + list + ask + "\nbad side file 100" + list + ask + "\nbad side file 200" +
                list + kPrompt);
  EXPECT_EQ(err_,
            "atb: 100: is the attribute file itself\natb: 200: is the attribute file itself\n");
  EXPECT_EQ(Contents("100"), before);
}

TEST_F(References, RipThenAddRoundTripsBetweenFiles) {
  Table named{{FloatEntry(1, 1), RefEntry(2, {{NameEntry("deep")}}), NameEntry("moved")}};
  Put({{RefEntry(0x100, named), RefEntry(0x80000000, kSide)}}, "a.atb");
  Put({{FloatEntry(0x200, 2)}}, "b.atb");
  Run("a.atb\n997\n0\n997\n1\n999\nb.atb\n998\n256\nb.atb\n998\n2147483648\nquit\n");
  EXPECT_EQ(
      Contents("b.atb"),
      EncodeFile({{RefEntry(0x100, named), FloatEntry(0x200, 2), RefEntry(0x80000000, kSide)}}));
  EXPECT_TRUE(testing::FileIsSound(Contents("b.atb")));
  // And back into the same file, next to the original.
  Run("a.atb\n998\n256\nquit\n");
  EXPECT_EQ(
      Contents("a.atb"),
      EncodeFile({{RefEntry(0x100, named), RefEntry(0x100, named), RefEntry(0x80000000, kSide)}}));
}

}  // namespace
}  // namespace atb
