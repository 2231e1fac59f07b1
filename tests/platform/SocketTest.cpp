#include "platform/Socket.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>
#include <vector>

namespace kestrel::platform {
namespace {

using std::chrono::milliseconds;

// A listening socket on a free loopback port and one accepted connection pair.
struct Pair {
  TcpSocket listener;
  TcpSocket client;
  TcpSocket server;

  void Open() {
    ASSERT_EQ(listener.Listen(0, 5), 0);
    ASSERT_NE(listener.LocalPort(), 0);
    ASSERT_EQ(client.Connect("127.0.0.1", listener.LocalPort(), milliseconds(2000)), 0);
    ASSERT_EQ(listener.Accept(server), 0);
  }
};

std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(WsaFromErrnoTest, MapsTheSocketErrorsTheServerReports) {
  EXPECT_EQ(WsaFromErrno(0), 0);
  EXPECT_EQ(WsaFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WsaFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WsaFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WsaFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WsaFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WsaFromErrno(EWOULDBLOCK), 10035);
  EXPECT_EQ(WsaFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WsaFromErrno(ENOTSOCK), 10038);
  EXPECT_EQ(WsaFromErrno(EINVAL), 10022);
  EXPECT_EQ(WsaFromErrno(EACCES), 10013);
  EXPECT_EQ(WsaFromErrno(EMFILE), 10024);
  EXPECT_EQ(WsaFromErrno(ENOBUFS), 10055);
  EXPECT_EQ(WsaFromErrno(ENOTCONN), 10057);
  EXPECT_EQ(WsaFromErrno(ECONNABORTED), 10053);
  EXPECT_EQ(WsaFromErrno(EPIPE), 10058);
  EXPECT_EQ(WsaFromErrno(ENETUNREACH), 10051);
  EXPECT_EQ(WsaFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WsaFromErrno(EADDRNOTAVAIL), 10049);
  EXPECT_EQ(WsaFromErrno(EAFNOSUPPORT), 10047);
  EXPECT_EQ(WsaFromErrno(EMSGSIZE), 10040);
  EXPECT_EQ(WsaFromErrno(ENETDOWN), 10050);
  EXPECT_EQ(WsaFromErrno(ENETRESET), 10052);
  EXPECT_EQ(WsaFromErrno(EISCONN), 10056);
  EXPECT_EQ(WsaFromErrno(EALREADY), 10037);
  EXPECT_EQ(WsaFromErrno(EBADF), 10009);
  EXPECT_EQ(WsaFromErrno(EFAULT), 10014);
  EXPECT_EQ(WsaFromErrno(EINTR), 10004);
  EXPECT_EQ(WsaFromErrno(EOPNOTSUPP), 10045);
  EXPECT_EQ(WsaFromErrno(ENOPROTOOPT), 10042);
  EXPECT_EQ(WsaFromErrno(EPROTONOSUPPORT), 10043);
  EXPECT_EQ(WsaFromErrno(ENOENT), 10000 + ENOENT);  // no counterpart
}

TEST(SocketTest, ListeningOnABusyPortGivesAddressInUse) {
  TcpSocket first;
  ASSERT_EQ(first.Listen(0, 5), 0);
  TcpSocket second;
  EXPECT_EQ(second.Listen(first.LocalPort(), 5), wsa::kEADDRINUSE);
  EXPECT_FALSE(second.IsOpen());
}

TEST(SocketTest, ConnectAcceptAndExchangeBothWays) {
  Pair p;
  p.Open();
  EXPECT_EQ(p.server.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(p.server.PeerPort(), p.client.LocalPort());
  EXPECT_EQ(p.client.SetNoDelay(true), 0);
  EXPECT_EQ(p.client.SetSendTimeout(milliseconds(500)), 0);

  ASSERT_EQ(p.client.SendAll(Bytes("hello")), 0);
  std::uint8_t buf[1500];
  auto r = p.server.ReadWait(buf, milliseconds(2000));
  EXPECT_EQ(r.error, 0);
  EXPECT_FALSE(r.closed);
  ASSERT_EQ(r.bytes, 5u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), r.bytes), "hello");

