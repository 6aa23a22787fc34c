#include "text/json_position.h"

#include <algorithm>
#include <cerrno>

namespace atb {

namespace {

constexpr std::size_t kReadSize = 1 << 16;
// Blanks in a row that the parser is shown.
constexpr uint32_t kShownBlanks = 64;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
// How wide the parser's messages show a character.
int ShownWidth(char c) { return static_cast<unsigned char>(c) <= 0x1F ? 8 : 1; }

void AppendShown(std::string* out, char c, uint64_t count) {
  char escaped[16];
  std::snprintf(escaped, sizeof escaped, "<U+%.4X>", static_cast<unsigned char>(c));
  for (uint64_t k = 0; k < count; ++k) {
    if (ShownWidth(c) == 1) {
      out->push_back(c);
    } else {
      out->append(escaped);
    }
  }
}
bool IsStructural(char c) {
  return c == '{' || c == '}' || c == '[' || c == ']' || c == ',' || c == ':';
}

}  // namespace

std::string PointerToken(std::string_view key) {
  std::string out;
  for (char c : key) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string TextPosition::Describe() const {
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

JsonText::JsonText(std::string_view text) : data_(text.data()), size_(text.size()) {}

JsonText::JsonText(Files& files, int fd)
    : files_(&files), fd_(fd), buffer_(kReadSize, '\0'), data_(buffer_.data()) {}

bool JsonText::NextShown() {
  for (;;) {
    if (at_ == size_) {
      if (files_ == nullptr || failed_) return true;
      const ssize_t n = files_->Read(fd_, buffer_.data(), buffer_.size());
      at_ = 0;
      size_ = n > 0 ? static_cast<std::size_t>(n) : 0;
      if (n <= 0) {
        failed_ = n < 0;
        error_ = n < 0 ? errno : 0;
        return true;
      }
    }
    if (state_ != kBetween || blanks_ < kShownBlanks || !IsBlank(data_[at_])) return false;
    Take(false);
  }
}

void JsonText::Take(bool shown) {
  const char c = data_[at_++];
  Note(c);
  if (shown) {
    shownSinceToken_ += static_cast<uint64_t>(ShownWidth(c));
    blanks_ = state_ == kBetween && IsBlank(c) ? blanks_ + 1 : 0;
  } else {
    ++hiddenOnLine_;
    if (!hidden_.empty() && hidden_.back().at == shownSinceToken_ && hidden_.back().blank == c) {
      ++hidden_.back().count;
    } else {
      hidden_.push_back({shownSinceToken_, c, 1});
    }
  }
  if (c == '\n') {
    ++here_.line;
    here_.column = 1;
    hiddenOnLine_ = 0;
  } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
    ++here_.column;
  }
}

void JsonText::Note(char c) {
  switch (state_) {
    case kString:
      if (c == '\\') state_ = kEscape;
      if (c == '"') state_ = kBetween;
      return;
    case kEscape:
      state_ = kString;
      return;
    case kBare:
      if (!IsSpace(c) && !IsStructural(c) && c != '"') {
        bare_.push_back(c);
        return;
      }
      state_ = kBetween;
      break;
    case kBetween:
      break;
  }
  if (IsSpace(c)) return;
  if (!started_) {
    started_ = true;
    first_ = here_;
  }
  if (c == '{' || c == '[') {
    bracket_ = here_;
  } else if (c == '"' || (!IsStructural(c))) {
    state_ = c == '"' ? kString : kBare;
    token_ = here_;
    if (state_ == kBare) bare_.assign(1, c);
    // The parser starts over what it keeps at each string and number.
    if (c == '"' || c == '-' || (c >= '0' && c <= '9')) {
      shownSinceToken_ = 0;
      hidden_.clear();
    }
  }
}

std::string JsonText::FaithfulMessage(std::string message, const std::string& lastRead) const {
  // The column counts the bytes of its line, the hidden ones too.
  const std::size_t column = message.find(", column ");
  if (column != std::string::npos && hiddenOnLine_ > 0) {
    const std::size_t digits = column + 9;
    const std::size_t end = message.find(':', digits);
    const uint64_t shown = std::stoull(message.substr(digits, end - digits));
    message.replace(digits, end - digits, std::to_string(shown + hiddenOnLine_));
  }
  const std::string quoted = "; last read: '" + lastRead + "'";
  const std::size_t read = message.find(quoted);
  if (read == std::string::npos || hidden_.empty()) return message;
  std::string full;
  std::size_t from = 0;
  for (const Hidden& h : hidden_) {
    const auto at = static_cast<std::size_t>(std::min<uint64_t>(h.at, lastRead.size()));
    full.append(lastRead, from, at - from);
    AppendShown(&full, h.blank, h.count);
    from = at;
  }
  full.append(lastRead, from, std::string::npos);
  message.replace(read, quoted.size(), "; last read: '" + full + "'");
  return message;
}

}  // namespace atb
