// The power fails at any point of a change, and the disk keeps what it had flushed plus any
// subset of what it had not, torn at sectors: recovery must give exactly the file as before the
// change or as after it, and once the change has returned, as after it. Recovery itself is cut
// short the same way, and the next one must still get there.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "change/change.h"
#include "change/journal.h"
#include "companion/paths.h"
#include "store/table.h"
#include "tests/memory_files.h"
#include "tests/random_files.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::MemoryFiles;

const std::string kPath = "/d/f.atb";

using MakeChange = std::function<void(const Bytes& file, Change* change)>;

TableChain ChainTo(const Bytes& file, const std::vector<uint32_t>& trail, bool intoTable) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  TableChain chain{{ROOT_TABLE_OFFSET, static_cast<int64_t>(file.size()), 0}};
  for (std::size_t k = 0; k < trail.size(); ++k) {
    EntryList list;
    EXPECT_TRUE(ReadTable(source, chain.back().table, chain.back().end, &list).ok());
    chain.back().entry = trail[k];
    if (k + 1 < trail.size() || intoTable) {
      chain.push_back({list.ExtentStart(trail[k]), list.ExtentEnd(trail[k]), 0});
    }
  }
  return chain;
}

EntryList ListAt(const Bytes& file, const TableChain& chain) {
  MemorySource source(reinterpret_cast<const uint8_t*>(file.data()), file.size());
  EntryList list;
  EXPECT_TRUE(ReadTable(source, chain.back().table, chain.back().end, &list).ok());
  return list;
}

// The trails of every text and every table of a file.
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

class PowerLoss : public ::testing::Test {
 protected:
  // Recovers the file on `disk` as the next open would; answers the disk afterwards, or fails.
  static Status Recover(MemoryFiles& files) {
    const int fd = files.Open(kPath, O_RDWR, 0);
    AtbFile file(files, fd);
    ChangeTarget target{file, JournalPath(kPath), true};
    bool finished;
    Status s = RecoverChange(target, Finisher::kEditor, &finished);
    files.Close(fd);
    return s;
  }

  void Expect(const MemoryFiles::Disk& state, const Bytes& before, const Bytes& after,
              bool returned, const std::string& where) {
    MemoryFiles files(state);
    Status s = Recover(files);
    ASSERT_TRUE(s.ok()) << where << ": " << s.Message();
    const Bytes now = files.Bytes(kPath);
    ASSERT_TRUE(now == after || (!returned && now == before))
        << where << ": " << now.size() << " bytes, before " << before.size() << ", after "
        << after.size();
    ASSERT_EQ(files.Now().count(JournalPath(kPath)), 0u) << where;
    ++states_;
  }

  // Makes the change on an in-memory disk, then loses the power at every point of it.
  void Sweep(const Bytes& before, const MakeChange& make, int64_t chunk, Random& r) {
    MemoryFiles files(MemoryFiles::Disk{{kPath, {before}}});
    Change change;
    make(before, &change);
    change.set_chunk_bytes(chunk);
    const int fd = files.Open(kPath, O_RDWR, 0);
    AtbFile file(files, fd);
    ChangeTarget target{file, JournalPath(kPath), true};
    files.Record();
    Status s = change.Apply(target);
    files.Close(fd);
    ASSERT_TRUE(s.ok()) << s.Message();
    const Bytes after = files.Bytes(kPath);
    ASSERT_TRUE(testing::FileIsSound(after));
    const std::size_t points = files.recorded();
    for (std::size_t point = 0; point <= points; ++point) {
      const std::string where =
          "power lost after call " + std::to_string(point) + " of " + std::to_string(points);
      Expect(files.Crash(point, [] { return false; }), before, after, point == points,
             where + ", nothing unflushed landed");
      Expect(files.Crash(point, [] { return true; }), before, after, false, where + ", all landed");
      for (int k = 0; k < kRandomStates; ++k) {
        const int odds = 2 + r.Below(6);
        const MemoryFiles::Disk state = files.Crash(point, [&] { return r.OneIn(odds); });
        Expect(state, before, after, false, where + ", some landed");
        if (r.OneIn(40)) RecoveryLosesPowerToo(state, before, after, r, where);
      }
    }
  }

