// Random attribute files for property tests and fuzz seeds: tables of every kind of entry, nested
// a few levels, with names, equal keys, keys with the top bit set and bytes after texts.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "tests/atb_builder.h"

namespace atb::build {

class Random {
 public:
  explicit Random(uint64_t seed) : gen_(seed) {}
  int Below(int n) { return static_cast<int>(gen_() % static_cast<uint64_t>(n)); }
  bool OneIn(int n) { return Below(n) == 0; }
  std::string Word(int maxLen) {
    std::string w;
    for (int i = Below(maxLen + 1); i > 0; --i) w.push_back(static_cast<char>('a' + Below(26)));
    return w;
  }
  // Bytes 1 to 255: a text with control and high bytes, but no zero.
  std::string Bytes(int maxLen) {
    std::string w;
    for (int i = Below(maxLen + 1); i > 0; --i) w.push_back(static_cast<char>(1 + Below(255)));
    return w;
  }

 private:
  std::mt19937_64 gen_;
};

Table RandomTable(Random& r, int depth = 0);

// The file of a random root table; one in four is damaged by overwriting a few bytes after the
// header.
Bytes RandomFile(Random& r);

}  // namespace atb::build
