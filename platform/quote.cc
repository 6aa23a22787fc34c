#include "platform/quote.h"

namespace atb {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

void AppendEscaped(unsigned char c, std::string* out) {
  static const char kShort[] = "abtnvfr";
  if (c >= '\a' && c <= '\r') {
    out->push_back('\\');
    out->push_back(kShort[c - '\a']);
    return;
  }
  const char octal[] = {'\\', static_cast<char>('0' + (c >> 6)),
                        static_cast<char>('0' + ((c >> 3) & 7)), static_cast<char>('0' + (c & 7))};
  out->append(octal, sizeof octal);
}

// `name` between `open` and `close`, with `close`, backslashes and control bytes escaped.
std::string Escaped(std::string_view name, std::string_view open, char close) {
  std::string out(open);
  for (unsigned char c : name) {
    if (c == close || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (IsControl(c)) {
      AppendEscaped(c, &out);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + close;
}

}  // namespace

std::string QuotedName(std::string_view name) {
  bool plain = true;
  for (unsigned char c : name) plain = plain && !IsControl(c);
  return plain ? std::string(name) : Escaped(name, "\"", '"');
}

std::string ShellWord(std::string_view name) {
  bool plain = !name.empty(), control = false;
  for (unsigned char c : name) {
    const bool safe =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        std::string_view("_./-+,:@%=").find(static_cast<char>(c)) != std::string_view::npos ||
        c >= 0x80;
    plain = plain && safe;
    control = control || IsControl(c);
  }
  if (plain) return std::string(name);
  if (!control) {
    std::string out = "'";
    for (char c : name) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
  }
  return Escaped(name, "$'", '\'');
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (IsControl(c)) {
      AppendEscaped(c, &out);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

}  // namespace atb
