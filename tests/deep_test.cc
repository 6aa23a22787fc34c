// Tables nested far deeper than real files nest them: what every command prints stays within a
// bound of the bytes it reads, paths printed from a counted entry lead back to that entry in get,
// set and apply, and the JSON form and patches still give back the same bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "atbutil/commands.h"
#include "change/open.h"
#include "patches/diff.h"
#include "patches/merge.h"
#include "patches/patch.h"
#include "store/table.h"
#include "tests/patch_text.h"
#include "tests/random_files.h"
#include "tests/test_util.h"
#include "text/dump.h"
#include "text/json_form.h"
#include "text/paths.h"

namespace atb {
namespace {

using namespace build;

// What a command may print for the attribute files it reads.
std::size_t Allowed(std::size_t read) { return 64 * read + (64 << 10); }

// A stream that counts what it is given and keeps none of it.
class Counter {
 public:
  Counter() {
    cookie_io_functions_t io{};
    io.write = [](void* c, const char*, std::size_t n) -> ssize_t {
      *static_cast<std::size_t*>(c) += n;
      return static_cast<ssize_t>(n);
    };
    file_ = fopencookie(&bytes_, "w", io);
  }
  ~Counter() { std::fclose(file_); }
  std::FILE* file() { return file_; }
  std::size_t bytes() {
    std::fflush(file_);
    return bytes_;
  }

 private:
  std::size_t bytes_ = 0;
  std::FILE* file_;
};

// The longest label there is.
const uint32_t kLongest = KeyNames().KeyOfWord("stay_in_pathfinding_after_dead_time");

// `depth` levels keyed 0 to 6 in turn, a float at the bottom.
Bytes Chain(int depth, float bottom) {
  std::vector<Level> levels(static_cast<std::size_t>(depth));
  for (int d = 0; d < depth; ++d) levels[static_cast<std::size_t>(d)].key = d % 7;
  return EncodeChainFile(levels, {{FloatEntry(5, bottom)}});
}

// The longest label at every level, twice, so that each element needs its pick; at the bottom
// `entries` that hold nothing, damaged tables among them.
Bytes LabelledChain(int depth, int entries) {
  std::vector<Level> levels(static_cast<std::size_t>(depth),
                            Level{{{{kLongest, 0, ""}}}, kLongest});
  Table bottom;
  for (int i = 0; i < entries; ++i) bottom.entries.push_back({kLongest, i % 3 ? 0u : 100u, ""});
  return EncodeChainFile(levels, bottom);
}

std::string Dumped(const Bytes& file, bool json = false) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  Sink sink(nullptr);
  const auto length = static_cast<int64_t>(file.size());
  EXPECT_TRUE((json ? DumpJson(source, length, KeyNames(), sink)
                    : DumpText(source, length, KeyNames(), sink))
                  .ok());
  return sink.buf();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1) {
    lines.push_back(text.substr(at, text.find('\n', at) - at));
  }
  return lines;
}

class Deep : public ::testing::Test {
 protected:
  void SetUp() override { SetDurableChanges(false); }
  void TearDown() override { SetDurableChanges(true); }
  // What `command` writes to its error stream.
  static std::string Errors(const std::function<int(std::FILE*)>& command) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* err = open_memstream(&text, &size);
    command(err);
    std::fclose(err);
    std::string said(text, size);
    std::free(text);
    return said;
  }
  // Applies the patches to a copy of `file`: what it became, what was said in errors_.
  Bytes Applied(const Bytes& file, const std::vector<std::string>& patches) {
    WriteFile(dir_ / "f.atb", file);
    std::vector<std::string> paths;
    for (const std::string& patch : patches) {
      paths.push_back(dir_ / "p");
      paths.back() += std::to_string(paths.size());
      WriteFile(paths.back(), patch);
    }
    errors_ = Errors([&](std::FILE* err) {
      return ApplyCommand(dir_ / "f.atb", paths, false, KeyNames(), stdin, err);
    });
    return ReadFile(dir_ / "f.atb");
  }
  std::string errors_;
  testing::TempDir dir_;
};

