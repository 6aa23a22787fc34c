// The installed programs and their manual pages, and atbutil as git's diff driver: real
// processes, real git, a real install into a temporary DESTDIR.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "change/journal.h"
#include "tests/random_files.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::Outcome;
using testing::Shell;

std::string Quoted(const std::string& s) { return "'" + s + "'"; }

TEST(Tools, GitDiffShowsOneChangedLineForOneLongerText) {
  testing::TempDir dir;
  const std::string git = "cd " + Quoted(dir.path()) + " && git -c user.name=t -c user.email=t@t ";
  const Table before{{FloatEntry(1, 1), RefEntry(2, {{TextEntry(3, "short"), FloatEntry(4, 4)}}),
                      TextEntry(5, "last")}};
  const Table after{{FloatEntry(1, 1),
                     RefEntry(2, {{TextEntry(3, "a good deal longer"), FloatEntry(4, 4)}}),
                     TextEntry(5, "last")}};
  WriteFile(dir / "f.atb", EncodeFile(before));
  WriteFile(dir / ".gitattributes", "*.atb diff=atb\n");
  ASSERT_EQ(Shell(git + "init -q && " + git + "config diff.atb.textconv " +
                  Quoted(std::string(ATBUTIL_BINARY) + " textconv") + " && " + git + "add -A && " +
                  git + "commit -qm start")
                .status,
            0);
  WriteFile(dir / "f.atb", EncodeFile(after));
  Outcome diff = Shell(git + "diff --no-color -U0");
  ASSERT_EQ(diff.status, 0);
  std::string changed;
  for (std::size_t at = 0; at < diff.out.size();) {
    std::size_t end = diff.out.find('\n', at);
    std::string line = diff.out.substr(at, end - at);
    at = end + 1;
    if ((line[0] == '-' || line[0] == '+') && line.compare(0, 3, "---") != 0 &&
        line.compare(0, 3, "+++") != 0) {
      changed += line + "\n";
    }
  }
  EXPECT_EQ(changed, "-/2/3 = \"short\"\n+/2/3 = \"a good deal longer\"\n") << diff.out;

  // A file cut short, one damaged inside and one that is no attribute file never stop a diff or
  // a log; what changed in their bytes still shows.
  Bytes damaged = EncodeFile(after);
  damaged[52 + 4 + 12 + 8] = 0x7F;  // entry 1's Off: its table now lies outside the root
  WriteFile(dir / "g.atb", damaged);
  WriteFile(dir / "h.atb", "not one");
  ASSERT_EQ(Shell(git + "add -A && " + git + "commit -qm more").status, 0);
  WriteFile(dir / "f.atb", EncodeFile(after).substr(0, 60));
  damaged.back() ^= 1;
  WriteFile(dir / "g.atb", damaged);
  WriteFile(dir / "h.atb", "not two");
  diff = Shell(git + "diff --no-color -U0 2>&1");
  EXPECT_EQ(diff.status, 0) << diff.out;
  for (const char* seen : {"+header = sizes", "+/ = not an attribute file: only 7 bytes",
                           "-/ = damaged table: ", "+/ = damaged table: "}) {
    EXPECT_NE(diff.out.find(seen), std::string::npos) << seen << "\n" << diff.out;
  }
  ASSERT_EQ(Shell(git + "commit -qam cut").status, 0);
  Outcome log = Shell(git + "log -p --no-color 2>&1");
  EXPECT_EQ(log.status, 0) << log.out;
  EXPECT_NE(log.out.find("-/2/3 = \"short\""), std::string::npos) << log.out;
}

