#include "text/base64.h"

#include <cstdint>

namespace atb {

namespace {

constexpr const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

void AppendBase64(std::string* out, std::string_view bytes) {
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                 static_cast<uint8_t>(bytes[i + 2]);
    for (int k = 3; k >= 0; --k) out->push_back(kAlphabet[(v >> (6 * k)) & 63]);
  }
  if (i < bytes.size()) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out->push_back(kAlphabet[v >> 18 & 63]);
    out->push_back(kAlphabet[v >> 12 & 63]);
    out->push_back(i + 1 < bytes.size() ? kAlphabet[v >> 6 & 63] : '=');
    out->push_back('=');
  }
}

bool DecodeBase64(std::string_view text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 2] == '=') return false;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      int d = k >= 4 - pad ? 0 : value(text[i + k]);
      if (d < 0) return false;
      v = v << 6 | static_cast<uint32_t>(d);
    }
    bytes->push_back(static_cast<char>(v >> 16));
    if (pad < 2) bytes->push_back(static_cast<char>(v >> 8 & 0xFF));
    if (pad < 1) bytes->push_back(static_cast<char>(v & 0xFF));
  }
  return true;
}

}  // namespace atb
