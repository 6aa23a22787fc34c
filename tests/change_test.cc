// The change layer and the commands that change files without the dialogue: every accepted
// change gives exactly the bytes an independent model gives, the same bytes as the dialogue's
// own edits, and a sound file; every refusal leaves every file byte for byte as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>

#include "atbutil/commands.h"
#include "change/journal.h"
#include "change/open.h"
#include "platform/processors.h"
#include "store/table.h"
#include "tests/random_files.h"
#include "tests/test_util.h"
#include "text/paths.h"

namespace atb {
namespace {

using namespace build;

// A table with every nested table decoded too, so that a test can change values anywhere and
// encode the file it expects.
struct Tree {
  Table table;
  std::vector<std::unique_ptr<Tree>> nested;  // per entry: the nested table of a reference
};

Tree DecodeTree(const Bytes& bytes, int64_t offset, int64_t end) {
  Tree tree{DecodeTable(bytes, offset, end), {}};
  int64_t at = DataStart(offset, static_cast<int64_t>(tree.table.entries.size())) +
               static_cast<int64_t>(tree.table.lead.size());
  for (const Entry& e : tree.table.entries) {
    const auto size = static_cast<int64_t>(e.value.size());
    tree.nested.push_back(e.type == 100 ? std::make_unique<Tree>(DecodeTree(bytes, at, at + size))
                                        : nullptr);
    at += size;
  }
  return tree;
}

Table Encodable(const Tree& tree) {
  Table t = tree.table;
  for (std::size_t i = 0; i < t.entries.size(); ++i) {
    if (tree.nested[i]) t.entries[i].value = EncodeTable(Encodable(*tree.nested[i]));
  }
  return t;
}

constexpr uint32_t kAnyType = ~0u;

// Every entry of a type (or of any), by the entry numbers leading to it.
void Collect(const Tree& tree, uint32_t type, std::vector<uint32_t> trail,
             std::vector<std::vector<uint32_t>>* found) {
  for (uint32_t i = 0; i < tree.table.entries.size(); ++i) {
    trail.push_back(i);
    if (type == kAnyType || tree.table.entries[i].type == type) found->push_back(trail);
    if (tree.nested[i]) Collect(*tree.nested[i], type, trail, found);
    trail.pop_back();
  }
}

Entry& At(Tree& tree, const std::vector<uint32_t>& trail) {
  Tree* t = &tree;
  for (std::size_t k = 0; k + 1 < trail.size(); ++k) t = t->nested[trail[k]].get();
  return t->table.entries[trail.back()];
}

std::string PathOf(const Bytes& file, const std::vector<uint32_t>& trail) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  return CanonicalTablePath(source, static_cast<int64_t>(file.size()), trail, KeyNames());
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

// A value as add reads it, and the extent that the builder gives it: written independently of
// the value syntax's own code.
struct NewValue {
  std::string type, text;
  uint32_t code;
  Bytes extent;
};

NewValue RandomValue(Random& r) {
  char esc[16];
  switch (r.Below(5)) {
    case 0: {
      const float v = static_cast<float>(r.Below(400) - 200) / 8;  // exact in %g
      std::snprintf(esc, sizeof esc, "%g", static_cast<double>(v));
      return {"float", esc, 0, F32(v)};
    }
    case 1: {
      const int b = r.Below(256);
      return {"bool", std::to_string(b), 2, Bytes(1, static_cast<char>(b))};
    }
    case 2: {
      const std::string bytes = r.Bytes(8);
      std::string text = "\"";
      for (char c : bytes) {
        std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(c));
        text += esc;
      }
      return {"text", text + "\"", 3, Str(bytes)};
    }
    case 3: {
      std::u16string units;
      std::string text = "u\"";
      for (int k = r.Below(5); k > 0; --k) {
        units.push_back(static_cast<char16_t>(1 + r.Below(0xFFFF)));
        std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(units.back()));
        text += esc;
      }
      return {"localized", text + "\"", 4, Wide(units)};
    }
    default: {
      if (r.OneIn(3)) return {"table", "empty", 100, EncodeTable({})};
      const std::string name = r.Word(6);
      return {"table", Quoted(name), 100, EncodeTable({{NameEntry(name)}})};
    }
  }
}