// atbutil as git's merge driver, set up as the README says: branches that change different
// values, add different entries and take out one the other left alone merge cleanly; conflicts
// stop the merge with every other change merged, and the commands printed settle them.
TEST(Tools, GitMergesAttributeFilesEntryByEntry) {
  testing::TempDir dir;
  const std::string git = "cd " + Quoted(dir.path()) + " && git -c user.name=t -c user.email=t@t ";
  const std::string util = std::string(ATBUTIL_BINARY);
  const Table base{{FloatEntry(1, 1), FloatEntry(2, 2), TextEntry(3, "three"),
                    RefEntry(4, {{FloatEntry(1, 1), NameEntry("four")}}), BoolEntry(5, 1)}};
  WriteFile(dir / ".gitattributes", "*.atb diff=atb merge=atb\n");
  WriteFile(dir / "f.atb", EncodeFile(base));
  ASSERT_EQ(Shell(git + "init -q -b main && " + git + "config diff.atb.textconv " +
                  Quoted(util + " textconv") + " && " + git + "config merge.atb.driver " +
                  Quoted(util + " merge %O %A %B %P") + " && " + git + "add -A && " + git +
                  "commit -qm base")
                .status,
            0);
  Table left = base, right = base;
  left.entries[0] = FloatEntry(1, 10);
  left.entries.pop_back();  // 5
  left.entries.push_back(TextEntry(6, "left"));
  right.entries[1] = FloatEntry(2, 20);
  right.entries[3] = RefEntry(4, {{FloatEntry(1, 5), NameEntry("four")}});
  right.entries.push_back(TextEntry(9, "right"));
  const auto commit = [&](const std::string& branch, const std::string& from, const Table& t) {
    if (Shell(git + "checkout -q -b " + branch + " " + from).status != 0) return -1;
    WriteFile(dir / "f.atb", EncodeFile(t));
    return Shell(git + "commit -qam " + branch).status;
  };
  ASSERT_EQ(commit("left", "main", left), 0);
  ASSERT_EQ(commit("right", "main", right), 0);
  ASSERT_EQ(Shell(git + "checkout -q left").status, 0);
  Outcome merged = Shell(git + "merge -q --no-edit right 2>&1");
  ASSERT_EQ(merged.status, 0) << merged.out;
  const Table both{{FloatEntry(1, 10), FloatEntry(2, 20), TextEntry(3, "three"),
                    RefEntry(4, {{FloatEntry(1, 5), NameEntry("four")}}), TextEntry(6, "left"),
                    TextEntry(9, "right")}};
  EXPECT_EQ(ReadFile(dir / "f.atb"), EncodeFile(both));
  EXPECT_EQ(Shell(git + "status --porcelain").out, "");

  // A value and a table changed on both sides, beside a text changed on one: the text is merged,
  // ours is kept at both conflicts, and git marks the file conflicted.
  Table ours = base, theirs = base;
  ours.entries[1] = FloatEntry(2, 30);
  theirs.entries[1] = FloatEntry(2, 40);
  theirs.entries[2] = TextEntry(3, "theirs' three");
  ours.entries[3] = FloatEntry(4, 4);
  theirs.entries[3] = RefEntry(4, {{FloatEntry(1, 6), NameEntry("four")}});
  ASSERT_EQ(commit("ours", "main", ours), 0);
  ASSERT_EQ(commit("theirs", "main", theirs), 0);
  ASSERT_EQ(Shell(git + "checkout -q ours").status, 0);
  Outcome conflict = Shell(git + "merge -q --no-edit theirs 2>&1");
  EXPECT_NE(conflict.status, 0);
  // Every message names the file as git knows it, never git's temporary file.
  EXPECT_NE(conflict.out.find("atbutil: f.atb: /2: base float 2, ours float 30, theirs float 40\n"
                              "atbutil: f.atb: /2: to take theirs: atbutil set f.atb /2 40\n"),
            std::string::npos)
      << conflict.out;
  EXPECT_NE(conflict.out.find("atbutil: f.atb: 2 conflicts, ours kept at each and every other "
                              "change merged: settle them (the line under each says how to take "
                              "theirs), then git add f.atb\n"),
            std::string::npos)
      << conflict.out;
  EXPECT_EQ(conflict.out.find(".merge_file"), std::string::npos) << conflict.out;
  Table kept = ours;
  kept.entries[2] = theirs.entries[2];
  EXPECT_EQ(ReadFile(dir / "f.atb"), EncodeFile(kept));
  EXPECT_EQ(Shell(git + "diff --name-only --diff-filter=U").out, "f.atb\n");

  // The commands printed take theirs once git's temporary files are gone; then the merge is
  // settled as git settles any other.
  const std::string marker = ": to take theirs: ";
  std::string take;
  for (std::size_t at = conflict.out.find(marker); at != std::string::npos;
       at = conflict.out.find(marker, at)) {
    at += marker.size();
    take += conflict.out.substr(at, conflict.out.find('\n', at) - at) + "\n";
  }
  WriteFile(dir / ".git/take.sh", take);
  Outcome taken =
      Shell("cd " + Quoted(dir.path()) + " && PATH=" + Quoted(util.substr(0, util.rfind('/'))) +
            ":\"$PATH\" sh -e .git/take.sh 2>&1");
  ASSERT_EQ(taken.status, 0) << take << taken.out;
  EXPECT_EQ(ReadFile(dir / "f.atb"), EncodeFile(theirs)) << take;
  EXPECT_EQ(
      Shell(git + "add f.atb && " + git + "commit -q --no-edit && " + git + "status --porcelain")
          .out,
      "");
}

