#include "support/Rijndael.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const uint8_t* p, size_t n) {
  std::string s;
  char buf[3];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof(buf), "%02x", p[i]);
    s += buf;
  }
  return s;
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// Runs a test body once per engine; the hardware engine only where the CPU has it.
class RijndaelEngineTest : public ::testing::TestWithParam<CRijndael::Engine> {
 protected:
  void SetUp() override {
    if (GetParam() == CRijndael::Engine::kAuto && !CRijndael::HardwareAvailable()) {
      GTEST_SKIP() << "CPU has no AES instructions";
    }
  }
  CRijndael MakeCipher(const Bytes& key) const {
    CRijndael c(GetParam());
    c.MakeKey(key.data());
    return c;
  }
};

INSTANTIATE_TEST_SUITE_P(Rijndael, RijndaelEngineTest,
                         ::testing::Values(CRijndael::Engine::kAuto, CRijndael::Engine::kPortable),
                         [](const auto& info) {
                           return info.param == CRijndael::Engine::kAuto ? "Hardware" : "Portable";
                         });

TEST(RijndaelEngine, PortableEngineNeverUsesHardware) {
  CRijndael portable(CRijndael::Engine::kPortable);
  EXPECT_FALSE(portable.UsesHardware());
  CRijndael automatic;
  EXPECT_EQ(automatic.UsesHardware(), CRijndael::HardwareAvailable());
}

// FIPS-197 appendix C.1 (AES-128 example vector).
TEST_P(RijndaelEngineTest, Fips197AppendixC1EncryptsToPublishedCiphertext) {
  const CRijndael c = MakeCipher(FromHex("000102030405060708090a0b0c0d0e0f"));
  const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
  uint8_t out[16];
  c.EncryptBlock(plain.data(), out);
  EXPECT_EQ(ToHex(out, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
  uint8_t back[16];
  c.DecryptBlock(out, back);
  EXPECT_EQ(ToHex(back, 16), "00112233445566778899aabbccddeeff");
}

// FIPS-197 appendix B (cipher example), a second key with a non-trivial schedule.
TEST_P(RijndaelEngineTest, Fips197AppendixBEncryptsToPublishedCiphertext) {
  const CRijndael c = MakeCipher(FromHex("2b7e151628aed2a6abf7158809cf4f3c"));
  const Bytes plain = FromHex("3243f6a8885a308d313198a2e0370734");
  uint8_t out[16];
  c.EncryptBlock(plain.data(), out);
  EXPECT_EQ(ToHex(out, 16), "3925841d02dc09fbdc118597196a0b32");
  c.DecryptBlock(out, out);  // in place
  EXPECT_EQ(ToHex(out, 16), "3243f6a8885a308d313198a2e0370734");
}

TEST_P(RijndaelEngineTest, SeventeenBytesGiveTwoBlocksWithZeroPaddedTail) {
  const CRijndael c = MakeCipher(FromHex("000102030405060708090a0b0c0d0e0f"));
  std::mt19937 rng(17);
  const Bytes in = RandomBytes(rng, 17);
  Bytes out(48, 0xEE);  // sentinel beyond the rounded-up length
  EXPECT_EQ(EncryptBuffer(c, in.data(), 17, out.data()), 32u);

  uint8_t first[16];
  c.EncryptBlock(in.data(), first);
  uint8_t tail[16] = {in[16]};
  uint8_t second[16];
  c.EncryptBlock(tail, second);
  EXPECT_EQ(ToHex(out.data(), 16), ToHex(first, 16));
  EXPECT_EQ(ToHex(out.data() + 16, 16), ToHex(second, 16));
  for (size_t i = 32; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "wrote past end at " << i;

  Bytes back(32);
  EXPECT_EQ(DecryptBuffer(c, out.data(), 32, back.data()), 32u);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), back.begin()));
  for (size_t i = 17; i < 32; ++i) EXPECT_EQ(back[i], 0) << "padding byte " << i;
}

