// What the browser's commands share: the current level, console input, and the reporting of
// failures. Internal to the editor.
#pragma once

#include <cstdint>
#include <string>

#include "editor/edit_state.h"
#include "store/atb_file.h"
#include "store/layout.h"

namespace atb {

// One open table: where it lies and its entries.
struct Level {
  int64_t offset;
  int32_t depth;
  int64_t endOffset;
  EntryList list;
};

inline constexpr const char* kRefused = "I can't edit this!";

// Prints "\nbad table, not opened" for the current table, and on the error stream which table
// it is and what is wrong with it.
void RefuseDamagedTable(EditState& state, const Status& s);

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

// The edits of entry n, each refusing what it cannot safely edit. EditText answers true when
// it grew the file: the level must then return so that the enclosing levels settle.
void EditFloat(EditState& state, Level& level, uint32_t n);
void EditBool(EditState& state, Level& level, uint32_t n);
bool EditText(EditState& state, Level& level, uint32_t n);

// 997 and 998. AddReference answers true when it added the reference: the level must return.
void RipReference(EditState& state, Level& level);
bool AddReference(EditState& state, Level& level);

}  // namespace atb