TEST_F(Deep, EveryCommandPrintsAtMostSixtyFourBytesForEachItReads) {
  const KeyNames names;
  for (const Bytes& file : {Chain(20000, 1.5f), LabelledChain(20000, 1500)}) {
    const std::string path = dir_ / "f.atb", last = Lines(Dumped(file)).back();
    const std::string lastPath = last.substr(0, last.find(" = "));
    WriteFile(path, file);
    const std::function<int(std::FILE*, std::FILE*)> commands[] = {
        [&](std::FILE* out, std::FILE* err) { return TextconvCommand(path, names, out, err); },
        [&](std::FILE* out, std::FILE* err) { return DumpCommand(path, false, names, out, err); },
        [&](std::FILE* out, std::FILE* err) { return DumpCommand(path, true, names, out, err); },
        [&](std::FILE* out, std::FILE* err) { return CheckCommand({path}, names, out, err); },
        [&](std::FILE* out, std::FILE* err) { return GetCommand(path, lastPath, names, out, err); },
        [&](std::FILE* out, std::FILE* err) {
          return GetCommand(path, lastPath + "/absent", names, out, err);
        }};
    for (const auto& command : commands) {
      Counter out, err;
      command(out.file(), err.file());
      EXPECT_LT(out.bytes() + err.bytes(), Allowed(file.size()));
    }
  }
  // Diffs that go as deep as a patch goes, and one that adds entries below a path too long to
  // print.
  for (const auto& [a, b] : {std::pair(Chain(20000, 1.5f), Chain(20000, 2.5f)),
                             std::pair(LabelledChain(200, 1500), LabelledChain(200, 3000))}) {
    WriteFile(dir_ / "a.atb", a);
    WriteFile(dir_ / "b.atb", b);
    Counter out, err;
    EXPECT_EQ(DiffCommand(dir_ / "a.atb", dir_ / "b.atb", names, out.file(), err.file()), 1);
    EXPECT_LT(out.bytes(), Allowed(a.size() + b.size()));
  }
}

TEST_F(Deep, TheJsonFormAndPatchesGiveTheSameBytes) {
  const Bytes a = Chain(20000, 1.5f), b = Chain(20000, 2.5f);
  for (const Bytes& file : {a, LabelledChain(20000, 1500)}) {
    const std::string json = Dumped(file, true);
    Bytes built;
    std::string why;
    ASSERT_TRUE(testing::OkElseWhy(BuildFromJson(json, KeyNames(), &built), &why)) << why;
    EXPECT_TRUE(built == file);
    std::size_t widest = 0;
    for (const std::string& line : Lines(json)) {
      widest = std::max(widest, line.find_first_not_of(' '));
    }
    EXPECT_EQ(widest, 2 * 64 + 2u);
  }
  const std::string patch = testing::PatchBetween(a, b);
  EXPECT_EQ(patch.substr(0, 12), "set @255/3: ");
  EXPECT_TRUE(Applied(a, {patch}) == b) << errors_;
}