TEST_P(RijndaelEngineTest, ZeroBytesGiveZeroLengthAndTouchNothing) {
  const CRijndael c = MakeCipher(Bytes(16, 7));
  uint8_t out[16];
  std::fill(std::begin(out), std::end(out), 0xAB);
  const uint8_t in[16] = {};
  EXPECT_EQ(EncryptBuffer(c, in, 0, out), 0u);
  EXPECT_EQ(DecryptBuffer(c, in, 0, out), 0u);
  for (uint8_t b : out) EXPECT_EQ(b, 0xAB);
}

TEST_P(RijndaelEngineTest, DecryptBufferZeroPadsTrailingPartialBlock) {
  const CRijndael c = MakeCipher(Bytes(16, 3));
  std::mt19937 rng(5);
  const Bytes in = RandomBytes(rng, 21);
  Bytes out(32);
  EXPECT_EQ(DecryptBuffer(c, in.data(), in.size(), out.data()), 32u);
  uint8_t tail[16] = {};
  std::copy(in.begin() + 16, in.end(), tail);
  uint8_t expect[16];
  c.DecryptBlock(tail, expect);
  EXPECT_EQ(ToHex(out.data() + 16, 16), ToHex(expect, 16));
}

TEST_P(RijndaelEngineTest, InPlaceBufferRoundTripKeepsData) {
  std::mt19937 rng(99);
  const CRijndael c = MakeCipher(RandomBytes(rng, 16));
  // 1280 bytes is one transfer chunk; 83 blocks + 5 bytes exercises grouped and tail paths.
  for (size_t n : {16u, 128u, 1280u, 1333u}) {
    const Bytes plain = RandomBytes(rng, n);
    Bytes buf((n + 15) / 16 * 16, 0);
    std::copy(plain.begin(), plain.end(), buf.begin());
    Bytes separate(buf.size());
    EncryptBuffer(c, buf.data(), n, separate.data());
    EXPECT_EQ(EncryptBuffer(c, buf.data(), n, buf.data()), buf.size());
    EXPECT_EQ(buf, separate) << "in-place encryption differs, n=" << n;
    EXPECT_EQ(DecryptBuffer(c, buf.data(), buf.size(), buf.data()), buf.size());
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), buf.begin())) << "n=" << n;
  }
}

TEST_P(RijndaelEngineTest, MakeKeyAgainReplacesOldSchedule) {
  CRijndael c(GetParam());
  c.MakeKey(Bytes(16, 0x11).data());
  c.MakeKey(FromHex("000102030405060708090a0b0c0d0e0f").data());
  const Bytes plain = FromHex("00112233445566778899aabbccddeeff");
  uint8_t out[16];
  c.EncryptBlock(plain.data(), out);
  EXPECT_EQ(ToHex(out, 16), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST_P(RijndaelEngineTest, AsciiKeyIsUsedAsItsBytes) {
  // Bootstrap keys are 16 ASCII hex characters used unchanged as key bytes.
  const std::string text_key = "0123456789abcdef";
  CRijndael a(GetParam());
  a.MakeKey(reinterpret_cast<const uint8_t*>(text_key.data()));
  const CRijndael b = MakeCipher(FromHex("30313233343536373839616263646566"));
  const uint8_t in[16] = {1, 2, 3};
  uint8_t x[16], y[16];
  a.EncryptBlock(in, x);
  b.EncryptBlock(in, y);
  EXPECT_EQ(ToHex(x, 16), ToHex(y, 16));
}

TEST(RijndaelErrors, BlockOperationsWithoutKeyThrowObjectNotInitialized) {
  for (auto engine : {CRijndael::Engine::kAuto, CRijndael::Engine::kPortable}) {
    const CRijndael c(engine);
    EXPECT_FALSE(c.KeyInitialized());
    uint8_t in[16] = {}, out[16];
    for (int op = 0; op < 4; ++op) {
      try {
        if (op == 0) c.EncryptBlock(in, out);
        if (op == 1) c.DecryptBlock(in, out);
        if (op == 2) EncryptBuffer(c, in, 16, out);
        if (op == 3) DecryptBuffer(c, in, 16, out);
        ADD_FAILURE() << "operation " << op << " did not throw";
      } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Object not Initialized");
      }
    }
  }
}

TEST(RijndaelErrors, NullKeyThrowsEmptyKeyAndLeavesObjectUnkeyed) {
  CRijndael c;
  try {
    c.MakeKey(nullptr);
    ADD_FAILURE() << "null key accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Empty key");
  }
  EXPECT_FALSE(c.KeyInitialized());
}

