#include "support/Rijndael.h"

#include <cstring>
#include <stdexcept>

#include "support/AesNi.h"

namespace kestrel {
namespace {

// The AES S-box (FIPS-197, figure 7).
constexpr uint8_t kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

// Key schedule round constants, in the top byte of the word.
constexpr uint32_t kRcon[10] = {0x01000000, 0x02000000, 0x04000000, 0x08000000, 0x10000000,
                                0x20000000, 0x40000000, 0x80000000, 0x1b000000, 0x36000000};

constexpr uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b != 0) {
    if (b & 1) r ^= a;
    a = static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
    b >>= 1;
  }
  return r;
}

constexpr uint32_t Ror8(uint32_t w) {
  return (w >> 8) | (w << 24);
}

// The combined round tables: Te[k][x] is SubBytes + MixColumns of byte x in row k,
// Td[k][x] the same for InvSubBytes + InvMixColumns. Built once at compile time from
// the S-box, so they cannot drift from it.
struct Tables {
  uint8_t inv_sbox[256];
  uint32_t te[4][256];
  uint32_t td[4][256];
};

constexpr Tables MakeTables() {
  Tables t{};
  for (int x = 0; x < 256; ++x) t.inv_sbox[kSbox[x]] = static_cast<uint8_t>(x);
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = kSbox[x];
    uint32_t e =
        (uint32_t{GfMul(s, 2)} << 24) | (uint32_t{s} << 16) | (uint32_t{s} << 8) | GfMul(s, 3);
    const uint8_t v = t.inv_sbox[x];
    uint32_t d = (uint32_t{GfMul(v, 14)} << 24) | (uint32_t{GfMul(v, 9)} << 16) |
                 (uint32_t{GfMul(v, 13)} << 8) | GfMul(v, 11);
    for (int k = 0; k < 4; ++k) {
      t.te[k][x] = e;
      t.td[k][x] = d;
      e = Ror8(e);
      d = Ror8(d);
    }
  }
  return t;
}

constexpr Tables kTables = MakeTables();
// Spot checks against the published tables.
static_assert(kTables.te[0][0] == 0xc66363a5 && kTables.te[0][0xff] == 0x2c16163a);
static_assert(kTables.te[1][0] == 0xa5c66363 && kTables.te[3][0xff] == 0x16163a2c);
static_assert(kTables.td[0][0] == 0x51f4a750 && kTables.td[0][0xff] == 0xd0b85742);
static_assert(kTables.td[1][0] == 0x5051f4a7);
static_assert(kTables.inv_sbox[0] == 0x52 && kTables.inv_sbox[0xff] == 0x7d);

constexpr const uint32_t* Te0 = kTables.te[0];
constexpr const uint32_t* Te1 = kTables.te[1];
constexpr const uint32_t* Te2 = kTables.te[2];
constexpr const uint32_t* Te3 = kTables.te[3];
constexpr const uint32_t* Td0 = kTables.td[0];
constexpr const uint32_t* Td1 = kTables.td[1];
constexpr const uint32_t* Td2 = kTables.td[2];
constexpr const uint32_t* Td3 = kTables.td[3];
constexpr const uint8_t* Si = kTables.inv_sbox;

