// What each command target keeps from one input to the next: a folder of its own, no key names,
// and somewhere to send output nobody reads.
#pragma once

#include <cstdio>

#include "tests/test_util.h"
#include "text/key_names.h"

namespace atb::fuzz {

struct CommandTarget {
  testing::TempDir dir;
  const KeyNames names;
  std::FILE* const quiet = std::fopen("/dev/null", "w");
};

}  // namespace atb::fuzz
