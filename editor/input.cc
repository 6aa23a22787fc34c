#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "editor/dialogue.h"

namespace atb {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Where the digits of a number begin, after blanks and an optional sign, and that sign.
struct Leading {
  bool negative = false;
  std::size_t digitsAt = 0;
};

Leading ScanSign(const std::string& line) {
  Leading l;
  std::size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) {
    l.negative = line[i] == '-';
    ++i;
  }
  l.digitsAt = i;
  return l;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int32_t ParseNumber(const std::string& line) {
  Leading l = ScanSign(line);
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  int64_t magnitude = 0;
  for (std::size_t i = l.digitsAt; i < line.size() && IsDigit(line[i]); ++i) {
    magnitude = std::min<int64_t>(magnitude * 10 + (line[i] - '0'), kMax + 1);
  }
  if (l.negative) return static_cast<int32_t>(-magnitude);
  return static_cast<int32_t>(std::min(magnitude, kMax));
}

uint32_t ParseKey(const std::string& line) {
  Leading l = ScanSign(line);
  uint32_t value = 0;
  for (std::size_t i = l.digitsAt; i < line.size() && IsDigit(line[i]); ++i) {
    value = value * 10u + static_cast<uint32_t>(line[i] - '0');
  }
  return l.negative ? 0u - value : value;
}

float ParseFloat(const std::string& line) {
  double d = std::strtod(line.c_str(), nullptr);
  // Beyond the largest float by half a unit in the last place or more, the nearest float is an
  // infinity; converting such a double directly is not defined.
  constexpr double kHalfUlp = 0x1p103;
  if (std::isfinite(d) && std::fabs(d) > FLT_MAX) {
    float edge = std::fabs(d) >= static_cast<double>(FLT_MAX) + kHalfUlp ? INFINITY : FLT_MAX;
    return d < 0 ? -edge : edge;
  }
  return static_cast<float>(d);
}

}  // namespace atb
