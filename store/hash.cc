#include "store/hash.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
// The compiler's own headers leave vectors undefined on purpose, which GCC then warns about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

namespace atb {

namespace {

constexpr uint64_t kP1 = 0x9E3779B185EBCA87ull;
constexpr uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
constexpr uint64_t kP3 = 0x165667B19E3779F9ull;
constexpr uint64_t kP4 = 0x85EBCA77C2B2AE63ull;
constexpr uint64_t kP5 = 0x27D4EB2F165667C5ull;

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}

uint64_t Round(uint64_t acc, uint64_t input) {
  acc += input * kP2;
  return std::rotl(acc, 31) * kP1;
}

uint64_t Merge(uint64_t h, uint64_t lane) {
  h ^= Round(0, lane);
  return h * kP1 + kP4;
}

}  // namespace

uint64_t Hash64(const void* data, std::size_t n, uint64_t seed) {
  const auto* p = static_cast<const uint8_t*>(data);
  const uint8_t* const end = p + n;
  uint64_t h;
  if (n >= 32) {
    uint64_t v1 = seed + kP1 + kP2, v2 = seed + kP2, v3 = seed, v4 = seed - kP1;
    for (const uint8_t* stop = end - 32; p <= stop; p += 32) {
      v1 = Round(v1, Load64(p));
      v2 = Round(v2, Load64(p + 8));
      v3 = Round(v3, Load64(p + 16));
      v4 = Round(v4, Load64(p + 24));
    }
    h = std::rotl(v1, 1) + std::rotl(v2, 7) + std::rotl(v3, 12) + std::rotl(v4, 18);
    h = Merge(Merge(Merge(Merge(h, v1), v2), v3), v4);
  } else {
    h = seed + kP5;
  }
  h += n;
  for (; end - p >= 8; p += 8) h = std::rotl(h ^ Round(0, Load64(p)), 27) * kP1 + kP4;
  if (end - p >= 4) {
    h = std::rotl(h ^ (Load32(p) * kP1), 23) * kP2 + kP3;
    p += 4;
  }
  for (; p < end; ++p) h = std::rotl(h ^ (*p * kP5), 11) * kP1;
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  h *= kP3;
  return h ^ (h >> 32);
}

