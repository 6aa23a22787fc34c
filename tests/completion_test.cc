// The bash completion, run by bash as bash-completion runs it, and atbutil __complete-path
// beneath it: what is offered, and that offering never waits on a lock nor changes a byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <sstream>

#include "atbutil/commands.h"
#include "change/journal.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::Outcome;
using testing::Shell;

const char* const kBashCompletion = "/usr/share/bash-completion/bash_completion";

std::string Quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// What bash's completion of the last of `words` offers, started in `dir`: COMPREPLY one a line,
// then "options:" and the options the script asked of compopt.
std::string Complete(const std::string& dir, const std::vector<std::string>& words) {
  std::string array, line;
  for (const std::string& w : words) {
    array += Quoted(w) + " ";
    line += (line.empty() ? "" : " ") + w;
  }
  const std::string& command = words.front();
  const bool atb = command.size() >= 4 && command.compare(command.size() - 4, 4, "/atb") == 0;
  const std::string script =
      "cd " + Quoted(dir) + " || exit 1\nsource " + kBashCompletion + "\nsource " +
      Quoted(std::string(ATB_SOURCE_DIR) + "/completion/atbutil") + "\nsource " +
      Quoted(std::string(ATB_SOURCE_DIR) + "/completion/atb") +
      "\noptions=\ncompopt() { local IFS=' '; options+=\" $*\"; }\n"
      "COMP_WORDS=(" +
      array + ")\nCOMP_CWORD=" + std::to_string(words.size() - 1) + "\nCOMP_LINE=" + Quoted(line) +
      "\nCOMP_POINT=${#COMP_LINE}\n" + (atb ? "_atb" : "_atbutil") +
      " \"${COMP_WORDS[0]}\" \"${COMP_WORDS[COMP_CWORD]}\" \"${COMP_WORDS[COMP_CWORD-1]}\"\n"
      "printf '%s\\n' \"${COMPREPLY[@]}\" \"options:$options\"\n";
  const Outcome o = Shell("timeout 20 bash -c " + Quoted(script) + " 2>&1");
  EXPECT_EQ(o.status, 0) << o.out;
  return o.out;
}

// The candidates alone, sorted.
std::set<std::string> Offered(const std::string& completed) {
  std::set<std::string> lines;
  std::istringstream in(completed);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 8, "options:") != 0 && !line.empty()) lines.insert(line);
  }
  return lines;
}

bool HaveBashCompletion() { return access(kBashCompletion, R_OK) == 0; }

#define SKIP_WITHOUT_BASH_COMPLETION() \
  if (!HaveBashCompletion()) GTEST_SKIP() << "bash-completion is not installed"

// The words of a help's section, as CLI11 lists them: each line's first column.
std::set<std::string> HelpColumn(const std::string& help, const std::string& section) {
  std::set<std::string> words;
  std::istringstream in(help.substr(help.find(section + ":\n") + section.size() + 2));
  for (std::string line; std::getline(in, line) && line.compare(0, 2, "  ") == 0;) {
    if (line.size() < 3 || line[2] == ' ') continue;  // a description on a line of its own
    std::istringstream fields(line);
    std::string first;
    fields >> first;
    for (std::size_t at = 0; at != std::string::npos;) {
      const std::size_t comma = first.find(',', at);
      words.insert(first.substr(at, comma == std::string::npos ? comma : comma - at));
      at = comma == std::string::npos ? comma : comma + 1;
    }
  }
  return words;
}

// The script's lists are written by hand: they must offer what atbutil takes, no more, no less.
TEST(Completion, OffersTheSubcommandsAndOptionsThatHelpLists) {
  SKIP_WITHOUT_BASH_COMPLETION();
  testing::TempDir dir;
  const std::string util = ATBUTIL_BINARY;
  const std::string help = Shell(Quoted(util) + " --help").out;
  const std::set<std::string> subcommands = HelpColumn(help, "Subcommands");
  ASSERT_GT(subcommands.size(), 20u);
  EXPECT_EQ(subcommands.count("__complete-path"), 0u);  // hidden from people
  EXPECT_EQ(Offered(Complete(dir.path(), {util, ""})), subcommands);
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "-"})), HelpColumn(help, "Options"));
  for (const std::string& sub : subcommands) {
    const std::string subHelp = Shell(Quoted(util) + " " + sub + " --help").out;
    EXPECT_EQ(Offered(Complete(dir.path(), {util, sub, "-"})), HelpColumn(subHelp, "Options"))
        << sub;
  }
  // After a global option, and where its value goes.
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "--no-sync", "--wait", "3", "ge"})),
            std::set<std::string>{"get"});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "--wait", ""})), std::set<std::string>{});
}

