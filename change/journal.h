// The journal that makes a change survive the death of the process making it. Before the first
// byte of the attribute file changes, the whole plan of the change is written beside it; while
// the tail moves, every chunk that overlaps its own source is written to the journal before it
// is written into the file. The next open finds the journal and finishes the change, so the
// file ends byte for byte as after it (or, when the file was not touched yet, as before it).
// doc/crash-safety.md gives the states, the order of writes and why each crash point recovers.
//
// The page cache outlives a process, so nothing here is flushed to the disk: a power loss is not
// covered.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"
#include "store/atb_file.h"
#include "store/growth.h"

namespace atb {

// Everything a change does to the file, in the order it does it: make room for the splices
// (moving every other byte, in chunks), then write `writes` (positions in the changed file),
// then cut the file to its new length.
struct ChangePlan {
  int64_t oldLength = 0;
  int64_t newLength = 0;
  int64_t chunkBytes = 2 << 20;  // the most bytes one step of the move copies
  std::vector<Splice> splices;
  struct Write {
    int64_t pos;
    std::string bytes;
  };
  std::vector<Write> writes;
};

// Where the journal of the attribute file at `path` lies: beside it, hidden.
std::string JournalPath(const std::string& path);

// Makes the change with its journal at `journalPath`, which must not exist yet, and removes the
// journal when done. Damaged, with the file untouched, when the journal cannot be written (the
// folder not writable, the disk full). An I/O error after the file began to change leaves the
// journal, for the next open to finish the change.
Status RunJournaled(Files& files, AtbFile& file, const std::string& journalPath,
                    const ChangePlan& plan);

// When a journal lies at `journalPath`, finishes the change it records and removes it;
// *recovered says whether there was one. Damaged, with nothing changed, when the file no longer
// fits what the journal recorded (edited by another program since).
Status RecoverChange(Files& files, AtbFile& file, const std::string& journalPath, bool* recovered);

// Whether a journal lies at `journalPath`.
bool JournalExists(Files& files, const std::string& journalPath);

}  // namespace atb