TEST(Tools, InstallsBothProgramsTheirPagesDocumentationAndCompletion) {
  testing::TempDir dir;
  Outcome install = Shell("DESTDIR=" + Quoted(dir.path()) + " cmake --install " +
                          Quoted(ATB_BUILD_DIR) + " --prefix /usr/local 2>&1");
  ASSERT_EQ(install.status, 0) << install.out;
  const std::string prefix = dir.path() + "/usr/local";
  WriteFile(dir / "t.atb", EncodeFile({{FloatEntry(0x09CEA8A9, 2.5f)}}));
  EXPECT_EQ(
      Shell(Quoted(prefix + "/bin/atbutil") + " get " + Quoted(dir / "t.atb") + " reload_time").out,
      "2.5\n");
  Outcome atb =
      Shell("cd " + Quoted(dir.path()) + " && printf 'quit\\n' | " + Quoted(prefix + "/bin/atb"));
  EXPECT_EQ(atb.status, 0);
  EXPECT_EQ(atb.out, testing::kStart);
  for (const char* page : {"atb.1.gz", "atbutil.1.gz"}) {
    const std::string path = prefix + "/share/man/man1/" + page;
    Outcome rendered = Shell("MANWIDTH=80 man --warnings -l " + Quoted(path) + " 2>&1 >/dev/null");
    EXPECT_EQ(rendered.status, 0) << page;
    EXPECT_EQ(rendered.out, "") << page;
    EXPECT_GT(Shell("MANWIDTH=80 man -l " + Quoted(path) + " 2>/dev/null").out.size(), 1000u);
  }
  // The pages name the documentation where this install put it.
  const std::string page = Shell("zcat " + Quoted(prefix + "/share/man/man1/atbutil.1.gz")).out;
  EXPECT_NE(page.find(".I /usr/local/share/doc/atb-edit/select.md\n"), std::string::npos);
  EXPECT_EQ(page.find(ATB_SOURCE_DIR), std::string::npos);
  for (const char* doc : {"README.md", "select.md", "patch.md", "json.md", "table.md",
                          "crash-safety.md", "copyright", "changelog.gz"}) {
    EXPECT_EQ(access((prefix + "/share/doc/atb-edit/" + doc).c_str(), R_OK), 0) << doc;
  }
  for (const char* script : {"atb", "atbutil"}) {
    EXPECT_EQ(ReadFile(prefix + "/share/bash-completion/completions/" + script),
              ReadFile(std::string(ATB_SOURCE_DIR) + "/completion/" + script));
  }
}

// What `gzip -9n` writes: no name and no time in the header, so the same source makes the same
// bytes (Debian's rule for compressed files in a package).
void ExpectGzipWithoutNameOrTime(const std::string& path) {
  const Bytes gz = ReadFile(path);
  ASSERT_GT(gz.size(), 10u) << path;
  EXPECT_EQ(gz.substr(0, 3), "\x1f\x8b\x08") << path;
  EXPECT_EQ(gz[3], 0) << path << ": a name or a comment in the header";
  EXPECT_EQ(gz.substr(4, 4), Bytes(4, '\0')) << path << ": a time in the header";
  EXPECT_EQ(gz[8], 2) << path << ": not compressed with -9";
}