// The nested tables of a tree by the entry numbers leading to them (the root first).
void Tables(Tree& tree, std::vector<uint32_t> trail, std::vector<std::vector<uint32_t>>* trails,
            std::vector<Tree*>* tables) {
  trails->push_back(trail);
  tables->push_back(&tree);
  for (uint32_t i = 0; i < tree.nested.size(); ++i) {
    trail.push_back(i);
    if (tree.nested[i]) Tables(*tree.nested[i], trail, trails, tables);
    trail.pop_back();
  }
}

class Changes : public ::testing::Test {
 protected:
  int Set(const std::vector<std::string>& pairs, Files& files = SystemFiles()) {
    return Quietly(
        [&](std::FILE* e) { return SetCommand(dir_ / "f.atb", pairs, names_, e, files); });
  }
  int Add(const std::vector<std::string>& args, Files& files = SystemFiles()) {
    return Quietly(
        [&](std::FILE* e) { return AddCommand(dir_ / "f.atb", args, names_, e, files); });
  }
  int Remove(const std::vector<std::string>& paths, Files& files = SystemFiles()) {
    return Quietly(
        [&](std::FILE* e) { return RemoveCommand(dir_ / "f.atb", paths, names_, e, files); });
  }
  int Quietly(const std::function<int(std::FILE*)>& command) {
    std::FILE* err = std::tmpfile();
    int status = command(err);
    std::rewind(err);
    char buf[512];
    err_.clear();
    while (std::fgets(buf, sizeof buf, err)) err_ += buf;
    std::fclose(err);
    return status;
  }
  testing::TempDir dir_;
  KeyNames names_;
  std::string err_;
};

// Texts anywhere in random files, several at once, grown, shrunk or kept, with or without their
// trailing bytes: the file set gives equals the file the builder encodes from the changed tree.
TEST_F(Changes, BatchesOfTextsGiveExactlyTheModelsBytes) {
  Random r(99);
  int batches = 0;
  for (int c = 0; c < 600; ++c) {
    const Bytes file = EncodeFile(RandomTable(r));
    Tree tree = DecodeTree(file, ROOT_TABLE_OFFSET, static_cast<int64_t>(file.size()));
    std::vector<std::vector<uint32_t>> texts;
    Collect(tree, 3, {}, &texts);
    if (texts.empty()) continue;
    std::vector<std::string> pairs;
    for (const auto& trail : texts) {
      if (r.OneIn(2)) continue;
      Entry& e = At(tree, trail);
      const std::string text = r.OneIn(3) ? r.Bytes(10) : r.Word(12);
      std::string value = "\"";
      for (char ch : text) {
        char esc[8];
        std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned char>(ch));
        value += esc;
      }
      value += "\"";
      const std::size_t zero = e.value.find('\0');
      if (r.OneIn(3)) {
        const std::string trailing = r.Word(4);
        value += " trailing " + Quoted(trailing);
        e.value = text + '\0' + trailing;
      } else {
        e.value = text + e.value.substr(zero);
      }
      pairs.push_back(PathOf(file, trail));
      pairs.push_back(value);
    }
    if (pairs.empty()) continue;
    WriteFile(dir_ / "f.atb", file);
    ASSERT_EQ(Set(pairs), 0) << c << ": " << err_;
    const Bytes got = ReadFile(dir_ / "f.atb");
    ASSERT_EQ(got, EncodeFile(Encodable(tree))) << "case " << c;
    ASSERT_TRUE(testing::FileIsSound(got));
    ++batches;
  }
  EXPECT_GT(batches, 300);
}

// Moves of many large steps, which a second thread journals when nothing is flushed: batches
// that grow and shrink texts on both sides of large entries give the model's bytes either way.
TEST_F(Changes, LargeMovesGiveTheModelsBytesFlushedOrNot) {
  Random r(7);
  Bytes payload(3 << 20, '\0');
  for (char& c : payload) c = static_cast<char>(r.Below(256));
  for (const bool durable : {false, true}) {
    for (int c = 0; c < 3; ++c) {
      Table root{{TextEntry(1, "first"),
                  {2, 7, payload},
                  TextEntry(3, "middle"),
                  {4, 7, payload},
                  TextEntry(5, "last")}};
      WriteFile(dir_ / "f.atb", EncodeFile(root));
      std::vector<std::string> pairs;
      for (const uint32_t key : {1u, 3u, 5u}) {
        const std::string text = r.Word(r.OneIn(2) ? 2 : 700);
        root.entries[key - 1] = TextEntry(key, text);
        pairs.push_back(std::to_string(key));
        pairs.push_back(Quoted(text));
      }
      SetDurableChanges(durable);
      const int status = Set(pairs);
      SetDurableChanges(true);
      ASSERT_EQ(status, 0) << err_;
      ASSERT_EQ(ReadFile(dir_ / "f.atb"), EncodeFile(root)) << (durable ? "flushed " : "") << c;
    }
  }
}

