// Selectors: paths that may match many entries. Every path that names one entry today is a
// selector that matches that entry, but for the elements `*` (every entry of that table) and `**`
// (that table and every table below it, at any depth). Filters follow an element, each in
// `[?...]`: `[?type=float]`, `[?value OP V]` (OP: = != < <= > >=), `[?value~"REGEX"]`,
// `[?name="NAME"]`; several all hold. doc/select.md gives the grammar.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "store/positioned_file.h"
#include "text/key_names.h"
#include "text/paths.h"

namespace atb {

// A compiled regular expression, shared by the copies of a selector.
struct SelectRegex;

// Regular expressions are run on texts up to this many bytes as stored; a longer text matches
// none, so that a hostile pattern costs a bounded time per entry.
inline constexpr std::size_t kLongestMatchedText = 4096;
// Patterns are at most this long, with at most one {m,n} (counts up to 255), at most eight +
// and no back-references: glibc's matcher takes exponential time or memory on nested counts.
inline constexpr std::size_t kLongestPattern = 256;
// At most this many `**` in a selector: each one may hold a state at every depth of the walk.
inline constexpr std::size_t kMostDeepSteps = 16;

// One `[?...]`.
struct SelectFilter {
  enum Subject { kType, kValue, kName };
  enum Op { kEqual, kNotEqual, kLess, kLessEqual, kGreater, kGreaterEqual, kMatches };
  // What a value is compared with: a float (floats and bools), a text, or a localized text.
  enum Operand { kNumber, kText, kLocalized };
  Subject subject = kType;
  Op op = kEqual;
  Operand operand = kNumber;
  uint32_t type = 0;  // kType: the type code
  uint32_t bits = 0;  // kNumber: the float, as ParseFloatText reads it
  std::string bytes;  // kText, kName: the bytes; kLocalized: their UTF-8 form
  std::shared_ptr<const SelectRegex> regex;  // kMatches
};

// One element between slashes.
struct SelectStep {
  enum Kind { kElement, kAny, kDeep };
  Kind kind = kElement;
  PathElement element;  // kElement: a key, word or #N, and its pick
  uint32_t key = 0;     // the key that element names, when a key or a word
  std::vector<SelectFilter> filters;
  std::size_t offset = 0;  // in the selector's text, for messages
};

struct Selector {
  uint32_t counted = 0;  // @N: the steps start from the table of the N-th entry; 0: the root
  std::vector<SelectStep> steps;
  // Whether every entry inside a matched one is taken too, as `dump FILE SELECTOR` prints them.
  bool below = false;
  std::size_t longestOperand = 0;  // of the text operands, to read no more of a text than needed
};

// Parses a selector. Invalid when it does not parse: "at byte N: found 'TOKEN', expected WHAT",
// N counted from 0.
Status ParseSelector(std::string_view text, const KeyNames& names, Selector* selector);

// One entry a selector matched.
struct SelectedEntry {
  std::string path;  // as dump prints it (full, or "@N/ELEMENT"), so that a patch can name it
  uint32_t type = 0;
  int64_t start = 0, end = 0;  // its whole extent in the file
  int depth = 0;               // tables above it (0: in the root table)
  uint64_t number = 0;         // the entry's number counted through the file, as @N counts it
  // A window over the file, for reading the entry's value while the visit lasts: cheaper than
  // the file for the many small reads in ascending order of a whole walk.
  ByteSource* source = nullptr;
};

// Calls `visit` for every entry of the file (of `length` bytes) that `selector` matches, in the
// order dump prints entries (depth first, file order); stops at the first status that is not ok
// and returns it. Damaged when the root table is; a damaged table below is not entered (it may
// still match as an entry), and `damaged`, when given, is called for each one that the selector
// would have searched, with the reference holding it and what is wrong. Memory bounded by the
// depth, not by the file.
Status SelectEntries(
    ByteSource& file, int64_t length, const Selector& selector, const KeyNames& names,
    const std::function<Status(const SelectedEntry&)>& visit,
    const std::function<Status(const SelectedEntry&, const Status&)>& damaged = nullptr);

}  // namespace atb
