// A process that dies at any instant of a change: for growths, shrinks, adds and batches on
// random files, the I/O stops after the k-th write, for every k with ATB_TESTS_WHOLE=1 and for
// a sample otherwise (that write landing whole, cut at a random byte, or not at all); the next
// open's recovery must give the file exactly as before the change or exactly as after it. And
// recovery never turns a file that another program changed since into something else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "atbutil/commands.h"
#include "change/change.h"
#include "change/journal.h"
#include "store/table.h"
#include "tests/random_files.h"
#include "tests/sampling.h"
#include "tests/test_util.h"
#include "text/paths.h"

namespace atb {
namespace {

// Finishes the change whose journal lies beside `path`, as an editor's open does.
Status Recover(const std::string& path, bool* recovered) {
  int fd = open(path.c_str(), O_RDWR);
  PositionedFile file(SystemFiles(), fd);
  ChangeTarget target{file, JournalPath(path), false};
  Status s = RecoverChange(target, Finisher::kEditor, recovered);
  close(fd);
  return s;
}

using namespace build;

// A change to make on a file: built from the file's bytes, so that it can be made again.
using MakeChange = std::function<void(const Bytes& file, Change* change)>;

TableChain ChainTo(const Bytes& file, const std::string& path) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  std::vector<PathElement> elements;
  Status s = ParsePath(path, &elements);
  EXPECT_TRUE(s.ok()) << s.Message();
  static const KeyNames names;  // one for every path: it is the same table each time
  PathResolver resolver(source, static_cast<int64_t>(file.size()), names);
  std::vector<PathStep> steps;
  s = resolver.Resolve(elements, &steps);
  EXPECT_TRUE(s.ok()) << s.Message();
  TableChain chain;
  for (const PathStep& s : steps) chain.push_back({s.table, s.end, s.entry});
  return chain;
}

// Where the text that the chain's last link names starts, and where its zero byte lies.
std::pair<int64_t, int64_t> TextAt(const Bytes& file, const TableChain& chain) {
  EntryList list;
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  ReadTable(source, chain.back().table, chain.back().end, &list);
  const int64_t start = list.ExtentStart(chain.back().entry);
  return {start, static_cast<int64_t>(file.find('\0', static_cast<std::size_t>(start)))};
}

// "#i/#j/..." for an entry reached by entry numbers.
std::string NumberPath(const std::vector<uint32_t>& trail) {
  std::string path;
  for (uint32_t i : trail) path += "/#" + std::to_string(i);
  return path;
}

// The texts and the tables of a file, by the entry numbers leading to them.
void Walk(const Bytes& file, int64_t table, int64_t end, std::vector<uint32_t> trail,
          std::vector<std::vector<uint32_t>>* texts, std::vector<std::vector<uint32_t>>* tables) {
  tables->push_back(trail);
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  EntryList list;
  ASSERT_TRUE(ReadTable(source, table, end, &list).ok());
  for (uint32_t i = 0; i < list.count; ++i) {
    trail.push_back(i);
    if (list.Is(i, EntryType::Text)) texts->push_back(trail);
    if (list.Is(i, EntryType::Reference)) {
      Walk(file, list.ExtentStart(i), list.ExtentEnd(i), trail, texts, tables);
    }
    trail.pop_back();
  }
}

class Crashes : public ::testing::Test {
 protected:
  // Applies the change through `files`; answers the status.
  Status Apply(const Bytes& before, const MakeChange& make, int64_t chunk, Files& files) {
    WriteFile(path_, before);
    Change change;
    make(before, &change);
    change.set_chunk_bytes(chunk);
    int fd = files.Open(path_, O_RDWR, 0);
    PositionedFile file(files, fd);
    ChangeTarget target{file, JournalPath(path_), false};
    Status s = change.Apply(target);
    files.Close(fd);
    return s;
  }