// The second thread of a move spins while it waits: only worth it with a processor of its own.
TEST(Processors, OnlyThoseTheProcessMayRunOnCount) {
  EXPECT_GE(UsableProcessors(), 1);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu() < 0 ? 0 : sched_getcpu(), &one);
    _exit(sched_setaffinity(0, sizeof one, &one) == 0 && UsableProcessors() == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Adds of every type into random tables and removes of random entries, in batches and alone:
// the file equals the one the builder encodes from the changed tree; removing what was added
// gives back the original byte for byte.
TEST_F(Changes, AddsAndRemovesGiveExactlyTheModelsBytes) {
  Random r(2020);
  int adds = 0, removes = 0, alone = 0, picks = 0;
  for (int c = 0; c < 200; ++c) {
    const Bytes file = EncodeFile(RandomTable(r));
    const auto length = static_cast<int64_t>(file.size());
    Tree grown = DecodeTree(file, ROOT_TABLE_OFFSET, length);
    std::vector<std::vector<uint32_t>> trails;
    std::vector<Tree*> tables;
    Tables(grown, {}, &trails, &tables);
    std::vector<std::string> args, added;
    for (int n = r.OneIn(3) ? 1 : 1 + r.Below(5); n > 0; --n) {
      const auto at = static_cast<std::size_t>(r.Below(static_cast<int>(tables.size())));
      Tree& t = *tables[at];
      const uint32_t key = r.OneIn(6) ? 0x80000000u + static_cast<uint32_t>(r.Below(4))
                                      : static_cast<uint32_t>(r.Below(16));
      std::vector<Entry>& entries = t.table.entries;
      std::size_t k = 0;
      while (k < entries.size() && entries[k].id <= key) ++k;
      // Refused: tested on its own. Keys need not ascend (a name entry comes last).
      if (std::any_of(entries.begin(), entries.end(), [&](const Entry& e) { return e.id == key; }))
        continue;
      const NewValue v = RandomValue(r);
      entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(k), {key, v.code, v.extent});
      t.nested.insert(t.nested.begin() + static_cast<std::ptrdiff_t>(k), nullptr);
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%X", key);
      const std::string table = trails[at].empty() ? "" : PathOf(file, trails[at]);
      args.insert(args.end(),
                  {table + "/" + (r.OneIn(2) ? std::to_string(key) : hex), v.type, v.text});
      added.push_back(table + "/" + std::to_string(key));
    }
    if (!args.empty()) {
      WriteFile(dir_ / "f.atb", file);
      ASSERT_EQ(Add(args), 0) << c << ": " << err_;
      const Bytes got = ReadFile(dir_ / "f.atb");
      ASSERT_EQ(got, EncodeFile(Encodable(grown))) << "case " << c;
      ASSERT_TRUE(testing::FileIsSound(got));
      std::shuffle(added.begin(), added.end(), std::mt19937(static_cast<unsigned>(c)));
      ASSERT_EQ(Remove(added), 0) << c << ": " << err_;
      ASSERT_EQ(ReadFile(dir_ / "f.atb"), file) << "case " << c;
      ++adds;
      alone += added.size() == 1;
    }

    // Entries anywhere, none inside another, taken out; deepest and last first in the model.
    Tree shrunk = DecodeTree(file, ROOT_TABLE_OFFSET, length);
    std::vector<std::vector<uint32_t>> all, chosen;
    Collect(shrunk, kAnyType, {}, &all);
    const int odds = r.OneIn(3) ? static_cast<int>(all.size()) : 4;
    for (const auto& trail : all) {  // depth first: what lies inside an entry follows it
      if (r.OneIn(odds) &&
          (chosen.empty() ||
           std::mismatch(chosen.back().begin(), chosen.back().end(), trail.begin(), trail.end())
                   .first != chosen.back().end())) {
        chosen.push_back(trail);
      }
    }
    if (chosen.empty()) continue;
    std::vector<std::string> paths;
    for (const auto& trail : chosen) paths.push_back(PathOf(file, trail));
    std::sort(chosen.begin(), chosen.end(), std::greater<>());
    for (const auto& trail : chosen) {
      Tree* t = &shrunk;
      for (std::size_t k = 0; k + 1 < trail.size(); ++k) t = t->nested[trail[k]].get();
      t->table.entries.erase(t->table.entries.begin() + trail.back());
      t->nested.erase(t->nested.begin() + trail.back());
    }
    WriteFile(dir_ / "f.atb", file);
    std::shuffle(paths.begin(), paths.end(), std::mt19937(static_cast<unsigned>(c)));
    ASSERT_EQ(Remove(paths), 0) << c << ": " << err_;
    const Bytes got = ReadFile(dir_ / "f.atb");
    ASSERT_EQ(got, EncodeFile(Encodable(shrunk))) << "case " << c;
    ASSERT_TRUE(testing::FileIsSound(got));
    ++removes;
    alone += paths.size() == 1;
    for (const std::string& p : paths) picks += p.find('[') != std::string::npos;
  }
  EXPECT_GT(adds, 150);
  EXPECT_GT(removes, 120);
  EXPECT_GT(alone, 60);
  EXPECT_GT(picks, 40);  // entries named by [k] among equal keys, several taken out at once
}

