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

// Feeds one read and returns its first result (the tests of one frame per read).
FrameAssembler::Result FeedOne(FrameAssembler& a, const std::uint8_t* data, std::size_t bytes,
                               Steady::time_point now) {
  a.Feed(data, bytes, now);
  return a.Next();
}

// Feeds one read and returns every frame it completes; corrupt counts summed.
struct Frames {
  std::vector<Bytes> frames;
  int corrupt = 0;
};
Frames FeedAll(FrameAssembler& a, const Bytes& read, Steady::time_point now = kT0) {
  Frames out;
  a.Feed(read.data(), read.size(), now);
  for (;;) {
    const auto r = a.Next();
    out.corrupt += r.corrupt;
    if (r.frame == nullptr) return out;
    out.frames.emplace_back(r.frame, r.frame + r.size);
  }
}

Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(FrameAssemblerTest, WholeFrameInOneReadIsHandedBackInPlace) {
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  const auto r = FeedOne(a, ping.data(), ping.size(), kT0);
  EXPECT_EQ(r.frame, ping.data());
  EXPECT_EQ(r.size, ping.size());
  EXPECT_EQ(r.corrupt, 0);
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, FramesOfOneReadAreHandedBackInOrder) {
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  const Bytes ready = Frame(0x30, {});
  const Bytes chunk = UploadChunk();
  const Frames got = FeedAll(a, Joined({ping, chunk, ready, ping}));
  ASSERT_EQ(got.frames.size(), 4u);
  EXPECT_EQ(got.frames[0], ping);
  EXPECT_EQ(got.frames[1], chunk);
  EXPECT_EQ(got.frames[2], ready);
  EXPECT_EQ(got.frames[3], ping);
  EXPECT_EQ(got.corrupt, 0);
  EXPECT_TRUE(a.pipelining());
}

TEST(FrameAssemblerTest, FramesCutByReadsAreJoinedInOrder) {
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  const Bytes chunk = UploadChunk();
  const Bytes stream = Joined({ping, chunk, ping, chunk, ping});
  std::vector<Bytes> frames;
  // Reads of 700 bytes cut both chunks and a ping.
  for (std::size_t at = 0; at < stream.size(); at += 700) {
    const Bytes read(stream.begin() + static_cast<long>(at),
                     stream.begin() + static_cast<long>(std::min(stream.size(), at + 700)));
    const Frames got = FeedAll(a, read);
    EXPECT_EQ(got.corrupt, 0);
    frames.insert(frames.end(), got.frames.begin(), got.frames.end());
  }
  EXPECT_EQ(frames, (std::vector<Bytes>{ping, chunk, ping, chunk, ping}));
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, BrokenFrameCostsTheRestOfItsReadOnly) {
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  const Bytes broken = {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x02};  // check byte off by one bit
  const Frames got = FeedAll(a, Joined({ping, broken, ping}));
  EXPECT_EQ(got.frames, std::vector<Bytes>{ping});
  EXPECT_EQ(got.corrupt, 1);
  EXPECT_EQ(FeedAll(a, ping).frames, std::vector<Bytes>{ping});
}

TEST(FrameAssemblerTest, PipeliningPeersBlockIsContinuedEvenWhenItLooksLikeAFrame) {
  // The rest of an upload chunk's block happens to start with a valid ping:
  // from a peer that pipelines it is still the block.
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  Bytes chunk = UploadChunk();
  std::copy(ping.begin(), ping.end(), chunk.begin() + 700);
  const Bytes stream = Joined({ping, chunk});
  const Bytes first(stream.begin(), stream.begin() + 7 + 700);
  const Bytes rest(stream.begin() + 7 + 700, stream.end());
  EXPECT_EQ(FeedAll(a, first).frames.size(), 1u);
  const Frames got = FeedAll(a, rest);
  EXPECT_EQ(got.corrupt, 0);
  EXPECT_EQ(got.frames, std::vector<Bytes>{chunk});
}