// A file of nested tables, a repeated key and labelled keys.
Bytes SampleFile() {
  return EncodeFile({{RefEntry(0x2000, {{FloatEntry(0x13B8FCB6, 40), NameEntry("arc"),
                                         RefEntry(7, {{FloatEntry(1, 1)}})}}),
                      FloatEntry(5, 1), FloatEntry(5, 2), FloatEntry(0x09CEA8A9, 2.5f)}});
}

TEST(Completion, PathsGoOnFromWhatIsTypedAndATableGoesOnAfterItsSlash) {
  SKIP_WITHOUT_BASH_COMPLETION();
  testing::TempDir dir;
  WriteFile(dir / "my unit.atb", SampleFile());
  WriteFile(dir / "other.atb", SampleFile());
  ASSERT_EQ(mkdir((dir / "units").c_str(), 0755), 0);
  WriteFile(dir / "notes.txt", "x");
  const std::string util = ATBUTIL_BINARY, file = "my\\ unit.atb";
  using Set = std::set<std::string>;

  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", ""})),
            (Set{"my unit.atb", "other.atb", "units"}));
  const std::string root = Complete(dir.path(), {util, "get", file, ""});
  EXPECT_EQ(Offered(root), (Set{"/8192/", "/5[0]", "/5[1]", "/reload_time"}));
  EXPECT_NE(root.find("options: -o filenames\n"), std::string::npos) << root;
  // One table: the slash stays, and no space follows it.
  const std::string table = Complete(dir.path(), {util, "get", file, "/8"});
  EXPECT_EQ(Offered(table), Set{"/8192/"});
  EXPECT_NE(table.find("-o nospace"), std::string::npos) << table;
  EXPECT_EQ(Complete(dir.path(), {util, "get", file, "/r"}).find("nospace"), std::string::npos);
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "--raw", file, "/8192/"})),
            (Set{"/8192/max_damage", "/8192/ref_name", "/8192/7/"}));
  // As typed: by key in hex, without the leading slash, a [k] quoted as the shell quotes it.
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "'my unit.atb'", "0x2000/m"})),
            Set{"0x2000/max_damage"});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", file, "/8192/7/"})), Set{"/8192/7/1"});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", file, "/5\\[1"})), Set{"/5[1]"});
  // Nothing under a value, nor where nothing matches.
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", file, "/reload_time/"})), Set{});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", file, "/none/"})), Set{});

  // set: paths where a PATH goes, none where a VALUE does, even one that looks like an option.
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "set", "other.atb", "/re"})), Set{"/reload_time"});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "set", "other.atb", "/reload_time", ""})), Set{});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "set", "other.atb", "/reload_time", "-"})), Set{});
  EXPECT_EQ(
      Offered(Complete(dir.path(), {util, "set", "other.atb", "/reload_time", "-inf", "/8192/m"})),
      Set{"/8192/max_damage"});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "remove", "other.atb", "/5[0]", "/8192/r"})),
            Set{"/8192/ref_name"});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "extract", "other.atb", "/r"})),
            Set{"/reload_time"});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "extract", "other.atb", "/reload_time", "n"})),
            Set{"notes.txt"});
  // Files where files go, and standard input is never read.
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "check", "n"})), Set{"notes.txt"});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "dump", "--names", "n"})), Set{"notes.txt"});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "find", ""})), Set{});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "-", "/"})), Set{});

  // atb: its options, one file, nothing after it.
  const std::string atb = ATB_BINARY;
  EXPECT_EQ(Offered(Complete(dir.path(), {atb, "-"})), (Set{"--help", "--version", "--"}));
  EXPECT_EQ(Offered(Complete(dir.path(), {atb, "o"})), Set{"other.atb"});
  EXPECT_EQ(Offered(Complete(dir.path(), {atb, "--", "o"})), Set{"other.atb"});
  EXPECT_EQ(Offered(Complete(dir.path(), {atb, "other.atb", ""})), Set{});
}

