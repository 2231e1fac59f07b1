#include "net/Frame.h"

#include <cstring>

namespace kestrel {
namespace {

std::size_t BuildFrame(std::uint8_t magic0, std::uint8_t magic1, PacketType type,
                       std::span<const std::uint8_t> payload, std::span<const std::uint8_t> block,
                       bool bulk, std::span<std::uint8_t> out) {
  if (payload.size() > kMaxPayload || block.size() > kBulkBlockSize) return 0;
  const std::size_t frame_size = kFrameOverhead + payload.size();
  const std::size_t total = frame_size + (bulk ? kBulkBlockSize : 0);
  if (out.size() < total) return 0;
  std::uint8_t* p = out.data();
  p[0] = magic0;
  p[1] = magic1;
  p[2] = static_cast<std::uint8_t>(type);
  p[3] = static_cast<std::uint8_t>(payload.size());
  if (!payload.empty()) std::memcpy(p + kFrameHeaderSize, payload.data(), payload.size());
  p[frame_size - 1] = FrameChecksum(p, frame_size - 1);
  if (bulk) {
    std::uint8_t* b = p + frame_size;
    if (!block.empty()) std::memcpy(b, block.data(), block.size());
    std::memset(b + block.size(), 0, kBulkBlockSize - block.size());
  }
  return total;
}

bool HasMagic(const std::uint8_t* buffer, std::uint8_t magic0, std::uint8_t magic1) {
  return buffer[0] == magic0 && buffer[1] == magic1;
}

bool ChecksumMatches(const std::uint8_t* buffer) {
  const std::size_t length = buffer[3];
  return FrameChecksum(buffer, kFrameHeaderSize + length) == buffer[kFrameHeaderSize + length];
}

}  // namespace

std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t count) {
  std::uint64_t wide = 0;
  std::size_t i = 0;
  for (; i + sizeof wide <= count; i += sizeof wide) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, sizeof word);
    wide ^= word;
  }
  std::uint8_t x = 0;
  for (int shift = 0; shift < 64; shift += 8) x ^= static_cast<std::uint8_t>(wide >> shift);
  for (; i < count; ++i) x ^= bytes[i];
  return x;
}

bool IsValidFrame(const std::uint8_t* buffer) {
  if (!HasMagic(buffer, kClientMagic0, kClientMagic1)) return false;
  return ChecksumMatches(buffer);
}

bool IsValidFrame(const std::uint8_t* buffer, std::size_t received) {
  if (received < kFrameOverhead) return false;
  if (!HasMagic(buffer, kClientMagic0, kClientMagic1)) return false;
  if (received < kFrameOverhead + buffer[3]) return false;
  return ChecksumMatches(buffer);
}

bool IsValidReplyFrame(const std::uint8_t* buffer, std::size_t received) {
  if (received < kFrameOverhead) return false;
  if (!HasMagic(buffer, kServerMagic0, kServerMagic1)) return false;
  if (received < kFrameOverhead + buffer[3]) return false;
  return ChecksumMatches(buffer);
}

std::size_t BuildReply(PacketType type, std::span<const std::uint8_t> payload,
                       std::span<std::uint8_t> out) {
  return BuildFrame(kServerMagic0, kServerMagic1, type, payload, {}, false, out);
}

std::size_t BuildBulkReply(PacketType type, std::span<const std::uint8_t> payload,
                           std::span<const std::uint8_t> block, std::span<std::uint8_t> out) {
  return BuildFrame(kServerMagic0, kServerMagic1, type, payload, block, true, out);
}

std::size_t BuildRequest(PacketType type, std::span<const std::uint8_t> payload,
                         std::span<std::uint8_t> out) {
  return BuildFrame(kClientMagic0, kClientMagic1, type, payload, {}, false, out);
}

std::size_t BuildBulkRequest(PacketType type, std::span<const std::uint8_t> payload,
                             std::span<const std::uint8_t> block, std::span<std::uint8_t> out) {
  return BuildFrame(kClientMagic0, kClientMagic1, type, payload, block, true, out);
}

}  // namespace kestrel
