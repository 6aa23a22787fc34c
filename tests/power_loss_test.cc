// The power fails at any point of a change, and the disk keeps what it had flushed plus any
// subset of what it had not, torn at sectors: recovery must give exactly the file as before the
// change or as after it, and once the change has returned, as after it. Recovery itself is cut
// short the same way, and the next one must still get there.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdlib>

#include "change/change.h"
#include "change/journal.h"
#include "change/journal_format.h"
#include "change/mark.h"
#include "tests/memory_files.h"
#include "tests/random_changes.h"
#include "tests/sampling.h"
#include "tests/test_util.h"

namespace atb {
namespace {

using namespace build;
using testing::MemoryFiles;
using testing::RecoverOn;

const std::string kPath = "/d/f.atb";

class PowerLoss : public ::testing::Test {
 protected:
  static Status Recover(MemoryFiles& files, const std::string& path = kPath) {
    return RecoverOn(files, path);
  }

  void Expect(const MemoryFiles::Disk& state, const Bytes& before, const Bytes& after,
              bool returned, const std::string& where) {
    // A file without the mark is whole, whatever lies beside it.
    const Bytes& crashed = state.at(kPath).bytes;
    if (!MarkIn(reinterpret_cast<const uint8_t*>(crashed.data())).marked) {
      ASSERT_TRUE(crashed == before || crashed == after) << where << ": unmarked, yet a mix";
    }
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

  // A state whose file and journal were then parted or damaged: the file replaced by the file
  // before or after the change (copied over it or renamed into its place) or by itself with one
  // byte that the change moved changed; the file renamed away from its journal; the journal
  // replaced by `stale`, one of another run of the change; a sector of the journal lost, or the
  // journal cut short. Recovery refuses and changes nothing, or gives before or after; a file
  // that bears no mark of the journal's change is never touched; a marked file whose journal
  // lost a sector is always refused.
  void ExpectParted(const MemoryFiles::Disk& state, const Bytes& before, const Bytes& after,
                    const Bytes& stale, Random& r, const std::string& where) {
    const MemoryFiles::File crashed = state.at(kPath);
    const std::string journalPath = JournalPath(kPath);
    const MemoryFiles::File journal = state.at(journalPath);
    // A byte that the change has moved or written already.
    std::vector<std::size_t> moved;
    for (std::size_t k = 0; k < crashed.bytes.size(); ++k) {
      if (k >= before.size() || crashed.bytes[k] != before[k]) moved.push_back(k);
    }
    Bytes flipped = crashed.bytes;
    if (!moved.empty()) {
      flipped[moved[static_cast<std::size_t>(r.Below(static_cast<int>(moved.size())))]] ^=
          static_cast<char>(1 + r.Below(255));
    }
    struct Variant {
      std::string how;
      MemoryFiles::Disk disk;
      std::string path = kPath;
      bool lostSector = false;
    };
    std::vector<Variant> variants;
    auto withFile = [&](const char* how, MemoryFiles::File file) {
      Variant v{how, state};
      v.disk[kPath] = std::move(file);
      variants.push_back(std::move(v));
    };
    withFile("before copied over", {before, crashed.ino, crashed.mode});
    withFile("after copied over", {after, crashed.ino, crashed.mode});
    withFile("before renamed over", {before, 0, crashed.mode});
    withFile("one byte changed", {flipped, crashed.ino, crashed.mode});
    Variant away{"renamed away from its journal", state, "/d/g.atb"};
    away.disk.erase(kPath);
    away.disk["/d/g.atb"] = crashed;
    variants.push_back(std::move(away));
    if (!stale.empty()) {
      Variant v{"a stale journal put back", state};
      v.disk[journalPath].bytes = stale;
      variants.push_back(std::move(v));
    }
    // One frame of the journal lost, or the journal cut at a frame: every one of them with
    // ATB_POWER_LOSS_EVERY_SECTOR=1 or ATB_TESTS_WHOLE=1, a few otherwise.
    const int frames = static_cast<int>(journal.bytes.size() / journal::kFrame);
    const bool every = std::getenv("ATB_POWER_LOSS_EVERY_SECTOR") != nullptr || testing::Whole();
    for (int k = 0; k < (every ? frames : std::min(frames, 2)); ++k) {
      const int f = every ? k : r.Below(frames);
      Variant lost{"journal frame " + std::to_string(f) + " lost", state};
      std::fill_n(lost.disk[journalPath].bytes.begin() + f * journal::kFrame, journal::kFrame,
                  '\0');
      lost.lostSector = true;
      variants.push_back(std::move(lost));
      Variant cut{"journal cut at frame " + std::to_string(f), state};
      cut.disk[journalPath].bytes.resize(static_cast<std::size_t>(f * journal::kFrame));
      cut.lostSector = true;
      variants.push_back(std::move(cut));
    }
    for (const Variant& v : variants) {
      MemoryFiles files(v.disk);
      const Status s = Recover(files, v.path);
      const Bytes& was = v.disk.at(v.path).bytes;
      const Bytes now = files.Bytes(v.path);
      const FileMark mark = MarkIn(reinterpret_cast<const uint8_t*>(was.data()));
      const bool ofItsJournal =
          v.disk.count(JournalPath(v.path)) != 0 &&
          (mark.marked || mark.damaged || mark.Near(NonceOf(v.disk, JournalPath(v.path))));
      const std::string at = where + ", " + v.how;
      if (!s.ok()) {
        ASSERT_TRUE(s.refused()) << at << ": " << s.Message();
        ASSERT_EQ(now, was) << at;
        ASSERT_EQ(Contents(files.Now()), Contents(v.disk)) << at;
        ++refused_;
      } else if (!mark.marked && !ofItsJournal) {
        ASSERT_EQ(now, was) << at;
        if (v.how != "one byte changed") {
          ASSERT_TRUE(now == before || now == after) << at;
        }
        ++untouched_;
      } else {
        ASSERT_TRUE(now == before || now == after) << at;
      }
      if (v.lostSector && mark.marked && mark.nonce == NonceOf(state, journalPath)) {
        ASSERT_FALSE(s.ok()) << at << ": damage taken for a cut";
      }
      ++states_;
    }
  }

  static std::map<std::string, Bytes> Contents(const MemoryFiles::Disk& disk) {
    std::map<std::string, Bytes> contents;
    for (const auto& [path, file] : disk) contents[path] = file.bytes;
    return contents;
  }

  // The nonce of the journal on `disk` at `path`.
  static uint64_t NonceOf(const MemoryFiles::Disk& disk, const std::string& path) {
    if (disk.count(path) == 0) return 0;
    const std::string& journal = disk.at(path).bytes;
    journal::Layout layout;
    if (journal.size() < journal::kFrame ||
        !layout.ReadHeader(reinterpret_cast<const uint8_t*>(journal.data()))) {
      return 0;
    }
    return layout.nonce;
  }

  // Makes the change on `files`, recording every call it makes.
  static Status Record(MemoryFiles& files, const Bytes& before, const MakeChange& make,
                       int64_t chunk, bool durable) {
    Change change;
    make(before, &change);
    change.set_chunk_bytes(chunk);
    const int fd = files.Open(kPath, O_RDWR, 0);
    PositionedFile file(files, fd);
    ChangeTarget target{file, JournalPath(kPath), durable};
    files.Record();
    Status s = change.Apply(target);
    files.Close(fd);
    return s;
  }

  // Makes the change on an in-memory disk, then loses the power at every point of it.
  void Sweep(const Bytes& before, const MakeChange& make, int64_t chunk, Random& r) {
    MemoryFiles files(MemoryFiles::Disk{{kPath, {before}}});
    Status s = Record(files, before, make, chunk, true);
    ASSERT_TRUE(s.ok()) << s.Message();
    const Bytes after = files.Bytes(kPath);
    ASSERT_TRUE(testing::FileIsSound(after));
    const std::size_t points = files.recorded();
    // The journal of another run of the same change, as a backup would have kept it.
    Bytes stale;
    if (parting_) {
      MemoryFiles again(MemoryFiles::Disk{{kPath, {before}}});
      ASSERT_TRUE(Record(again, before, make, chunk, true).ok());
      // A change that leaves the file as it was makes no call: there is no journal to take.
      for (int tries = 0; tries < 8 && stale.empty() && again.recorded() > 0; ++tries) {
        const auto point = static_cast<std::size_t>(r.Below(static_cast<int>(again.recorded())));
        const MemoryFiles::Disk state = again.Crash(point, [] { return true; });
        if (state.count(JournalPath(kPath)) != 0) stale = state.at(JournalPath(kPath)).bytes;
      }
    }
    for (std::size_t point = 0; point <= points; ++point) {
      const std::string where =
          "power lost after call " + std::to_string(point) + " of " + std::to_string(points);
      Expect(files.Crash(point, [] { return false; }), before, after, point == points,
             where + ", nothing unflushed landed");
      Expect(files.Crash(point, [] { return true; }), before, after, false, where + ", all landed");
      for (int k = 0; k < kRandomStates; ++k) {
        const int odds = 2 + r.Below(6);
        const MemoryFiles::Disk state = files.Crash(point, [&] { return r.OneIn(odds); });
        if (parting_ && state.count(JournalPath(kPath)) != 0) {
          ExpectParted(state, before, after, stale, r, where);
          continue;
        }
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

  // Every kind of change on random files, each swept. Steps are mostly shorter than a sector; in
  // one file of ten they span several, over several batches.
  void SweepRandomChanges(int files, Random& r) {
    for (int n = 0; n < files; ++n) {
      const bool long_steps = n % 10 == 9;
      const Bytes before = RandomChangeFile(r, long_steps ? 24000 : 700);
      const int64_t chunk = long_steps ? 600 + r.Below(2000) : 16 + r.Below(300);
      for (const MakeChange& make : RandomChanges(r, before)) Sweep(before, make, chunk, r);
    }
  }

  static constexpr int kRandomStates = 6;
  int states_ = 0;
  bool parting_ = false;  // part the file of every state with a journal from it, then recover
  int refused_ = 0, untouched_ = 0;
};

TEST_F(PowerLoss, EveryStateADiskCanBeLeftInRecoversToBeforeOrAfter) {
  Random r(1717);
  // ATB_POWER_LOSS_FILES=N runs a longer sweep; the sanitizers' build runs a tenth of it, unless
  // ATB_TESTS_WHOLE is set.
  const int files = std::getenv("ATB_POWER_LOSS_FILES") != nullptr
                        ? std::atoi(std::getenv("ATB_POWER_LOSS_FILES"))
                        : testing::Share(150, 150, 15);
  SweepRandomChanges(files, r);
  // A float whose four bytes straddle a sector boundary: written through the journal, it is
  // never half old and half new.
  for (int k = 0; k < 20; ++k) Sweep(StraddlingFloatFile(), StraddlingFloatChange(), 64, r);
  std::printf("[ states   ] %d disk states after a power loss recovered\n", states_);
  EXPECT_GT(states_, testing::Share(100000, 100000, 10000));
}

// A change made without flushes and killed (every write it made is there), then finished by a
// recovery that flushes, in steps of its own: the power may fail anywhere in that recovery.
TEST_F(PowerLoss, AKilledChangeWithoutFlushesIsFinishedDurably) {
  Random r(2024);
  for (int n = 0; n < testing::Share(150, 150, 15); ++n) {
    const Bytes before = RandomChangeFile(r);
    const int64_t chunk = 16 + r.Below(300);
    for (const MakeChange& make : RandomChanges(r, before)) {
      MemoryFiles files(MemoryFiles::Disk{{kPath, {before}}});
      ASSERT_TRUE(Record(files, before, make, chunk, false).ok());
      const Bytes after = files.Bytes(kPath);
      for (int kill = 0; kill < 4; ++kill) {
        const auto point =
            static_cast<std::size_t>(r.Below(static_cast<int>(files.recorded()) + 1));
        const MemoryFiles::Disk killed = files.Crash(point, [] { return true; });
        MemoryFiles check(killed);
        ASSERT_TRUE(Recover(check).ok());
        ASSERT_TRUE(check.Bytes(kPath) == before || check.Bytes(kPath) == after) << point;
        RecoveryLosesPowerToo(killed, before, after, r,
                              "killed after call " + std::to_string(point));
      }
    }
  }
  EXPECT_GT(states_, testing::Share(20000, 20000, 1000));
}

}  // namespace
}  // namespace atb

namespace atb {
namespace {

TEST_F(PowerLoss, AFilePartedFromItsJournalIsRefusedOrWhole) {
  Random r(4711);
  parting_ = true;
  SweepRandomChanges(testing::Share(20, 20, 3), r);
  std::printf("[ states   ] %d parted files, %d refused, %d left as they were\n", states_, refused_,
              untouched_);
  EXPECT_GT(refused_, states_ / 4);
  EXPECT_GT(untouched_, states_ / 8);
}

}  // namespace
}  // namespace atb

namespace atb {
namespace {

// A text a few bytes longer in front of 16 MiB: the records keep the bytes a torn write can
// destroy, not the steps whole, which would make the journal 16 MiB.
TEST_F(PowerLoss, ASmallShiftKeepsTheJournalSmall) {
  Random r(99);
  const Bytes before = RandomChangeFile(r, 16 << 20);
  MemoryFiles files(MemoryFiles::Disk{{kPath, {before}}});
  ASSERT_TRUE(Record(files, before, RandomChanges(r, before).front(), 1 << 20, true).ok());
  std::size_t largest = 0;
  for (std::size_t point = 0; point <= files.recorded(); point += 4) {
    const MemoryFiles::Disk state = files.Crash(point, [] { return true; });
    const auto journal = state.find(JournalPath(kPath));
    if (journal != state.end()) largest = std::max(largest, journal->second.bytes.size());
  }
  EXPECT_GT(largest, 0u);
  EXPECT_LT(largest, before.size() / 4);
}

// A journal is as large as its records need, not a reservation for a full batch: a text 517
// bytes longer in front of 1 MiB (the steps kept whole, since they move further than a sector)
// takes the two steps of its one batch, not sixteen; a 64 KiB table inserted, its bytes and the
// little that a shift of 12 bytes puts at risk.
TEST_F(PowerLoss, AJournalIsAsLargeAsItsRecordsNeed) {
  Table root{{TextEntry(1, "abc"), {2, 7, Bytes(1 << 20, 'p')}}};
  const Bytes before = EncodeFile(root);
  const Bytes side = EncodeTable({{FloatEntry(5, 1), {6, 7, Bytes(64 << 10, 's')}}});
  MemorySource table(reinterpret_cast<const uint8_t*>(side.data()), side.size());
  const MakeChange changes[] = {
      [](const Bytes& f, Change* c) {
        c->Replace({{ROOT_TABLE_OFFSET, static_cast<int64_t>(f.size()), 0}}, 56 + 24, 3,
                   std::string(520, 't'));
      },
      [&](const Bytes& f, Change* c) {
        c->Insert({{ROOT_TABLE_OFFSET, static_cast<int64_t>(f.size()), 0}}, 3, 100, table,
                  static_cast<int64_t>(side.size()), true);
      }};
  const std::size_t bounds[] = {(2 << 20) + (128 << 10), 256 << 10};
  for (int k = 0; k < 2; ++k) {
    const MakeChange& make = changes[k];
    MemoryFiles files(MemoryFiles::Disk{{kPath, {before}}});
    ASSERT_TRUE(Record(files, before, make, 1 << 20, true).ok());
    std::size_t largest = 0;
    for (std::size_t point = 0; point <= files.recorded(); ++point) {
      const MemoryFiles::Disk state = files.Crash(point, [] { return true; });
      const auto journal = state.find(JournalPath(kPath));
      if (journal != state.end()) largest = std::max(largest, journal->second.bytes.size());
    }
    EXPECT_GT(largest, std::size_t{64} << 10) << k;
    EXPECT_LT(largest, bounds[k]) << k;
  }
}

// Journals of the two earlier layouts are refused, and left as they are with the file.
TEST_F(PowerLoss, JournalsOfEarlierVersionsAreRefusedUntouched) {
  Random r(7);
  const Bytes file = RandomChangeFile(r);
  Bytes framed(journal::kFrame, '\0');
  journal::Framer header(reinterpret_cast<uint8_t*>(framed.data()), 0, 0, 0);
  header.Append(reinterpret_cast<const uint8_t*>("ATBJRNL2"), 8);
  header.Finish();
  const Bytes unframed = Bytes("ATBJRNL1") + Bytes(1016, '\1');
  for (const Bytes& old : {framed, unframed}) {
    const MemoryFiles::Disk disk{{kPath, {file}}, {JournalPath(kPath), {old, 0, 0600}}};
    MemoryFiles files(disk);
    const Status s = Recover(files);
    EXPECT_TRUE(s.refused());
    EXPECT_NE(s.Message().find("earlier version"), std::string::npos) << s.Message();
    EXPECT_EQ(files.Bytes(kPath), file);
    EXPECT_EQ(files.Bytes(JournalPath(kPath)), old);
  }
}

}  // namespace
}  // namespace atb
