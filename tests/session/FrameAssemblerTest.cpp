#include "session/FrameAssembler.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/Frame.h"

namespace kestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Steady = std::chrono::steady_clock;

Bytes Frame(std::uint8_t type, const Bytes& payload) {
  Bytes out(kMaxFrameSize);
  out.resize(BuildRequest(static_cast<PacketType>(type), payload, out));
  return out;
}

Bytes UploadChunk() {
  Bytes out(kBulkUploadFrameSize);
  const std::uint8_t header[5] = {0x05, 0x00, 0x05, 0x00, 0xCC};
  Bytes block(kBulkBlockSize, 0x5A);
  out.resize(BuildBulkRequest(PacketType::kUploadChunk, header, block, out));
  return out;
}

const Steady::time_point kT0{};

TEST(FrameAssemblerTest, WholeFrameInOneReadIsHandedBackInPlace) {
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  const auto r = a.Feed(ping.data(), ping.size(), kT0);
  EXPECT_EQ(r.frame, ping.data());
  EXPECT_EQ(r.size, ping.size());
  EXPECT_EQ(r.corrupt, 0);
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, BytesAfterTheEndOfAFrameAreIgnored) {
  FrameAssembler a;
  Bytes read = Frame(0x01, {0xCC, 0x33});
  read.insert(read.end(), {0xAA, 0x55, 0x01, 0x00, 0x77, 0x13});
  const auto r = a.Feed(read.data(), read.size(), kT0);
  EXPECT_EQ(r.size, 7u);
  EXPECT_EQ(r.corrupt, 0);
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, FrameSplitOverTwoReadsIsPutTogether) {
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  auto r = a.Feed(ping.data(), 3, kT0);
  EXPECT_EQ(r.frame, nullptr);
  EXPECT_EQ(r.corrupt, 0);
  r = a.Feed(ping.data() + 3, ping.size() - 3, kT0 + std::chrono::milliseconds(500));
  ASSERT_NE(r.frame, nullptr);
  EXPECT_EQ(Bytes(r.frame, r.frame + r.size), ping);
}

TEST(FrameAssemblerTest, UploadChunkWaitsForItsWholeBulkBlock) {
  FrameAssembler a;
  const Bytes chunk = UploadChunk();
  auto r = a.Feed(chunk.data(), 700, kT0);
  EXPECT_EQ(r.frame, nullptr);
  r = a.Feed(chunk.data() + 700, chunk.size() - 700, kT0);
  ASSERT_NE(r.frame, nullptr);
  EXPECT_EQ(Bytes(r.frame, r.frame + r.size), chunk);
}

TEST(FrameAssemblerTest, ShortReadIsNeverCompletedByStaleBytes) {
  // The earlier read left a valid check byte where a truncated frame of the
  // same shape would look for it; the assembler only sees received bytes.
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  Bytes buffer(1500, 0);
  std::copy(ping.begin(), ping.end(), buffer.begin());
  EXPECT_NE(a.Feed(buffer.data(), ping.size(), kT0).frame, nullptr);
  const auto r = a.Feed(buffer.data(), 6, kT0);
  EXPECT_EQ(r.frame, nullptr);
  EXPECT_TRUE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, UnfinishedFrameIsGivenUpAfterTheTimeout) {
  FrameAssembler a(std::chrono::milliseconds(2000));
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  a.Feed(ping.data(), 4, kT0);
  const auto r = a.Feed(ping.data(), ping.size(), kT0 + std::chrono::milliseconds(2001));
  EXPECT_EQ(r.corrupt, 1);
  ASSERT_NE(r.frame, nullptr);  // the new read is judged on its own
  EXPECT_EQ(r.size, ping.size());
}

TEST(FrameAssemblerTest, WrongCheckByteIsCorruptAtOnce) {
  FrameAssembler a;
  Bytes ping = Frame(0x01, {0xCC, 0x33});
  ping.back() ^= 0x01;
  const auto r = a.Feed(ping.data(), ping.size(), kT0);
  EXPECT_EQ(r.corrupt, 1);
  EXPECT_EQ(r.frame, nullptr);
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, WrongMagicIsCorruptEvenWhenShort) {
  FrameAssembler a;
  const std::uint8_t server_magic[2] = {0xCC, 0x33};
  EXPECT_EQ(a.Feed(server_magic, 2, kT0).corrupt, 1);
  const std::uint8_t one = 0x12;
  EXPECT_EQ(a.Feed(&one, 1, kT0).corrupt, 1);
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, ContinuationThatBreaksTheFrameLetsAFreshRequestThrough) {
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  const Bytes empty_frame = Frame(0x20, {});
  a.Feed(empty_frame.data(), 4, kT0);  // its check byte never comes
  const auto r = a.Feed(ping.data(), ping.size(), kT0 + std::chrono::milliseconds(100));
  EXPECT_EQ(r.corrupt, 1);
  ASSERT_NE(r.frame, nullptr);
  EXPECT_EQ(Bytes(r.frame, r.frame + r.size), ping);
}

TEST(FrameAssemblerTest, CompleteFrameInOneReadIsNeverSwallowedByAPartialOne) {
  // AA 55 01 FF announces 255 payload bytes; the pings that follow within
  // the time-out are whole requests of their own.
  FrameAssembler a;
  const Bytes start = {0xAA, 0x55, 0x01, 0xFF};
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  EXPECT_EQ(a.Feed(start.data(), start.size(), kT0).frame, nullptr);
  auto r = a.Feed(ping.data(), ping.size(), kT0 + std::chrono::milliseconds(100));
  EXPECT_EQ(r.corrupt, 1);
  ASSERT_NE(r.frame, nullptr);
  EXPECT_EQ(Bytes(r.frame, r.frame + r.size), ping);
  r = a.Feed(ping.data(), ping.size(), kT0 + std::chrono::milliseconds(200));
  EXPECT_EQ(r.corrupt, 0);
  EXPECT_NE(r.frame, nullptr);
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, PayloadLengthAbove127IsAnOrdinaryLength) {
  FrameAssembler a;
  const Bytes f = Frame(0x11, Bytes(0x80, 0x01));
  const auto r = a.Feed(f.data(), f.size(), kT0);
  EXPECT_EQ(r.size, 0x80u + 5);
}

}  // namespace
}  // namespace kestrel