TEST(FrameAssemblerTest, FrameSplitOverTwoReadsIsPutTogether) {
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  auto r = FeedOne(a, ping.data(), 3, kT0);
  EXPECT_EQ(r.frame, nullptr);
  EXPECT_EQ(r.corrupt, 0);
  r = FeedOne(a, ping.data() + 3, ping.size() - 3, kT0 + std::chrono::milliseconds(500));
  ASSERT_NE(r.frame, nullptr);
  EXPECT_EQ(Bytes(r.frame, r.frame + r.size), ping);
}

TEST(FrameAssemblerTest, UploadChunkWaitsForItsWholeBulkBlock) {
  FrameAssembler a;
  const Bytes chunk = UploadChunk();
  auto r = FeedOne(a, chunk.data(), 700, kT0);
  EXPECT_EQ(r.frame, nullptr);
  r = FeedOne(a, chunk.data() + 700, chunk.size() - 700, kT0);
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
  EXPECT_NE(FeedOne(a, buffer.data(), ping.size(), kT0).frame, nullptr);
  const auto r = FeedOne(a, buffer.data(), 6, kT0);
  EXPECT_EQ(r.frame, nullptr);
  EXPECT_TRUE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, UnfinishedFrameIsGivenUpAfterTheTimeout) {
  FrameAssembler a(std::chrono::milliseconds(2000));
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  FeedOne(a, ping.data(), 4, kT0);
  const auto r = FeedOne(a, ping.data(), ping.size(), kT0 + std::chrono::milliseconds(2001));
  EXPECT_EQ(r.corrupt, 1);
  ASSERT_NE(r.frame, nullptr);  // the new read is judged on its own
  EXPECT_EQ(r.size, ping.size());
}

TEST(FrameAssemblerTest, WrongCheckByteIsCorruptAtOnce) {
  FrameAssembler a;
  Bytes ping = Frame(0x01, {0xCC, 0x33});
  ping.back() ^= 0x01;
  const auto r = FeedOne(a, ping.data(), ping.size(), kT0);
  EXPECT_EQ(r.corrupt, 1);
  EXPECT_EQ(r.frame, nullptr);
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, WrongMagicIsCorruptEvenWhenShort) {
  FrameAssembler a;
  const std::uint8_t server_magic[2] = {0xCC, 0x33};
  EXPECT_EQ(FeedOne(a, server_magic, 2, kT0).corrupt, 1);
  const std::uint8_t one = 0x12;
  EXPECT_EQ(FeedOne(a, &one, 1, kT0).corrupt, 1);
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, ContinuationThatBreaksTheFrameLetsAFreshRequestThrough) {
  FrameAssembler a;
  const Bytes ping = Frame(0x01, {0xCC, 0x33});
  const Bytes empty_frame = Frame(0x20, {});
  FeedOne(a, empty_frame.data(), 4, kT0);  // its check byte never comes
  const auto r = FeedOne(a, ping.data(), ping.size(), kT0 + std::chrono::milliseconds(100));
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
  EXPECT_EQ(FeedOne(a, start.data(), start.size(), kT0).frame, nullptr);
  auto r = FeedOne(a, ping.data(), ping.size(), kT0 + std::chrono::milliseconds(100));
  EXPECT_EQ(r.corrupt, 1);
  ASSERT_NE(r.frame, nullptr);
  EXPECT_EQ(Bytes(r.frame, r.frame + r.size), ping);
  r = FeedOne(a, ping.data(), ping.size(), kT0 + std::chrono::milliseconds(200));
  EXPECT_EQ(r.corrupt, 0);
  EXPECT_NE(r.frame, nullptr);
  EXPECT_FALSE(a.HasPartialFrame());
}

TEST(FrameAssemblerTest, PayloadLengthAbove127IsAnOrdinaryLength) {
  FrameAssembler a;
  const Bytes f = Frame(0x11, Bytes(0x80, 0x01));
  const auto r = FeedOne(a, f.data(), f.size(), kT0);
  EXPECT_EQ(r.size, 0x80u + 5);
}

}  // namespace
}  // namespace kestrel
