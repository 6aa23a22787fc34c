// Keys are hashes of attribute names: Bob Jenkins' lookup2 (1996), initial value 0, over the
// name's bytes without a terminator. The label table is still the authority for showing a key;
// the hash serves names it lacks.
#pragma once

#include <cstdint>
#include <string_view>

namespace atb {

uint32_t HashKeyName(std::string_view name);

}  // namespace atb
