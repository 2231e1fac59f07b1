#include "net/SocketClass.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "net/Frame.h"
#include "net/Listener.h"
#include "platform/MessageBox.h"
#include "platform/Socket.h"

namespace kestrel {
namespace {

using std::chrono::milliseconds;

// Routes message boxes into a capture for the lifetime of a test.
class CapturedBoxes {
 public:
  CapturedBoxes() { platform::SetMessageBoxes(&boxes_); }
  ~CapturedBoxes() { platform::SetMessageBoxes(nullptr); }
  std::vector<std::string> Shown() const { return boxes_.Shown(); }

 private:
  platform::CapturingMessageBox boxes_;
};

// A connected pair: a client socket and the server's CSocketClass for it.
struct Connection {
  platform::TcpSocket client;
  std::unique_ptr<CSocketClass> server;

  Connection() {
    platform::TcpSocket listener;
    EXPECT_EQ(listener.Listen(0, 5), 0);
    EXPECT_EQ(client.Connect("127.0.0.1", listener.LocalPort(), milliseconds(2000)), 0);
    platform::TcpSocket accepted;
    EXPECT_EQ(listener.Accept(accepted), 0);
    server = std::make_unique<CSocketClass>(std::move(accepted));
  }
};

TEST(SocketErrorText, WrapperCodesAndSocketNumbersHaveTheirFixedTexts) {
  EXPECT_STREQ(SocketErrorText(0), "Servers are not able to 'Connect'");
  EXPECT_STREQ(SocketErrorText(1), "Socket is not initialised");
  EXPECT_STREQ(SocketErrorText(2), "Not connect to Client");
  EXPECT_STREQ(SocketErrorText(3), "Not connect to Server");
  EXPECT_STREQ(SocketErrorText(4), "Client not accepted by Server");
  EXPECT_STREQ(SocketErrorText(10048), "The specified address is already in use");
  EXPECT_STREQ(SocketErrorText(10054), "The virtual circuit was reset by the remote side");
  EXPECT_STREQ(SocketErrorText(10055),
               "No buffer space is available. The socket cannot be connected");
  EXPECT_STREQ(SocketErrorText(10035),
               "The socket is marked as nonblocking and the connection cannot be completed "
               "immediately");
  EXPECT_STREQ(SocketErrorText(10093),
               "A successful 'AfxSocketInit' must occur before using this API");
  EXPECT_STREQ(SocketErrorText(10061), "The attempt to connect was rejected");
}

TEST(SocketErrorText, CodeOutsideTheTableIsTheUnknownText) {
  EXPECT_STREQ(SocketErrorText(10059), "An unknow error occured");
  EXPECT_STREQ(SocketErrorText(5), "An unknow error occured");
  EXPECT_STREQ(SocketErrorText(-1), "An unknow error occured");
  EXPECT_EQ(SocketErrorMessage(10059), "An unknow error occured !");
}

TEST(SocketErrorText, ReportShowsTextWithSuffixOnlyWhileShowErrorsIsOn) {
  CapturedBoxes boxes;
  ReportSocketError(10048, false);
  EXPECT_TRUE(boxes.Shown().empty());
  ReportSocketError(10048, true);
  EXPECT_EQ(boxes.Shown(), std::vector<std::string>{"The specified address is already in use !"});
}

TEST(Listener, PortInUseShowsTheAddressInUseBoxAndFails) {
  CapturedBoxes boxes;
  platform::TcpSocket taken;
  ASSERT_EQ(taken.Listen(0, 5), 0);
  Listener listener;
  EXPECT_TRUE(listener.show_errors());
  EXPECT_FALSE(listener.Listen(nullptr, taken.LocalPort()));
  EXPECT_FALSE(listener.listening());
  EXPECT_EQ(listener.last_error(), 10048);
  // The fixed text and " !", then the endpoint that could not be taken.
  EXPECT_EQ(boxes.Shown(),
            std::vector<std::string>{"The specified address is already in use ! (*:" +
                                     std::to_string(taken.LocalPort()) + ")"});
  // Still showing errors: the next failure shows again.
  EXPECT_FALSE(listener.Listen(nullptr, taken.LocalPort()));
  EXPECT_EQ(boxes.Shown().size(), 2u);
}

TEST(Listener, EndpointTextShowsIpv6InBracketsAndEveryAddressAsStar) {
  EXPECT_EQ(ListenEndpointText("", 50000), "*:50000");
  EXPECT_EQ(ListenEndpointText("127.0.0.1", 50000), "127.0.0.1:50000");
  EXPECT_EQ(ListenEndpointText("::1", 50000), "[::1]:50000");
  EXPECT_EQ(ListenEndpointText("[::1]", 50000), "[::1]:50000");
}

TEST(Listener, SuccessfulListenTurnsErrorBoxesOffAndCloseJoinsTheAcceptThread) {
  CapturedBoxes boxes;
  Listener listener;
  ASSERT_TRUE(listener.Listen(nullptr, 0));
  EXPECT_TRUE(listener.listening());
  EXPECT_FALSE(listener.show_errors());
  EXPECT_TRUE(listener.Listen(nullptr, 0));  // already listening
  const std::uint16_t port = listener.LocalPort();
  ASSERT_NE(port, 0);
  platform::TcpSocket client;
  ASSERT_EQ(client.Connect("127.0.0.1", port, milliseconds(2000)), 0);
  listener.Close();
  EXPECT_FALSE(listener.listening());
  platform::TcpSocket refused;
  EXPECT_NE(refused.Connect("127.0.0.1", port, milliseconds(2000)), 0);
  EXPECT_TRUE(boxes.Shown().empty());
  // Listening again after a close makes a new socket.
  ASSERT_TRUE(listener.Listen(nullptr, 0));
  listener.Close();
}

TEST(CSocketClass, ReceiveWithNothingToReadReturnsZeroSilently) {
  CapturedBoxes boxes;
  Connection c;
  c.server->set_show_errors(true);
  std::uint8_t buffer[kReceiveBufferSize];
  CSocketClass::ReceiveResult got = c.server->Receive(buffer);
  EXPECT_EQ(got.bytes, 0u);
  EXPECT_FALSE(got.closed);
  EXPECT_TRUE(boxes.Shown().empty());
}

TEST(CSocketClass, ReceiveNeverDeliversMoreThanItsBuffer) {
  Connection c;
  std::vector<std::uint8_t> big(4000, 0x42);
  ASSERT_EQ(c.client.SendAll(big), 0);
  std::vector<std::uint8_t> buffer(1500);
  std::size_t total = 0;
  while (total < big.size()) {
    CSocketClass::ReceiveResult got = c.server->Receive(buffer);
    ASSERT_FALSE(got.closed);
    EXPECT_LE(got.bytes, buffer.size());
    total += got.bytes;
  }
  EXPECT_EQ(total, big.size());
}

TEST(CSocketClass, PeerCloseIsReportedAsClosedAndPeerStaysKnownAfterClose) {
  Connection c;
  EXPECT_EQ(c.server->GetPeerAddress(), "127.0.0.1");
  EXPECT_EQ(c.server->PeerPort(), c.client.LocalPort());
  c.client.Close();
  std::uint8_t buffer[kReceiveBufferSize];
  CSocketClass::ReceiveResult got;
  for (int i = 0; i < 200 && !got.closed; ++i) {
    got = c.server->Receive(buffer);
    if (!got.closed) std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_TRUE(got.closed);
  const int port = c.server->PeerPort();
  c.server->Close();
  EXPECT_FALSE(c.server->IsOpen());
  EXPECT_EQ(c.server->GetPeerAddress(), "127.0.0.1");
  EXPECT_EQ(c.server->PeerPort(), port);
}

TEST(CSocketClass, BulkReplyLeavesInOneSendAndArrivesWhole) {
  Connection c;
  std::uint8_t frame[kBulkDownloadFrameSize];
  const std::uint8_t count[] = {0x05, 0x00};
  std::uint8_t block[kBulkBlockSize];
  for (std::size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<std::uint8_t>(i);
  ASSERT_EQ(BuildBulkReply(PacketType::kNextDownloadChunk, count, block, frame), 1287u);
  ASSERT_TRUE(c.server->Send(frame, sizeof frame));
  std::uint8_t got[kBulkDownloadFrameSize];
  std::size_t have = 0;
  while (have < sizeof got) {
    auto r = c.client.ReadWait(std::span<std::uint8_t>(got + have, sizeof got - have),
                               milliseconds(2000));
    ASSERT_GT(r.bytes, 0u);
    have += r.bytes;
  }
  EXPECT_TRUE(std::equal(frame, frame + sizeof frame, got));
}

TEST(CSocketClass, SendOnClosedConnectionFailsWithNotConnectedToClient) {
  CapturedBoxes boxes;
  Connection c;
  c.server->Close();
  const std::uint8_t bytes[] = {1, 2, 3};
  EXPECT_FALSE(c.server->Send(bytes, sizeof bytes));
  EXPECT_EQ(c.server->last_error(), kSocketErrorNotConnectedToClient);
  EXPECT_TRUE(boxes.Shown().empty());  // accepted connections never show boxes
}

}  // namespace
}  // namespace kestrel
