#include "labels/key_hash.h"

namespace atb {

namespace {

inline void Mix(uint32_t& a, uint32_t& b, uint32_t& c) {
  a -= b, a -= c, a ^= c >> 13;
  b -= c, b -= a, b ^= a << 8;
  c -= a, c -= b, c ^= b >> 13;
  a -= b, a -= c, a ^= c >> 12;
  b -= c, b -= a, b ^= a << 16;
  c -= a, c -= b, c ^= b >> 5;
  a -= b, a -= c, a ^= c >> 3;
  b -= c, b -= a, b ^= a << 10;
  c -= a, c -= b, c ^= b >> 15;
}

inline uint32_t Byte(std::string_view s, std::size_t i, int shift) {
  return static_cast<uint32_t>(static_cast<unsigned char>(s[i])) << shift;
}

}  // namespace

uint32_t HashKeyName(std::string_view name) {
  uint32_t a = 0x9E3779B9, b = 0x9E3779B9, c = 0;  // c: the initial value
  std::size_t i = 0, left = name.size();
  for (; left >= 12; i += 12, left -= 12) {
    a += Byte(name, i, 0) + Byte(name, i + 1, 8) + Byte(name, i + 2, 16) + Byte(name, i + 3, 24);
    b +=
        Byte(name, i + 4, 0) + Byte(name, i + 5, 8) + Byte(name, i + 6, 16) + Byte(name, i + 7, 24);
    c += Byte(name, i + 8, 0) + Byte(name, i + 9, 8) + Byte(name, i + 10, 16) +
         Byte(name, i + 11, 24);
    Mix(a, b, c);
  }
  c += static_cast<uint32_t>(name.size());
  // The last 11 bytes at most; c's lowest byte holds the length, so its bytes start at 8.
  switch (left) {
    case 11:
      c += Byte(name, i + 10, 24);
      [[fallthrough]];
    case 10:
      c += Byte(name, i + 9, 16);
      [[fallthrough]];
    case 9:
      c += Byte(name, i + 8, 8);
      [[fallthrough]];
    case 8:
      b += Byte(name, i + 7, 24);
      [[fallthrough]];
    case 7:
      b += Byte(name, i + 6, 16);
      [[fallthrough]];
    case 6:
      b += Byte(name, i + 5, 8);
      [[fallthrough]];
    case 5:
      b += Byte(name, i + 4, 0);
      [[fallthrough]];
    case 4:
      a += Byte(name, i + 3, 24);
      [[fallthrough]];
    case 3:
      a += Byte(name, i + 2, 16);
      [[fallthrough]];
    case 2:
      a += Byte(name, i + 1, 8);
      [[fallthrough]];
    case 1:
      a += Byte(name, i, 0);
      [[fallthrough]];
    default:
      break;
  }
  Mix(a, b, c);
  return c;
}

}  // namespace atb
