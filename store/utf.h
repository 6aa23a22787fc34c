// Localized texts are UTF-16 code units, stored little-endian; what is shown or written of them is
// UTF-8. Code points become units and bytes, and back, here only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace atb {

inline bool IsSurrogate(uint32_t cp) { return cp >= 0xD800 && cp < 0xE000; }
// C0 and C1 controls and DEL: what a text form escapes and a terminal must not be sent.
inline bool IsControl(uint32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp < 0xA0); }

// Appends the UTF-8 form of code point `cp` (at most 0x10FFFF) to *out.
inline void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | cp >> 6));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | cp >> 12));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | cp >> 18));
    out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Appends code point `cp` (at most 0x10FFFF) as one code unit, or as a surrogate pair above
// 0xFFFF.
inline void AppendUtf16(uint32_t cp, std::vector<uint16_t>* units) {
  if (cp < 0x10000) {
    units->push_back(static_cast<uint16_t>(cp));
    return;
  }
  units->push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
  units->push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
}

// The code point that starts at units[*i] (REQUIRES: *i < n), advancing *i past it. An unpaired
// surrogate comes back as itself, a value that no pair gives (IsSurrogate): what stands for it is
// the caller's choice.
inline uint32_t NextUtf16(const uint16_t* units, std::size_t n, std::size_t* i) {
  const uint32_t u = units[(*i)++];
  if (u < 0xD800 || u >= 0xDC00 || *i == n || units[*i] < 0xDC00 || units[*i] >= 0xE000) return u;
  return 0x10000 + ((u - 0xD800) << 10) + (units[(*i)++] - 0xDC00);
}

// The code units that little-endian `bytes` hold; an odd last byte is no unit.
inline std::vector<uint16_t> DecodeUtf16LE(std::string_view bytes) {
  std::vector<uint16_t> units(bytes.size() / 2);
  for (std::size_t k = 0; k < units.size(); ++k) {
    units[k] = static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * k]) |
                                     static_cast<uint8_t>(bytes[2 * k + 1]) << 8);
  }
  return units;
}

// Appends `units` to *out as little-endian bytes.
inline void AppendUtf16LE(const std::vector<uint16_t>& units, std::string* out) {
  for (uint16_t u : units) {
    out->push_back(static_cast<char>(u & 0xFF));
    out->push_back(static_cast<char>(u >> 8));
  }
}

// The next code point of UTF-8 at *pos, advancing; false when it is not valid UTF-8 (overlong
// forms and surrogates included).
inline bool NextUtf8(std::string_view s, std::size_t* pos, uint32_t* cp) {
  const auto b0 = static_cast<unsigned char>(s[*pos]);
  int extra;
  uint32_t min;
  if (b0 < 0x80) {
    *cp = b0;
    ++*pos;
    return true;
  } else if ((b0 & 0xE0) == 0xC0) {
    extra = 1, min = 0x80, *cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, min = 0x800, *cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, min = 0x10000, *cp = b0 & 0x07;
  } else {
    return false;
  }
  if (*pos + static_cast<std::size_t>(extra) >= s.size()) return false;
  for (int i = 1; i <= extra; ++i) {
    const auto b = static_cast<unsigned char>(s[*pos + i]);
    if ((b & 0xC0) != 0x80) return false;
    *cp = *cp << 6 | (b & 0x3F);
  }
  if (*cp < min || *cp > 0x10FFFF || IsSurrogate(*cp)) return false;
  *pos += extra + 1;
  return true;
}

// Whether `bytes` are valid UTF-8, and UTF-8 to UTF-16 and back (for localized texts in JSON);
// false when the input is not valid.
inline bool IsValidUtf8(std::string_view bytes) {
  std::size_t pos = 0;
  uint32_t cp;
  while (pos < bytes.size()) {
    if (!NextUtf8(bytes, &pos, &cp)) return false;
  }
  return true;
}

inline bool Utf8ToUtf16(std::string_view utf8, std::vector<uint16_t>* units) {
  units->clear();
  std::size_t pos = 0;
  uint32_t cp;
  while (pos < utf8.size()) {
    if (!NextUtf8(utf8, &pos, &cp)) return false;
    AppendUtf16(cp, units);
  }
  return true;
}

inline bool Utf16ToUtf8(const std::vector<uint16_t>& units, std::string* utf8) {
  utf8->clear();
  for (std::size_t i = 0; i < units.size();) {
    const uint32_t cp = NextUtf16(units.data(), units.size(), &i);
    if (IsSurrogate(cp)) return false;
    AppendUtf8(cp, utf8);
  }
  return true;
}

}  // namespace atb
