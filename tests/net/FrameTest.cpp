#include "net/Frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace kestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A receive buffer as the slot thread hands it over: 1500 bytes, frame at 0.
struct ReceiveBuffer {
  std::array<std::uint8_t, kReceiveBufferSize> bytes{};
  explicit ReceiveBuffer(const Bytes& frame) {
    std::copy(frame.begin(), frame.end(), bytes.begin());
  }
  const std::uint8_t* data() const { return bytes.data(); }
};

Bytes ClientFrame(std::uint8_t type, const Bytes& payload) {
  Bytes frame(kFrameOverhead + payload.size());
  EXPECT_EQ(BuildRequest(static_cast<PacketType>(type), payload, frame), frame.size());
  return frame;
}

TEST(Frame, EmptyPingFrameWithChecksumFeIsValid) {
  ReceiveBuffer buffer({0xAA, 0x55, 0x01, 0x00, 0xFE});
  EXPECT_TRUE(IsValidFrame(buffer.data()));
  EXPECT_TRUE(IsValidFrame(buffer.data(), 5));
}

TEST(Frame, FullLengthFrameFailsOnEveryFlippedBit) {
  Bytes payload(255);
  for (std::size_t i = 0; i < payload.size(); ++i)
    payload[i] = static_cast<std::uint8_t>(i * 7 + 3);
  Bytes frame = ClientFrame(0x22, payload);
  ASSERT_EQ(frame.size(), 260u);
  ReceiveBuffer good(frame);
  ASSERT_TRUE(IsValidFrame(good.data()));
  for (std::size_t byte = 0; byte < 260; ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      ReceiveBuffer bad(frame);
      bad.bytes[byte] ^= static_cast<std::uint8_t>(1u << bit);
      ASSERT_FALSE(IsValidFrame(bad.data())) << "byte " << byte << " bit " << bit;
      ASSERT_FALSE(IsValidFrame(bad.data(), frame.size())) << "byte " << byte << " bit " << bit;
    }
  }
}

TEST(Frame, ServerDirectionMagicIsRefusedByTheServerEvenWithGoodChecksum) {
  Bytes reply(6);
  const std::uint8_t yes[] = {kReplyYes};
  ASSERT_EQ(BuildReply(PacketType::kScanResultChanged, yes, reply), 6u);
  ReceiveBuffer buffer(reply);
  EXPECT_FALSE(IsValidFrame(buffer.data()));
  EXPECT_FALSE(IsValidFrame(buffer.data(), reply.size()));
  EXPECT_TRUE(IsValidReplyFrame(reply.data(), reply.size()));
}

TEST(Frame, LengthWithTopBitSetIsAnOrdinaryLength) {
  Bytes payload(0x80, 0x11);
  Bytes frame = ClientFrame(0x11, payload);
  ASSERT_EQ(frame.size(), 0x80u + 5);
  EXPECT_EQ(frame[3], 0x80);
  ReceiveBuffer buffer(frame);
  EXPECT_TRUE(IsValidFrame(buffer.data()));
  // The check byte sits after 128 payload bytes, not right after the header.
  buffer.bytes[0x80 + 4] ^= 0x01;
  EXPECT_FALSE(IsValidFrame(buffer.data()));
}

TEST(Frame, BulkBlockIsOutsideTheChecksum) {
  const std::uint8_t header[] = {0x00, 0x10, 0x00, 0x10, kUploadDataMarker};
  Bytes block(kBulkBlockSize, 0x5A);
  Bytes frame(kBulkUploadFrameSize);
  ASSERT_EQ(BuildBulkRequest(PacketType::kUploadChunk, header, block, frame), 1290u);
  ReceiveBuffer buffer(frame);
  ASSERT_TRUE(IsValidFrame(buffer.data()));
  for (std::size_t i = 10; i < frame.size(); i += 97) buffer.bytes[i] ^= 0xFF;
  EXPECT_TRUE(IsValidFrame(buffer.data()));
  EXPECT_TRUE(IsValidFrame(buffer.data(), frame.size()));
  EXPECT_EQ(FrameBulkBlock(buffer.data()), buffer.data() + 10);
}