// The same change through the dialogue (by entry numbers) and through atbutil (by path) gives
// the same bytes: a longer text, a rip and an extract, an add and an insert.
TEST_F(Changes, TheDialogueAndAtbutilMakeTheSameChanges) {
  Random r(1234);
  int compared = 0;
  for (int c = 0; c < 300; ++c) {
    const Bytes file = EncodeFile(RandomTable(r));
    Tree tree = DecodeTree(file, ROOT_TABLE_OFFSET, static_cast<int64_t>(file.size()));
    std::vector<std::vector<uint32_t>> texts, refs;
    Collect(tree, 3, {}, &texts);
    Collect(tree, 100, {}, &refs);
    auto descend = [](const std::vector<uint32_t>& trail, std::size_t n) {
      std::string s = "f.atb\n";
      for (std::size_t k = 0; k < n; ++k) s += std::to_string(trail[k]) + "\n";
      return s;
    };
    auto leave = [](std::size_t levels) {
      std::string s;
      for (std::size_t k = 0; k < levels; ++k) s += "999\n";
      return s + "quit\n";
    };
    if (!texts.empty()) {
      const auto& trail = texts[static_cast<std::size_t>(r.Below(static_cast<int>(texts.size())))];
      const std::string text = r.Word(8) + " " + r.Word(8);
      WriteFile(dir_ / "f.atb", file);
      testing::RunDialogue(dir_.path(),
                           descend(trail, trail.size()) + text + "\n" + leave(trail.size()));
      const Bytes byDialogue = ReadFile(dir_ / "f.atb");
      const std::size_t oldLength = At(tree, trail).value.find('\0');
      if (text.size() >= oldLength) {
        WriteFile(dir_ / "f.atb", file);
        ASSERT_EQ(Set({PathOf(file, trail), Quoted(text)}), 0) << err_;
        ASSERT_EQ(ReadFile(dir_ / "f.atb"), byDialogue) << "case " << c;
        ++compared;
      }
    }
    if (!refs.empty()) {
      const auto& trail = refs[static_cast<std::size_t>(r.Below(static_cast<int>(refs.size())))];
      const std::string key = std::to_string(At(tree, trail).id);
      // Rip: the dialogue writes the side file named by the key into its start-up folder.
      WriteFile(dir_ / "f.atb", file);
      unlink((dir_ / key).c_str());
      testing::RunDialogue(dir_.path(), descend(trail, trail.size() - 1) + "997\n" +
                                            std::to_string(trail.back()) + "\n" +
                                            leave(trail.size()));
      ASSERT_EQ(Quietly([&](std::FILE* e) {
                  return ExtractCommand(dir_ / "f.atb", PathOf(file, trail), dir_ / "out", names_,
                                        e);
                }),
                0)
          << err_;
      ASSERT_EQ(ReadFile(dir_ / "out"), ReadFile(dir_ / key));
      // Add: a side file named by a key, into the table of the same reference.
      WriteFile(dir_ / "3", EncodeTable(RandomTable(r, 1)));
      testing::RunDialogue(dir_.path(),
                           descend(trail, trail.size()) + "998\n3\n" + leave(trail.size()));
      const Bytes byDialogue = ReadFile(dir_ / "f.atb");
      WriteFile(dir_ / "f.atb", file);
      ASSERT_EQ(Quietly([&](std::FILE* e) {
                  return InsertCommand(dir_ / "f.atb", PathOf(file, trail), "3", dir_ / "3", names_,
                                       e);
                }),
                0)
          << err_;
      ASSERT_EQ(ReadFile(dir_ / "f.atb"), byDialogue) << "case " << c;
      ASSERT_TRUE(testing::FileIsSound(byDialogue));
      ++compared;
    }
  }
  EXPECT_GT(compared, 300);
}

