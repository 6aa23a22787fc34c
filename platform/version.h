// The version of both programs.
#pragma once

namespace atb {

inline constexpr const char* kVersion = "2.11";

}  // namespace atb