  ASSERT_EQ(p.server.SendAll(Bytes("back")), 0);
  r = p.client.ReadWait(buf, milliseconds(2000));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), r.bytes), "back");
}

TEST(SocketTest, ConnectResolvesLocalhost) {
  TcpSocket listener;
  ASSERT_EQ(listener.Listen(0, 5), 0);
  TcpSocket client;
  EXPECT_EQ(client.Connect("localhost", listener.LocalPort(), milliseconds(2000)), 0);
}

TEST(SocketTest, ReadSomeOfNothingIsZeroWithoutError) {
  Pair p;
  p.Open();
  std::uint8_t buf[16];
  auto r = p.server.ReadSome(buf);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.error, 0);
  EXPECT_FALSE(r.closed);
}

TEST(SocketTest, ReadWaitTimesOutWithNothing) {
  Pair p;
  p.Open();
  std::uint8_t buf[16];
  auto start = std::chrono::steady_clock::now();
  auto r = p.server.ReadWait(buf, milliseconds(60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(60));
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.error, 0);
  EXPECT_FALSE(r.closed);
}

TEST(SocketTest, PeerCloseIsReportedAsClosed) {
  Pair p;
  p.Open();
  ASSERT_EQ(p.client.SendAll(Bytes("last")), 0);
  p.client.Close();
  std::uint8_t buf[16];
  auto r = p.server.ReadWait(buf, milliseconds(2000));
  EXPECT_EQ(r.bytes, 4u);  // data sent before the close still arrives
  r = p.server.ReadWait(buf, milliseconds(2000));
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.error, 0);
}

TEST(SocketTest, ConnectToAClosedPortIsRefused) {
  TcpSocket listener;
  ASSERT_EQ(listener.Listen(0, 5), 0);
  std::uint16_t port = listener.LocalPort();
  listener.Close();
  TcpSocket client;
  EXPECT_EQ(client.Connect("127.0.0.1", port, milliseconds(2000)), wsa::kECONNREFUSED);
  EXPECT_FALSE(client.IsOpen());
}

TEST(SocketTest, ConnectToAnUnknownHostFails) {
  TcpSocket client;
  EXPECT_EQ(client.Connect("no-such-host.invalid", 1, milliseconds(2000)), wsa::kHOST_NOT_FOUND);
}

TEST(SocketTest, ShutdownFromAnotherThreadWakesABlockedAccept) {
  TcpSocket listener;
  ASSERT_EQ(listener.Listen(0, 5), 0);
  int result = 0;
  std::thread acceptor([&] {
    TcpSocket out;
    result = listener.Accept(out);
  });
  std::this_thread::sleep_for(milliseconds(50));
  listener.Shutdown();
  acceptor.join();
  EXPECT_EQ(result, wsa::kEINVAL);
}

TEST(SocketTest, CloseFromAnotherThreadWakesABlockedAccept) {
  TcpSocket listener;
  ASSERT_EQ(listener.Listen(0, 5), 0);
  int result = 0;
  std::thread acceptor([&] {
    TcpSocket out;
    result = listener.Accept(out);
  });
  std::this_thread::sleep_for(milliseconds(50));
  listener.Close();
  acceptor.join();
  EXPECT_NE(result, 0);
}

TEST(SocketTest, ShutdownWakesABlockedReadWait) {
  Pair p;
  p.Open();
  TcpSocket::ReadResult r;
  std::thread reader([&] {
    std::uint8_t buf[16];
    r = p.server.ReadWait(buf, milliseconds(10000));
  });
  std::this_thread::sleep_for(milliseconds(50));
  p.server.Shutdown();
  reader.join();
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_TRUE(r.closed || r.error != 0);
}

