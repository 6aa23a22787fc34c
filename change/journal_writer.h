// Writing a change's journal whole, before the file bears its mark: every frame on the disk
// before the first byte of the file changes, so that on a marked file a frame never written is a
// lost sector.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "change/journal.h"
#include "change/journal_format.h"
#include "platform/files.h"
#include "store/positioned_file.h"

namespace atb::journal {

// What a change journals, worked out before anything is written.
struct JournalPlan {
  Recorded recorded;
  std::optional<Steps> steps;
  Layout layout;
  std::string planBytes;  // Serialize(recorded), once RecordTheFile has read the file
};

// The plan's writes as the journal keeps them, and its `moves` in the batches the journal's
// slots hold: eight steps at a time with flushes (fewer, larger flushes), one without.
JournalPlan PlanJournal(const ChangePlan& plan, std::vector<ChunkMove> moves, bool durable);

// What the journal keeps of the file (of inode st.st_ino) as it is, to recognise it by: its
// first bytes, what the finished file holds where the mark lies, and the start of every step's
// source, read through `buffer` (kSampleBytes at least). Then the plan as the journal holds it
// and the rest of its layout, with a new nonce.
Status RecordTheFile(PositionedFile& file, const ChangePlan& plan, const struct stat& st,
                     uint8_t* buffer, JournalPlan* j);

// Creates the journal at `path` exclusively, with mode 0600 and never through a link. Refused
// when anything lies there already or the folder does not take it; no space on a full disk.
Status CreateJournal(Files& files, const std::string& path, int* fd);

// What goes into a new journal.
struct JournalContent {
  const ChangePlan& plan;
  const Recorded& recorded;
  const std::string& planBytes;  // Serialize(recorded)
  const Steps& steps;
};

// Allocates `journal` whole and writes all of it: the header and the plan, the payload (read
// from the plan's writes and, for what a change that moves nothing replaces, from `file`), the
// records of the first batch (their steps read from `file` into `buffers`, *firstFolds getting
// their frame checks' folds) and blank frames everywhere else. A table to insert is checked once
// it lies in the journal, where it can no longer change: refused when damaged. With `durable`,
// the journal and then its folder `dir` are flushed. A failure leaves the journal to the caller
// to remove; the file is only read.
Status WriteJournal(Journal& journal, const JournalContent& content, PositionedFile& file,
                    const std::vector<uint8_t*>& buffers, std::vector<uint8_t>* scratch,
                    std::vector<uint64_t>* firstFolds, bool durable, const std::string& dir);

}  // namespace atb::journal
