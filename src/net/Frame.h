#pragma once
// The wire frame, named once: magic, type, payload length L, payload, XOR check
// byte; bulk frames carry a fixed 1280-byte block after the check byte that the
// check byte does not cover. Most clients send one frame and wait for its
// reply, so their frame starts at byte 0 of a read; a pipelining client sends
// frames back to back, which the server reads as a stream.
#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrel {

inline constexpr std::uint8_t kClientMagic0 = 0xAA;  // client to server
inline constexpr std::uint8_t kClientMagic1 = 0x55;
inline constexpr std::uint8_t kServerMagic0 = 0xCC;  // server to client
inline constexpr std::uint8_t kServerMagic1 = 0x33;

inline constexpr std::size_t kFrameHeaderSize = 4;  // magic, magic, type, L
inline constexpr std::size_t kFrameOverhead = 5;    // header + check byte
inline constexpr std::size_t kMaxPayload = 255;     // L is one unsigned byte
inline constexpr std::size_t kMaxFrameSize = kMaxPayload + kFrameOverhead;  // 260
inline constexpr std::size_t kReceiveBufferSize = 1500;                     // one read, one frame
// One read of a connection slot: room for a pipelining client's requests.
inline constexpr std::size_t kStreamReadSize = 16 * 1024;
inline constexpr std::size_t kBulkBlockSize = 1280;
inline constexpr std::size_t kBulkDownloadPayload = 2;  // 16-bit count, high byte first
inline constexpr std::size_t kBulkUploadPayload = 5;    // enc len, plain len, marker
inline constexpr std::size_t kBulkDownloadFrameSize =
    kFrameOverhead + kBulkDownloadPayload + kBulkBlockSize;  // 1287
inline constexpr std::size_t kBulkUploadFrameSize =
    kFrameOverhead + kBulkUploadPayload + kBulkBlockSize;  // 1290
inline constexpr std::size_t kMaxBulkFrameSize = kMaxFrameSize + kBulkBlockSize;
inline constexpr std::uint8_t kUploadDataMarker = 0xCC;

static_assert(kMaxFrameSize == 260);
static_assert(kBulkDownloadFrameSize == 1287);
static_assert(kBulkUploadFrameSize == 1290);
static_assert(kBulkUploadFrameSize <= kReceiveBufferSize, "an upload chunk must fit one read");
static_assert(kMaxFrameSize <= kReceiveBufferSize, "validation reads at most 260 bytes");
static_assert(kReceiveBufferSize <= kStreamReadSize);

// Every packet type of the catalogue. Replies carry the type of their request.
enum class PacketType : std::uint8_t {
  kPing = 0x01,
  kGetSessionKey = 0x10,
  kLogin = 0x11,
  kLogout = 0x12,
  kRemoteLogin = 0x13,
  kScanResultRequest = 0x20,
  kScanResultChanged = 0x21,
  kDownloadRequest = 0x22,
  kRemoteUploadRequest = 0x23,
  kServerLogsRequest = 0x24,
  kTransferReady = 0x30,
  kNextDownloadChunk = 0x31,
  kUploadRequest = 0x32,
  kUploadChunk = 0x33,
  kDeleteFile = 0x34,
  kRemotePasswordChange = 0x40,
  kUserPasswordChange = 0x41,
};

// Reply payloads shared by many requests.
inline constexpr std::uint8_t kReplyAccepted[2] = {0x55, 0x33};  // accepted / done
inline constexpr std::uint8_t kReplyRefused[2] = {0xAA, 0xAA};   // refused (password change)
inline constexpr std::uint8_t kReplyEcho[2] = {0xCC, 0x33};      // ping, logout
inline constexpr std::uint8_t kReplyYes = 0xAA;
inline constexpr std::uint8_t kReplyNo = 0xCC;

// Whether a frame of this type and payload length carries a bulk block:
// download data (0x31, L > 0) from the server, upload data (0x33, L > 0) to it.
inline bool ReplyHasBulkBlock(PacketType type, std::size_t payload_length) {
  return type == PacketType::kNextDownloadChunk && payload_length > 0;
}
inline bool RequestHasBulkBlock(PacketType type, std::size_t payload_length) {
  return type == PacketType::kUploadChunk && payload_length > 0;
}

// XOR of count bytes (folded eight bytes at a time).
std::uint8_t FrameChecksum(const std::uint8_t* bytes, std::size_t count);

// A client-to-server frame: AA 55 and bytes 0..3+L XOR to byte 4+L. Reads at
// most 260 bytes of buffer, which must hold that many (a receive buffer
// does); the received count is not consulted.
bool IsValidFrame(const std::uint8_t* buffer);
// The same verdict, but false when fewer than L+5 bytes were received, so
// stale bytes from an earlier read can never complete a short frame.
bool IsValidFrame(const std::uint8_t* buffer, std::size_t received);
// A server-to-client frame (CC 33), judged only on the received bytes.
bool IsValidReplyFrame(const std::uint8_t* buffer, std::size_t received);

// Builders write the whole frame into out and return its size, or 0 when the
// payload is longer than 255 bytes, the block longer than 1280 bytes or out
// too small. They never allocate. A bulk block shorter than 1280 bytes is
// padded with zero bytes to the full block.
std::size_t BuildReply(PacketType type, std::span<const std::uint8_t> payload,
                       std::span<std::uint8_t> out);
std::size_t BuildBulkReply(PacketType type, std::span<const std::uint8_t> payload,
                           std::span<const std::uint8_t> block, std::span<std::uint8_t> out);
std::size_t BuildRequest(PacketType type, std::span<const std::uint8_t> payload,
                         std::span<std::uint8_t> out);
std::size_t BuildBulkRequest(PacketType type, std::span<const std::uint8_t> payload,
                             std::span<const std::uint8_t> block, std::span<std::uint8_t> out);

// Field access on a frame that passed validation.
inline PacketType FrameType(const std::uint8_t* frame) {
  return static_cast<PacketType>(frame[2]);
}
inline std::size_t FramePayloadLength(const std::uint8_t* frame) {
  return frame[3];
}
inline const std::uint8_t* FramePayload(const std::uint8_t* frame) {
  return frame + 4;
}
// Start of the bulk block (directly after the check byte).
inline const std::uint8_t* FrameBulkBlock(const std::uint8_t* frame) {
  return frame + kFrameOverhead + frame[3];
}

}  // namespace kestrel