#if defined(__x86_64__)
namespace {

#define ATB_WIDE __attribute__((target("avx512f,avx512dq")))

ATB_WIDE inline __m512i RoundWide(__m512i acc, __m512i input) {
  acc = _mm512_add_epi64(acc, _mm512_mullo_epi64(input, _mm512_set1_epi64(kP2)));
  return _mm512_mullo_epi64(_mm512_rol_epi64(acc, 31), _mm512_set1_epi64(kP1));
}

// Loads 64 bytes of each of the eight blocks and turns them around: word[j] holds word j of
// every block, lane k for block k.
ATB_WIDE inline void LoadTurned(const uint8_t* p, std::size_t stride, __m512i word[8]) {
  __m512i row[8], pair[8], quad[8];
  for (int k = 0; k < 8; ++k) row[k] = _mm512_loadu_si512(p + k * stride);
  for (int k = 0; k < 8; k += 2) {
    pair[k] = _mm512_unpacklo_epi64(row[k], row[k + 1]);      // a0 b0 a2 b2 a4 b4 a6 b6
    pair[k + 1] = _mm512_unpackhi_epi64(row[k], row[k + 1]);  // a1 b1 a3 b3 a5 b5 a7 b7
  }
  const __m512i low = _mm512_set_epi64(13, 12, 5, 4, 9, 8, 1, 0);
  const __m512i high = _mm512_set_epi64(15, 14, 7, 6, 11, 10, 3, 2);
  for (int g = 0; g < 8; g += 4) {
    quad[g] = _mm512_permutex2var_epi64(pair[g], low, pair[g + 2]);           // words 0 and 4
    quad[g + 1] = _mm512_permutex2var_epi64(pair[g], high, pair[g + 2]);      // 2 and 6
    quad[g + 2] = _mm512_permutex2var_epi64(pair[g + 1], low, pair[g + 3]);   // 1 and 5
    quad[g + 3] = _mm512_permutex2var_epi64(pair[g + 1], high, pair[g + 3]);  // 3 and 7
  }
  for (int q = 0; q < 4; ++q) {
    const int j = q == 0 ? 0 : q == 1 ? 2 : q == 2 ? 1 : 3;
    word[j] = _mm512_shuffle_i64x2(quad[q], quad[q + 4], 0x44);
    word[j + 4] = _mm512_shuffle_i64x2(quad[q], quad[q + 4], 0xEE);
  }
}

// Hash64 of eight blocks, lane k for block k: the same steps, eight at a time.
ATB_WIDE void Hash64EightWide(const uint8_t* first, std::size_t stride, std::size_t n,
                              const uint64_t* seeds, uint64_t* out) {
  const __m512i seed = _mm512_loadu_si512(seeds);
  const __m512i zero = _mm512_setzero_si512();
  const __m512i p1 = _mm512_set1_epi64(static_cast<long long>(kP1));
  const __m512i p4 = _mm512_set1_epi64(static_cast<long long>(kP4));
  __m512i lane[4] = {_mm512_add_epi64(seed, _mm512_set1_epi64(static_cast<long long>(kP1 + kP2))),
                     _mm512_add_epi64(seed, _mm512_set1_epi64(static_cast<long long>(kP2))), seed,
                     _mm512_sub_epi64(seed, p1)};
  const std::size_t words = n / 8, striped = n / 32 * 4;
  __m512i h = zero, word[8];
  for (std::size_t j = 0; j < words; ++j) {
    if (j % 8 == 0) LoadTurned(first + j * 8, stride, word);
    const __m512i input = word[j % 8];
    if (j < striped) {
      lane[j % 4] = RoundWide(lane[j % 4], input);
      if (j + 1 < striped) continue;
      h = _mm512_add_epi64(
          _mm512_add_epi64(_mm512_rol_epi64(lane[0], 1), _mm512_rol_epi64(lane[1], 7)),
          _mm512_add_epi64(_mm512_rol_epi64(lane[2], 12), _mm512_rol_epi64(lane[3], 18)));
      for (const __m512i& v : lane) {
        h = _mm512_add_epi64(_mm512_mullo_epi64(_mm512_xor_si512(h, RoundWide(zero, v)), p1), p4);
      }
      h = _mm512_add_epi64(h, _mm512_set1_epi64(static_cast<long long>(n)));
    } else {
      h = _mm512_xor_si512(h, RoundWide(zero, input));
      h = _mm512_add_epi64(_mm512_mullo_epi64(_mm512_rol_epi64(h, 27), p1), p4);
    }
  }
  h = _mm512_xor_si512(h, _mm512_srli_epi64(h, 33));
  h = _mm512_mullo_epi64(h, _mm512_set1_epi64(static_cast<long long>(kP2)));
  h = _mm512_xor_si512(h, _mm512_srli_epi64(h, 29));
  h = _mm512_mullo_epi64(h, _mm512_set1_epi64(static_cast<long long>(kP3)));
  h = _mm512_xor_si512(h, _mm512_srli_epi64(h, 32));
  _mm512_storeu_si512(out, h);
}

#undef ATB_WIDE
#pragma GCC diagnostic pop

bool Wide() {
  static const bool wide = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq");
  }();
  return wide;
}

}  // namespace
#endif

void Hash64Eight(const uint8_t* first, std::size_t stride, std::size_t n, const uint64_t* seeds,
                 uint64_t* out) {
#if defined(__x86_64__)
  if (Wide()) {
    Hash64EightWide(first, stride, n, seeds, out);
    return;
  }
#endif
  for (int k = 0; k < 8; ++k) out[k] = Hash64(first + k * stride, n, seeds[k]);
}

}  // namespace atb