TEST_F(Changes, RefusalsLeaveEveryFileAsItWas) {
  const Table inner{{FloatEntry(1, 1), TextEntry(2, "ab"), NameEntry("inner")}};
  const Bytes file = EncodeFile({{RefEntry(0x100, inner),
                                  FloatEntry(0x09CEA8A9, 2.5f),
                                  TextEntry(5, "text"),
                                  {6, 0, "ab"},
                                  RefEntry(7, {{{1, 0, "abcd", 9}}}),
                                  {8, 2, ""}}});
  WriteFile(dir_ / "f.atb", file);
  WriteFile(dir_ / "bad", EncodeTable({{{1, 0, "abcd", 9}}}));
  WriteFile(dir_ / "side", EncodeTable(inner));
  const std::string f = dir_ / "f.atb";
  struct Case {
    std::function<int()> run;
    int status;
    std::string err;
  };
  const std::vector<Case> cases = {
      {[&] {
         return Set({"reload_time", "abc"});
       },
       1, f + ": reload_time: \"abc\" is not a float"},
      {[&] {
         return Set({"reload_time", "\"x\""});
       },
       1, f + ": reload_time: a text cannot go into a float entry"},
      {[&] {
         return Set({"256", "1"});
       },
       1,
       f + ": 256: a reference has no value to set (its form as get prints it is taken, and "
           "changes nothing)"},
      {[&] {
         return Set({"6", "1.5"});
       },
       1, f + ": 6: the entry's extent of 2 bytes cannot hold that value"},
      {[&] {
         return Set({"8", "1"});
       },
       1, f + ": 8: the entry's extent of 0 bytes cannot hold that value"},
      {[&] {
         return Set({"5", "\"ok\"", "nothing", "1"});
       },
       1, f + ": nothing matches \"nothing\" in /"},
      {[&] {
         return Set({"5", "\"a\"", "#2", "\"b\""});
       },
       1, f + ": #2 and 5 are one entry"},
      {[&] {
         return Set({"inner/2", "\"x\"", "7/1", "1"});
       },
       1,
       f + ": the table /7 is damaged: entry 0's value outside the data area (Off 9, data area "
           "of 4 bytes)"},
      {[&] { return Set({"5"}); }, 2, "set needs PATH VALUE pairs"},
      {[&] {
         return Quietly(
             [&](std::FILE* e) { return InsertCommand(f, "/", "9", dir_ / "bad", names_, e); });
       },
       1,
       (dir_ / "bad") + ": bad side file: root table: entry 0's value outside the data area (Off "
                        "9, data area of 4 bytes)"},
      {[&] {
         return Quietly([&](std::FILE* e) { return InsertCommand(f, "/", "9", f, names_, e); });
       },
       1, f + ": is the attribute file itself"},
      {[&] {
         return Quietly(
             [&](std::FILE* e) { return InsertCommand(f, "5", "9", dir_ / "side", names_, e); });
       },
       1, f + ": 5 is not a reference"},
      {[&] { return Quietly([&](std::FILE* e) { return ExtractCommand(f, "5", f, names_, e); }); },
       1, f + ": is the attribute file itself"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.run(), c.status) << c.err;
    EXPECT_EQ(err_, "atbutil: " + c.err + "\n");
    ASSERT_EQ(ReadFile(f), file) << c.err;
  }
  // Held by another instance.
  int other = open(f.c_str(), O_RDWR);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Set({"5", "\"longer text\""}), 1);
  EXPECT_EQ(err_, "atbutil: " + f + ": locked by another atb\n");
  close(other);
  EXPECT_EQ(ReadFile(f), file);
  // Getting a value and setting it back changes nothing, whatever the value.
  for (const char* path : {"256/1", "256/2", "256/1238765486", "reload_time", "5", "6", "8"}) {
    std::FILE* out = std::tmpfile();
    ASSERT_EQ(GetCommand(f, path, names_, out, stderr), 0);
    std::rewind(out);
    char value[256] = {};
    ASSERT_NE(std::fgets(value, sizeof value, out), nullptr);
    std::fclose(out);
    std::string text(value);
    text.pop_back();
    EXPECT_EQ(Set({path, text}), 0) << path << ": " << err_;
    EXPECT_EQ(ReadFile(f), file) << path;
  }
}

