// Standard base64, in which the JSON form holds bytes that are no value.
#pragma once

#include <string>
#include <string_view>

namespace atb {

// Standard base64 (RFC 4648, "+/", padded with "="), appended to `out`: `bytes` may be handed
// over in chunks whose sizes are multiples of 3, all but the last.
void AppendBase64(std::string* out, std::string_view bytes);
// The bytes of padded standard base64; false, *bytes unspecified, for anything else (a length
// not a multiple of 4, another character, padding before the end, whitespace).
bool DecodeBase64(std::string_view text, std::string* bytes);

}  // namespace atb
