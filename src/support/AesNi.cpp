// This unit alone is compiled with the AES and SSE4.1 instruction sets. It includes
// no library headers with inline code, so no instruction-set-specific copy of a
// shared inline function can leak into the rest of the program.
#include "support/AesNi.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

namespace kestrel::aesni {
namespace {

constexpr int kRounds = 10;
// Blocks in flight at once: the AES unit is pipelined, so independent blocks hide
// each other's latency.
constexpr size_t kLanes = 8;

struct Schedule {
  __m128i k[kRounds + 1];
};

inline Schedule LoadSchedule(const uint8_t* round_keys) {
  Schedule s;
  for (int r = 0; r <= kRounds; ++r) {
    s.k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(round_keys + 16 * r));
  }
  return s;
}

inline __m128i Load(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline void Store(uint8_t* p, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

}  // namespace

void EncryptBlocks(const uint8_t* round_keys, const uint8_t* in, size_t blocks, uint8_t* out) {
  const Schedule s = LoadSchedule(round_keys);
  size_t i = 0;
  for (; i + kLanes <= blocks; i += kLanes) {
    __m128i b[kLanes];
#pragma GCC unroll 8
    for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_xor_si128(Load(in + 16 * (i + j)), s.k[0]);
#pragma GCC unroll 10
    for (int r = 1; r < kRounds; ++r) {
#pragma GCC unroll 8
      for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_aesenc_si128(b[j], s.k[r]);
    }
#pragma GCC unroll 8
    for (size_t j = 0; j < kLanes; ++j) {
      Store(out + 16 * (i + j), _mm_aesenclast_si128(b[j], s.k[kRounds]));
    }
  }
  for (; i < blocks; ++i) {
    __m128i b = _mm_xor_si128(Load(in + 16 * i), s.k[0]);
#pragma GCC unroll 10
    for (int r = 1; r < kRounds; ++r) b = _mm_aesenc_si128(b, s.k[r]);
    Store(out + 16 * i, _mm_aesenclast_si128(b, s.k[kRounds]));
  }
}

void DecryptBlocks(const uint8_t* round_keys, const uint8_t* in, size_t blocks, uint8_t* out) {
  const Schedule s = LoadSchedule(round_keys);
  size_t i = 0;
  for (; i + kLanes <= blocks; i += kLanes) {
    __m128i b[kLanes];
#pragma GCC unroll 8
    for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_xor_si128(Load(in + 16 * (i + j)), s.k[0]);
#pragma GCC unroll 10
    for (int r = 1; r < kRounds; ++r) {
#pragma GCC unroll 8
      for (size_t j = 0; j < kLanes; ++j) b[j] = _mm_aesdec_si128(b[j], s.k[r]);
    }
#pragma GCC unroll 8
    for (size_t j = 0; j < kLanes; ++j) {
      Store(out + 16 * (i + j), _mm_aesdeclast_si128(b[j], s.k[kRounds]));
    }
  }
  for (; i < blocks; ++i) {
    __m128i b = _mm_xor_si128(Load(in + 16 * i), s.k[0]);
#pragma GCC unroll 10
    for (int r = 1; r < kRounds; ++r) b = _mm_aesdec_si128(b, s.k[r]);
    Store(out + 16 * i, _mm_aesdeclast_si128(b, s.k[kRounds]));
  }
}

}  // namespace kestrel::aesni

#else  // not x86: never called, CRijndael::HardwareAvailable() is false

namespace kestrel::aesni {
void EncryptBlocks(const uint8_t*, const uint8_t*, size_t, uint8_t*) {}
void DecryptBlocks(const uint8_t*, const uint8_t*, size_t, uint8_t*) {}
}  // namespace kestrel::aesni

#endif