// Pairs of one set that come back to tables read already, go on to later counted entries and
// back to earlier ones, each reach the entry they reach alone; a pair that cannot be made is
// refused as it is alone, wherever it comes.
TEST_F(Changes, ManyPairsOfOneSetEachDoWhatTheyDoAlone) {
  const Table box{{FloatEntry(9, 1), FloatEntry(3, 2), FloatEntry(9, 3), NameEntry("box")}};
  const Table crate{{NameEntry("crate"), FloatEntry(7, 5), FloatEntry(8, 4)}};
  const Bytes file = EncodeFile({{FloatEntry(1, 1), FloatEntry(4, 2), FloatEntry(4, 3),
                                  RefEntry(0x20, box), RefEntry(0x30, crate), FloatEntry(50, 6)}});
  const std::string f = dir_ / "f.atb";
  const std::vector<std::string> pairs = {"1",     "10.5", "4[1]",     "11.5", "@2",        "12.5",
                                          "@4/#0", "13.5", "box/9[1]", "14.5", "@11",       "15.5",
                                          "@6",    "16.5", "#5",       "17.5", "crate/0x8", "18.5"};
  WriteFile(f, file);
  for (std::size_t p = 0; p < pairs.size(); p += 2) {
    ASSERT_EQ(Set({pairs[p], pairs[p + 1]}), 0) << pairs[p] << ": " << err_;
  }
  const Bytes oneByOne = ReadFile(f);
  WriteFile(f, file);
  ASSERT_EQ(Set(pairs), 0) << err_;
  EXPECT_EQ(ReadFile(f), oneByOne);
  for (std::size_t p = 0; p < pairs.size(); p += 2) {
    std::FILE* out = std::tmpfile();
    ASSERT_EQ(GetCommand(f, pairs[p], names_, out, stderr), 0) << pairs[p];
    std::rewind(out);
    char value[64] = {};
    ASSERT_NE(std::fgets(value, sizeof value, out), nullptr);
    std::fclose(out);
    EXPECT_EQ(value, pairs[p + 1] + "\n") << pairs[p];
  }
  for (const char* bad : {"box/9", "box/9[2]", "@14", "nothing", "@13/1", "box/#3"}) {
    WriteFile(f, file);
    const int alone = Set({bad, "1"});
    const std::string said = err_;
    ASSERT_NE(alone, 0) << bad;
    std::vector<std::string> more = pairs;
    more.insert(more.end(), {bad, "1"});
    EXPECT_EQ(Set(more), alone) << bad;
    EXPECT_EQ(err_, said) << bad;
    EXPECT_EQ(ReadFile(f), file) << bad;
  }
}