TEST_F(Deep, PathsTurnCountedBeyondTheirLengthAndLeadBack) {
  // Keys 0 to 6 take two bytes a level: 64 levels are the longest path printed in full.
  const std::vector<std::string> lines = Lines(Dumped(Chain(70, 1.5f)));
  EXPECT_EQ(lines[63].size(), 128 + std::string(" = ref").size());
  EXPECT_EQ(lines[64], "@64/1 = ref");
  EXPECT_EQ(lines[70], "@70/5 = 1.5");
  // In one table, an entry is printed in full while its own path is short enough; the root's
  // always are.
  const std::string label(KeyNames().NameOf(kLongest));
  std::vector<Level> levels(60, Level{{}, 1});
  levels.insert(levels.begin(), Level{{{FloatEntry(kLongest, 1)}}, 2});
  const std::string mixed =
      Dumped(EncodeChainFile(levels, {{FloatEntry(3, 1), FloatEntry(kLongest, 2)}}));
  EXPECT_EQ(mixed.find("/" + label + " = 1\n"), 0u);
  EXPECT_NE(mixed.find("/1/3 = 1\n@62/" + label + " = 2\n"), std::string::npos) << mixed;

  // What get prints for each line's path, set takes back without a change.
  for (const Bytes& file : {Chain(70, 1.5f), LabelledChain(70, 12)}) {
    WriteFile(dir_ / "f.atb", file);
    for (const std::string& line : Lines(Dumped(file))) {
      const std::size_t eq = line.find(" = ");
      Counter err;
      EXPECT_EQ(SetCommand(dir_ / "f.atb", {line.substr(0, eq), line.substr(eq + 3)}, KeyNames(),
                           err.file()),
                0)
          << line;
    }
    EXPECT_TRUE(ReadFile(dir_ / "f.atb") == file);
  }
  WriteFile(dir_ / "f.atb", Chain(70, 1.5f));
  Counter err;
  EXPECT_EQ(AddCommand(dir_ / "f.atb", {"@69/9", "float", "1"}, KeyNames(), err.file()), 0);
  EXPECT_EQ(Lines(Dumped(ReadFile(dir_ / "f.atb")))[71], "@69/9 = 1");

  for (const char* bad : {"@0", "@x", "@5/", "@99999999999"}) {
    std::vector<PathElement> elements;
    EXPECT_TRUE(ParsePath(bad, &elements).invalid()) << bad;
  }
  // Only a path's start counts entries: elsewhere, and as a key, "@5" is a word as it was.
  std::vector<PathElement> elements;
  ASSERT_TRUE(ParsePath("/@5/@6", &elements).ok());
  EXPECT_EQ(elements[0].kind, PathElement::kWord);
  Bytes built;
  std::string why;
  ASSERT_TRUE(testing::OkElseWhy(
      BuildFromJson(R"({"root": {"entries": [{"key": "@5", "type": "bool", "value": 1}]}})",
                    KeyNames(), &built),
      &why))
      << why;
  EXPECT_EQ(DecodeTable(built, 52, static_cast<int64_t>(built.size())).entries[0].id,
            KeyNames().KeyOfWord("@5"));
}

// A spine deep enough for counted paths, and beside it at every level entries in any key order,
// repeated keys, tables nested in them and damaged ones: counting steps over whole tables.
std::vector<Level> RandomSpine(Random& r, int depth) {
  std::vector<Level> levels(static_cast<std::size_t>(depth));
  for (Level& level : levels) {
    level.key = static_cast<uint32_t>(r.Below(4));
    for (int i = r.Below(3); i > 0; --i) {
      const auto key = static_cast<uint32_t>(r.Below(4));
      level.table.entries.push_back(r.OneIn(5)   ? Entry{key, 100, Bytes(r.Below(4), 'x')}
                                    : r.OneIn(3) ? RefEntry(key, RandomTable(r, 2))
                                                 : FloatEntry(key, static_cast<float>(r.Below(9))));
    }
  }
  return levels;
}

TEST_F(Deep, RandomDeepFilesReadBackDiffAndApply) {
  Random r(64);
  const KeyNames names;
  for (int c = 0; c < (testing::kSanitized ? 12 : 40); ++c) {
    std::vector<Level> levels = RandomSpine(r, 60 + r.Below(200));
    const Table bottom = RandomTable(r, 2);
    const Bytes file = EncodeChainFile(levels, bottom);
    MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    const auto length = static_cast<int64_t>(file.size());
    // Every line's path leads get back to its value, and check names each damaged table as dump
    // names the reference holding it.
    std::vector<std::string> damaged;
    for (const std::string& line : Lines(Dumped(file))) {
      const std::size_t eq = line.find(" = ");
      if (line.compare(eq + 3, 15, "damaged table: ") == 0) damaged.push_back(line.substr(0, eq));
      std::vector<PathElement> elements;
      ASSERT_TRUE(ParsePath(line.substr(0, eq), &elements).ok()) << line;
      FoundEntry found;
      ASSERT_TRUE(FindEntry(source, length, elements, names, &found).ok()) << c << ": " << line;
      Sink value(nullptr);
      ASSERT_TRUE(
          AppendEntryText(source, found.entry.Type, found.entry.start, found.entry.end, value)
              .ok());
      ASSERT_EQ(value.buf(), line.substr(eq + 3)) << c;
    }
    std::vector<TableDamage> damage;
    CheckTree(source, ROOT_TABLE_OFFSET, length, &damage);
    ASSERT_EQ(damage.size(), damaged.size()) << c;
    for (std::size_t k = 0; k < damage.size(); ++k) {
      EXPECT_EQ(DamagedTablePath(names, damage[k]), damaged[k]) << c;
    }
    // Two rounds of changes beside the spine: the second patch names the file the first leaves.
    Bytes rounds[3] = {file};
    for (int k = 1; k < 3; ++k) {
      for (int n = 1 + r.Below(6); n > 0; --n) {
        Table& t = levels[static_cast<std::size_t>(r.Below(static_cast<int>(levels.size())))].table;
        const int at = r.Below(static_cast<int>(t.entries.size()) + 1);
        if (at < static_cast<int>(t.entries.size()) && r.OneIn(3)) {
          t.entries.erase(t.entries.begin() + at);
        } else {
          t.entries.insert(t.entries.begin() + at,
                           r.OneIn(2) ? RefEntry(1, RandomTable(r, 2)) : FloatEntry(9, 1.0f * k));
          t.lead = r.OneIn(2) ? "" : Bytes(2, 'l');
        }
      }
      rounds[k] = EncodeChainFile(levels, bottom);
    }
    ASSERT_TRUE(Applied(file, {testing::PatchBetween(file, rounds[1]),
                               testing::PatchBetween(rounds[1], rounds[2])}) == rounds[2])
        << c << errors_;
  }
}