  // Dies at every write of the change in every way (at a sample of them, its first and last
  // among them, unless ATB_TESTS_WHOLE is set); recovery must give `before` or the after.
  void Sweep(const Bytes& before, const MakeChange& make, int64_t chunk, Random& r) {
    testing::DyingFiles counting(0, testing::DyingFiles::kWhole, 0);
    ASSERT_TRUE(Apply(before, make, chunk, counting).ok());
    const Bytes after = ReadFile(path_);
    ASSERT_TRUE(testing::FileIsSound(after));
    for (const int pick : testing::Picks(counting.writes(), 10, 6, r)) {
      const int k = pick + 1;
      for (auto landing :
           {testing::DyingFiles::kWhole, testing::DyingFiles::kCut, testing::DyingFiles::kNone}) {
        testing::DyingFiles dying(k, landing, static_cast<uint32_t>(r.Below(1 << 30)));
        Status applied = Apply(before, make, chunk, dying);
        ASSERT_TRUE(dying.dead()) << k << " of " << counting.writes() << ": " << applied.Message();
        // Renamed away from its journal, a file without the mark is whole; with it, it needs
        // its journal whole: one sector of it lost is refused, never taken for a cut.
        const Bytes crashed = ReadFile(path_);
        if (!testing::Marked(crashed)) {
          ASSERT_TRUE(crashed == before || crashed == after) << "write " << k << ": a mix";
        } else if (r.OneIn(3)) {
          const Bytes journal = ReadFile(JournalPath(path_));
          Bytes lost = journal;
          const auto frames = static_cast<int>(journal.size() / 512);
          std::fill_n(lost.begin() + 512 * r.Below(frames), 512, '\0');
          WriteFile(JournalPath(path_), lost);
          bool finished;
          ASSERT_TRUE(Recover(path_, &finished).refused()) << "write " << k;
          ASSERT_EQ(ReadFile(path_), crashed);
          WriteFile(JournalPath(path_), journal);
        }
        bool recovered;
        Status s = Recover(path_, &recovered);
        ASSERT_TRUE(s.ok()) << "write " << k << " landing " << landing << ": " << s.Message();
        const Bytes now = ReadFile(path_);
        ASSERT_TRUE(now == before || now == after)
            << "write " << k << " of " << counting.writes() << " landing " << landing << ": "
            << now.size() << " bytes, before " << before.size() << ", after " << after.size()
            << (recovered ? " recovered" : "");
        ASSERT_NE(access(JournalPath(path_).c_str(), F_OK), 0);
        ++sweeps_;
      }
    }
  }

  testing::TempDir dir_;
  const std::string path_ = dir_ / "f.atb";
  int sweeps_ = 0;
};

TEST_F(Crashes, EveryCrashPointRecoversToBeforeOrAfter) {
  Random r(4242);
  int files = 0;
  const int sample = testing::Share(60, 60, 40);
  while (files < sample) {
    Table root = RandomTable(r);
    // A payload makes the moves span several chunks.
    root.entries.push_back({0xFFFFFFF0u, 7, r.Bytes(600)});
    const Bytes before = EncodeFile(root);
    std::vector<std::vector<uint32_t>> texts, tables;
    Walk(before, ROOT_TABLE_OFFSET, static_cast<int64_t>(before.size()), {}, &texts, &tables);
    const int64_t chunk = 16 + r.Below(200);
    if (!texts.empty()) {
      const auto text = texts[static_cast<std::size_t>(r.Below(static_cast<int>(texts.size())))];
      const std::string longer = r.Word(12) + "grown";
      Sweep(
          before,
          [&](const Bytes& f, Change* c) {
            TableChain chain = ChainTo(f, NumberPath(text));
            const auto [start, zero] = TextAt(f, chain);
            c->Replace(chain, start, zero - start, longer);
          },
          chunk, r);
      // A shrink, and a batch of a growth and a shrink in different tables.
      Sweep(
          before,
          [&](const Bytes& f, Change* c) {
            TableChain chain = ChainTo(f, NumberPath(text));
            const auto [start, zero] = TextAt(f, chain);
            c->Replace(chain, start, zero - start, "");
            if (texts.size() > 1 && texts.back() != text) {
              TableChain other = ChainTo(f, NumberPath(texts.back()));
              c->Replace(other, TextAt(f, other).first, 0, longer);
            }
          },
          chunk, r);
    }
    const auto table = tables[static_cast<std::size_t>(r.Below(static_cast<int>(tables.size())))];
    const Bytes side = EncodeTable(RandomTable(r, 1));
    const auto key = static_cast<uint32_t>(r.Below(20));
    Sweep(
        before,
        [&](const Bytes& f, Change* c) {
          TableChain chain = ChainTo(f, NumberPath(table));
          if (!table.empty()) {
            EntryList list;
            MemorySource src(reinterpret_cast<const uint8_t*>(f.data()), f.size());
            ReadTable(src, chain.back().table, chain.back().end, &list);
            chain.push_back(
                {list.ExtentStart(chain.back().entry), list.ExtentEnd(chain.back().entry), 0});
          }
          c->Insert(chain, key, 100, side);
        },
        chunk, r);
    ++files;
  }
  EXPECT_GT(sweeps_, testing::Share(9000, 3000, 1200));
}

// The chain to a table given by the entry numbers of its reference (none for the root), for an
// entry added to it.
TableChain IntoTable(const Bytes& file, const std::vector<uint32_t>& table) {
  TableChain chain = ChainTo(file, NumberPath(table));
  if (table.empty()) return chain;
  EntryList list;
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  ReadTable(source, chain.back().table, chain.back().end, &list);
  chain.push_back({list.ExtentStart(chain.back().entry), list.ExtentEnd(chain.back().entry), 0});
  return chain;
}

// A batch of texts and tables added to several tables, and a batch of texts and whole nested
// tables taken out, none inside another, on random files.
TEST_F(Crashes, AddAndRemoveBatchesRecoverToBeforeOrAfter) {
  Random r(5151);
  for (int files = 0; files < 10; ++files) {
    Table root = RandomTable(r);
    root.entries.push_back({0xFFFFFFF0u, 7, r.Bytes(600)});
    const Bytes before = EncodeFile(root);
    std::vector<std::vector<uint32_t>> texts, tables, chosen;
    Walk(before, ROOT_TABLE_OFFSET, static_cast<int64_t>(before.size()), {}, &texts, &tables);
    std::vector<std::pair<std::vector<uint32_t>, uint32_t>> adds;  // where, and the new key
    for (int n = 1 + r.Below(4); n > 0; --n) {
      adds.push_back({tables[static_cast<std::size_t>(r.Below(static_cast<int>(tables.size())))],
                      static_cast<uint32_t>(r.Below(14))});
    }
    const int64_t chunk = 16 + r.Below(200);
    Sweep(
        before,
        [&](const Bytes& f, Change* c) {
          for (const auto& [table, key] : adds) {
            c->Insert(IntoTable(f, table), key, key % 2 ? 3 : 100,
                      key % 2 ? Str("new text") : EncodeTable({{NameEntry("new table")}}));
          }
        },
        chunk, r);
    // Sorted, an entry comes before every entry inside it.
    std::vector<std::vector<uint32_t>> entries(tables.begin() + 1, tables.end());
    entries.insert(entries.end(), texts.begin(), texts.end());
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
      if (r.OneIn(3) && (chosen.empty() || std::mismatch(chosen.back().begin(), chosen.back().end(),
                                                         entry.begin(), entry.end())
                                                   .first != chosen.back().end())) {
        chosen.push_back(entry);
      }
    }
    if (chosen.empty()) continue;
    Sweep(
        before,
        [&](const Bytes& f, Change* c) {
          for (const auto& entry : chosen) c->Remove(ChainTo(f, NumberPath(entry)));
        },
        chunk, r);
  }
  // The files drawn differ between compilers (the order of evaluation), and so does the count.
  EXPECT_GT(sweeps_, testing::Share(700, 300, 200));
}

