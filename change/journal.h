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
#include <vector>

#include "platform/files.h"
#include "store/atb_file.h"
#include "store/moves.h"

namespace atb {

// Everything a change does to the file, in the order it does it: make room for the splices
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
  AtbFile& file;
  std::string journalPath;
  bool durable = true;  // flush in order, so that a power loss leaves before or after
};

// Makes the change and removes the journal. Declined (refused, no space), with the file and
// the folder as they were, when the journal or the room the change needs cannot be had. An I/O
// error after the file began to change leaves the journal, for the next open to finish the
// change.
Status RunJournaled(ChangeTarget& target, const ChangePlan& plan);

// Who may finish a journal: a reading command only its own user's, a change also one of the
// file's owner or of the superuser.
enum class Finisher { kReader, kEditor };

// What a journal beside a file says, judged without changing anything.
struct JournalVerdict {
  enum Kind {
    kNone,     // no journal
    kCut,      // written only in part: the file was never touched, the journal can go
    kFits,     // an interrupted change that this open may finish
    kRefused,  // not to be acted on: `reason` says why
  };
  Kind kind = kNone;
  std::string reason;
  // kRefused only: the journal is ours to judge and the file no longer fits it (replaced,
  // restored or edited since), or the journal is damaged: `recover --discard` may remove it.
  bool discardable = false;
  std::string summary;  // what the journal records, when it could be read
};

JournalVerdict ExamineJournal(Files& files, AtbFile& file, const std::string& journalPath,
                              Finisher finisher);

// Finishes the change a journal records (removing a journal that was cut short), when
// ExamineJournal finds that it fits; *finished says whether there was one. The file must be
// open for writing, with the editing lock and the exclusive change lock. Refused, with file and
// journal untouched, otherwise.
Status RecoverChange(ChangeTarget& target, Finisher finisher, bool* finished);

// Removes a journal that the file no longer fits, and says in *summary what it recorded.
// Refused when the journal still fits (it can be finished) or is not a file.
Status DiscardJournal(Files& files, AtbFile& file, const std::string& journalPath,
                      std::string* summary);

// Whether anything lies at `journalPath` (a symlink counts, and is not followed).
bool JournalExists(Files& files, const std::string& journalPath);

}  // namespace atb
