// Where a value lies in the text of a JSON document, for messages that point at it. The text is
// handed to the parser a piece at a time, and the place where each value begins is noted as it
// goes by, so that nothing of the document needs to be kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"

namespace atb {

// A JSON pointer token for `key`: "~" and "/" escaped as "~0" and "~1".
std::string PointerToken(std::string_view key);

// A place in the text, both from 1, columns counted in characters.
struct TextPosition {
  uint64_t line = 1, column = 1;
  // "line L, column C"
  std::string Describe() const;
};

// A document's text, from memory or read from a file, as a parser's input: an input iterator over
// its characters. Each character taken is noted: where the last string, number or literal began
// (and a number's or literal's text), and where the last bracket lies.
//
// The parser keeps every character since the last string or number began, for its messages; the
// blanks that indent deeply nested tables would make that grow with the square of the depth. So
// of a run of blanks between tokens it is shown only the first few (newlines always), and its
// messages are told the rest afterwards (FaithfulMessage).
class JsonText {
 public:
  explicit JsonText(std::string_view text);
  // Reads the open file `fd` through `files`, a piece at a time.
  JsonText(Files& files, int fd);
  JsonText(const JsonText&) = delete;
  JsonText& operator=(const JsonText&) = delete;

  // Reading the file failed: what was parsed is only the part before the failure.
  bool failed() const { return failed_; }
  // The system's errno for the failed read.
  int error() const { return error_; }

  // The document's first character that is not white space.
  TextPosition documentStart() const { return first_; }
  // The last string (at its quote), number or literal taken.
  TextPosition tokenStart() const { return token_; }
  // The text of the last number or literal taken.
  const std::string& bare() const { return bare_; }
  // The last "{" or "[" taken.
  TextPosition bracket() const { return bracket_; }

  // The parser's syntax error `message`, whose last characters read were `lastRead`, as it would
  // read had the parser been shown every blank.
  std::string FaithfulMessage(std::string message, const std::string& lastRead) const;

  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    explicit Iterator(JsonText* text) : text_(text) {}
    reference operator*() const { return text_->data_[text_->at_]; }
    Iterator& operator++() {
      text_->Take();
      return *this;
    }
    // Only "at the end or not" is compared: the parser asks whether it may go on.
    bool operator==(const Iterator& other) const { return AtEnd() == other.AtEnd(); }
    bool operator!=(const Iterator& other) const { return !(*this == other); }

   private:
    bool AtEnd() const { return text_ == nullptr || text_->AtEnd(); }
    JsonText* text_;
  };
  Iterator begin() { return Iterator(this); }
  Iterator end() { return Iterator(nullptr); }

 private:
  // Blanks hidden from the parser, at a place in what it keeps since the last string or number
  // (counted as its messages show it, a control character as "<U+000A>").
  struct Hidden {
    uint64_t at;
    char blank;
    uint64_t count;
  };

  // Most characters lie inside strings, where nothing is hidden and little is noted.
  bool AtEnd() {
    if (at_ < size_ && state_ != kBetween) return false;
    return NextShown();
  }
  void Take() {
    const char c = data_[at_];
    if (state_ != kString || c == '"' || c == '\\' || c == '\n') return Take(true);
    ++at_;
    shownSinceToken_ += static_cast<unsigned char>(c) <= 0x1F ? 8 : 1;
    here_.column += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }
  bool NextShown();  // hides the blanks the parser is not shown
  void Take(bool shown);
  void Note(char c);

  Files* files_ = nullptr;
  int fd_ = -1;
  std::string buffer_;
  const char* data_ = nullptr;
  std::size_t size_ = 0, at_ = 0;
  bool failed_ = false;
  int error_ = 0;

  enum State { kBetween, kString, kEscape, kBare } state_ = kBetween;
  TextPosition here_;  // of the next character
  bool started_ = false;
  TextPosition first_, token_, bracket_;
  std::string bare_;

  uint32_t blanks_ = 0;        // shown in a row
  uint64_t hiddenOnLine_ = 0;  // on the current line
  uint64_t shownSinceToken_ = 0;
  std::vector<Hidden> hidden_;  // since the last string or number began
};

}  // namespace atb