TEST(RijndaelEngines, HardwareAndPortableAgreeOnRandomKeysAndBuffers) {
  if (!CRijndael::HardwareAvailable()) GTEST_SKIP() << "CPU has no AES instructions";
  std::mt19937 rng(20240611);
  for (int round = 0; round < 500; ++round) {
    const Bytes key = RandomBytes(rng, 16);
    CRijndael hw(CRijndael::Engine::kAuto), sw(CRijndael::Engine::kPortable);
    hw.MakeKey(key.data());
    sw.MakeKey(key.data());
    ASSERT_TRUE(hw.UsesHardware());
    const size_t n = rng() % 300;  // covers 0, partial, and several grouped runs
    const Bytes in = RandomBytes(rng, n);
    const size_t rounded = (n + 15) / 16 * 16;
    Bytes a(rounded + 1), b(rounded + 1);
    ASSERT_EQ(EncryptBuffer(hw, in.data(), n, a.data()), rounded);
    ASSERT_EQ(EncryptBuffer(sw, in.data(), n, b.data()), rounded);
    ASSERT_EQ(a, b) << "encryption differs, round " << round << " n=" << n;
    ASSERT_EQ(DecryptBuffer(hw, in.data(), n, a.data()), rounded);
    ASSERT_EQ(DecryptBuffer(sw, in.data(), n, b.data()), rounded);
    ASSERT_EQ(a, b) << "decryption differs, round " << round << " n=" << n;
  }
}

bool OpensslAvailable() {
  return std::system("openssl version >/dev/null 2>&1") == 0;
}

Bytes ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

// Cross-check against an independent AES implementation (the openssl tool).
TEST_P(RijndaelEngineTest, MatchesOpensslOnRandomKeysAndChunks) {
  if (!OpensslAvailable()) GTEST_SKIP() << "openssl not installed";
  test::TempDir dir;
  const std::string plain_path = dir.Sub("plain.bin");
  const std::string cipher_path = dir.Sub("cipher.bin");
  std::mt19937 rng(GetParam() == CRijndael::Engine::kAuto ? 1 : 2);
  for (int round = 0; round < 200; ++round) {
    const Bytes key = RandomBytes(rng, 16);
    const size_t blocks = 1 + rng() % 90;  // up to beyond one 1280-byte chunk
    const Bytes plain = RandomBytes(rng, blocks * 16);
    WriteAll(plain_path, plain);
    const std::string cmd = "openssl enc -aes-128-ecb -nopad -K " + ToHex(key.data(), 16) +
                            " -in " + plain_path + " -out " + cipher_path + " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    const Bytes expected = ReadAll(cipher_path);
    ASSERT_EQ(expected.size(), plain.size());

    const CRijndael c = MakeCipher(key);
    Bytes out(plain.size());
    ASSERT_EQ(EncryptBuffer(c, plain.data(), plain.size(), out.data()), plain.size());
    ASSERT_EQ(out, expected) << "round " << round << " key " << ToHex(key.data(), 16);
    Bytes back(plain.size());
    DecryptBuffer(c, expected.data(), expected.size(), back.data());
    ASSERT_EQ(back, plain) << "round " << round;
  }
}

TEST(KeyedCipherTest, EachUseHasTheKeyItAsksFor) {
  const uint8_t first[16] = {1, 2, 3}, second[16] = {9, 8, 7};
  const uint8_t block[16] = {42};
  auto sealed = [&](const CRijndael& cipher) {
    std::array<uint8_t, 16> out{};
    cipher.EncryptBlock(block, out.data());
    return out;
  };
  CRijndael a, b;
  a.MakeKey(first);
  b.MakeKey(second);
  KeyedCipher keyed;
  EXPECT_EQ(sealed(keyed.With(first)), sealed(a));
  EXPECT_EQ(sealed(keyed.With(first)), sealed(a));
  EXPECT_EQ(sealed(keyed.With(second)), sealed(b));
  EXPECT_EQ(sealed(keyed.With(first)), sealed(a));
}

}  // namespace
}  // namespace kestrel