TEST(Frame, YesAndNoRepliesMatchTheWorkedExample) {
  std::array<std::uint8_t, 16> out{};
  const std::uint8_t yes[] = {kReplyYes};
  const std::uint8_t no[] = {kReplyNo};
  ASSERT_EQ(BuildReply(PacketType::kScanResultChanged, yes, out), 6u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0xCC, 0x33, 0x21, 0x01, 0xAA, 0x75}));
  ASSERT_EQ(BuildReply(PacketType::kScanResultChanged, no, out), 6u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0xCC, 0x33, 0x21, 0x01, 0xCC, 0x13}));
  ASSERT_EQ(BuildReply(PacketType::kTransferReady, yes, out), 6u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0xCC, 0x33, 0x30, 0x01, 0xAA, 0x64}));
  ASSERT_EQ(BuildReply(PacketType::kTransferReady, no, out), 6u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 6), (Bytes{0xCC, 0x33, 0x30, 0x01, 0xCC, 0x02}));
  ASSERT_EQ(BuildReply(PacketType::kPing, kReplyEcho, out), 7u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 7), (Bytes{0xCC, 0x33, 0x01, 0x02, 0xCC, 0x33, 0x03}));
}

TEST(Frame, DownloadChunkReplyIs1287BytesWithZeroPaddedBlock) {
  std::array<std::uint8_t, kBulkDownloadFrameSize> out{};
  out.fill(0xEE);
  const std::uint8_t count[] = {0x00, 0x03};
  const std::uint8_t data[] = {1, 2, 3};
  ASSERT_EQ(BuildBulkReply(PacketType::kNextDownloadChunk, count, data, out), 1287u);
  EXPECT_TRUE(IsValidReplyFrame(out.data(), out.size()));
  EXPECT_EQ(out[7], 1);
  EXPECT_EQ(out[9], 3);
  EXPECT_EQ(out[10], 0);
  EXPECT_EQ(out[1286], 0);
  // The end marker has no block.
  EXPECT_EQ(BuildReply(PacketType::kNextDownloadChunk, {}, out), 5u);
  EXPECT_TRUE(ReplyHasBulkBlock(PacketType::kNextDownloadChunk, 2));
  EXPECT_FALSE(ReplyHasBulkBlock(PacketType::kNextDownloadChunk, 0));
}

TEST(Frame, BuildersRefuseOversizeInputAndSmallOutput) {
  std::array<std::uint8_t, kMaxBulkFrameSize + 8> out{};
  Bytes too_long(256);
  EXPECT_EQ(BuildReply(PacketType::kPing, too_long, out), 0u);
  Bytes block_too_long(kBulkBlockSize + 1);
  EXPECT_EQ(BuildBulkReply(PacketType::kNextDownloadChunk, Bytes(2), block_too_long, out), 0u);
  std::array<std::uint8_t, 6> small{};
  EXPECT_EQ(BuildReply(PacketType::kPing, kReplyEcho, small), 0u);
  EXPECT_EQ(BuildReply(PacketType::kPing, Bytes(255), out), 260u);
}

TEST(Frame, ShortReadIsRejectedBySafeVariantEvenWhenStaleBytesCompleteIt) {
  Bytes frame = ClientFrame(0x01, {0xCC, 0x33});
  ReceiveBuffer buffer(frame);  // an earlier read left the whole frame in the buffer
  EXPECT_TRUE(IsValidFrame(buffer.data()));
  EXPECT_FALSE(IsValidFrame(buffer.data(), 4));
  EXPECT_FALSE(IsValidFrame(buffer.data(), frame.size() - 1));
  EXPECT_TRUE(IsValidFrame(buffer.data(), frame.size()));
  EXPECT_FALSE(IsValidFrame(buffer.data(), 0));
}

TEST(Frame, ChecksumOfWideInputEqualsBytewiseXor) {
  Bytes data(259);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 5);
  for (std::size_t n = 0; n <= data.size(); ++n) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < n; ++i) x ^= data[i];
    ASSERT_EQ(FrameChecksum(data.data(), n), x) << n;
  }
}

}  // namespace
}  // namespace kestrel
