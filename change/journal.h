// The journal that lets a change survive the death of the process making it, and a power loss
// when the change is made durable. Before the first byte of the attribute file changes, the plan
// of the change, the new bytes it writes and what is needed to recognise the file go into a
// journal beside it; while the tail moves, every chunk whose write destroys bytes that exist
// nowhere else goes to the journal before it goes into the file. The next open judges the
// journal and, when it provably belongs to this file in a state that this change's own writes
// can have left, finishes the change; anything else is refused and left as it is.
// doc/crash-safety.md gives the layout, the order of writes and why each state recovers.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "change/move_plan.h"
#include "platform/files.h"
#include "store/positioned_file.h"

namespace atb {

// Everything a change does to the file, in the order it does it: make space for the splices
// (moving every other byte, in chunks), then write `writes` (positions in the changed file),
// then cut the file to its new length.
struct ChangePlan {
  int64_t oldLength = 0;
  int64_t newLength = 0;
  int64_t chunkBytes = 1 << 20;  // the most bytes one step of the move copies
  std::vector<Splice> splices;
  struct Write {
    int64_t pos = 0;
    std::string bytes;
    // When set, the bytes are the first `size` bytes of `source` instead, read as they are
    // copied into the journal, never held whole.
    ByteSource* source = nullptr;
    int64_t size = 0;
    // They must be a sound table (an inserted reference): checked in the journal, where they
    // cannot change any more, before the file is touched.
    bool table = false;
    int64_t Size() const { return source != nullptr ? size : static_cast<int64_t>(bytes.size()); }
  };
  std::vector<Write> writes;
};

// Where a change to the attribute file at `realPath` (symlinks resolved) keeps its journal:
// ".NAME.journal" beside it, or for a name too long for that a shortened name that no other
// file's journal can have.
std::string JournalPath(const std::string& realPath);

// The open attribute file a change is made to.
struct ChangeTarget {
  ChangeTarget(PositionedFile& f, std::string journal, bool flushes = true, std::string as = {})
      : file(f), journalPath(std::move(journal)), durable(flushes), name(std::move(as)) {}
  PositionedFile& file;
  std::string journalPath;
  bool durable = true;  // flush in order, so that a power loss leaves before or after
  std::string name;     // the file as its user named it, for the commands a message suggests
  // When given, a change only plans itself here and writes nothing: a change over many files
  // makes the plans of those that keep their length itself.
  ChangePlan* planned = nullptr;
};

// Makes the change and removes the journal. Declined (refused, no space), with the file and
// the folder as they were, when the journal or the space the change needs cannot be acquired. An
// I/O error after the file began to change leaves the journal, for the next open to finish the
// change.
Status RunJournaled(ChangeTarget& target, const ChangePlan& plan);

// Who may finish a journal: a reading command only its own user's, a change also one of the
// file's owner or of the superuser.
enum class Finisher { kReader, kEditor };

// What the file's mark and a journal beside it say, judged without changing anything.
struct JournalVerdict {
  enum Kind {
    kNone,     // no mark and no journal
    kStale,    // a journal beside a file that bears no mark of its change: never played back
    kFits,     // the file is in the middle of the journal's change, which this open may finish
    kRefused,  // not to be acted on: `reason` says why
  };
  Kind kind = kNone;
  std::string reason;  // kRefused: why; kStale: what lies beside the file ("it is empty")
  // kRefused only: the journal is ours to judge and the file no longer fits it, the journal is
  // damaged or missing: `recover --discard` may take away the mark and the journal.
  bool discardable = false;
  std::string summary;  // what the journal records, when it could be read
  // The file's mark, and the journals found in its folder that hold its change.
  bool marked = false;
  uint64_t nonce = 0;
  std::vector<std::string> found;
  // kStale: the journal's owner, and other names in its folder of the file it belongs to, in
  // the middle of its change (renamed since): such a journal is not removed.
  uid_t owner = 0;
  std::vector<std::string> belongsTo;
  bool ours = false;  // kStale: empty, or written by this tool, so that removing it loses nothing
  // The file itself could not be read: what the system said, instead of a verdict.
  Status failed;
};

JournalVerdict ExamineJournal(Files& files, PositionedFile& file, const std::string& journalPath,
                              Finisher finisher);

// "JOURNAL, a journal that belongs to no change of the file as it is (WHAT IT IS)", for a stale
// verdict.
std::string StaleNote(const JournalVerdict& verdict, const std::string& journalPath);

// A refusal of a file for what its verdict says, with how to go on.
Status RefusalOf(const JournalVerdict& verdict, const std::string& name);

// Finishes the change a journal records, when ExamineJournal finds that the file bears its mark
// and fits it; *finished says whether it did. A stale journal is removed, and *note says what it
// recorded. The file must be open for writing, with the editing lock and the exclusive change
// lock. Refused, with file and journal untouched, otherwise.
Status RecoverChange(ChangeTarget& target, Finisher finisher, bool* finished,
                     std::string* note = nullptr);

// Finishes the change the file is in the middle of from `journalPath`, a journal elsewhere that
// the file bears the mark of (the file renamed or copied away from its own). The journal is
// moved beside the file when it was written for this very file, and copied otherwise, so that
// the file it was written for can still be finished from it.
Status RecoverFromJournal(ChangeTarget& target, const std::string& journalPath, bool* finished);

// Takes away what keeps the file from being read or changed when its change cannot be finished:
// a stale journal, or the mark and its journal when the journal is gone, damaged or no longer
// fits. *summary says what the journal recorded, *lost what is lost with it. Refused when the
// change can be finished, or there is nothing to take away.
Status DiscardJournal(Files& files, PositionedFile& file, const std::string& journalPath,
                      std::string* summary, std::string* lost);

// Whether anything lies at `journalPath` (a symlink counts, and is not followed).
bool JournalExists(Files& files, const std::string& journalPath);

}  // namespace atb