TEST_F(Changes, AddAndRemoveRefuseWithTheirReasonAndLeaveTheFileAsItWas) {
  const Table inner{{FloatEntry(1, 1), TextEntry(2, "ab"), NameEntry("inner")}};
  const Bytes file =
      EncodeFile({{RefEntry(0x100, inner), FloatEntry(0x09CEA8A9, 2.5f), TextEntry(5, "text"),
                   BoolEntry(6, 1), BoolEntry(6, 0), RefEntry(7, {{{1, 0, "abcd", 9}}})}});
  WriteFile(dir_ / "f.atb", file);
  const std::string f = dir_ / "f.atb";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;
  };
  const std::vector<Case> adds = {
      {{"reload_time", "float", "1"},
       1,
       f + ": reload_time: the table already holds reload_time: use set"},
      {{"inner/0x1", "bool", "1"}, 1, f + ": inner/0x1: the table already holds 0x1: use set"},
      {{"9", "float", "1", "256/3", "bool", "1", "0x9", "bool", "1"},
       1,
       f + ": 0x9 and 9 add one key to one table"},
      {{"5/1", "float", "1"}, 1, f + ": 5/1: \"5\" is not a reference"},
      {{"7/2", "float", "1"},
       1,
       f + ": 7/2: the table is damaged: entry 0's value outside the data area (Off 9, data area "
           "of 4 bytes)"},
      {{"nothing/9", "float", "1"}, 1, f + ": nothing matches \"nothing\" in /"},
      {{"box", "table", "empty", "box/1", "float", "1"}, 1, f + ": nothing matches \"box\" in /"},
      {{"9", "float", "1 trailing \"x\""},
       1,
       f + ": 9: a new entry holds its value alone: no trailing, empty, short or unterminated "
           "form"},
      {{"9", "table", "inner"}, 1, f + ": 9: a table takes its name as a quoted text, or empty"},
      {{"9", "float"}, 2, "add needs PATH TYPE VALUE triples"},
      {{"/", "float", "1"}, 2, "add needs the table's path and the new entry's key, not the root"},
      {{"#1", "float", "1"}, 2, "#1: a new entry's key is a label, a name or a number, not \"#1\""},
      {{"256/6[0]", "float", "1"},
       2,
       "256/6[0]: a new entry's key is a label, a name or a number, not \"6[0]\""},
      {{"9", "double", "1"}, 2, "\"double\" is not a type: float, bool, text, localized or table"},
  };
  const std::vector<Case> removes = {
      {{}, 2, "remove needs the paths of entries"},
      {{"5", "/"}, 2, "remove needs the path of an entry, not the root"},
      {{"inner/1", "256"}, 1, f + ": inner/1 lies inside 256: remove one of them"},
      {{"256", "5", "inner/2"}, 1, f + ": inner/2 lies inside 256: remove one of them"},
      {{"6[1]", "#4"}, 1, f + ": #4 and 6[1] are one entry"},
      {{"6"}, 1, f + ": \"6\" matches 2 entries in /: #3 (key 6) #4 (key 6); pick one with [k]"},
      {{"7/0"},
       1,
       f + ": the table /7 is damaged: entry 0's value outside the data area (Off 9, data area of "
           "4 bytes)"},
  };
  for (const auto* cases : {&adds, &removes}) {
    for (const Case& c : *cases) {
      EXPECT_EQ(cases == &adds ? Add(c.args) : Remove(c.args), c.status) << c.err;
      EXPECT_EQ(err_, "atbutil: " + c.err + "\n");
      ASSERT_EQ(ReadFile(f), file) << c.err;
    }
  }
  int other = open(f.c_str(), O_RDWR);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Add({"9", "float", "1"}), 1);
  EXPECT_EQ(err_, "atbutil: " + f + ": locked by another atb\n");
  EXPECT_EQ(Remove({"5"}), 1);
  EXPECT_EQ(err_, "atbutil: " + f + ": locked by another atb\n");
  close(other);
  EXPECT_EQ(ReadFile(f), file);
}