// Dies in the middle of a change that grows the file: it bears the change's mark, its journal
// beside it.
void Interrupt(const std::string& path, const Bytes& before) {
  KeyNames names;
  for (int k = 1; k < 100; ++k) {
    WriteFile(path, before);
    unlink(JournalPath(path).c_str());
    testing::DyingFiles dying(k, testing::DyingFiles::kCut, 3);
    testing::Capture([&](std::FILE*, std::FILE* err) {
      return SetCommand(path, {"/reload_time", "3", "/8192/1238765486", "\"a much longer name\""},
                        names, err, dying);
    });
    if (testing::Marked(ReadFile(path)) && access(JournalPath(path).c_str(), F_OK) == 0) return;
  }
  FAIL() << "no write left the change in the middle";
}

TEST(Completion, AFileInTheMiddleOfAChangeOffersNothingAndStaysByteForByte) {
  SKIP_WITHOUT_BASH_COMPLETION();
  testing::TempDir dir;
  const std::string path = dir / "f.atb", util = ATBUTIL_BINARY;
  Interrupt(path, SampleFile());
  const Bytes file = ReadFile(path), journal = ReadFile(JournalPath(path));
  for (const char* typed : {"", "/", "/8192/", "/r"}) {
    EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "f.atb", typed})), std::set<std::string>{})
        << typed;
  }
  EXPECT_EQ(ReadFile(path), file);
  EXPECT_EQ(ReadFile(JournalPath(path)), journal);

  // A journal alone offers nothing either; without it, the file offers its paths.
  WriteFile(path, SampleFile());
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "f.atb", "/"})), std::set<std::string>{});
  ASSERT_EQ(unlink(JournalPath(path).c_str()), 0);
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "f.atb", "/"})).size(), 4u);
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "f.atb", "/8192/"})).size(), 3u);
  // A damaged table offers nothing; the sound ones around it still do.
  Bytes damaged = SampleFile();
  damaged[52 + 4 + 12 * 4] = 0x7F;  // the count of the first nested table: beyond its extent
  WriteFile(path, damaged);
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "f.atb", "/8192/"})),
            std::set<std::string>{});
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "f.atb", "/"})).size(), 4u);
  EXPECT_EQ(ReadFile(path), damaged);
}

// An editor holds the file and a change holds its lock: a command that reads waits for them, the
// completion answers at once.
TEST(Completion, AnswersAtOnceWhileOthersHoldTheLocks) {
  SKIP_WITHOUT_BASH_COMPLETION();
  testing::TempDir dir;
  const std::string path = dir / "f.atb", util = ATBUTIL_BINARY;
  WriteFile(path, SampleFile());
  Files& files = SystemFiles();
  const int fd = files.Open(path, O_RDWR | O_CLOEXEC, 0);
  ASSERT_NE(fd, -1);
  ASSERT_EQ(files.Lock(fd), 0);
  ASSERT_EQ(files.LockChanges(fd, true), 0);
  EXPECT_EQ(Shell(Quoted(util) + " --wait 0.5 get " + Quoted(path) + " /reload_time 2>&1").status,
            2);  // stalled, after waiting
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Offered(Complete(dir.path(), {util, "get", "f.atb", "/r"})),
            std::set<std::string>{"/reload_time"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  files.Close(fd);
}

// A table of a hostile file may hold millions of entries: a shell is given a thousand.
TEST(Completion, OffersAtMostAThousandPaths) {
  testing::TempDir dir;
  Table big;
  for (uint32_t k = 0; k < 5000; ++k) big.entries.push_back(FloatEntry(k, 1));
  WriteFile(dir / "f.atb", EncodeFile(big));
  KeyNames names;
  const testing::Ran all = testing::Capture([&](std::FILE* out, std::FILE* err) {
    return CompletePathCommand(dir / "f.atb", "/", names, out, err);
  });
  EXPECT_EQ(all.status, 0) << all.err;
  EXPECT_EQ(std::count(all.out.begin(), all.out.end(), '\n'), kMostCandidates);
  EXPECT_EQ(all.out.compare(0, 7, "/0\n/1\n/"), 0);
  // The thousand that match what is typed, not the first thousand.
  const testing::Ran some = testing::Capture([&](std::FILE* out, std::FILE* err) {
    return CompletePathCommand(dir / "f.atb", "/4999", names, out, err);
  });
  EXPECT_EQ(some.out, "/4999\n");
}

}  // namespace
}  // namespace atb
