#pragma once
// The client side of the protocol: one TCP connection to the server that
// sends one request frame and then waits a bounded time for its one reply.
// Replies may arrive split over several reads (a download chunk is 1287
// bytes); they are put back together here. Silence is an answer in this
// protocol (a refused login sends nothing), so "no reply" is a normal result.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "net/Frame.h"
#include "platform/Socket.h"

namespace kestrel::client {

struct ReplyFrame {
  PacketType type = PacketType::kPing;
  std::vector<std::uint8_t> payload;
  std::vector<std::uint8_t> block;  // the 1280-byte bulk block of a data chunk, else empty
};

// Used by one thread at a time.
class ClientConnection {
 public:
  static constexpr std::chrono::milliseconds kDefaultConnectTimeout{10000};
  static constexpr std::chrono::milliseconds kDefaultReplyTimeout{5000};
  static constexpr std::chrono::milliseconds kSendTimeout{30000};

  ClientConnection() = default;
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // host: a name (IPv4 or IPv6 addresses, tried in turn), IPv4 dotted, or
  // IPv6 with or without brackets. False with last_error() set on failure.
  // local_address: numeric source address to connect from (empty: any).
  bool Connect(const std::string& host, std::uint16_t port,
               std::chrono::milliseconds timeout = kDefaultConnectTimeout,
               std::string_view local_address = {});
  void Close();
  bool connected() const { return socket_.IsOpen(); }
  int last_error() const { return last_error_; }  // a Windows Sockets number, 0 = none
  std::uint16_t LocalPort() const { return socket_.LocalPort(); }

  // How long Request waits for a reply.
  void set_reply_timeout(std::chrono::milliseconds timeout) { reply_timeout_ = timeout; }
  std::chrono::milliseconds reply_timeout() const { return reply_timeout_; }

  // One request, one reply of the same type; nothing (std::nullopt) when no
  // valid reply of that type arrived within the reply time-out. Any stale
  // bytes from an earlier late reply are dropped before the request goes out.
  std::optional<ReplyFrame> Request(PacketType type, std::span<const std::uint8_t> payload = {});
  // The same with a 1280-byte bulk block after the check byte (upload chunks).
  std::optional<ReplyFrame> BulkRequest(PacketType type, std::span<const std::uint8_t> payload,
                                        std::span<const std::uint8_t> block);

  // Lower-level steps, also for tests that need odd frames.
  bool SendFrame(PacketType type, std::span<const std::uint8_t> payload);
  bool SendRaw(std::span<const std::uint8_t> bytes);  // exactly these bytes, one send
  // Waits up to timeout for one complete server frame. A frame that started
  // but did not complete in time leaves the stream out of step: the
  // connection is then closed.
  std::optional<ReplyFrame> ReceiveReply(std::chrono::milliseconds timeout);
  // Reads and drops whatever has already arrived; false when the server closed.
  bool DrainPending();

 private:
  std::optional<ReplyFrame> Exchange(std::span<const std::uint8_t> frame, PacketType type);
  bool Fail(int error);

  platform::TcpSocket socket_;
  int last_error_ = 0;
  std::chrono::milliseconds reply_timeout_ = kDefaultReplyTimeout;
  std::array<std::uint8_t, kMaxBulkFrameSize> out_{};  // request being built
  std::array<std::uint8_t, kMaxBulkFrameSize> in_{};   // reply being reassembled
};

// Sets a connection's reply time-out for one scope.
class ScopedReplyTimeout {
 public:
  ScopedReplyTimeout(ClientConnection& connection, std::chrono::milliseconds timeout)
      : connection_(connection), saved_(connection.reply_timeout()) {
    connection_.set_reply_timeout(timeout);
  }
  ~ScopedReplyTimeout() { connection_.set_reply_timeout(saved_); }
  ScopedReplyTimeout(const ScopedReplyTimeout&) = delete;
  ScopedReplyTimeout& operator=(const ScopedReplyTimeout&) = delete;

 private:
  ClientConnection& connection_;  // borrowed for the scope
  std::chrono::milliseconds saved_;
};

}  // namespace kestrel::client