  // The power fails again while the recovery of `state` runs.
  void RecoveryLosesPowerToo(const MemoryFiles::Disk& state, const Bytes& before,
                             const Bytes& after, Random& r, const std::string& where) {
    MemoryFiles files(state);
    files.Record();
    ASSERT_TRUE(Recover(files).ok());
    const Bytes recovered = files.Bytes(kPath);
    for (std::size_t point = 0; point <= files.recorded(); ++point) {
      const MemoryFiles::Disk again = files.Crash(point, [&] { return r.OneIn(2); });
      MemoryFiles next(again);
      ASSERT_TRUE(Recover(next).ok()) << where << ", recovery lost power after call " << point;
      ASSERT_TRUE(next.Bytes(kPath) == recovered || next.Bytes(kPath) == before)
          << where << ", recovery lost power after call " << point;
      ++states_;
    }
    (void)after;
  }

  static constexpr int kRandomStates = 6;
  int states_ = 0;
};

TEST_F(PowerLoss, EveryStateADiskCanBeLeftInRecoversToBeforeOrAfter) {
  Random r(1717);
  // ATB_POWER_LOSS_FILES=N runs a longer sweep; the sanitizers' build runs a tenth of it.
  const int files = std::getenv("ATB_POWER_LOSS_FILES") != nullptr
                        ? std::atoi(std::getenv("ATB_POWER_LOSS_FILES"))
                        : (testing::kSanitized ? 15 : 150);
  for (int n = 0; n < files; ++n) {
    Table root = RandomTable(r);
    // A payload makes the moves span several chunks.
    root.entries.push_back({0xFFFFFFF0u, 7, r.Bytes(700)});
    const Bytes before = EncodeFile(root);
    std::vector<std::vector<uint32_t>> texts, tables;
    Walk(before, ROOT_TABLE_OFFSET, static_cast<int64_t>(before.size()), {}, &texts, &tables);
    const int64_t chunk = 16 + r.Below(300);
    if (!texts.empty()) {
      const auto text = texts[static_cast<std::size_t>(r.Below(static_cast<int>(texts.size())))];
      const std::string longer = r.Word(40) + "grown";
      auto replace = [](const Bytes& f, const std::vector<uint32_t>& trail, Change* c,
                        const std::string& with) {
        TableChain chain = ChainTo(f, trail, false);
        const EntryList list = ListAt(f, chain);
        const int64_t start = list.ExtentStart(chain.back().entry);
        const auto zero = static_cast<int64_t>(f.find('\0', static_cast<std::size_t>(start)));
        c->Replace(chain, start, zero - start, with);
      };
      Sweep(
          before, [&](const Bytes& f, Change* c) { replace(f, text, c, longer); }, chunk, r);
      Sweep(
          before,
          [&](const Bytes& f, Change* c) {
            replace(f, text, c, "");
            if (texts.back() != text) replace(f, texts.back(), c, longer);
          },
          chunk, r);
    }
    const auto table = tables[static_cast<std::size_t>(r.Below(static_cast<int>(tables.size())))];
    const Bytes side = EncodeTable(RandomTable(r, 1));
    const auto key = static_cast<uint32_t>(r.Below(20));
    Sweep(
        before,
        [&](const Bytes& f, Change* c) {
          c->Insert(ChainTo(f, table, !table.empty()), key, 100, side);
        },
        chunk, r);
  }
  // A float whose four bytes straddle a sector boundary: written through the journal, it is
  // never half old and half new.
  const Bytes straddling = EncodeFile({{TextEntry(1, Bytes(429, 'p')), FloatEntry(2, 1.5f)}});
  ASSERT_EQ(ListAt(straddling, ChainTo(straddling, {1}, false)).ExtentStart(1), 510);
  for (int k = 0; k < 20; ++k) {
    Sweep(
        straddling,
        [](const Bytes& f, Change* c) { c->Replace(ChainTo(f, {1}, false), 510, 4, F32(-2.75f)); },
        64, r);
  }
  std::printf("[ states   ] %d disk states after a power loss recovered\n", states_);
  EXPECT_GT(states_, testing::kSanitized ? 10000 : 100000);
}

}  // namespace
}  // namespace atb
