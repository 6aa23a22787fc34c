// A patch: the changes that turn one attribute file into another, as text, one change per entry,
// keyed by the paths dump prints and with values in dump's forms. Every change states what it
// expects to find. doc/patch.md gives the syntax; in short:
//
//   set /reload_time: float 2.5 -> float 3.25
//   add /8192/max_range after /8192/max_damage before end: float 12.5
//   remove /spare: table 64 bytes fnv64 0x0123456789abcdef
//   remove /spare after /max_range before end: table { ... }
//   lead /8192: "" -> "\x01\x02"
//   header: "..." -> "..."
//   end 5 changes
//
// Values carry their type word (float, bool, text, localized, table, or type N). A table is
// written as a block of its entries (`table {` ... `}`) or as its raw bytes (`table raw "..."`,
// or `table damaged raw "..."` for bytes that are knowingly no sound table); an expected value
// may be its size and hash instead (`text 300 bytes fnv64 0x...`).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "change/change.h"
#include "store/positioned_file.h"
#include "text/dump.h"
#include "text/key_names.h"
#include "text/paths.h"

namespace atb {

// Tables nest at most this deep in a patch, in its paths and in its table blocks; diff writes a
// table that lies deeper as raw bytes.
inline constexpr int kDeepestPatchTable = 256;

// Expected values longer than this are given by their size and hash.
inline constexpr int64_t kShownExpected = 256;

// A value as a patch gives it: a type and the whole extent, or only the extent's size and fnv64
// hash. Leads and headers have no type.
struct PatchValue {
  uint32_t type = 0;
  bool hashed = false;
  std::string bytes;
  int64_t size = 0;
  uint64_t hash = 0;
  // A new table value whose bytes hold damaged tables: the first one's line and reason, and the
  // first one's that the patch did not mark `table damaged raw`; empty when there is none.
  std::string damage, unmarkedDamage;
};

struct PatchChange {
  enum Kind { kSet, kAdd, kRemove, kLead, kHeader };
  Kind kind = kSet;
  int line = 0;
  // The entry (set, remove), the new entry (its table's path and its key), or the table (lead).
  std::string path;
  std::vector<PathElement> elements;  // of the entry, or of the table for add and lead
  uint32_t key = 0;                   // add
  // add: the entries the new one goes between, as paths; empty for the start and the end. A
  // remove may say so too (`placed`): the entries its entry stands between, so that the removal
  // can be made undone (ReversePatch).
  std::string after, before;
  std::vector<PathElement> afterElements, beforeElements;
  bool placed = false;
  // add, remove: how many entries with the key the table holds, when the patch says so.
  int64_t alike = -1;
  PatchValue expected;  // set, remove, lead, header
  PatchValue value;     // set, add, lead, header
};

struct Patch {
  std::string name;  // the patch's file, for messages
  std::vector<PatchChange> changes;
};

// Parses the text of a patch. Invalid, saying "line N: what", when it is not one, or when it is
// cut short (it lacks its end line, or that line counts other changes). Its lines are numbered
// from linesBefore + 1, for a patch that is part of a longer text.
Status ParsePatch(std::string_view text, const KeyNames& names, Patch* patch, int linesBefore = 0);

// The text forms, for extents of `file`. A new value is exact: a reference's is a table block
// (at `depth`, which sets its indent, switching to raw bytes for a table that is damaged or lies
// too deep, marked `damaged` where they are no sound table) or raw bytes. An expected value is
// exact when short, else its size and hash; a reference's is always its size and hash.
Status AppendNewValue(ByteSource& file, uint32_t type, int64_t start, int64_t end,
                      const KeyNames& names, int depth, Sink& sink);
Status AppendExpectedValue(ByteSource& file, uint32_t type, int64_t start, int64_t end, Sink& sink);
// A table by its bytes on one line, `table raw "..."`, or `table damaged raw "..."` where they are
// no sound table, so that applying the patch knows the damage is meant.
Status AppendRawTable(ByteSource& file, int64_t start, int64_t end, Sink& sink);
// Bytes with no type (a lead, a header): quoted, or by size and hash when expected and long.
Status AppendBytesValue(ByteSource& file, int64_t start, int64_t end, bool expected, Sink& sink);
// Why the bytes [start, end) of `file` are no sound table, taken as a table of their own (the
// first damage CheckTree finds); empty when they are one.
Status DamageOfTable(ByteSource& file, int64_t start, int64_t end, std::string* damage);
// A PatchValue as text, an expected one shortened like AppendExpectedValue.
std::string PatchValueText(const PatchValue& value, bool typed);

// The word a patch writes for a type: float, bool, text, localized, table, or "type N".
std::string TypeWord(uint32_t type);

// What applying patches came to: every change that does not hold, as "PATCH: PATH: expected ...,
// found ...", and every change that writes a damaged table, as "PATCH: PATH: writes a damaged
// table (why)".
struct PatchOutcome {
  std::vector<std::string> failures;
  std::vector<std::string> damaged;
};

// Checks the patches in order against the file of `length` bytes, each seeing what the ones
// before it did; when every change holds and `target` is given, makes all of them as one change
// through it. A change that does not hold is no failure of the call: it goes to *outcome, and
// nothing is written. Damaged when the root table is ("the root table is damaged: why"), refused
// when the change layer declines ("change refused: why"); anything else that fails is an I/O
// error.
Status ApplyPatches(PositionedFile& file, int64_t length, const std::vector<Patch>& patches,
                    const KeyNames& names, ChangeTarget* target, PatchOutcome* outcome);

// Where a change of a patch lies in the file it was made for, as entry numbers from 0: the
// references on the way from the root to its table, then (set, remove) the entry there or (add)
// the entry the new one goes in front of, the table's count for the end. A lead's and the
// header's have only their way.
struct ChangePlace {
  std::vector<uint32_t> way;
  uint32_t index = 0;
};

// Checks `patch` as ApplyPatches does, writing nothing; when no change fails, (*places)[k] is
// where patch.changes[k] lies.
Status LocatePatch(PositionedFile& file, int64_t length, const Patch& patch, const KeyNames& names,
                   std::vector<ChangePlace>* places, PatchOutcome* outcome);

}  // namespace atb
