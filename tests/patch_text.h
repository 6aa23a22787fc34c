// The patch diff writes from one file's bytes to another's, for tests that make patches to apply.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "patches/diff.h"
#include "tests/atb_builder.h"

namespace atb::testing {

// Fails the calling test when no patch can describe the difference.
inline std::string PatchBetween(const build::Bytes& a, const build::Bytes& b) {
  MemorySource x(reinterpret_cast<const uint8_t*>(a.data()), a.size());
  MemorySource y(reinterpret_cast<const uint8_t*>(b.data()), b.size());
  Sink sink(nullptr);
  int64_t changes;
  EXPECT_TRUE(WritePatch(x, static_cast<int64_t>(a.size()), y, static_cast<int64_t>(b.size()),
                         KeyNames(), sink, &changes)
                  .ok());
  return sink.buf();
}

}  // namespace atb::testing
