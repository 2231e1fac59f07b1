#include "client/ClientConnection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "client/BasicRequests.h"
#include "net/Frame.h"
#include "net/SlotTestHarness.h"
#include "platform/Socket.h"

namespace kestrel::client {
namespace {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

// A one-connection server that answers each request frame with a scripted step.
class ScriptedServer {
 public:
  using Step = std::function<void(platform::TcpSocket& peer, const Bytes& request)>;

  explicit ScriptedServer(std::vector<Step> steps) : steps_(std::move(steps)) {
    EXPECT_EQ(listener_.Listen(0, 5), 0);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedServer() { Join(); }
  // Waits for the server thread (the client must have closed or be done).
  void Join() {
    if (!thread_.joinable()) return;
    listener_.Shutdown();
    thread_.join();
  }
  std::uint16_t port() const { return listener_.LocalPort(); }
  std::vector<Bytes> requests() const { return requests_; }  // after Join

 private:
  void Run() {
    platform::TcpSocket peer;
    if (listener_.Accept(peer) != 0) return;
    for (const Step& step : steps_) {
      Bytes request(kReceiveBufferSize);
      auto got = peer.ReadWait(request, milliseconds(5000));
      if (got.bytes == 0) return;
      request.resize(got.bytes);
      requests_.push_back(request);
      step(peer, request);
    }
    // Hold the connection until the client goes away.
    std::uint8_t scratch[64];
    peer.ReadWait(scratch, milliseconds(5000));
  }

  std::vector<Step> steps_;
  platform::TcpSocket listener_;
  std::thread thread_;
  std::vector<Bytes> requests_;  // server thread until joined
};

Bytes Reply(PacketType type, const Bytes& payload) {
  Bytes out(kFrameOverhead + payload.size());
  EXPECT_EQ(BuildReply(type, payload, out), out.size());
  return out;
}

ScriptedServer::Step Answer(Bytes bytes) {
  return [bytes](platform::TcpSocket& peer, const Bytes&) { peer.SendAll(bytes); };
}
ScriptedServer::Step Silence() {
  return [](platform::TcpSocket&, const Bytes&) {};
}

void ConnectTo(ClientConnection& c, const ScriptedServer& server) {
  ASSERT_TRUE(c.Connect("127.0.0.1", server.port(), milliseconds(2000)));
}

TEST(ClientConnection, YesNoQueriesReadTheOneByteReplies) {
  ScriptedServer server(
      {Answer({0xCC, 0x33, 0x21, 0x01, 0xAA, 0x75}), Answer({0xCC, 0x33, 0x21, 0x01, 0xCC, 0x13}),
       Answer({0xCC, 0x33, 0x30, 0x01, 0xAA, 0x64}), Answer({0xCC, 0x33, 0x30, 0x01, 0xCC, 0x02})});
  ClientConnection c;
  ConnectTo(c, server);
  EXPECT_EQ(ScanResultChanged(c), YesNo::kYes);
  EXPECT_EQ(ScanResultChanged(c), YesNo::kNo);
  EXPECT_EQ(TransferReady(c), YesNo::kYes);
  EXPECT_EQ(TransferReady(c), YesNo::kNo);
  c.Close();
}

TEST(ClientConnection, RequestsGoOutAsExactClientFrames) {
  std::vector<Bytes> seen;
  {
    ScriptedServer server({Answer(Reply(PacketType::kPing, {0xCC, 0x33})),
                           Answer(Reply(PacketType::kTransferReady, {0xCC}))});
    ClientConnection c;
    ConnectTo(c, server);
    EXPECT_TRUE(Ping(c));
    EXPECT_EQ(TransferReady(c), YesNo::kNo);
    c.Close();
    server.Join();
    seen = server.requests();
  }
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], (Bytes{0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x03}));
  EXPECT_EQ(seen[1], (Bytes{0xAA, 0x55, 0x30, 0x00, 0xCF}));
}

TEST(ClientConnection, DownloadChunkSplitOverSeveralReadsIsReassembled) {
  Bytes block(kBulkBlockSize);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 13);
  Bytes chunk(kBulkDownloadFrameSize);
  const std::uint8_t count[] = {0x05, 0x00};
  ASSERT_EQ(BuildBulkReply(PacketType::kNextDownloadChunk, count, block, chunk), 1287u);
  ScriptedServer server({[chunk](platform::TcpSocket& peer, const Bytes&) {
    const std::size_t cuts[] = {0, 1, 3, 6, 700, chunk.size()};
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
      peer.SendAll(std::span<const std::uint8_t>(chunk.data() + cuts[i], cuts[i + 1] - cuts[i]));
      std::this_thread::sleep_for(milliseconds(20));
    }
  }});
  ClientConnection c;
  ConnectTo(c, server);
  std::optional<ReplyFrame> reply = c.Request(PacketType::kNextDownloadChunk);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->type, PacketType::kNextDownloadChunk);
  EXPECT_EQ(reply->payload, (Bytes{0x05, 0x00}));
  EXPECT_EQ(reply->block, block);
  c.Close();
}