TEST_F(Deep, PatchesCountTheFileTheyNameAndConflictsAreNamedSo) {
  const Bytes a = Chain(100, 1.5f);
  EXPECT_TRUE(Applied(Chain(300, 1.5f), {"set @300/5: float 1.5 -> float 2\nend 1 change\n"}) ==
              Chain(300, 1.5f));
  EXPECT_NE(errors_.find("found a path deeper than 256 tables"), std::string::npos) << errors_;
  EXPECT_TRUE(Applied(a, {"set @102/5: float 1.5 -> float 2\nend 1 change\n"}) == a);
  EXPECT_NE(errors_.find("found no entry @102: the file holds 101"), std::string::npos);
  // An entry added in front of the chain renumbers it for the next patch.
  std::vector<Level> levels(100);
  for (int d = 0; d < 100; ++d) levels[static_cast<std::size_t>(d)].key = d % 7;
  levels[0].table.entries.push_back(FloatEntry(9, 7));
  EXPECT_TRUE(Applied(a, {"add /9 after start before /0: float 7\nend 1 change\n",
                          "set @101/5: float 1.5 -> float 2\nend 1 change\n"}) ==
              EncodeChainFile(levels, {{FloatEntry(5, 2)}}))
      << errors_;
  // A table that a patch gives new bytes is counted from them by the next.
  const Bytes table = EncodeTable({{FloatEntry(1, 4), RefEntry(2, {{FloatEntry(3, 5)}})}});
  MemorySource before(reinterpret_cast<const uint8_t*>(a.data()), a.size());
  MemorySource after(reinterpret_cast<const uint8_t*>(table.data()), table.size());
  Sink old(nullptr), raw(nullptr);
  ASSERT_TRUE(AppendSizeAndHash(before, 52 + 16 * 99, static_cast<int64_t>(a.size()), old).ok());
  ASSERT_TRUE(AppendQuotedExtent(after, 0, static_cast<int64_t>(table.size()), raw).ok());
  levels.resize(99);
  levels[0].table.entries.clear();
  EXPECT_TRUE(Applied(a, {"set @98/0: table " + old.buf() + " -> table raw " + raw.buf() +
                              "\nend 1 change\n",
                          "set @101/3: float 5 -> float 6\nend 1 change\n"}) ==
              EncodeChainFile(levels, {{FloatEntry(1, 4), RefEntry(2, {{FloatEntry(3, 6)}})}}))
      << errors_;

  WriteFile(dir_ / "base.atb", a);
  WriteFile(dir_ / "ours.atb", Chain(100, 3.5f));
  WriteFile(dir_ / "theirs.atb", Chain(100, 2.5f));
  EXPECT_EQ(
      Errors([&](std::FILE* err) {
        return MergeCommand(dir_ / "base.atb", dir_ / "ours.atb", dir_ / "theirs.atb", "deep.atb",
                            MergeSide::kNone, KeyNames(), err);
      }).find("atbutil: deep.atb: @100/5: base float 1.5, ours float 3.5, theirs float 2.5\n"),
      0u);
}

}  // namespace
}  // namespace atb
