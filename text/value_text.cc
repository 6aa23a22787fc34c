#include "text/value_text.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "store/layout.h"
#include "store/utf.h"

namespace atb {

namespace {

constexpr uint32_t kQuietNan = 0x7FC00000;
constexpr uint32_t kNegativeQuietNan = 0xFFC00000;
constexpr char kHex[] = "0123456789abcdef";

void AppendHex(std::string* out, uint32_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) out->push_back(kHex[(v >> (4 * i)) & 0xF]);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void SkipBlanks(std::string_view s, std::size_t* pos) {
  while (*pos < s.size() && s[*pos] == ' ') ++*pos;
}

bool StartsWithWord(std::string_view s, std::size_t pos, std::string_view word) {
  if (s.substr(pos, word.size()) != word) return false;
  std::size_t end = pos + word.size();
  return end == s.size() || s[end] == ' ' || s[end] == '"';
}

// The character that the letter after a backslash stands for in a short escape, or -1.
int ShortEscaped(char letter) {
  for (char c : {'\\', '"', '\n', '\t', '\r'}) {
    if (ShortEscape(static_cast<unsigned char>(c))[1] == letter) return c;
  }
  return -1;
}

// A quoted text whose opening quote is at s[open]; advances *pos past its closing quote. The
// escapes are the short ones and, in a byte text, \xHH for one byte; in a localized text \uHHHH
// for one code unit. A byte text's other bytes stand for themselves; a localized text's are UTF-8.
// put() gets each byte, character or escaped code unit.
template <typename Put>
bool ParseQuoted(std::string_view s, std::size_t* pos, std::size_t open, bool wide, Put put,
                 std::string* error) {
  const std::string what = wide ? "a localized text" : "a text";
  const char hexEscape = wide ? 'u' : 'x';
  const int hexDigits = wide ? 4 : 2;
  std::size_t i = open + 1;
  for (;;) {
    if (i >= s.size()) {
      *error = what + " without its closing quote";
      return false;
    }
    const char c = s[i];
    if (c == '"') break;
    if (c != '\\') {
      uint32_t cp = static_cast<unsigned char>(c);
      if (!wide) {
        ++i;
      } else if (!NextUtf8(s, &i, &cp)) {
        *error = what + " that is not UTF-8";
        return false;
      }
      put(cp);
      continue;
    }
    if (i + 1 >= s.size()) {
      *error = "a lone backslash";
      return false;
    }
    const char e = s[i + 1];
    i += 2;
    if (int v = ShortEscaped(e); v >= 0) {
      put(static_cast<uint32_t>(v));
    } else if (e == hexEscape) {
      uint32_t coded = 0;
      for (int k = 0; k < hexDigits; ++k) {
        const int h = i + k < s.size() ? HexValue(s[i + k]) : -1;
        if (h < 0) {
          *error =
              std::string("\\") + hexEscape + " needs " + (wide ? "four" : "two") + " hex digits";
          return false;
        }
        coded = coded << 4 | static_cast<uint32_t>(h);
      }
      i += hexDigits;
      put(coded);
    } else {
      *error = std::string("unknown escape \\") + e + (wide ? " in a localized text" : "");
      return false;
    }
  }
  *pos = i + 1;
  return true;
}

}  // namespace

bool ParseQuotedWide(std::string_view s, std::size_t* pos, std::vector<uint16_t>* units,
                     std::string* error) {
  units->clear();
  // A \u escape gives one code unit, a character of the UTF-8 one or two.
  auto put = [&](uint32_t cp) { AppendUtf16(cp, units); };
  return ParseQuoted(s, pos, *pos + 1, true, put, error);
}

const char* ShortEscape(uint32_t c) {
  switch (c) {
    case '\\':
      return "\\\\";
    case '"':
      return "\\\"";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '\r':
      return "\\r";
    default:
      return nullptr;
  }
}

void AppendEscapedBytes(std::string* out, std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const auto u = static_cast<unsigned char>(bytes[i]);
    if (const char* escape = ShortEscape(u)) {
      out->append(escape);
      ++i;
      continue;
    }
    // Valid UTF-8 stands as it is, but for control characters; every other byte is escaped.
    std::size_t end = i;
    uint32_t cp;
    if (u >= 0x20 && u != 0x7F && NextUtf8(bytes, &end, &cp) && !IsControl(cp)) {
      out->append(bytes.substr(i, end - i));
      i = end;
      continue;
    }
    out->append("\\x");
    AppendHex(out, u, 2);
    ++i;
  }
}

