// Making a change through its journal. The journal's layout and the steps shared with recovery
// are in change/journal_format.*, judging and finishing an interrupted change in recovery.cc.
#include "change/journal.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <random>

#include "change/journal_format.h"
#include "change/mark.h"
#include "change/wait.h"
#include "platform/signals.h"
#include "store/hash.h"
#include "store/layout.h"
#include "store/table.h"

namespace atb {

using namespace journal;

namespace {

// With flushes, the records of this many steps go to the disk at once: fewer, larger flushes.
constexpr int64_t kDurableBatch = 8;

uint64_t NewNonce() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}

// Once the file has begun to change, every failure is one that leaves the change to the next
// open, whatever its kind: never "nothing was changed".
Status AfterTheFileChanged(const Status& s) {
  if (s.ok() || s.ioError()) return s;
  return Status::IoError(s.err(), s.noSpace() ? std::string() : s.Message());
}

// The payload, streamed into its frames: every final write's bytes, then what a change that
// moves nothing replaces.
Status WritePayload(Journal& journal, const ChangePlan& plan, const Recorded& recorded,
                    AtbFile& file, std::vector<uint8_t>* scratch) {
  std::vector<uint8_t> pending;
  int64_t at = journal.layout().PayloadAt();
  auto flush = [&](bool last) {
    const int64_t whole = static_cast<int64_t>(pending.size()) / kFrameContent;
    const int64_t n = last ? static_cast<int64_t>(pending.size()) : whole * kFrameContent;
    if (n == 0) return Status::Ok();
    Status w = journal.WriteFramed(at, pending.data(), n, 0, scratch);
    at += FramesFor(n) * kFrame;
    pending.erase(pending.begin(), pending.begin() + n);
    return w;
  };
  auto append = [&](ByteSource& source, int64_t from, int64_t size) {
    for (int64_t done = 0; done < size;) {
      const int64_t n = std::min(size - done, kFramesPerIo * kFrameContent);
      const std::size_t old = pending.size();
      pending.resize(old + static_cast<std::size_t>(n));
      Status r = source.ReadAt(from + done, pending.data() + old, static_cast<std::size_t>(n));
      if (r.ok()) r = flush(false);
      if (!r.ok()) return r;
      done += n;
    }
    return Status::Ok();
  };
  Status s;
  for (const ChangePlan::Write& w : plan.writes) {
    if (w.source != nullptr) {
      s = append(*w.source, 0, w.size);
    } else {
      MemorySource bytes(reinterpret_cast<const uint8_t*>(w.bytes.data()), w.bytes.size());
      s = append(bytes, 0, w.Size());
    }
    if (!s.ok()) return s;
  }
  for (const FinalWrite& w : recorded.writes) {
    if (w.preimageAt >= 0 && !(s = append(file, w.pos, w.size)).ok()) return s;
  }
  return flush(true);
}

// A change that moves nothing and writes within one sector needs no journal: a disk writes a
// sector whole or not at all, and one write call within a page is never cut by a kill. Its
// writes go in that one call.
bool InOneSector(const ChangePlan& plan, const std::vector<ChunkMove>& moves, int64_t* from,
                 int64_t* to) {
  if (!moves.empty() || plan.newLength != plan.oldLength) return false;
  *from = INT64_MAX;
  *to = 0;
  for (const ChangePlan::Write& w : plan.writes) {
    if (w.source != nullptr) return false;
    if (w.Size() == 0) continue;
    *from = std::min(*from, w.pos);
    *to = std::max(*to, w.pos + w.Size());
  }
  return *to == 0 || *from / kSector == (*to - 1) / kSector;
}

Status WriteInOneSector(ChangeTarget& target, const ChangePlan& plan, int64_t from, int64_t to) {
  if (to <= from) return Status::Ok();
  AtbFile& file = target.file;
  Status s = WithinSizeLimit(file.files(), to, 0);
  if (!s.ok()) return s;
  std::string bytes(static_cast<std::size_t>(to - from), '\0');
  if (!(s = file.ReadAt(from, bytes.data(), bytes.size())).ok()) return s;
  for (const ChangePlan::Write& w : plan.writes) {
    bytes.replace(static_cast<std::size_t>(w.pos - from), w.bytes.size(), w.bytes);
  }
  if (!(s = file.WriteAt(from, bytes.data(), bytes.size())).ok()) return s;
  if (target.durable && file.files().Sync(file.fd()) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

// What the finished file holds where the mark lies: what lies there now, but for what the final
// writes put there.
Status UnmarkedBytes(const ChangePlan& plan, const std::string& prefix, std::string* out) {
  *out = prefix.substr(0, static_cast<std::size_t>(kMarkBytes));
  for (const ChangePlan::Write& w : plan.writes) {
    for (int64_t at = w.pos; at < std::min(w.pos + w.Size(), kMarkBytes); ++at) {
      uint8_t byte = 0;
      if (w.source != nullptr) {
        Status s = w.source->ReadAt(at - w.pos, &byte, 1);
        if (!s.ok()) return s;
      } else {
        byte = static_cast<uint8_t>(w.bytes[static_cast<std::size_t>(at - w.pos)]);
      }
      (*out)[static_cast<std::size_t>(at)] = static_cast<char>(byte);
    }
  }
  return Status::Ok();
}

Status RunLocked(ChangeTarget& target, const ChangePlan& plan, const struct stat& st) {
  AtbFile& file = target.file;
  Files& files = file.files();
  std::vector<ChunkMove> moves = PlanMoves(plan.splices, plan.oldLength, plan.chunkBytes);
  int64_t from, to;
  if (InOneSector(plan, moves, &from, &to)) return WriteInOneSector(target, plan, from, to);
  if (!plan.splices.empty() && plan.splices.front().pos < ROOT_TABLE_OFFSET) {
    return Status::Refused("a change may not move the header");
  }

  Recorded recorded;
  recorded.oldLength = plan.oldLength;
  recorded.newLength = plan.newLength;
  recorded.chunkBytes = plan.chunkBytes;
  recorded.splices = plan.splices;
  int64_t payloadBytes = 0;
  for (const ChangePlan::Write& w : plan.writes) {
    recorded.writes.push_back({w.pos, w.Size(), payloadBytes, -1, w.source ? nullptr : &w.bytes});
    payloadBytes += w.Size();
  }
  // A journal holds the slots of the steps in flight and no more: one batch, or two halves of
  // batches that take turns.
  const int64_t batch = std::clamp<int64_t>(static_cast<int64_t>(moves.size()), 1,
                                            target.durable ? kDurableBatch : 1);
  const int64_t halves = static_cast<int64_t>(moves.size()) > batch ? 2 : 1;
  const Steps steps(std::move(moves), batch, FinalRegions(recorded.writes));
  // A change that moves nothing keeps what its writes replace: it is all a recovery can check
  // the file against.
  if (steps.size() == 0) {
    for (FinalWrite& w : recorded.writes) {
      w.preimageAt = payloadBytes;
      payloadBytes += w.size;
    }
  }

  // Everything the change needs is had before the file changes: memory, room, its journal.
  const auto each = static_cast<std::size_t>(std::max<int64_t>(steps.largest, kSampleBytes));
  Buffer buffer(each * SourceBuffers(steps));
  if (!buffer.ok()) return Status::NoMemory("not enough memory for the change");
  std::vector<uint8_t*> buffers;
  for (std::size_t k = 0; k < SourceBuffers(steps); ++k)
    buffers.push_back(buffer.data() + k * each);
  int64_t keep = std::min(plan.oldLength, kPrefixBytes);
  if (!plan.splices.empty()) keep = std::min(keep, plan.splices.front().pos);
  recorded.prefix.resize(static_cast<std::size_t>(keep));
  Status s = file.ReadAt(0, recorded.prefix.data(), recorded.prefix.size());
  if (s.ok()) s = UnmarkedBytes(plan, recorded.prefix, &recorded.unmarked);
  if (!s.ok()) return s;
  for (const ChunkMove& m : steps.moves) {
    s = file.ReadAt(m.from, buffers[0], static_cast<std::size_t>(std::min(m.size, kSampleBytes)));
    if (!s.ok()) return s;
    recorded.samples.push_back(SampleHash(m, buffers[0]));
  }
  const std::string planBytes = Serialize(recorded);
  Layout layout;
  layout.nonce = NewNonce();
  layout.inode = static_cast<uint64_t>(st.st_ino);
  layout.planBytes = static_cast<int64_t>(planBytes.size());
  layout.payloadBytes = payloadBytes;
  layout.slotData = steps.largestRecord;
  layout.batch = steps.batch;
  layout.halves = halves;
  const int64_t longest = std::max(plan.oldLength, plan.newLength);
  if (!(s = WithinSizeLimit(files, longest, layout.End())).ok()) return s;

  // Room beyond the end, reserved without changing the file's length; given back on refusal.
  const bool grows = plan.newLength > plan.oldLength;
  auto giveBack = [&](Status why) {
    if (grows) files.Truncate(file.fd(), plan.oldLength);
    return why;
  };
  if (grows &&
      files.Allocate(file.fd(), plan.oldLength, plan.newLength - plan.oldLength, true) == -1 &&
      errno != EOPNOTSUPP) {
    return giveBack(Status::FromErrno(errno));
  }
  // From the journal's creation on, a signal waits for the change: nothing is left half made.
  DeferSignals hold;
  if (!hold.ok()) return giveBack(Status::Refused("the signals that end a process cannot be held"));
  const int jfd =
      files.Open(target.journalPath, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (jfd == -1) {
    if (errno == EEXIST) {
      return giveBack(Status::Refused("a journal lies beside the file: " + target.journalPath));
    }
    if (errno == ENOSPC || errno == EDQUOT) return giveBack(Status::NoSpace());
    return giveBack(Status::Refused(std::string("cannot write its journal beside the file: ") +
                                    std::strerror(errno)));
  }
  Journal journal(files, jfd, layout);
  const std::string dir = DirectoryOf(target.journalPath);
  // Until the file bears the mark, nothing of it has changed: the journal goes, and should a
  // crash keep it, it lies beside a file without its mark, which it never applies to.
  auto withdraw = [&](Status why) {
    giveBack(Status::Ok());
    files.Close(jfd);
    files.Unlink(target.journalPath);
    return why;
  };
  std::vector<uint8_t> scratch;
  std::vector<uint64_t> firstFolds;
  // Memory that runs out before the mark leaves nothing behind: the change never began.
  try {
    if (files.Allocate(jfd, 0, layout.End(), false) == -1) {
      if (errno != EOPNOTSUPP) return withdraw(Status::FromErrno(errno));
      if (files.Truncate(jfd, layout.End()) == -1) return withdraw(Status::FromErrno(errno));
    }
    scratch.reserve(ScratchRoom(steps));
    std::vector<uint8_t> frames(
        static_cast<std::size_t>((1 + FramesFor(layout.planBytes)) * kFrame));
    const std::string head = layout.Header();
    Framer header(frames.data(), 0, 0, 0);
    header.Append(reinterpret_cast<const uint8_t*>(head.data()), static_cast<int64_t>(head.size()));
    header.Finish();
    Framer planFrames(frames.data() + kFrame, layout.PlanAt(), 0, layout.nonce);
    planFrames.Append(reinterpret_cast<const uint8_t*>(planBytes.data()), layout.planBytes);
    planFrames.Finish();
    if (!(s = journal.file().WriteAt(0, frames.data(), frames.size())).ok()) return withdraw(s);
    if (!(s = WritePayload(journal, plan, recorded, file, &scratch)).ok()) return withdraw(s);
    // Tables that are inserted are checked where they can no longer change.
    for (std::size_t i = 0; i < plan.writes.size(); ++i) {
      if (!plan.writes[i].table) continue;
      FramedSource kept(journal, layout.PayloadAt(), recorded.writes[i].payloadAt,
                        recorded.writes[i].size);
      s = CheckTree(kept, 0, recorded.writes[i].size);
      if (s.damaged()) {
        return withdraw(Status::Refused("the table to insert is damaged: " + s.Message()));
      }
      if (!s.ok()) return withdraw(s);
    }
    // Every slot is written, blank where no record goes yet, and the first batch's records with
    // the plan: on a marked file, a frame never written is then a lost sector.
    firstFolds.resize(static_cast<std::size_t>(steps.batch));
    for (int64_t slot = 0; s.ok() && slot < layout.Slots(); ++slot) {
      const auto t = static_cast<std::size_t>(slot);
      int64_t written = 0;
      if (slot < steps.batch && t < steps.size()) {
        const ChunkMove& m = steps.moves[t];
        s = file.ReadAt(m.from, buffers[t], static_cast<std::size_t>(m.size));
        if (s.ok()) {
          scratch.resize(scratch.capacity());
          written = journal.LayOutRecord(steps, t, layout.nonce, buffers[t], scratch.data(),
                                         &firstFolds[t]);
          s = journal.WriteLaidOut(t, scratch.data(), written);
        }
      }
      if (s.ok()) {
        s = journal.WriteBlanks(layout.SlotAt(slot) + written,
                                layout.SlotFrames() - written / kFrame, &scratch);
      }
    }
    if (s.ok()) {
      s = steps.size() == 0 ? journal.WriteAllMoved(0, layout.nonce, &scratch)
                            : journal.WriteBlanks(layout.AllMovedAt(), 1, &scratch);
    }
    if (!s.ok()) return withdraw(s);
    if (target.durable) {
      if (files.Sync(jfd) == -1 || files.SyncDirectory(dir) == -1) {
        return withdraw(Status::FromErrno(errno));
      }
    }
  } catch (const std::bad_alloc&) {
    return withdraw(Status::NoMemory("not enough memory for the change"));
  }

  // The mark, on the disk before the first byte moves: from here on the file says that it is in
  // the middle of this change, under whatever name, and a crash finishes the change.
  const std::string mark = MarkOf(layout.nonce);
  s = file.WriteAt(0, mark.data(), mark.size());
  if (s.ok() && target.durable && files.Sync(file.fd()) == -1) s = Status::FromErrno(errno);
  if (!s.ok()) {
    // Nothing has moved: the bytes under the mark go back, and with them the file is as it was.
    const Status undone =
        file.WriteAt(0, recorded.prefix.data(), static_cast<std::size_t>(kMarkBytes));
    if (undone.ok() && (!target.durable || files.Sync(file.fd()) == 0)) return withdraw(s);
    files.Close(jfd);
    return AfterTheFileChanged(s);
  }
  if (grows) s = file.SetLength(plan.newLength);
  if (s.ok()) {
    StepRunner runner({file, target.durable}, journal, recorded, steps, buffers, scratch);
    s = runner.Run(0, &firstFolds, steps.size() == 0, layout.nonce);
  }
  files.Close(jfd);
  if (!s.ok()) return AfterTheFileChanged(s);
  // Without the mark the file is whole, and a journal beside it is never played back: its
  // removal need not reach the disk.
  if (files.Unlink(target.journalPath) == -1) return Status::FromErrno(errno);
  return Status::Ok();
}

}  // namespace

std::string JournalPath(const std::string& realPath) {
  const std::size_t slash = realPath.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  const std::string dir = realPath.substr(0, base), name = realPath.substr(base);
  std::string plain = "." + name + ".journal";
  if (plain.size() <= 255) return dir + plain;
  // Too long for one name: a prefix and a hash of the whole name. Only these end in "ljournal",
  // so no plain journal name can be one of them.
  const uint64_t h = Fnv1a64(name);
  char hex[17];
  for (int i = 0; i < 16; ++i) hex[i] = "0123456789abcdef"[(h >> (60 - 4 * i)) & 15];
  hex[16] = '\0';
  return dir + "." + name.substr(0, 228) + "~" + hex + ".ljournal";
}

bool JournalExists(Files& files, const std::string& journalPath) {
  struct stat st;
  return files.StatPath(journalPath, &st) == 0 || errno != ENOENT;
}

Status RunJournaled(ChangeTarget& target, const ChangePlan& plan) {
  Files& files = target.file.files();
  struct stat st;
  if (files.Stat(target.file.fd(), &st) == -1) return Status::FromErrno(errno);
  if (st.st_nlink > 1) {
    return Status::Refused(
        "the file has " + std::to_string(st.st_nlink) +
        " names (hard links), and a change interrupted under one name could not be found under "
        "the others: give it a name of its own first (cp NAME NAME.new && mv NAME.new NAME)");
  }
  // Readers wait for the change, and the change for them.
  Status s = AwaitChangeLock(files, target.file.fd(), true,
                             target.name.empty() ? BaseNameOf(target.journalPath) : target.name,
                             target.journalPath);
  if (!s.ok()) return s;
  FileMark mark;
  s = ReadFileMark(target.file, &mark);
  if (s.ok() && (mark.marked || mark.damaged)) {
    s = Status::Refused(
        "the file is in the middle of an interrupted change: atbutil recover "
        "finishes it");
  }
  if (s.ok()) s = RunLocked(target, plan, st);
  files.UnlockChanges(target.file.fd());
  return s;
}

}  // namespace atb
