// How much of a sweep or a simulation to run. `make test` runs a seeded sample of each, a smaller
// one under the sanitizers; ATB_TESTS_WHOLE=1 runs every one of them whole.
#pragma once

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "tests/random_files.h"
#include "tests/test_util.h"

namespace atb::testing {

inline bool Whole() {
  const char* whole = std::getenv("ATB_TESTS_WHOLE");
  return whole != nullptr && *whole != '\0' && std::string(whole) != "0";
}

// `whole` with ATB_TESTS_WHOLE, `sanitized` in the sanitizers' build, `sample` otherwise.
inline int Share(int whole, int sample, int sanitized) {
  return Whole() ? whole : kSanitized ? sanitized : sample;
}

// Which of the points 0 to n - 1 to try: all of them with ATB_TESTS_WHOLE or when there are no
// more than `sample` (`sanitized` under the sanitizers); otherwise the first and the last and
// others drawn by `r`, up to that many, in order.
inline std::vector<int> Picks(int n, int sample, int sanitized, build::Random& r) {
  const int want = Share(n, sample, sanitized);
  std::vector<int> picks;
  if (n <= want) {
    for (int k = 0; k < n; ++k) picks.push_back(k);
    return picks;
  }
  std::set<int> chosen{0, n - 1};
  while (static_cast<int>(chosen.size()) < want) chosen.insert(r.Below(n));
  return {chosen.begin(), chosen.end()};
}

}  // namespace atb::testing
