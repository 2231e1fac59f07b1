#include "support/Md5.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

using namespace std::string_literals;

// RFC 1321 appendix A.5, the test suite.
TEST(Md5, Rfc1321TestSuite) {
  EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
  EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
  EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "d174ab98d277d9f5a5611c2c9f419d9f");
  EXPECT_EQ(
      Md5Hex("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
      "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around the padding boundaries (56 and 64 bytes); reference values from an
// independent MD5 implementation.
TEST(Md5, PaddingBoundaryLengths) {
  const std::pair<size_t, const char*> cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"},  {56, "3b0c8ac703f828b04c6c197006d17218"},
      {57, "652b906d60af96844ebd21b674f35e93"},  {63, "b06521f39153d618550606be297466d5"},
      {64, "014842d480b571495a4a0363793f7367"},  {65, "c743a45e0d2e6a95cb859adae0248435"},
      {119, "8a7bd0732ed6a28ce75f6dabc90e1613"}, {120, "5f61c0ccad4cac44c75ff505e1f1e537"},
      {128, "e510683b3f5ffe4093d021808bc6ff70"},
  };
  for (const auto& [n, hex] : cases) EXPECT_EQ(Md5Hex(std::string(n, 'a')), hex) << n;
}

TEST(Md5, MillionAsInUnevenPieces) {
  Md5 md5;
  const std::string piece(997, 'a');
  size_t left = 1000000;
  while (left > 0) {
    const size_t n = left < piece.size() ? left : piece.size();
    md5.Update(piece.data(), n);
    left -= n;
  }
  EXPECT_EQ(md5.FinalHex(), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(Md5, SplitUpdatesEqualOneShotAtEverySplitPoint) {
  std::mt19937 rng(7);
  std::string data(200, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  const std::string whole = Md5Hex(data);
  for (size_t cut = 0; cut <= data.size(); ++cut) {
    Md5 md5;
    md5.Update(std::string_view(data).substr(0, cut));
    md5.Update(std::string_view(data).substr(cut));
    ASSERT_EQ(md5.FinalHex(), whole) << "cut at " << cut;
  }
}

TEST(Md5, FinalClearsContextForNextMessage) {
  Md5 md5;
  md5.Update("some earlier text that must not leak into the next digest");
  md5.FinalHex();
  md5.Update("abc");
  EXPECT_EQ(md5.FinalHex(), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5.FinalHex(), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(Md5, DigestTextIsAlways32LowerCaseHexCharacters) {
  std::mt19937 rng(3);
  for (int i = 0; i < 200; ++i) {
    const std::string hex = Md5Hex(std::to_string(rng()));
    ASSERT_EQ(hex.size(), 32u);
    for (char c : hex)
      ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(c)) || (c >= 'a' && c <= 'f')) << hex;
  }
}

TEST(Md5, DigestOfStringStopsAtFirstZeroByte) {
  EXPECT_EQ(DigestOfString("abc\0def"s), Md5Hex("abc"));
  EXPECT_NE(Md5Hex("abc\0def"s), Md5Hex("abc"));
  EXPECT_EQ(DigestOfString("\0abc"s), Md5Hex(""));
  EXPECT_EQ(DigestOfString("abc"), Md5Hex("abc"));
}

TEST(Md5, HighLatin1CharactersHashAsSingleBytes) {
  EXPECT_EQ(DigestOfString("\xe4"), "c15bcc5577f9fade4b4a3256190a59b0");
}

TEST(Md5, PasswordDigestWrapsPasswordInSaltFormat) {
  EXPECT_EQ(PasswordDigest("secret"), "20a6651af793f5d0c9672560ecefe11f");
  EXPECT_EQ(PasswordDigest("secret"), Md5Hex("k7qz21msecret4tx88"));
  EXPECT_EQ(PasswordDigest("\xe4\xf6\xfc"), "62d769849711919a218e77ed2ff8f6c9");
}

TEST(Md5, EmptyPasswordStillHashesSalt) {
  EXPECT_EQ(PasswordDigest(""), "ca8ad970f96d57b0513c854c8159f0e1");
  EXPECT_NE(PasswordDigest(""), Md5Hex(""));
}

TEST(Md5, PercentSequenceInPasswordIsTakenLiterally) {
  EXPECT_EQ(PasswordDigest("%s"), "1166dcf692eb9a9bb989bd222614ab6a");
}

TEST(Md5, UpperCaseStoredHashNeverMatches) {
  std::string upper = PasswordDigest("secret");
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_NE(PasswordDigest("secret"), upper);
}

TEST(Md5, BootstrapKeyIsFirst16DigestCharacters) {
  EXPECT_EQ(BootstrapKey("KestrelGlobal"), "d723cd6008e75efb");
  EXPECT_EQ(BootstrapKey(""), "dc6e8b688856ccd2");
  EXPECT_EQ(BootstrapKey("abc"), Md5Hex("p2Xw7c9Lm4aZr6Tqabc").substr(0, 16));
}

// Cross-check against an independent MD5 (the openssl tool) on random binary data.
TEST(Md5, MatchesOpensslOnRandomData) {
  if (std::system("openssl version >/dev/null 2>&1") != 0) GTEST_SKIP() << "openssl not installed";
  test::TempDir dir;
  const std::string in_path = dir.Sub("data.bin");
  const std::string out_path = dir.Sub("digest.txt");
  std::mt19937 rng(11);
  for (int round = 0; round < 20; ++round) {
    std::string data(rng() % 5000, '\0');
    for (auto& c : data) c = static_cast<char>(rng());
    {
      std::ofstream f(in_path, std::ios::binary);
      f << data;
    }
    const std::string cmd = "openssl dgst -md5 -r " + in_path + " > " + out_path;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::string line;
    std::ifstream f(out_path);
    std::getline(f, line);
    ASSERT_GE(line.size(), 32u);
    EXPECT_EQ(Md5Hex(data), line.substr(0, 32)) << "size " << data.size();
  }
}

}  // namespace
}  // namespace kestrel