// `make package`: a Debian package holding both programs, their manual pages, the documentation
// they name and the completion, with sound control fields and its library dependencies declared;
// what it holds runs. (tools/lint-package has lintian judge it.)
TEST(Tools, TheDebianPackageHoldsBothProgramsTheirPagesAndDocumentation) {
  testing::TempDir dir;
  Outcome made =
      Shell("cpack -G DEB --config " + Quoted(std::string(ATB_BUILD_DIR) + "/CPackConfig.cmake") +
            " -B " + Quoted(dir.path()) + " 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const std::string deb = Quoted(dir / "atb-edit_2.11_amd64.deb");
  Outcome info = Shell("dpkg-deb -I " + deb);
  ASSERT_EQ(info.status, 0);
  for (const char* field :
       {"\n Package: atb-edit\n", "\n Version: 2.11\n", "\n Architecture: amd64\n",
        "\n Section: utils\n", "\n Maintainer: ", "\n Description: edit binary attribute files"}) {
    EXPECT_NE(info.out.find(field), std::string::npos) << field << info.out;
  }
  const std::size_t depends = info.out.find("\n Depends: ");
  ASSERT_NE(depends, std::string::npos) << info.out;
  const std::string line = info.out.substr(depends, info.out.find('\n', depends + 1) - depends);
  EXPECT_NE(line.find("libc6 (>="), std::string::npos) << line;
  EXPECT_NE(line.find("libstdc++6"), std::string::npos) << line;
  Outcome contents = Shell("dpkg-deb -c " + deb + " | awk '{print $6}' | grep -v '/$' | sort");
  EXPECT_EQ(contents.out,
            "./usr/bin/atb\n./usr/bin/atbutil\n"
            "./usr/share/bash-completion/completions/atb\n"
            "./usr/share/bash-completion/completions/atbutil\n"
            "./usr/share/doc/atb-edit/README.md\n./usr/share/doc/atb-edit/changelog.gz\n"
            "./usr/share/doc/atb-edit/copyright\n./usr/share/doc/atb-edit/crash-safety.md\n"
            "./usr/share/doc/atb-edit/format.md\n./usr/share/doc/atb-edit/json.md\n"
            "./usr/share/doc/atb-edit/patch.md\n./usr/share/doc/atb-edit/select.md\n"
            "./usr/share/doc/atb-edit/table.md\n./usr/share/man/man1/atb.1.gz\n"
            "./usr/share/man/man1/atbutil.1.gz\n");
  // The Python module's package beside it where the tree builds the module, and no package of a
  // component that has no install rules.
  const std::string debs = Shell("ls " + Quoted(dir.path()) + " | grep '[.]deb$'").out;
  if (debs.find("python3-atbfile") == std::string::npos) {
    EXPECT_EQ(debs, "atb-edit_2.11_amd64.deb\n");
  } else {
    EXPECT_EQ(debs, "atb-edit_2.11_amd64.deb\npython3-atbfile_2.11_amd64.deb\n");
    const std::string module = Quoted(dir / "python3-atbfile_2.11_amd64.deb");
    const Outcome moduleInfo = Shell("dpkg-deb -I " + module);
    EXPECT_NE(moduleInfo.out.find("atb-edit (= 2.11)"), std::string::npos) << moduleInfo.out;
    EXPECT_NE(moduleInfo.out.find("python3"), std::string::npos) << moduleInfo.out;
    EXPECT_NE(Shell("dpkg-deb -c " + module)
                  .out.find("./usr/lib/python3/dist-packages/atbfile/__init__.py"),
              std::string::npos);
  }
  ASSERT_EQ(Shell("dpkg-deb -x " + deb + " " + Quoted(dir / "root")).status, 0);
  EXPECT_EQ(Shell(Quoted(dir / "root/usr/bin/atbutil") + " --version").out, "atbutil 2.11\n");
  EXPECT_EQ(Shell(Quoted(dir / "root/usr/bin/atb") + " --version").out, "atb 2.11\n");
  for (const char* gz : {"usr/share/man/man1/atb.1.gz", "usr/share/man/man1/atbutil.1.gz",
                         "usr/share/doc/atb-edit/changelog.gz"}) {
    ExpectGzipWithoutNameOrTime(dir / ("root/" + std::string(gz)));
  }
  EXPECT_NE(Shell("zcat " + Quoted(dir / "root/usr/share/man/man1/atbutil.1.gz"))
                .out.find(".I /usr/share/doc/atb-edit/select.md\n"),
            std::string::npos);
  // The changelog's latest entry is this version's.
  EXPECT_EQ(
      Shell("zcat " + Quoted(dir / "root/usr/share/doc/atb-edit/changelog.gz") + " | head -n 1")
          .out,
      "atb-edit (2.11) unstable; urgency=medium\n");
}

// Standard output that cannot be written (a full disk, a closed pipe) is a failure, not a success.
TEST(Tools, OutputThatCannotBeWrittenIsAFailure) {
  const std::string util = Quoted(ATBUTIL_BINARY);
  testing::TempDir dir;
  WriteFile(dir / "t.atb", EncodeFile({{TextEntry(1, "x"), RefEntry(2, {{{1, 0, "ab", 9}}})}}));
  WriteFile(dir / "u.atb", EncodeFile({{TextEntry(1, "y")}}));
  const std::string f = Quoted(dir / "t.atb");
  // diff's 1 says "here is the patch": a patch that was never written must not say so.
  for (const std::string& args :
       {"dump " + f, "dump --json " + f, "get " + f + " 1", "textconv " + f, "check " + f,
        "diff " + f + " " + Quoted(dir / "u.atb"), std::string("--help"),
        std::string("--version")}) {
    Outcome o = Shell("(" + util + " " + args + " > /dev/full) 2>&1");
    EXPECT_EQ(o.status, 2) << args;
    EXPECT_NE(o.out.find("cannot write the output: No space left on device"), std::string::npos)
        << args << ": " << o.out;
  }
}

TEST(Tools, AtbutilUsageAndExitStatus) {
  const std::string util = Quoted(ATBUTIL_BINARY);
  EXPECT_EQ(Shell(util + " --version").out, "atbutil 2.11\n");
  EXPECT_EQ(Shell(util + " 2>/dev/null").status, 2);
  EXPECT_EQ(Shell(util + " dump --help").status, 0);
  testing::TempDir dir;
  WriteFile(dir / "t.atb", EncodeFile({{TextEntry(1, "x")}}));
  // Standard input and output are named as "-"; OUT is never taken from the JSON's place.
  Outcome built =
      Shell(util + " dump --json " + Quoted(dir / "t.atb") + " | " + util + " build - " +
            Quoted(dir / "copy.atb") + " && cmp " + Quoted(dir / "t.atb") + " " +
            Quoted(dir / "copy.atb") + " && " + util + " dump --json " + Quoted(dir / "t.atb") +
            " | " + util + " build - - | cmp - " + Quoted(dir / "t.atb"));
  EXPECT_EQ(built.status, 0);
  WriteFile(dir / "keep.json", "{}");
  EXPECT_EQ(Shell("echo '{}' | " + util + " build " + Quoted(dir / "keep.json") + " 2>&1").status,
            2);
  EXPECT_EQ(ReadFile(dir / "keep.json"), "{}");
  // Values that look like options are values.
  WriteFile(dir / "f.atb", EncodeFile({{FloatEntry(0x09CEA8A9, 1), FloatEntry(2, 2)}}));
  EXPECT_EQ(Shell(util + " set " + Quoted(dir / "f.atb") + " reload_time -inf 2 -nan && " + util +
                  " get " + Quoted(dir / "f.atb") + " reload_time && " + util + " get " +
                  Quoted(dir / "f.atb") + " 2")
                .out,
            "-inf\n-nan\n");
  // One meaning for each exit status, whichever command meets the case.
  WriteFile(dir / "one.atb", "x");
  WriteFile(dir / "bad.json", R"({"root": {"entries": [], "extra": 1}})");
  const std::string f = Quoted(dir / "f.atb"), none = Quoted(dir / "none.atb");
  const std::string folder = Quoted(dir.path()), one = Quoted(dir / "one.atb");
  const struct {
    std::string args;
    int status;
    std::string says;
  } cases[] = {
      {"frob", 2, "atbutil: unknown subcommand \"frob\"\n"},
      {"dump " + none, 2, "atbutil: " + (dir / "none.atb") + ": No such file or directory\n"},
      {"get " + none + " x", 2, "No such file"},
      {"set " + none + " x 1", 2, "No such file"},
      {"recover " + none, 2, "No such file"},
      {"build " + Quoted(dir / "none.json") + " " + Quoted(dir / "o.atb"), 2, "No such file"},
      {"insert " + f + " / 5 " + none, 2, "No such file"},
      {"dump " + folder, 1, "not a regular file"},
      {"get " + folder + " x", 1, "not a regular file"},
      {"set " + folder + " x 1", 1, "not a regular file"},
      {"dump " + one, 1, "only 1 bytes"},
      {"get " + one + " x", 1, "only 1 bytes"},
      {"set " + one + " x 1", 1, "only 1 bytes"},
      {"get " + f + " nosuch", 1, "nothing matches"},
      {"set " + f + " 2 '\"text\"'", 1, "a text cannot go into a float entry"},
      {"build " + Quoted(dir / "bad.json") + " " + Quoted(dir / "o.atb"), 1, "unknown field"},
      {"get " + f + " a//b", 2, "an empty element"},
      {"set " + f + " 2", 2, "PATH VALUE pairs"},
      {"recover " + f, 0, "no interrupted change"},
  };
  for (const auto& c : cases) {
    Outcome r = Shell(util + " " + c.args + " 2>&1");
    EXPECT_EQ(r.status, c.status) << c.args << ": " << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << c.args << ": " << r.out;
  }

  EXPECT_EQ(
      Shell(util + " add " + Quoted(dir / "f.atb") + " 3 float -inf 4 table '\"n\"' && " + util +
            " remove " + Quoted(dir / "f.atb") + " 2 && " + util + " dump " + Quoted(dir / "f.atb"))
          .out,
      "/3 = -inf\n/4 = ref \"n\"\n/4/ref_name = \"n\"\n/reload_time = -inf\n");
  EXPECT_EQ(Shell(util + " add " + Quoted(dir / "f.atb") + " 5 float 2>/dev/null").status, 2);
  EXPECT_EQ(Shell(util + " remove " + Quoted(dir / "f.atb") + " 2>/dev/null").status, 2);
  EXPECT_EQ(Shell(util + " remove " + Quoted(dir / "f.atb") + " nothing 2>/dev/null").status, 1);
}

// The README's commands as a user types them: set F P "$(get F P)" for every line dump prints,
// the minimal JSON through standard input, and check of a folder.
TEST(Tools, TheReadmesCommandsDoWhatItSays) {
  testing::TempDir dir;
  const std::string util = Quoted(ATBUTIL_BINARY), f = Quoted(dir / "units/f.atb");
  ASSERT_EQ(Shell("mkdir " + Quoted(dir / "units")).status, 0);
  const Bytes file =
      EncodeFile({{RefEntry(0x2000, {{FloatEntry(0x13B8FCB6, 40), NameEntry("arc")}}),
                   RefEntry(0x3000, {{{1, 0, "abcd", 9}}}),  // damaged
                   TextEntry(0x20000001, "h\xc3\xa9llo \xe2\x9c\x93\x01"),
                   {0x60000000, 7, Bytes(300, 'x')},
                   FloatEntry(0x09CEA8A9, 2.5f)}});
  WriteFile(dir / "units/f.atb", file);
  Outcome dump = Shell(util + " dump " + f);
  ASSERT_EQ(dump.status, 0);
  EXPECT_NE(dump.out.find("/536870913 = \"h\xc3\xa9llo \xe2\x9c\x93\\x01\"\n"), std::string::npos)
      << dump.out;
  Outcome roundTrip =
      Shell(util + " dump " + f + " | sed 's/ = .*//' | while read -r p; do " + util + " set " + f +
            " \"$p\" \"$(" + util + " get " + f + " \"$p\")\" || echo \"refused $p\"; done 2>&1");
  EXPECT_EQ(roundTrip.out, "");
  EXPECT_EQ(ReadFile(dir / "units/f.atb"), file);
  EXPECT_EQ(
      Shell(util + " set " + f + " 0x60000000 'type 7 300 bytes fnv64 0x0000000000000000'").status,
      1);

  Outcome built = Shell(
      "echo '{\"root\": {\"entries\": [{\"key\": \"reload_time\", \"type\": "
      "\"float\", \"value\": 2.5}]}}' | " +
      util + " build - " + Quoted(dir / "units/min.atb") + " && " + util + " dump " +
      Quoted(dir / "units/min.atb"));
  EXPECT_EQ(built.out, "/reload_time = 2.5\n");
  Outcome checked = Shell(util + " check " + Quoted(dir / "units"));
  EXPECT_EQ(checked.status, 1);
  EXPECT_EQ(checked.out, (dir / "units/f.atb") +
                             ": /12288: entry 0's value outside the data area (Off 9, data area of "
                             "4 bytes)\n");
}

// What the README's usage block and manual promise, against what the program offers.
TEST(Tools, TheReadmeListsEverySubcommand) {
  const std::string readme = ReadFile(std::string(ATB_SOURCE_DIR) + "/README.md");
  const std::string manual = ReadFile(std::string(ATB_BUILD_DIR) + "/doc/atbutil.1");
  Outcome help = Shell(Quoted(ATBUTIL_BINARY) + " --help");
  for (const char* sub :
       {"dump", "find", "textconv", "check", "get", "set", "add", "remove", "build", "extract",
        "insert", "recover", "diff", "apply", "merge", "names", "hash"}) {
    EXPECT_NE(help.out.find(std::string("  ") + sub + " "), std::string::npos) << sub;
    EXPECT_NE(readme.find(std::string("atbutil ") + sub + " "), std::string::npos) << sub;
    EXPECT_NE(manual.find(std::string(".B atbutil ") + sub + "\n"), std::string::npos) << sub;
  }
}

}  // namespace
}  // namespace atb