inline uint32_t LoadBe(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline void StoreBe(uint8_t* p, uint32_t w) {
  p[0] = static_cast<uint8_t>(w >> 24);
  p[1] = static_cast<uint8_t>(w >> 16);
  p[2] = static_cast<uint8_t>(w >> 8);
  p[3] = static_cast<uint8_t>(w);
}
inline uint32_t B0(uint32_t w) {
  return w >> 24;
}
inline uint32_t B1(uint32_t w) {
  return (w >> 16) & 0xff;
}
inline uint32_t B2(uint32_t w) {
  return (w >> 8) & 0xff;
}
inline uint32_t B3(uint32_t w) {
  return w & 0xff;
}

uint32_t SubWord(uint32_t w) {
  return (uint32_t{kSbox[B0(w)]} << 24) | (uint32_t{kSbox[B1(w)]} << 16) |
         (uint32_t{kSbox[B2(w)]} << 8) | kSbox[B3(w)];
}

// InvMixColumns of one round-key word: Td[k][S[b]] undoes the inverse S-box in Td.
uint32_t InvMixWord(uint32_t w) {
  return Td0[kSbox[B0(w)]] ^ Td1[kSbox[B1(w)]] ^ Td2[kSbox[B2(w)]] ^ Td3[kSbox[B3(w)]];
}

void EncryptPortable(const uint32_t* rk, const uint8_t* in, uint8_t* out) {
  uint32_t s0 = LoadBe(in) ^ rk[0];
  uint32_t s1 = LoadBe(in + 4) ^ rk[1];
  uint32_t s2 = LoadBe(in + 8) ^ rk[2];
  uint32_t s3 = LoadBe(in + 12) ^ rk[3];
  for (int r = 1; r < CRijndael::kRounds; ++r) {
    rk += 4;
    const uint32_t t0 = Te0[B0(s0)] ^ Te1[B1(s1)] ^ Te2[B2(s2)] ^ Te3[B3(s3)] ^ rk[0];
    const uint32_t t1 = Te0[B0(s1)] ^ Te1[B1(s2)] ^ Te2[B2(s3)] ^ Te3[B3(s0)] ^ rk[1];
    const uint32_t t2 = Te0[B0(s2)] ^ Te1[B1(s3)] ^ Te2[B2(s0)] ^ Te3[B3(s1)] ^ rk[2];
    const uint32_t t3 = Te0[B0(s3)] ^ Te1[B1(s0)] ^ Te2[B2(s1)] ^ Te3[B3(s2)] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return ((uint32_t{kSbox[B0(a)]} << 24) | (uint32_t{kSbox[B1(b)]} << 16) |
            (uint32_t{kSbox[B2(c)]} << 8) | kSbox[B3(d)]) ^
           k;
  };
  StoreBe(out, last(s0, s1, s2, s3, rk[0]));
  StoreBe(out + 4, last(s1, s2, s3, s0, rk[1]));
  StoreBe(out + 8, last(s2, s3, s0, s1, rk[2]));
  StoreBe(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void DecryptPortable(const uint32_t* rk, const uint8_t* in, uint8_t* out) {
  uint32_t s0 = LoadBe(in) ^ rk[0];
  uint32_t s1 = LoadBe(in + 4) ^ rk[1];
  uint32_t s2 = LoadBe(in + 8) ^ rk[2];
  uint32_t s3 = LoadBe(in + 12) ^ rk[3];
  for (int r = 1; r < CRijndael::kRounds; ++r) {
    rk += 4;
    const uint32_t t0 = Td0[B0(s0)] ^ Td1[B1(s3)] ^ Td2[B2(s2)] ^ Td3[B3(s1)] ^ rk[0];
    const uint32_t t1 = Td0[B0(s1)] ^ Td1[B1(s0)] ^ Td2[B2(s3)] ^ Td3[B3(s2)] ^ rk[1];
    const uint32_t t2 = Td0[B0(s2)] ^ Td1[B1(s1)] ^ Td2[B2(s0)] ^ Td3[B3(s3)] ^ rk[2];
    const uint32_t t3 = Td0[B0(s3)] ^ Td1[B1(s2)] ^ Td2[B2(s1)] ^ Td3[B3(s0)] ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  rk += 4;
  auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
    return ((uint32_t{Si[B0(a)]} << 24) | (uint32_t{Si[B1(b)]} << 16) | (uint32_t{Si[B2(c)]} << 8) |
            Si[B3(d)]) ^
           k;
  };
  StoreBe(out, last(s0, s3, s2, s1, rk[0]));
  StoreBe(out + 4, last(s1, s0, s3, s2, rk[1]));
  StoreBe(out + 8, last(s2, s1, s0, s3, rk[2]));
  StoreBe(out + 12, last(s3, s2, s1, s0, rk[3]));
}

// Zeroes key material in a way the optimiser may not drop.
void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n-- > 0) *v++ = 0;
}

}  // namespace

bool CRijndael::HardwareAvailable() {
#if defined(__x86_64__) || defined(__i386__)
  static const bool available = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1");
  }();
  return available;
#else
  return false;
#endif
}

CRijndael::CRijndael(Engine engine)
    : use_hardware_(engine == Engine::kAuto && HardwareAvailable()) {}