TEST(ClientConnection, SilenceIsNoReplyWithinTheBoundedTimeout) {
  ScriptedServer server({Silence()});
  ClientConnection c;
  ConnectTo(c, server);
  c.set_reply_timeout(milliseconds(200));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ScanResultChanged(c), YesNo::kNoReply);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_TRUE(c.connected());
  c.Close();
}

TEST(ClientConnection, CorruptOrMismatchedReplyIsNoReply) {
  ScriptedServer server({Answer({0xCC, 0x33, 0x21, 0x01, 0xAA, 0x76}),    // bad check byte
                         Answer({0xAA, 0x55, 0x21, 0x01, 0xAA, 0x75}),    // client magic
                         Answer({0xCC, 0x33, 0x30, 0x01, 0xAA, 0x64})});  // other type
  ClientConnection c;
  ConnectTo(c, server);
  EXPECT_EQ(ScanResultChanged(c), YesNo::kNoReply);
  EXPECT_EQ(ScanResultChanged(c), YesNo::kNoReply);
  EXPECT_EQ(ScanResultChanged(c), YesNo::kNoReply);
  c.Close();
}

TEST(ClientConnection, LateReplyOfAnEarlierRequestDoesNotAnswerTheNextOne) {
  ScriptedServer server({[](platform::TcpSocket& peer, const Bytes&) {
                           std::this_thread::sleep_for(milliseconds(300));
                           peer.SendAll(Bytes{0xCC, 0x33, 0x21, 0x01, 0xAA, 0x75});
                         },
                         Answer({0xCC, 0x33, 0x21, 0x01, 0xCC, 0x13})});
  ClientConnection c;
  ConnectTo(c, server);
  c.set_reply_timeout(milliseconds(100));
  EXPECT_EQ(ScanResultChanged(c), YesNo::kNoReply);
  std::this_thread::sleep_for(milliseconds(400));  // the late yes is now waiting
  c.set_reply_timeout(milliseconds(2000));
  EXPECT_EQ(ScanResultChanged(c), YesNo::kNo);
  c.Close();
}

TEST(ClientConnection, ServerCloseEndsTheConnection) {
  ScriptedServer server({[](platform::TcpSocket& peer, const Bytes&) { peer.Close(); }});
  ClientConnection c;
  ConnectTo(c, server);
  EXPECT_FALSE(Ping(c));
  EXPECT_FALSE(c.connected());
  EXPECT_FALSE(Ping(c));
}

TEST(ClientConnection, ConnectToClosedPortFailsWithRefused) {
  platform::TcpSocket probe;
  ASSERT_EQ(probe.Listen(0, 1), 0);
  const std::uint16_t port = probe.LocalPort();
  probe.Close();
  ClientConnection c;
  EXPECT_FALSE(c.Connect("127.0.0.1", port, milliseconds(2000)));
  EXPECT_EQ(c.last_error(), platform::wsa::kECONNREFUSED);
  EXPECT_FALSE(c.connected());
}

TEST(ClientConnection, OversizePayloadIsRefusedWithoutSending) {
  ScriptedServer server({});
  ClientConnection c;
  ConnectTo(c, server);
  EXPECT_FALSE(c.Request(PacketType::kLogin, Bytes(256)).has_value());
  EXPECT_EQ(c.last_error(), platform::wsa::kEMSGSIZE);
  c.Close();
}

TEST(ClientConnection, PingAndBulkChunkAgainstTheConnectionSlots) {
  test::SlotServer server;
  ClientConnection c;
  ASSERT_TRUE(c.Connect("127.0.0.1", server.port(), milliseconds(2000)));
  EXPECT_TRUE(Ping(c));
  std::optional<ReplyFrame> chunk = c.Request(PacketType::kNextDownloadChunk);
  ASSERT_TRUE(chunk.has_value());
  EXPECT_EQ(chunk->payload, (Bytes{0x05, 0x00}));
  EXPECT_EQ(chunk->block.size(), kBulkBlockSize);
  c.set_reply_timeout(milliseconds(100));
  EXPECT_EQ(TransferReady(c), YesNo::kNoReply);  // the test session does not answer it
  c.Close();
  EXPECT_TRUE(server.log().WaitFor("Client closed, Thread 0 wll end"));
}

}  // namespace
}  // namespace kestrel::client
