#pragma once
// The client side of the protocol: one TCP connection to the server that
// sends one request frame and then waits a bounded time for its one reply.
// Replies are read as a stream into one buffer and taken from it frame by
// frame, so a server that answers several pipelined requests at once costs
// one read for many replies. Silence is an answer in this protocol (a refused
// login sends nothing), so "no reply" is a normal result.
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

// A reply inside the connection's read buffer, valid until the next read.
struct ReplyView {
  PacketType type = PacketType::kPing;
  std::span<const std::uint8_t> payload;
  std::span<const std::uint8_t> block;  // the 1280-byte bulk block of a data chunk, else empty
};

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
  // The read buffer: many download chunks per read.
  static constexpr std::size_t kReadBufferSize = 64 * 1024;
  // The probe's wait for the first answer (at most the reply time-out) and
  // the least wait for the second.
  static constexpr std::chrono::milliseconds kProbeWait{5000};
  static constexpr std::chrono::milliseconds kProbeSecondWait{100};

  ClientConnection() : in_(kReadBufferSize) {}
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

  // Asks whether the server takes requests back to back: two pings in one
  // send. A server that reads one frame per read answers once, one that
  // reads a stream answers twice. False also without a connection.
  bool ProbePipelining();
  // The answer of the last probe (false before one).
  bool pipelining() const { return pipelining_; }
  void set_pipelining(bool on) { pipelining_ = on; }

  // One request, one reply of the same type; nothing (std::nullopt) when no
  // valid reply of that type arrived within the reply time-out. Any stale
  // bytes from an earlier late reply are dropped before the request goes out.
  std::optional<ReplyFrame> Request(PacketType type, std::span<const std::uint8_t> payload = {});
  // The same with a 1280-byte bulk block after the check byte (upload chunks).
  std::optional<ReplyFrame> BulkRequest(PacketType type, std::span<const std::uint8_t> payload,
                                        std::span<const std::uint8_t> block);
  // One whole request frame as built by the caller, and its reply in the
  // read buffer (see NextReply): the chunk loops, which allocate nothing.
  std::optional<ReplyView> Exchange(std::span<const std::uint8_t> frame, PacketType type);

  // Lower-level steps, also for tests that need odd frames.
  bool SendFrame(PacketType type, std::span<const std::uint8_t> payload);
  bool SendRaw(std::span<const std::uint8_t> bytes);  // exactly these bytes, one send
  // Waits up to timeout for one complete server frame. A frame that started
  // but did not complete in time leaves the stream out of step: the
  // connection is then closed.
  std::optional<ReplyFrame> ReceiveReply(std::chrono::milliseconds timeout);
  // The same without a copy: the frame stays in the read buffer, valid until
  // the next call that reads. An invalid frame is dropped (nothing returned).
  std::optional<ReplyView> NextReply(std::chrono::milliseconds timeout);
  // The next frame already read, without reading or waiting.
  std::optional<ReplyView> BufferedReply();
  // Reads and drops whatever has already arrived; false when the server closed.
  bool DrainPending();
  // Replies to requests given up on may still come: the next request drops
  // whatever arrived before it goes out.
  void ExpectStrayReplies() { stale_ = true; }

 private:
  std::optional<ReplyFrame> Copied(std::optional<ReplyView> view);
  bool Fail(int error);
  // Size of the complete frame at the front of the buffer; 0 when incomplete.
  std::size_t FrontFrameSize() const;
  // Takes the front frame (size bytes) out of the buffer.
  std::optional<ReplyView> TakeFront(std::size_t size);

  platform::TcpSocket socket_;
  int last_error_ = 0;
  std::chrono::milliseconds reply_timeout_ = kDefaultReplyTimeout;
  bool pipelining_ = false;
  // A reply may still be on its way (a request went unanswered in time, or
  // an unexpected frame came): the next request first drops what arrived.
  bool stale_ = false;
  std::array<std::uint8_t, kMaxBulkFrameSize> out_{};  // request being built
  std::vector<std::uint8_t> in_;                       // read buffer
  std::size_t in_begin_ = 0;                           // first byte not yet taken
  std::size_t in_end_ = 0;                             // end of the bytes read
  bool last_read_full_ = false;  // the last read filled the buffer: more may wait
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