// What a patch or a merge adds to a change: a table's lead replaced, entries added at given
// places (two in front of one entry), an entry given another type, and new header bytes.
TEST_F(Crashes, LeadsPlacesTypesAndHeadersRecoverToBeforeOrAfter) {
  Random r(6161);
  const int files = testing::Share(12, 12, 5);
  for (int f = 0; f < files; ++f) {
    Table root = RandomTable(r);
    root.entries.push_back({0xFFFFFFF0u, 7, r.Bytes(600)});
    const Bytes before = EncodeFile(root);
    std::vector<std::vector<uint32_t>> texts, tables;
    Walk(before, ROOT_TABLE_OFFSET, static_cast<int64_t>(before.size()), {}, &texts, &tables);
    const auto table = tables[static_cast<std::size_t>(r.Below(static_cast<int>(tables.size())))];
    const auto place = static_cast<uint32_t>(r.Below(3));
    const std::string lead = r.Word(9);
    std::string header(ROOT_TABLE_OFFSET, 'h');
    Sweep(
        before,
        [&](const Bytes& f, Change* c) {
          const TableChain chain = IntoTable(f, table);
          EntryList list;
          MemorySource src(reinterpret_cast<const uint8_t*>(f.data()), f.size());
          ReadTable(src, chain.back().table, chain.back().end, &list);
          c->ReplaceLead(chain, lead);
          const uint32_t at = std::min(place, list.count);
          c->InsertAt(chain, at, 0xFFFFFFFFu, 3, Str("placed first"));
          c->InsertAt(chain, at, 0, 7, "placed second");
          if (list.count > at) {
            TableChain entry = chain;
            entry.back().entry = at;
            if (!list.Is(at, EntryType::Reference)) c->SetType(entry, 9);
          }
          c->SetHeader(header);
        },
        16 + r.Below(200), r);
  }
  EXPECT_GT(sweeps_, testing::Share(50, 20, 15) * files);
}