std::size_t IncompleteUtf8Tail(std::string_view bytes) {
  for (std::size_t n = 1; n <= 3 && n <= bytes.size(); ++n) {
    const auto u = static_cast<unsigned char>(bytes[bytes.size() - n]);
    if ((u & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t length = u >= 0xF0 ? 4 : u >= 0xE0 ? 3 : u >= 0xC0 ? 2 : 1;
    return length > n ? n : 0;
  }
  return 0;
}

void AppendQuotedBytes(std::string* out, std::string_view bytes) {
  out->push_back('"');
  AppendEscapedBytes(out, bytes);
  out->push_back('"');
}

void AppendQuotedWide(std::string* out, const std::vector<uint16_t>& units) {
  out->append("u\"");
  for (std::size_t i = 0; i < units.size();) {
    const uint32_t cp = NextUtf16(units.data(), units.size(), &i);
    if (const char* escape = ShortEscape(cp)) {
      out->append(escape);
    } else if (IsControl(cp) || IsSurrogate(cp)) {
      out->append("\\u");
      AppendHex(out, cp, 4);
    } else {
      AppendUtf8(cp, out);
    }
  }
  out->push_back('"');
}

std::string FormatFloatBits(uint32_t bits) {
  const float f = std::bit_cast<float>(bits);
  if (std::isnan(f)) {
    if (bits == kQuietNan) return "nan";
    if (bits == kNegativeQuietNan) return "-nan";
    std::string out = "nan(0x";
    AppendHex(&out, bits, 8);
    return out + ")";
  }
  char buf[32];
  auto r = std::to_chars(buf, buf + sizeof buf, f);
  return std::string(buf, r.ptr);
}

bool ParseFloatText(std::string_view text, uint32_t* bits, std::string* why) {
  auto fail = [&](std::string reason) {
    if (why != nullptr) *why = std::move(reason);
    return false;
  };
  std::string notAFloat(1, '"');
  notAFloat.append(text).append("\" is not a float");
  if (text == "nan") return *bits = kQuietNan, true;
  if (text == "-nan") return *bits = kNegativeQuietNan, true;
  if (text.size() == 15 && text.substr(0, 6) == "nan(0x" && text.back() == ')') {
    uint32_t v = 0;
    for (char c : text.substr(6, 8)) {
      int h = HexValue(c);
      if (h < 0) return fail(notAFloat);
      v = v << 4 | static_cast<uint32_t>(h);
    }
    if (!std::isnan(std::bit_cast<float>(v))) return fail(notAFloat + " (those bits are no NaN)");
    return *bits = v, true;
  }
  std::string_view digits = text;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  float f;
  auto r = std::from_chars(digits.data(), digits.data() + digits.size(), f);
  if (r.ec == std::errc::result_out_of_range && r.ptr == digits.data() + digits.size()) {
    // The C library says which way: to an infinity, or to zero. A value that is merely rounded
    // (to a subnormal) is a float.
    f = std::strtof(std::string(digits).c_str(), nullptr);
    std::string reason(text);
    if (std::isinf(f)) {
      return fail(reason.append(" is beyond the float range (write ")
                      .append(f < 0 ? "-inf" : "inf")
                      .append(" for an infinity)"));
    }
    if (f == 0) return fail(reason.append(" is too small for a float: it would become 0"));
  } else if (r.ec != std::errc() || r.ptr != digits.data() + digits.size() || digits.empty()) {
    return fail(notAFloat);
  } else if (std::isnan(f) && digits.find('(') != std::string_view::npos) {
    // The library reads any payload as the quiet NaN: bits the text did not say.
    return fail(notAFloat + " (a NaN by its bits takes 8 hex digits, as in nan(0x7fc00001))");
  }
  *bits = std::bit_cast<uint32_t>(f);
  return true;
}

bool ParseQuotedBytes(std::string_view s, std::size_t* pos, std::string* bytes,
                      std::string* error) {
  bytes->clear();
  auto put = [&](uint32_t byte) { bytes->push_back(static_cast<char>(byte)); };
  return ParseQuoted(s, pos, *pos, false, put, error);
}

namespace {

// Reads one value's text from `s` at `pos`, for an entry of one kind; on failure says why in
// `error`.
class ValueReader {
 public:
  ValueReader(std::string_view s, std::string* error) : s_(s), error_(error) {}

  std::size_t& pos() { return pos_; }
  void SkipBlanks() { atb::SkipBlanks(s_, &pos_); }
  bool AtEnd() const { return pos_ == s_.size(); }
  std::string_view Rest() const { return s_.substr(pos_); }
  bool Fail(std::string why) {
    *error_ = std::move(why);
    return false;
  }

  // Takes `word` when it stands next.
  bool Take(std::string_view word) {
    if (!StartsWithWord(s_, pos_, word)) return false;
    pos_ += word.size();
    return true;
  }

  bool QuotedBytes(std::string* out) {
    SkipBlanks();
    if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("a quoted text was expected");
    return ParseQuotedBytes(s_, &pos_, out, error_);
  }

  // `type N "..."`: the bytes of an entry of a type without a value syntax.
  bool UnknownType(uint32_t type, std::string* bytes) {
    std::string number = "type " + std::to_string(type);
    if (!Take(number.substr(0, 4))) {
      return Fail("entries of type " + std::to_string(type) + " take values of the form " + number +
                  " \"...\"");
    }
    SkipBlanks();
    if (!Take(number.substr(5))) return Fail("the entry is of " + number);
    SkipBlanks();
    if (pos_ < s_.size() && s_[pos_] != '"') {
      return Fail(
          "an entry shown by its size and hash takes only that form back, with the hash of "
          "its bytes");
    }
    return QuotedBytes(bytes);
  }

  bool Text(std::string* bytes) {
    if (pos_ >= s_.size() || s_[pos_] != '"') return Fail("a text entry takes a quoted text");
    if (!ParseQuotedBytes(s_, &pos_, bytes, error_)) return false;
    if (bytes->find('\0') != std::string::npos) {
      return Fail("a text cannot hold a zero byte (\\x00)");
    }
    bytes->push_back('\0');
    return true;
  }

  bool LocalizedText(std::string* bytes) {
    if (s_.substr(pos_, 2) != "u\"") {
      return Fail("a localized text entry takes a quoted text u\"...\"");
    }
    std::vector<uint16_t> units;
    if (!ParseQuotedWide(s_, &pos_, &units, error_)) return false;
    for (uint16_t u : units) {
      if (u == 0) return Fail("a localized text cannot hold a zero character (\\u0000)");
    }
    units.push_back(0);
    AppendUtf16LE(units, bytes);
    return true;
  }

  // A float or a bool: one word.
  bool Scalar(EntryType kind, std::string* bytes) {
    std::size_t end = s_.find(' ', pos_);
    std::string_view word =
        s_.substr(pos_, end == std::string_view::npos ? s_.size() - pos_ : end - pos_);
    pos_ += word.size();
    if (!word.empty() && (word[0] == '"' || word.substr(0, 2) == "u\"")) {
      return Fail(kind == EntryType::Float ? "a text cannot go into a float entry"
                                           : "a text cannot go into a bool entry");
    }
    if (kind == EntryType::Float) {
      uint32_t bits;
      if (!ParseFloatText(word, &bits, error_)) return false;
      for (int k = 0; k < 4; ++k) bytes->push_back(static_cast<char>(bits >> (8 * k)));
      return true;
    }
    unsigned byte = 0;
    auto r = std::from_chars(word.data(), word.data() + word.size(), byte);
    if (word == "true" || word == "false") {
      byte = word == "true" ? 1 : 0;
    } else if (r.ec != std::errc() || r.ptr != word.data() + word.size() || byte > 255) {
      std::string why = "\"";
      why.append(word).append("\" is not a bool (0 to 255, true or false)");
      return Fail(std::move(why));
    }
    bytes->push_back(static_cast<char>(byte));
    return true;
  }

 private:
  std::string_view s_;
  std::string* error_;
  std::size_t pos_ = 0;
};

bool ParseValueText(std::string_view s, uint32_t type, ParsedValue* value, std::string* error) {
  ValueReader reader(s, error);
  reader.SkipBlanks();
  std::string* extent = &value->bytes;
  extent->clear();
  value->whole = true;
  const auto kind = static_cast<EntryType>(type);
  const bool known = kind == EntryType::Float || kind == EntryType::Bool ||
                     kind == EntryType::Text || kind == EntryType::LocalizedText;
  // Only a value in its plain form may be followed by the bytes that trail it.
  bool plain = false;
  if (kind == EntryType::Reference) {
    return reader.Fail(
        "a reference has no value to set (its form as get prints it is taken, and changes "
        "nothing)");
  } else if (known && reader.Take("empty")) {
  } else if ((kind == EntryType::Float && reader.Take("short")) ||
             ((kind == EntryType::Text || kind == EntryType::LocalizedText) &&
              reader.Take("unterminated"))) {
    if (!reader.QuotedBytes(extent)) return false;
  } else if (!known) {
    if (!reader.UnknownType(type, extent)) return false;
  } else {
    const bool read = kind == EntryType::Text            ? reader.Text(extent)
                      : kind == EntryType::LocalizedText ? reader.LocalizedText(extent)
                                                         : reader.Scalar(kind, extent);
    if (!read) return false;
    plain = true;
    value->whole = false;
  }
  reader.SkipBlanks();
  if (plain && reader.Take("trailing")) {
    std::string trailing;
    if (!reader.QuotedBytes(&trailing)) return false;
    *extent += trailing;
    value->whole = true;
    reader.SkipBlanks();
  }
  if (!reader.AtEnd()) {
    return reader.Fail("unexpected \"" + std::string(reader.Rest()) + "\" after the value");
  }
  return true;
}

}  // namespace

Status ParseValue(std::string_view text, uint32_t type, ParsedValue* value) {
  std::string why;
  return ParseValueText(text, type, value, &why) ? Status::Ok() : Status::Refused(why);
}

}  // namespace atb