namespace atb {
namespace {

using namespace build;

// Starts atbutil with `args`; answers its process id.
pid_t Start(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(ATBUTIL_BINARY)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    execv(ATBUTIL_BINARY, argv.data());
    _exit(127);
  }
  return pid;
}

// A real process killed with SIGKILL at random instants of a growth and of a batch: the next
// open finds every file byte for byte as before or as after the change.
TEST(Tools, KilledProcessesLeaveFilesThatRecoverToBeforeOrAfter) {
  testing::TempDir dir;
  Random r(31337);
  Table root;
  for (uint32_t key = 1; key <= 8; ++key) root.entries.push_back(TextEntry(key, "abc"));
  root.entries.push_back({100, 7, r.Bytes(1) + Bytes(12 << 20, 'p')});
  const Bytes before = EncodeFile(root);
  const std::string file = dir / "f.atb";
  const std::vector<std::vector<std::string>> changes = {
      {"set", file, "1", "\"a longer first text\""},
      {"set", file, "2", "\"b\"", "5", "\"grown in the middle\"", "8", "\"\""}};
  int recovered = 0, runs = 0;
  for (const auto& change : changes) {
    WriteFile(file, before);
    int status;
    waitpid(Start(change), &status, 0);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    const Bytes after = ReadFile(file);
    for (int run = 0; run < 12; ++run) {
      WriteFile(file, before);
      const pid_t pid = Start(change);
      usleep(static_cast<useconds_t>(r.Below(12000)));
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      recovered += access(JournalPath(file).c_str(), F_OK) == 0;
      waitpid(Start({"recover", file}), &status, 0);
      ASSERT_EQ(WEXITSTATUS(status), 0);
      const Bytes now = ReadFile(file);
      ASSERT_TRUE(now == before || now == after) << "run " << run;
      ++runs;
    }
  }
  std::fprintf(stderr, "%d of %d kills interrupted a change\n", recovered, runs);
}

}  // namespace
}  // namespace atb
