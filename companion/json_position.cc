#include "companion/json_position.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <vector>

#include "store/utf8.h"

namespace atb {

namespace {

constexpr std::size_t kNone = std::string_view::npos;

void SkipSpace(std::string_view s, std::size_t* pos) {
  while (*pos < s.size() &&
         (s[*pos] == ' ' || s[*pos] == '\t' || s[*pos] == '\n' || s[*pos] == '\r')) {
    ++*pos;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

uint32_t Hex4(std::string_view s, std::size_t at) {
  uint32_t v = 0;
  for (std::size_t k = 0; k < 4 && at + k < s.size(); ++k) {
    v = v << 4 | static_cast<uint32_t>(std::max(0, HexValue(s[at + k])));
  }
  return v;
}

// Reads the string at *pos (at its quote), unescaped, and advances past it.
std::string ReadString(std::string_view s, std::size_t* pos) {
  std::string out;
  std::size_t i = *pos + 1;
  while (i < s.size() && s[i] != '"') {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out.push_back(s[i++]);
      continue;
    }
    const char e = s[i + 1];
    i += 2;
    switch (e) {
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'n':
        out.push_back('\n');
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      case 'u': {
        uint32_t cp = Hex4(s, i);
        i += 4;
        if (cp >= 0xD800 && cp < 0xDC00 && s.substr(i, 2) == "\\u") {
          const uint32_t low = Hex4(s, i + 2);
          if (low >= 0xDC00 && low < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            i += 6;
          }
        }
        AppendUtf8(cp, &out);
        break;
      }
      default:
        out.push_back(e);
    }
  }
  *pos = i + 1;
  return out;
}

// Advances past the value at *pos.
void SkipValue(std::string_view s, std::size_t* pos) {
  int depth = 0;
  std::size_t i = *pos;
  do {
    SkipSpace(s, &i);
    if (i >= s.size()) break;
    const char c = s[i];
    if (c == '"') {
      ReadString(s, &i);
    } else if (c == '{' || c == '[') {
      ++depth, ++i;
    } else if (c == '}' || c == ']') {
      --depth, ++i;
    } else if (c == ',' || c == ':') {
      ++i;
    } else {
      while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && s[i] != ' ' &&
             s[i] != '\n' && s[i] != '\t' && s[i] != '\r') {
        ++i;
      }
    }
  } while (depth > 0);
  *pos = i;
}

std::vector<std::string> Tokens(std::string_view pointer) {
  std::vector<std::string> tokens;
  std::size_t at = 0;
  while (at < pointer.size() && pointer[at] == '/') {
    std::size_t end = pointer.find('/', at + 1);
    if (end == kNone) end = pointer.size();
    std::string token;
    for (std::size_t k = at + 1; k < end; ++k) {
      if (pointer[k] == '~' && k + 1 < end) {
        token.push_back(pointer[k + 1] == '1' ? '/' : '~');
        ++k;
      } else {
        token.push_back(pointer[k]);
      }
    }
    tokens.push_back(std::move(token));
    at = end;
  }
  return tokens;
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

std::size_t FindJsonValue(std::string_view json, std::string_view pointer) {
  const std::vector<std::string> tokens = Tokens(pointer);
  std::size_t found = kNone;
  // Walks the value at *pos, advancing past it; only values on the pointer's way are entered,
  // so the walk reads the text once however deep the pointer goes.
  auto walk = [&](auto&& self, std::size_t* pos, std::size_t depth) -> void {
    SkipSpace(json, pos);
    if (depth == tokens.size()) {
      found = *pos;
      return SkipValue(json, pos);
    }
    if (*pos >= json.size() || (json[*pos] != '{' && json[*pos] != '[')) {
      return SkipValue(json, pos);
    }
    const bool object = json[*pos] == '{';
    const char close = object ? '}' : ']';
    std::size_t i = *pos + 1;
    for (std::size_t index = 0;; ++index) {
      SkipSpace(json, &i);
      if (i >= json.size() || json[i] == close) break;
      bool onTheWay;
      if (object) {
        onTheWay = ReadString(json, &i) == tokens[depth];
        SkipSpace(json, &i);
        ++i;  // the colon
      } else {
        onTheWay = std::to_string(index) == tokens[depth];
      }
      if (onTheWay) {
        self(self, &i, depth + 1);
      } else {
        SkipValue(json, &i);
      }
      SkipSpace(json, &i);
      if (i < json.size() && json[i] == ',') ++i;
    }
    *pos = i + 1;
  };
  std::size_t pos = 0;
  walk(walk, &pos, 0);
  return found;
}

std::size_t JsonNameOf(std::string_view json, std::size_t valueOffset) {
  std::size_t i = valueOffset;
  auto back = [&] {
    while (i > 0 && std::string_view(" \t\r\n").find(json[i - 1]) != kNone) --i;
  };
  back();
  if (i == 0 || json[i - 1] != ':') return valueOffset;
  --i;
  back();
  if (i == 0 || json[i - 1] != '"') return valueOffset;
  // Back to the opening quote: one that no odd run of backslashes escapes.
  for (std::size_t q = i - 1; q-- > 0;) {
    if (json[q] != '"') continue;
    std::size_t slashes = 0;
    while (q > slashes && json[q - 1 - slashes] == '\\') ++slashes;
    if (slashes % 2 == 0) return q;
  }
  return valueOffset;
}

std::string_view JsonNumberAt(std::string_view json, std::size_t offset) {
  std::size_t end = offset;
  while (end < json.size() && (std::string_view("+-.eE").find(json[end]) != kNone ||
                               (json[end] >= '0' && json[end] <= '9'))) {
    ++end;
  }
  return json.substr(offset, end - offset);
}

std::string LineAndColumn(std::string_view json, std::size_t offset) {
  std::size_t line = 1, column = 1;
  for (std::size_t i = 0; i < offset && i < json.size(); ++i) {
    if (json[i] == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(json[i]) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

}  // namespace atb
