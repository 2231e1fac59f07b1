#include "client/ClientConnection.h"

#include <algorithm>
#include <cstring>

namespace kestrel::client {

using Steady = std::chrono::steady_clock;

bool ClientConnection::Connect(const std::string& host, std::uint16_t port,
                               std::chrono::milliseconds timeout, std::string_view local_address) {
  int error = socket_.Connect(host, port, timeout, local_address);
  if (error != 0) return Fail(error);
  (void)socket_.SetNoDelay(true);
  (void)socket_.SetSendTimeout(kSendTimeout);
  last_error_ = 0;
  stale_ = false;
  return true;
}

void ClientConnection::Close() {
  socket_.Close();
  in_begin_ = in_end_ = 0;
  last_read_full_ = false;
  pipelining_ = false;
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
  in_begin_ = in_end_ = 0;
  stale_ = false;
  for (;;) {
    platform::TcpSocket::ReadResult got = socket_.ReadSome(in_);
    if (got.closed || got.error != 0) {
      if (got.error != 0) last_error_ = got.error;
      return false;
    }
    if (got.bytes == 0) return true;
  }
}

bool ClientConnection::ProbePipelining() {
  pipelining_ = false;
  std::uint8_t pings[2 * (kFrameOverhead + sizeof kReplyEcho)];
  const std::size_t one = BuildRequest(PacketType::kPing, kReplyEcho, pings);
  BuildRequest(PacketType::kPing, kReplyEcho, std::span<std::uint8_t>(pings + one, one));
  const Steady::time_point sent = Steady::now();
  if (!SendRaw(pings)) return false;
  const std::optional<ReplyView> first = NextReply(std::min(reply_timeout_, kProbeWait));
  if (!first || first->type != PacketType::kPing) {
    stale_ = true;
    return false;
  }
  // The second answer follows the first at once; a server that read both
  // pings as one request never sends it.
  const auto round_trip =
      std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - sent);
  const std::optional<ReplyView> second =
      NextReply(std::clamp(4 * round_trip, kProbeSecondWait, reply_timeout_));
  pipelining_ = second && second->type == PacketType::kPing;
  if (!pipelining_) stale_ = true;
  return pipelining_;
}

std::size_t ClientConnection::FrontFrameSize() const {
  const std::size_t have = in_end_ - in_begin_;
  if (have < kFrameHeaderSize) return 0;
  const std::uint8_t* frame = in_.data() + in_begin_;
  std::size_t need = kFrameOverhead + FramePayloadLength(frame);
  if (ReplyHasBulkBlock(FrameType(frame), FramePayloadLength(frame))) need += kBulkBlockSize;
  return have >= need ? need : 0;
}

std::optional<ReplyView> ClientConnection::TakeFront(std::size_t size) {
  const std::uint8_t* frame = in_.data() + in_begin_;
  in_begin_ += size;
  if (in_begin_ == in_end_) in_begin_ = in_end_ = 0;  // the bytes stay where they are
  if (!IsValidReplyFrame(frame, size)) {
    stale_ = true;
    return std::nullopt;
  }
  ReplyView reply;
  reply.type = FrameType(frame);
  reply.payload = std::span<const std::uint8_t>(FramePayload(frame), FramePayloadLength(frame));
  if (ReplyHasBulkBlock(reply.type, reply.payload.size())) {
    reply.block = std::span<const std::uint8_t>(FrameBulkBlock(frame), kBulkBlockSize);
  }
  return reply;
}

std::optional<ReplyView> ClientConnection::BufferedReply() {
  const std::size_t size = FrontFrameSize();
  if (size == 0) return std::nullopt;
  return TakeFront(size);
}

std::optional<ReplyView> ClientConnection::NextReply(std::chrono::milliseconds timeout) {
  if (!socket_.IsOpen()) return std::nullopt;
  const Steady::time_point deadline = Steady::now() + timeout;
  for (;;) {
    if (const std::size_t size = FrontFrameSize(); size != 0) return TakeFront(size);
    // Room for at least one whole frame after the bytes kept.
    if (in_begin_ > 0 && in_.size() - in_end_ < kMaxBulkFrameSize) {
      std::memmove(in_.data(), in_.data() + in_begin_, in_end_ - in_begin_);
      in_end_ -= in_begin_;
      in_begin_ = 0;
    }
    const std::span<std::uint8_t> room(in_.data() + in_end_, in_.size() - in_end_);
    platform::TcpSocket::ReadResult got;
    if (last_read_full_) {
      // A full buffer last time: more is most likely waiting already.
      got = socket_.ReadSome(room);
    } else {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
      if (left.count() <= 0) break;
      got = socket_.ReadWait(room, left);
    }
    if (got.error != 0 || got.closed) {
      last_error_ = got.error != 0 ? got.error : platform::wsa::kECONNRESET;
      Close();
      return std::nullopt;
    }
    last_read_full_ = got.bytes == room.size();
    in_end_ += got.bytes;
  }
  if (in_end_ > in_begin_) Close();  // half a frame: the stream is out of step
  in_begin_ = in_end_ = 0;
  last_error_ = platform::wsa::kETIMEDOUT;
  stale_ = true;
  return std::nullopt;
}

std::optional<ReplyFrame> ClientConnection::Copied(std::optional<ReplyView> view) {
  if (!view) return std::nullopt;
  ReplyFrame reply;
  reply.type = view->type;
  reply.payload.assign(view->payload.begin(), view->payload.end());
  reply.block.assign(view->block.begin(), view->block.end());
  return reply;
}

std::optional<ReplyFrame> ClientConnection::ReceiveReply(std::chrono::milliseconds timeout) {
  return Copied(NextReply(timeout));
}

std::optional<ReplyView> ClientConnection::Exchange(std::span<const std::uint8_t> frame,
                                                    PacketType type) {
  // Bytes still waiting belong to an earlier reply that came too late.
  if ((stale_ || in_begin_ != in_end_) && !DrainPending()) {
    Close();
    return std::nullopt;
  }
  if (!SendRaw(frame)) return std::nullopt;
  std::optional<ReplyView> reply = NextReply(reply_timeout_);
  if (reply && reply->type != type) {
    stale_ = true;
    return std::nullopt;
  }
  return reply;
}

std::optional<ReplyFrame> ClientConnection::Request(PacketType type,
                                                    std::span<const std::uint8_t> payload) {
  std::size_t size = BuildRequest(type, payload, out_);
  if (size == 0) {
    Fail(platform::wsa::kEMSGSIZE);
    return std::nullopt;
  }
  return Copied(Exchange(std::span<const std::uint8_t>(out_.data(), size), type));
}

std::optional<ReplyFrame> ClientConnection::BulkRequest(PacketType type,
                                                        std::span<const std::uint8_t> payload,
                                                        std::span<const std::uint8_t> block) {
  std::size_t size = BuildBulkRequest(type, payload, block, out_);
  if (size == 0) {
    Fail(platform::wsa::kEMSGSIZE);
    return std::nullopt;
  }
  return Copied(Exchange(std::span<const std::uint8_t>(out_.data(), size), type));
}

}  // namespace kestrel::client