CRijndael::~CRijndael() {
  Wipe(enc_words_, sizeof(enc_words_));
  Wipe(dec_words_, sizeof(dec_words_));
  Wipe(enc_bytes_, sizeof(enc_bytes_));
  Wipe(dec_bytes_, sizeof(dec_bytes_));
}

void CRijndael::MakeKey(const uint8_t* key) {
  if (key == nullptr) throw std::runtime_error("Empty key");

  uint32_t* w = enc_words_;
  for (int i = 0; i < 4; ++i) w[i] = LoadBe(key + 4 * i);
  for (int i = 4; i < kScheduleWords; ++i) {
    uint32_t temp = w[i - 1];
    if (i % 4 == 0) temp = SubWord((temp << 8) | (temp >> 24)) ^ kRcon[i / 4 - 1];
    w[i] = w[i - 4] ^ temp;
  }

  // Equivalent inverse cipher: round keys in reverse order, the inner ones passed
  // through InvMixColumns so decryption rounds have the same shape as encryption.
  for (int r = 0; r <= kRounds; ++r) {
    for (int c = 0; c < 4; ++c) {
      const uint32_t k = enc_words_[4 * (kRounds - r) + c];
      dec_words_[4 * r + c] = (r == 0 || r == kRounds) ? k : InvMixWord(k);
    }
  }
  for (int i = 0; i < kScheduleWords; ++i) {
    StoreBe(enc_bytes_ + 4 * i, enc_words_[i]);
    StoreBe(dec_bytes_ + 4 * i, dec_words_[i]);
  }
  key_initialized_ = true;
}

void CRijndael::CheckInitialized() const {
  if (!key_initialized_) throw std::runtime_error("Object not Initialized");
}

void CRijndael::EncryptBlocks(const uint8_t* in, size_t blocks, uint8_t* out) const {
  if (use_hardware_) {
    aesni::EncryptBlocks(enc_bytes_, in, blocks, out);
    return;
  }
  for (size_t i = 0; i < blocks; ++i) EncryptPortable(enc_words_, in + 16 * i, out + 16 * i);
}

void CRijndael::DecryptBlocks(const uint8_t* in, size_t blocks, uint8_t* out) const {
  if (use_hardware_) {
    aesni::DecryptBlocks(dec_bytes_, in, blocks, out);
    return;
  }
  for (size_t i = 0; i < blocks; ++i) DecryptPortable(dec_words_, in + 16 * i, out + 16 * i);
}

void CRijndael::EncryptBlock(const uint8_t in[16], uint8_t out[16]) const {
  CheckInitialized();
  EncryptBlocks(in, 1, out);
}

void CRijndael::DecryptBlock(const uint8_t in[16], uint8_t out[16]) const {
  CheckInitialized();
  DecryptBlocks(in, 1, out);
}

size_t EncryptBuffer(const CRijndael& cipher, const uint8_t* in, size_t n, uint8_t* out) {
  if (n == 0) return 0;
  cipher.CheckInitialized();
  const size_t whole = n / 16;
  const size_t rest = n % 16;
  cipher.EncryptBlocks(in, whole, out);
  if (rest != 0) {
    uint8_t last[16] = {};
    std::memcpy(last, in + 16 * whole, rest);
    cipher.EncryptBlocks(last, 1, out + 16 * whole);
  }
  return (whole + (rest != 0 ? 1 : 0)) * 16;
}

size_t DecryptBuffer(const CRijndael& cipher, const uint8_t* in, size_t n, uint8_t* out) {
  if (n == 0) return 0;
  cipher.CheckInitialized();
  const size_t whole = n / 16;
  const size_t rest = n % 16;
  cipher.DecryptBlocks(in, whole, out);
  if (rest != 0) {
    uint8_t last[16] = {};
    std::memcpy(last, in + 16 * whole, rest);
    cipher.DecryptBlocks(last, 1, out + 16 * whole);
  }
  return (whole + (rest != 0 ? 1 : 0)) * 16;
}

const CRijndael& KeyedCipher::With(const uint8_t key[16]) {
  if (!cipher_.KeyInitialized() || std::memcmp(key_, key, sizeof key_) != 0) {
    cipher_.MakeKey(key);
    std::memcpy(key_, key, sizeof key_);
  }
  return cipher_;
}

}  // namespace kestrel