TEST(SocketTest, SendAllDeliversALargeBufferCompletely) {
  Pair p;
  p.Open();
  std::vector<std::uint8_t> data(4 * 1024 * 1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
  std::vector<std::uint8_t> got;
  std::thread reader([&] {
    std::uint8_t buf[1500];
    while (got.size() < data.size()) {
      auto r = p.server.ReadWait(buf, milliseconds(5000));
      if (r.bytes == 0) break;
      got.insert(got.end(), buf, buf + r.bytes);
    }
  });
  EXPECT_EQ(p.client.SendAll(data), 0);
  reader.join();
  EXPECT_TRUE(got == data);
}

TEST(SocketTest, SendToAResetPeerFailsWithoutKillingTheProcess) {
  Pair p;
  p.Open();
  p.server.Close();
  std::vector<std::uint8_t> chunk(64 * 1024, 1);
  int err = 0;
  for (int i = 0; i < 100 && err == 0; ++i) err = p.client.SendAll(chunk);
  EXPECT_TRUE(err == wsa::kECONNRESET || err == wsa::kESHUTDOWN) << err;
}

TEST(SocketTest, SendTimeoutBoundsABlockedSend) {
  Pair p;
  p.Open();
  ASSERT_EQ(p.client.SetSendTimeout(milliseconds(100)), 0);
  std::vector<std::uint8_t> chunk(1024 * 1024, 2);
  int err = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 200 && err == 0; ++i) err = p.client.SendAll(chunk);  // nobody reads
  EXPECT_EQ(err, wsa::kETIMEDOUT);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST(SocketTest, MovedSocketKeepsItsDescriptor) {
  TcpSocket a;
  ASSERT_EQ(a.Listen(0, 5), 0);
  int fd = a.fd();
  TcpSocket b(std::move(a));
  EXPECT_FALSE(a.IsOpen());
  EXPECT_EQ(b.fd(), fd);
  TcpSocket c;
  c = std::move(b);
  EXPECT_EQ(c.fd(), fd);
  std::uint8_t buf[4];
  EXPECT_EQ(a.ReadSome(buf).error, wsa::kENOTSOCK);
}

TEST(SocketTest, EveryAddressListenerTakesIpv6AndShowsIpv4PeersDotted) {
  TcpSocket listener;
  ASSERT_EQ(listener.Listen(0, 5), 0);
  TcpSocket v6_client, v6_server, v4_client, v4_server;
  ASSERT_EQ(v6_client.Connect("[::1]", listener.LocalPort(), milliseconds(2000)), 0);
  ASSERT_EQ(listener.Accept(v6_server), 0);
  EXPECT_EQ(v6_server.PeerAddress(), "::1");
  ASSERT_EQ(v4_client.Connect("127.0.0.1", listener.LocalPort(), milliseconds(2000)), 0);
  ASSERT_EQ(listener.Accept(v4_server), 0);
  EXPECT_EQ(v4_server.PeerAddress(), "127.0.0.1");
  EXPECT_EQ(v4_server.PeerPort(), v4_client.LocalPort());
}

TEST(SocketTest, ListenerOn127001IsNotReachableOnAnotherLoopbackAddress) {
  TcpSocket listener;
  ASSERT_EQ(listener.Listen(0, 5, "127.0.0.1"), 0);
  TcpSocket other;
  EXPECT_EQ(other.Connect("127.0.0.2", listener.LocalPort(), milliseconds(2000)),
            wsa::kECONNREFUSED);
  TcpSocket same;
  EXPECT_EQ(same.Connect("127.0.0.1", listener.LocalPort(), milliseconds(2000)), 0);
}

TEST(SocketTest, ListenAddressThatIsNotNumericIsNotAvailable) {
  TcpSocket listener;
  EXPECT_EQ(listener.Listen(0, 5, "localhost"), wsa::kEADDRNOTAVAIL);
  EXPECT_FALSE(listener.IsOpen());
  EXPECT_TRUE(IsNumericAddress("[::1]"));
  EXPECT_TRUE(IsNumericAddress("10.0.0.1"));
  EXPECT_FALSE(IsNumericAddress("10.0.0.256"));
}

}  // namespace
}  // namespace kestrel::platform
