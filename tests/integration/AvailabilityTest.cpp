// Connections that have not logged in cannot crowd out those who do: the
// login grace, the caps per source address and in total, seen from outside
// with small configured values. Other loopback addresses stand for other hosts.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "OneProjectServer.h"
#include "client/BasicRequests.h"
#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "platform/Socket.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {
namespace {

using std::chrono::milliseconds;

constexpr const char* kKey = "availability-key";

class AvailabilityTest : public OneProjectServerTest {
 protected:
  AvailabilityTest() : OneProjectServerTest(kKey) {}
  void Start(const std::string& general_extra) {
    StartServer(general_extra);
    ASSERT_TRUE(server_->WaitListening(port_));
  }
  int Count(const std::string& text) const {
    const std::string out = server_->Stdout();
    int n = 0;
    for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
    return n;
  }
  // A connection from `from` that says nothing, once the server handed it to a slot.
  platform::TcpSocket Silent(const std::string& from) {
    const int before = Count("Client accepted Thread");
    platform::TcpSocket s;
    EXPECT_EQ(s.Connect("127.0.0.1", port_, milliseconds(2000), from), 0);
    EXPECT_TRUE(WaitFor([&] { return Count("Client accepted Thread") > before; }));
    return s;
  }
  // A client from `from` that exchanges a key and logs in.
  bool LogsIn(client::ClientConnection& c, const std::string& from) {
    if (!c.Connect("127.0.0.1", port_, milliseconds(2000), from)) return false;
    c.set_reply_timeout(milliseconds(1500));
    client::ClientSession s(c, kKey);
    return s.RequestSessionKey() && s.Login("anna", "secret", "Alpha");
  }
};

// True when the server closed s within the limit.
bool ClosedByServer(platform::TcpSocket& s, milliseconds limit) {
  std::uint8_t buffer[64];
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    const auto got = s.ReadWait(buffer, milliseconds(20));
    if (got.closed || (got.error != 0 && got.error != platform::wsa::kEWOULDBLOCK)) return true;
  }
  return false;
}

TEST_F(AvailabilityTest, NotLoggedInWithinTheGraceIsClosedLikeASilentConnection) {
  Start("    <LoginGraceSeconds>2</LoginGraceSeconds>\n");
  platform::TcpSocket silent = Silent("127.0.0.1");
  client::ClientConnection anna;
  ASSERT_TRUE(LogsIn(anna, "127.0.0.2"));
  EXPECT_TRUE(ClosedByServer(silent, milliseconds(6000)));
  EXPECT_TRUE(WaitFor([&] { return Count("due to time out") >= 1; })) << server_->Stdout();
  EXPECT_TRUE(WaitFor([&] { return Count(" will be terminated") == 1; }));
  // The logged-in client of the same moment stays.
  EXPECT_TRUE(client::Ping(anna));
}

TEST_F(AvailabilityTest, BeyondItsSourcesCapANewConnectionIsClosedAtOnceOthersAreServed) {
  Start("    <MaxStartupsPerSource>2</MaxStartupsPerSource>\n");
  platform::TcpSocket a = Silent("127.0.0.1");
  platform::TcpSocket b = Silent("127.0.0.1");
  platform::TcpSocket third;
  ASSERT_EQ(third.Connect("127.0.0.1", port_, milliseconds(2000), "127.0.0.1"), 0);
  EXPECT_TRUE(ClosedByServer(third, milliseconds(2000)));
  client::ClientConnection other_host;
  EXPECT_TRUE(LogsIn(other_host, "127.0.0.2"));
  EXPECT_FALSE(ClosedByServer(a, milliseconds(50)));
  // Once one of its connections is gone, the source is served again.
  a.Close();
  client::ClientConnection again;
  EXPECT_TRUE(WaitFor([&] { return LogsIn(again, "127.0.0.1"); }));
}

TEST_F(AvailabilityTest, BeyondTheTotalCapTheLongestIdleConnectionNotLoggedInMakesRoom) {
  Start("    <MaxStartups>2</MaxStartups>\n");
  platform::TcpSocket oldest = Silent("127.0.0.1");
  platform::TcpSocket younger = Silent("127.0.0.3");
  client::ClientConnection anna;
  ASSERT_TRUE(LogsIn(anna, "127.0.0.2"));
  EXPECT_TRUE(ClosedByServer(oldest, milliseconds(2000)));
  // The logged-in anna does not count: one more finds room without a drop.
  platform::TcpSocket next = Silent("127.0.0.5");
  EXPECT_FALSE(ClosedByServer(younger, milliseconds(300)));
  // The cap is reached again: the newcomer drops the idlest, never anna.
  platform::TcpSocket newcomer = Silent("127.0.0.4");
  EXPECT_TRUE(ClosedByServer(younger, milliseconds(2000)));
  EXPECT_FALSE(ClosedByServer(next, milliseconds(50)));
  EXPECT_FALSE(ClosedByServer(newcomer, milliseconds(50)));
  EXPECT_TRUE(client::Ping(anna));
}

}  // namespace
}  // namespace kestrel::test
