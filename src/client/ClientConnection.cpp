#include "client/ClientConnection.h"

#include <algorithm>

namespace kestrel::client {

using Steady = std::chrono::steady_clock;

bool ClientConnection::Connect(const std::string& host, std::uint16_t port,
                               std::chrono::milliseconds timeout) {
  int error = socket_.Connect(host, port, timeout);
  if (error != 0) return Fail(error);
  (void)socket_.SetNoDelay(true);
  (void)socket_.SetSendTimeout(kSendTimeout);
  last_error_ = 0;
  return true;
}

void ClientConnection::Close() {
  socket_.Close();
}

bool ClientConnection::Fail(int error) {
  last_error_ = error;
  return false;
}

bool ClientConnection::SendRaw(std::span<const std::uint8_t> bytes) {
  if (!socket_.IsOpen()) return Fail(platform::wsa::kENOTCONN);
  int error = socket_.SendAll(bytes);
  return error == 0 ? true : Fail(error);
}

bool ClientConnection::SendFrame(PacketType type, std::span<const std::uint8_t> payload) {
  std::size_t size = BuildRequest(type, payload, out_);
  if (size == 0) return Fail(platform::wsa::kEMSGSIZE);
  return SendRaw(std::span<const std::uint8_t>(out_.data(), size));
}

bool ClientConnection::DrainPending() {
  std::uint8_t scratch[kReceiveBufferSize];
  for (;;) {
    platform::TcpSocket::ReadResult got = socket_.ReadSome(scratch);
    if (got.closed || got.error != 0) {
      if (got.error != 0) last_error_ = got.error;
      return false;
    }
    if (got.bytes == 0) return true;
  }
}

std::optional<ReplyFrame> ClientConnection::ReceiveReply(std::chrono::milliseconds timeout) {
  if (!socket_.IsOpen()) return std::nullopt;
  const Steady::time_point deadline = Steady::now() + timeout;
  std::size_t have = 0;
  std::size_t need = kFrameHeaderSize;
  bool sized = false;
  while (have < need) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
    if (left.count() <= 0) break;
    // Never read past this frame: the next reply's bytes stay in the socket.
    platform::TcpSocket::ReadResult got =
        socket_.ReadWait(std::span<std::uint8_t>(in_.data() + have, need - have), left);
    if (got.error != 0 || got.closed) {
      last_error_ = got.error != 0 ? got.error : platform::wsa::kECONNRESET;
      Close();
      return std::nullopt;
    }
    have += got.bytes;
    if (!sized && have >= kFrameHeaderSize) {
      sized = true;
      const std::size_t length = in_[3];
      need = kFrameOverhead + length;
      if (ReplyHasBulkBlock(static_cast<PacketType>(in_[2]), length)) need += kBulkBlockSize;
    }
  }
  if (have < need) {
    if (have > 0) Close();  // half a frame: the stream is out of step
    last_error_ = platform::wsa::kETIMEDOUT;
    return std::nullopt;
  }
  if (!IsValidReplyFrame(in_.data(), have)) return std::nullopt;
  ReplyFrame reply;
  reply.type = FrameType(in_.data());
  const std::uint8_t* payload = FramePayload(in_.data());
  reply.payload.assign(payload, payload + FramePayloadLength(in_.data()));
  if (ReplyHasBulkBlock(reply.type, reply.payload.size())) {
    const std::uint8_t* block = FrameBulkBlock(in_.data());
    reply.block.assign(block, block + kBulkBlockSize);
  }
  return reply;
}

std::optional<ReplyFrame> ClientConnection::Exchange(std::span<const std::uint8_t> frame,
                                                     PacketType type) {
  if (!DrainPending()) {
    Close();
    return std::nullopt;
  }
  if (!SendRaw(frame)) return std::nullopt;
  std::optional<ReplyFrame> reply = ReceiveReply(reply_timeout_);
  if (reply && reply->type != type) return std::nullopt;
  return reply;
}

std::optional<ReplyFrame> ClientConnection::Request(PacketType type,
                                                    std::span<const std::uint8_t> payload) {
  std::size_t size = BuildRequest(type, payload, out_);
  if (size == 0) {
    Fail(platform::wsa::kEMSGSIZE);
    return std::nullopt;
  }
  return Exchange(std::span<const std::uint8_t>(out_.data(), size), type);
}

std::optional<ReplyFrame> ClientConnection::BulkRequest(PacketType type,
                                                        std::span<const std::uint8_t> payload,
                                                        std::span<const std::uint8_t> block) {
  std::size_t size = BuildBulkRequest(type, payload, block, out_);
  if (size == 0) {
    Fail(platform::wsa::kEMSGSIZE);
    return std::nullopt;
  }
  return Exchange(std::span<const std::uint8_t>(out_.data(), size), type);
}

}  // namespace kestrel::client