TEST_F(Crashes, RecoveryRefusesAFileThatChangedSince) {
  Random r(7);
  const Bytes before = EncodeFile({{TextEntry(1, "abc"), {2, 7, r.Bytes(3000)}}});
  const MakeChange grow = [](const Bytes& f, Change* c) {
    c->Replace(ChainTo(f, "/#0"), 56 + 24, 3, "a much longer text");
  };
  // Dies in the middle of the move: in the write of its first step, once the file is marked and
  // longer.
  const std::size_t grown = before.size() + 15;
  int first = 1;
  for (;; ++first) {
    ASSERT_LT(first, 100);
    testing::DyingFiles none(first, testing::DyingFiles::kNone, 0);
    Apply(before, grow, 256, none);
    unlink(JournalPath(path_).c_str());
    if (ReadFile(path_).size() == grown) break;
  }
  testing::DyingFiles dying(first, testing::DyingFiles::kCut, 77);
  Apply(before, grow, 256, dying);
  ASSERT_TRUE(dying.dead());
  const Bytes interrupted = ReadFile(path_);
  const Bytes journal = ReadFile(JournalPath(path_));
  auto refused = [&](const Bytes& edited) {
    WriteFile(path_, edited);
    WriteFile(JournalPath(path_), journal);
    bool recovered;
    Status s = Recover(path_, &recovered);
    EXPECT_TRUE(s.refused()) << s.Message();
    EXPECT_EQ(ReadFile(path_), edited);
    EXPECT_EQ(ReadFile(JournalPath(path_)), journal);
    return s.Message();
  };
  ASSERT_EQ(interrupted.size(), grown);
  ASSERT_TRUE(testing::Marked(interrupted));
  const std::string prefix = "the file no longer fits its journal " + JournalPath(path_) + ": ";
  EXPECT_NE(refused(interrupted + "x")
                .find(prefix + "it is " + std::to_string(grown + 1) +
                      " bytes long, where the change left between " +
                      std::to_string(before.size()) + " and " + std::to_string(grown)),
            std::string::npos);
  Bytes header = interrupted;
  header[30] ^= 1;
  EXPECT_NE(refused(header).find(prefix + "its first bytes have changed since"), std::string::npos);
  // Where the move has not reached yet, and in the chunk whose write was cut.
  for (auto [at, why] : {std::pair{std::size_t{100}, "bytes that the change has still to move"},
                         std::pair{grown - 100, "bytes of the steps in flight"}}) {
    Bytes moved = interrupted;
    for (std::size_t i = at; i < at + 20; ++i) moved[i] ^= 0x5A;
    const std::string got = refused(moved);
    EXPECT_NE(got.find(prefix + why), std::string::npos) << got;
  }
  // Unchanged, it recovers.
  WriteFile(path_, interrupted);
  WriteFile(JournalPath(path_), journal);
  bool recovered;
  EXPECT_TRUE(Recover(path_, &recovered).ok());
  EXPECT_TRUE(recovered);
  EXPECT_TRUE(testing::FileIsSound(ReadFile(path_)));
}

// A step that moves further than its length keeps no bytes in its record, only checks: its
// source is still checked whole, not only its first 4 KiB.
TEST_F(Crashes, RecoveryRefusesAStepInFlightWhoseSourceChanged) {
  Random r(8);
  Bytes payload(40000, '\0');
  for (char& c : payload) c = static_cast<char>(r.Below(256));
  const Bytes before = EncodeFile({{TextEntry(1, "abc"), {2, 7, payload}}});
  const MakeChange far = [](const Bytes& f, Change* c) {
    c->Replace(ChainTo(f, "/#0"), 56 + 24, 3, std::string(30000, 'x'));
  };
  // Dead once the file is longer and before its first step lands: the journal is whole.
  Bytes interrupted, journal;
  for (int k = 1; k < 20 && journal.empty(); ++k) {
    testing::DyingFiles dying(k, testing::DyingFiles::kNone, 0);
    unlink(JournalPath(path_).c_str());
    Apply(before, far, 8192, dying);
    interrupted = ReadFile(path_);
    if (dying.dead() && interrupted.size() > before.size()) journal = ReadFile(JournalPath(path_));
  }
  ASSERT_FALSE(journal.empty());
  ASSERT_TRUE(testing::Marked(interrupted));
  ASSERT_EQ(interrupted.compare(24, before.size() - 24, before, 24), 0);
  Bytes edited = interrupted;
  edited[before.size() - 1000] ^= 1;  // in the first step's source, beyond its first 4 KiB
  WriteFile(path_, edited);
  WriteFile(JournalPath(path_), journal);
  bool recovered;
  const Status s = Recover(path_, &recovered);
  EXPECT_TRUE(s.refused());
  EXPECT_NE(s.Message().find("bytes of the steps in flight have changed since"), std::string::npos)
      << s.Message();
  EXPECT_EQ(ReadFile(path_), edited);
  EXPECT_EQ(ReadFile(JournalPath(path_)), journal);
}

}  // namespace
}  // namespace atb

