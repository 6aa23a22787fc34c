// What the browser's commands share: the current level, console input, and the reporting of
// failures. Internal to the editor.
#pragma once

#include <cstdint>
#include <string>

#include "change/change.h"
#include "editor/edit_state.h"
#include "store/layout.h"
#include "store/positioned_file.h"

namespace atb {

// One open table: where it lies, its entries, and the reference last descended into.
struct Level {
  int64_t offset;
  int32_t depth;
  int64_t endOffset;
  EntryList list;
  uint32_t descended = 0;
};

// The tables from the root down to entry n of the current level, for a change there.
TableChain ChainTo(const EditState& state, uint32_t n);

// Makes a change and says how it went: true when it was made. "\nfile too large" when the file
// would outgrow its offsets; "\nwrite failed: %s\n" (ending the file's editing) when a write
// failed.
bool MakeChange(EditState& state, const Change& change);

inline constexpr const char* kRefused = "I can't edit this!";

// Prints "\nbad table, not opened" for the table at `depth` below the root (reached through the
// references the open levels descended into), and on the error stream which table it is and
// what is wrong with it.
void RefuseDamagedTable(EditState& state, const Status& s, int32_t depth);

// Reads the answer to a prompt into state.inputLine. False at end of input, which stops the run.
bool ReadAnswer(EditState& state);

// True when s is not an I/O error. Otherwise prints "\nwrite failed: %s\n" (a command that
// changes the file) or "\nread failed: %s\n", and ends the editing of the file.
enum class Doing { kReading, kChanging };
bool Reported(EditState& state, const Status& s, Doing doing);

// Entry numbers and commands: blanks skipped, an optional sign, decimal digits, saturated to
// the signed 32-bit range; no digits gives 0.
int32_t ParseNumber(const std::string& line);
// A key: like ParseNumber, but taken modulo 2^32, so "2147483648" is 0x80000000.
uint32_t ParseKey(const std::string& line);
// A float the way the C library's atof reads it, rounded to the nearest 32-bit float; a value
// beyond the float range becomes an infinity.
float ParseFloat(const std::string& line);

// The edits of entry n, each refusing what it cannot safely edit. EditText returns true when
// it grew the file: the level must then return so that the enclosing levels settle.
void EditFloat(EditState& state, Level& level, uint32_t n);
void EditBool(EditState& state, Level& level, uint32_t n);
bool EditText(EditState& state, Level& level, uint32_t n);

// 997 and 998. AddReference returns true when it added the reference: the level must return.
void RipReference(EditState& state, Level& level);
bool AddReference(EditState& state);

}  // namespace atb
