// Hashes of byte strings. Fnv1a64 is the hash users see (dump shows long values by it), so it
// never changes; Hash64 is a fast one for checksums that only this tool reads back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace atb {

inline constexpr uint64_t kFnv1aStart = 0xCBF29CE484222325ull;

// FNV-1a over `bytes`, continuing from `h`: feeding a string in pieces gives the hash of the whole.
inline uint64_t Fnv1a64(std::string_view bytes, uint64_t h = kFnv1aStart) {
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 0x100000001B3ull;
  }
  return h;
}

// A 64-bit hash that reads 32 bytes per step; different seeds give unrelated hashes.
uint64_t Hash64(const void* data, std::size_t n, uint64_t seed = 0);

// Hash64 of eight blocks of `n` bytes at once: block k at first + k * stride, with seeds[k], into
// out[k]. `n` is a multiple of 8, at least 32, and each block has `n` rounded up to 64 bytes
// readable. Where the processor has the instructions, the eight are hashed side by side.
void Hash64Eight(const uint8_t* first, std::size_t stride, std::size_t n, const uint64_t* seeds,
                 uint64_t* out);

}  // namespace atb
