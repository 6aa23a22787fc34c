// How a fuzz input for the dialogue target is laid out: two bytes (little-endian) giving the
// length of the attribute file, the file's bytes, then the console script.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/atb_builder.h"

namespace atb::fuzz {

inline std::string PackDialogue(const std::string& file, const std::string& script) {
  std::string out;
  out.push_back(static_cast<char>(file.size() & 0xFF));
  out.push_back(static_cast<char>(file.size() >> 8 & 0xFF));
  return out + file + script;
}

inline void UnpackDialogue(const uint8_t* data, std::size_t size, std::string* file,
                           std::string* script) {
  std::size_t len = size < 2 ? 0 : static_cast<std::size_t>(data[0] | data[1] << 8);
  std::size_t rest = size < 2 ? 0 : size - 2;
  if (len > rest) len = rest;
  const char* p = reinterpret_cast<const char*>(data) + (size < 2 ? size : 2);
  file->assign(p, len);
  script->assign(p + len, rest - len);
}

// Three files in one input, for the merge target: two bytes (little-endian) giving the length of
// each of the first two, then the three files.
inline std::string PackThree(const std::string& a, const std::string& b, const std::string& c) {
  std::string out;
  for (const std::string* f : {&a, &b}) {
    out.push_back(static_cast<char>(f->size() & 0xFF));
    out.push_back(static_cast<char>(f->size() >> 8 & 0xFF));
  }
  return out + a + b + c;
}

inline void UnpackThree(const uint8_t* data, std::size_t size, std::string* a, std::string* b,
                        std::string* c) {
  std::string rest(reinterpret_cast<const char*>(data), size);
  std::size_t len[2];
  for (std::size_t& n : len) {
    n = rest.size() < 2 ? 0
                        : static_cast<std::size_t>(static_cast<uint8_t>(rest[0]) |
                                                   static_cast<uint8_t>(rest[1]) << 8);
    rest.erase(0, std::min<std::size_t>(2, rest.size()));
  }
  len[0] = std::min(len[0], rest.size());
  *a = rest.substr(0, len[0]);
  rest.erase(0, len[0]);
  len[1] = std::min(len[1], rest.size());
  *b = rest.substr(0, len[1]);
  *c = rest.substr(len[1]);
}

// The side file every dialogue can add: a small valid table, named "3".
inline const char* const kSideName = "3";

// Stops the run: the fuzzer keeps the input that led here.
[[noreturn]] inline void Fail(const char* why) {
  std::fprintf(stderr, "%s\n", why);
  std::abort();
}

// The input as command-line arguments separated by zero bytes, at most `most` of them.
inline std::vector<std::string> SplitArguments(const uint8_t* data, std::size_t size,
                                               std::size_t most) {
  std::vector<std::string> args;
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (std::size_t at = 0; at <= input.size() && args.size() < most;) {
    std::size_t end = input.find('\0', at);
    if (end == std::string::npos) end = input.size();
    args.push_back(input.substr(at, end - at));
    at = end + 1;
  }
  return args;
}

// The file that the set target changes: every kind of entry, two levels deep, equal keys.
inline std::string SetTarget() {
  using namespace atb::build;
  return EncodeFile({{RefEntry(0x2000, {{FloatEntry(0x13B8FCB6, 40), TextEntry(2, "inner", "xy"),
                                         RefEntry(3, {{NameEntry("deep"), BoolEntry(4, 1)}}),
                                         NameEntry("caster")}}),
                      FloatEntry(0x09CEA8A9, 2.5f),
                      TextEntry(0x20000001, "Arc Caster"),
                      WideEntry(0x20000002, u"wide \u00e9"),
                      BoolEntry(0x30000000, 1),
                      BoolEntry(0x30000000, 0),
                      {0x60000000, 7, "raw"}}});
}

// The file that the select target searches: the set target's entries at the bottom of tables
// nested deep enough that their paths are printed from @N, with equal keys, named tables and a
// damaged one on every level.
inline std::string SelectTarget() {
  using namespace atb::build;
  const std::string set = SetTarget();
  Table bottom = DecodeTable(set, 52, static_cast<int64_t>(set.size()));
  std::vector<Level> levels(24);
  for (std::size_t d = 0; d < levels.size(); ++d) {
    const std::string n = std::to_string(d % 3);
    levels[d].table = {{FloatEntry(0x13B8FCB6, static_cast<float>(d)), TextEntry(2, "level " + n),
                        BoolEntry(4, static_cast<uint8_t>(d % 2)), BoolEntry(4, 1),
                        RefEntry(5, {{NameEntry("n" + n), FloatEntry(6, 0.5f)}}),
                        RefEntry(7, {{FloatEntry(1, 1)}, "", 1000})}};
    levels[d].key = static_cast<uint32_t>(1000000 + d % 3);
  }
  return EncodeChainFile(levels, bottom);
}

}  // namespace atb::fuzz