namespace atb {
namespace {

using namespace build;

// A folder where no journal can be written.
class NoJournals : public Files {
 public:
  int Open(const std::string& path, int flags, mode_t mode) override {
    if (path.size() > 8 && path.compare(path.size() - 8, 8, ".journal") == 0 && (flags & O_CREAT)) {
      return errno = EROFS, -1;
    }
    return Files::Open(path, flags, mode);
  }
};

TEST(Interrupted, TheNextOpenFinishesTheChangeAndSaysSoOnce) {
  testing::TempDir dir;
  const Table root{{TextEntry(1, "abc"), {2, 7, Bytes(5000, 'x')}}};
  const Bytes before = EncodeFile(root);
  const std::string path = dir / "f.atb";
  // Dies in the middle of the move: at the first write that leaves the file marked.
  auto interrupt = [&]() {
    for (int k = 1; k < 100; ++k) {
      WriteFile(path, before);
      unlink(JournalPath(path).c_str());
      testing::DyingFiles dying(k, testing::DyingFiles::kCut, 3);
      Change change;
      change.set_chunk_bytes(512);
      change.Replace(ChainTo(before, "/#0"), 56 + 24, 3, "abcdefgh");
      int fd = dying.Open(path, O_RDWR, 0);
      PositionedFile file(dying, fd);
      ChangeTarget target{file, JournalPath(path), false};
      change.Apply(target);
      dying.Close(fd);
      if (testing::Marked(ReadFile(path)) && ReadFile(path).size() > before.size()) break;
    }
    ASSERT_EQ(access(JournalPath(path).c_str(), F_OK), 0);
  };
  const Bytes after = EncodeFile({{TextEntry(1, "abcdefgh"), {2, 7, Bytes(5000, 'x')}}});
  const std::string listing =
      testing::Listing({"0 text:abcdefgh", "1 "}) + testing::kMenu + testing::kPrompt;

  interrupt();
  testing::Dialogue d = testing::RunDialogue(dir.path(), "f.atb\n999\nquit\n");
  EXPECT_EQ(d.out, testing::kStart + listing);
  EXPECT_EQ(d.err, "atb: f.atb: recovered an interrupted change\n");
  EXPECT_EQ(ReadFile(path), after);
  d = testing::RunDialogue(dir.path(), "f.atb\n999\nquit\n");
  EXPECT_EQ(d.err, "");  // once

  // check reports it, not sound until it is finished; any other command finishes it.
  interrupt();
  KeyNames names;
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(CheckCommand({path}, names, out, stderr), 1);
  std::rewind(out);
  char line[256] = {};
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  std::fclose(out);
  EXPECT_EQ(std::string(line),
            path + ": an interrupted change, finished by the next open (atbutil recover)\n");
  out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(GetCommand(path, "#0", names, out, err), 0);
  std::rewind(err);
  ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);
  std::fclose(out);
  std::fclose(err);
  EXPECT_EQ(std::string(line), "atbutil: " + path + ": recovered an interrupted change\n");
  EXPECT_EQ(ReadFile(path), after);
}

TEST(Interrupted, AChangeThatCannotBeProtectedIsRefusedUntouched) {
  testing::TempDir dir;
  const Bytes file = EncodeFile({{TextEntry(1, "abc"), FloatEntry(2, 2)}});
  WriteFile(dir / "f.atb", file);
  NoJournals noJournals;
  testing::Dialogue d =
      testing::RunDialogue(dir.path(), "f.atb\n0\nlonger\n999\nquit\n", noJournals);
  EXPECT_EQ(d.err,
            "atb: f.atb: change refused: cannot write its journal beside the file: Read-only "
            "file system\n");
  const std::string listing = testing::Listing({"0 text:abc", "1 ID:2:2.000000"}) + testing::kMenu;
  EXPECT_EQ(d.out, testing::kStart + listing + "new text?" + listing + testing::kPrompt);
  EXPECT_EQ(ReadFile(dir / "f.atb"), file);
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(SetCommand(dir / "f.atb", {"1", "\"longer\""}, KeyNames(), err, noJournals), 1);
  std::fclose(err);
  EXPECT_EQ(ReadFile(dir / "f.atb"), file);
}

}  // namespace
}  // namespace atb