// Every open, read, write, seek, truncation and close of a batch set, add and remove failing in
// turn, and every write coming up short: the command refuses the change untouched (exit 1) when
// it fails before the file changes, or reports the failure (exit 2) and the next open finishes
// the change; or the failure did no harm.
TEST_F(Changes, EveryFailingCallOfABatchIsReported) {
  const Bytes file =
      EncodeFile({{RefEntry(1, {{TextEntry(1, "inner"), FloatEntry(2, 2)}}),
                   TextEntry(2, "long text to shrink"), FloatEntry(3, 3), TextEntry(4, "grow")}});
  const std::vector<std::function<int(Files&)>> batches = {
      [&](Files& files) {
        return Set(
            {"1/1", "\"a good deal longer\"", "2", "\"short\"", "4", "\"growing much longer\""},
            files);
      },
      [&](Files& files) {
        return Add({"1/0", "float", "0.5", "/5", "text", "\"a new text\"", "/9", "table",
                    "\"nested\"", "1/7", "localized", "u\"wide\""},
                   files);
      },
      [&](Files& files) {
        return Remove({"1/1", "2", "4"}, files);
      },
      [&](Files& files) {
        return Quietly([&](std::FILE* e) {
          return InsertCommand(dir_ / "f.atb", "/1", "9", dir_ / "side", names_, e, files);
        });
      },
  };
  WriteFile(dir_ / "side", EncodeTable({{FloatEntry(5, 5), TextEntry(6, "side")}}));
  int runs = 0;
  for (const auto& batch : batches) {
    WriteFile(dir_ / "f.atb", file);
    testing::FaultyFiles counting;
    ASSERT_EQ(batch(counting), 0) << err_;
    const Bytes done = ReadFile(dir_ / "f.atb");
    ASSERT_TRUE(testing::FileIsSound(done));
    for (int op = testing::FaultyFiles::kOpen; op < testing::FaultyFiles::kOps; ++op) {
      for (bool shortWrite : {false, true}) {
        if (shortWrite && op != testing::FaultyFiles::kWrite &&
            op != testing::FaultyFiles::kAllocate) {
          continue;
        }
        for (int k = 1; k <= counting.Calls(static_cast<testing::FaultyFiles::Op>(op)); ++k) {
          WriteFile(dir_ / "f.atb", file);
          testing::FaultyFiles faulty;
          faulty.FailAt(static_cast<testing::FaultyFiles::Op>(op), k, EIO, shortWrite);
          const int status = batch(faulty);
          ++runs;
          const std::string where = "op " + std::to_string(op) + " call " + std::to_string(k);
          if (status == 0) {
            EXPECT_EQ(ReadFile(dir_ / "f.atb"), done) << where << " was not reported";
          } else if (status == 1) {
            EXPECT_NE(err_.find("change refused"), std::string::npos) << where << ": " << err_;
            EXPECT_EQ(ReadFile(dir_ / "f.atb"), file) << where;
          } else {
            EXPECT_EQ(status, 2) << where;
            EXPECT_EQ(
                Quietly([&](std::FILE* e) { return RecoverCommand(dir_ / "f.atb", false, "", e); }),
                0)
                << where << ": " << err_;
            const Bytes after = ReadFile(dir_ / "f.atb");
            EXPECT_TRUE(after == done || after == file) << where;
          }
          unlink(JournalPath(dir_ / "f.atb").c_str());
        }
      }
    }
  }
  EXPECT_GT(runs, 30);

  // extract: every failing call leaves OUT as it was or whole, and nothing half written beside it.
  WriteFile(dir_ / "f.atb", file);
  testing::FaultyFiles counting;
  const auto extract = [&](Files& files) {
    return Quietly([&](std::FILE* e) {
      return ExtractCommand(dir_ / "f.atb", "1", dir_ / "out", names_, e, files);
    });
  };
  WriteFile(dir_ / "out", "old");
  ASSERT_EQ(extract(counting), 0) << err_;
  const Bytes extracted = ReadFile(dir_ / "out");
  for (int op = testing::FaultyFiles::kOpen; op < testing::FaultyFiles::kOps; ++op) {
    for (int k = 1; k <= counting.Calls(static_cast<testing::FaultyFiles::Op>(op)); ++k) {
      WriteFile(dir_ / "out", "old");
      testing::FaultyFiles faulty;
      faulty.FailAt(static_cast<testing::FaultyFiles::Op>(op), k);
      const int status = extract(faulty);
      const std::string where = "extract: op " + std::to_string(op) + " call " + std::to_string(k);
      // OUT is replaced whole or not at all: a failure after the rename (flushing the folder)
      // leaves it whole.
      const Bytes out = ReadFile(dir_ / "out");
      EXPECT_TRUE(out == extracted || (status != 0 && out == "old")) << where;
      EXPECT_EQ(testing::Shell("ls -A " + dir_.path() + " | grep -c atb-new").out, "0\n") << where;
      ++runs;
    }
  }
}

}  // namespace
}  // namespace atb
