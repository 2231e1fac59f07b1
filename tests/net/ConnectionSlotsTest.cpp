#include "net/ConnectionSlots.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "SlotTestHarness.h"
#include "logging/LogChannel.h"

namespace kestrel {
namespace {

using test::ConnectTo;
using test::SeesClose;
using test::SlotServer;
using test::WaitUntil;

std::string Accepted(int thread, const platform::TcpSocket& client) {
  return StringPrintf("Client accepted Thread %d, Port %d", thread, client.LocalPort());
}

bool PingOver(platform::TcpSocket& client) {
  const std::uint8_t ping[] = {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x03};
  if (client.SendAll(ping) != 0) return false;
  std::uint8_t reply[16] = {};
  std::size_t have = 0;
  while (have < 7) {
    auto got =
        client.ReadWait(std::span<std::uint8_t>(reply + have, 7 - have), std::chrono::seconds(5));
    if (got.bytes == 0) return false;
    have += got.bytes;
  }
  const std::uint8_t expected[] = {0xCC, 0x33, 0x01, 0x02, 0xCC, 0x33, 0x03};
  return std::equal(expected, expected + 7, reply);
}

TEST(ConnectionSlots, HandOffPicksTheLowestFreeSlotAndLogsItsThreadAndPeerPort) {
  SlotServer server;
  ASSERT_TRUE(server.listening());
  platform::TcpSocket a = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(1));
  platform::TcpSocket b = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(2));
  platform::TcpSocket c = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(3));
  EXPECT_EQ(server.HandOffs(), (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(server.log().WaitFor(Accepted(0, a)));
  EXPECT_TRUE(server.log().WaitFor(Accepted(1, b)));
  EXPECT_TRUE(server.log().WaitFor(Accepted(2, c)));
  EXPECT_TRUE(PingOver(b));

  // Slot 1 frees up and waits again at once; the next client gets slot 1.
  b.Close();
  ASSERT_TRUE(server.log().WaitFor("Client closed, Thread 1 wll end"));
  ASSERT_TRUE(WaitUntil([&] { return !server.slots().slot(1).finished(); }));
  platform::TcpSocket d = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(4));
  EXPECT_EQ(server.HandOffs().back(), 1);
  EXPECT_TRUE(server.log().WaitFor(Accepted(1, d)));
  EXPECT_TRUE(PingOver(d));
}

TEST(ConnectionSlots, ClientCloseEndsTheThreadWithRecordAndMessageAndSessionSeesPeerAtEnd) {
  SlotServer server;
  platform::TcpSocket client = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(1));
  ASSERT_TRUE(PingOver(client));
  client.Close();
  ASSERT_TRUE(server.log().WaitFor("Client closed, Thread 0 wll end"));
  ASSERT_TRUE(WaitUntil([&] { return server.closed_messages() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return server.slots().slot(0).idle(); }));
  EXPECT_EQ(server.stats().ends.load(), 1);
  // The logout step still had a usable connection object (peer address for its line).
  EXPECT_EQ(server.stats().ends_with_open_connection.load(), 1);
  EXPECT_EQ(server.terminated_messages(), 0);
  // The thread lives on with a fresh session handler for the next connection.
  EXPECT_FALSE(server.slots().slot(0).thread_ended());
  EXPECT_TRUE(
      WaitUntil([&] { return server.stats().alive.load() == ConnectionSlots::kSlotCount; }));
}

TEST(ConnectionSlots, EndedConnectionsSlotServesTheNextAtOnceWithoutATick) {
  SlotServer server;
  // The test clock never ticks: every slot comes back by itself.
  for (int i = 0; i < 300; ++i) {
    platform::TcpSocket client = ConnectTo(server.port());
    ASSERT_TRUE(PingOver(client)) << "session " << i;
    client.Close();
    ASSERT_TRUE(server.log().WaitFor("Client closed, Thread 0 wll end", i + 1)) << "session " << i;
    ASSERT_TRUE(WaitUntil([&] { return !server.slots().slot(0).finished(); }));
  }
  const std::vector<int> handoffs = server.HandOffs();
  EXPECT_EQ(std::count(handoffs.begin(), handoffs.end(), 0), 300);
}

TEST(ConnectionSlots, FrameSentJustBeforeCloseIsStillDispatched) {
  SlotServer server;
  platform::TcpSocket client = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(1));
  ASSERT_TRUE(server.log().WaitFor(Accepted(0, client)));
  const std::uint8_t ping[] = {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x03};
  ASSERT_EQ(client.SendAll(ping), 0);
  client.Shutdown();
  ASSERT_TRUE(server.log().WaitFor("Client closed, Thread 0 wll end"));
  EXPECT_EQ(server.stats().receives.load(), 1);
}

TEST(ConnectionSlots, The251stConnectionIsClosedAtOnceWithoutLogLine) {
  SlotServer server;
  std::vector<platform::TcpSocket> clients;
  for (int i = 0; i < ConnectionSlots::kSlotCount; ++i) clients.push_back(ConnectTo(server.port()));
  ASSERT_TRUE(server.WaitHandOffs(250));
  for (int i = 0; i < 250; ++i) {
    ASSERT_TRUE(server.log().WaitFor(Accepted(i, clients[static_cast<std::size_t>(i)])));
  }
  std::vector<int> expected(250);
  for (int i = 0; i < 250; ++i) expected[static_cast<std::size_t>(i)] = i;
  EXPECT_EQ(server.HandOffs(), expected);
  const std::size_t records_before = server.log().Records().size();

  platform::TcpSocket extra = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(251));
  EXPECT_EQ(server.HandOffs().back(), -1);
  EXPECT_TRUE(SeesClose(extra));
  EXPECT_EQ(server.slots().ServingCount(), 250);
  server.Tick();  // the main thread has handled everything posted before
  EXPECT_EQ(server.log().Records().size(), records_before);

  // Every one of the 250 is served.
  for (auto& c : clients) ASSERT_TRUE(PingOver(c));
  EXPECT_TRUE(WaitUntil([&] { return server.stats().replies_sent.load() == 250; }));
}

TEST(ConnectionSlots, SilentClientIsTerminatedOnThe179thTick) {
  SlotServer server;
  platform::TcpSocket client = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(1));
  ASSERT_TRUE(server.log().WaitFor(Accepted(0, client)));
  server.Tick(178);
  EXPECT_EQ(server.log().Count("terminating thread 0 due to time out"), 0);
  EXPECT_EQ(server.slots().slot(0).timeout.load(), 2);
  EXPECT_FALSE(server.slots().slot(0).finished());

  server.Tick();
  ASSERT_TRUE(server.log().WaitFor("Thread 0 will be terminated"));
  int warning = server.log().IndexOf("terminating thread 0 due to time out");
  int info = server.log().IndexOf("Thread 0 will be terminated");
  ASSERT_GE(warning, 0);
  EXPECT_LT(warning, info);
  auto records = server.log().Records();
  EXPECT_EQ(records[static_cast<std::size_t>(warning)].level, kLogWarning);
  EXPECT_EQ(records[static_cast<std::size_t>(info)].level, kLogInfo);
  EXPECT_TRUE(WaitUntil([&] { return server.terminated_messages() == 1; }));
  EXPECT_TRUE(SeesClose(client));
  EXPECT_EQ(server.closed_messages(), 0);
  EXPECT_EQ(server.log().Count("Client closed, Thread 0 wll end"), 0);
}

TEST(ConnectionSlots, ClientSendingEvery170TicksIsNeverDropped) {
  SlotServer server;
  platform::TcpSocket client = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(1));
  for (int round = 0; round < 3; ++round) {
    server.Tick(170);
    ASSERT_TRUE(PingOver(client));
    ASSERT_TRUE(WaitUntil([&] { return server.slots().slot(0).timeout.load() == 180; }));
  }
  EXPECT_EQ(server.log().Count("terminating thread 0 due to time out"), 0);
  EXPECT_FALSE(server.slots().slot(0).finished());
}

TEST(ConnectionSlots, BytesThatMakeNoValidFrameAreNoSignOfLife) {
  SlotServer server;
  platform::TcpSocket client = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(1));
  server.Tick(100);
  const std::uint8_t corrupt[] = {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x04};
  ASSERT_EQ(client.SendAll(corrupt), 0);
  ASSERT_TRUE(WaitUntil([&] { return server.stats().receives.load() == 1; }));
  server.Tick(79);
  EXPECT_TRUE(server.log().WaitFor("Thread 0 will be terminated"));
  EXPECT_TRUE(SeesClose(client));
}

TEST(ConnectionSlots, StopDuringBusyConnectionJoinsEveryThreadWithoutClientClosedRecord) {
  SlotServer server;
  platform::TcpSocket client = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(1));
  ASSERT_TRUE(PingOver(client));
  ASSERT_TRUE(WaitUntil([&] { return server.stats().alive.load() == 250; }));
  server.Stop();
  // StopAll returned: every slot thread has ended and destroyed its session.
  EXPECT_EQ(server.stats().alive.load(), 0);
  EXPECT_EQ(server.stats().ends.load(), 1);
  EXPECT_TRUE(SeesClose(client));
  EXPECT_EQ(server.log().Count("Client closed, Thread 0 wll end"), 0);
  EXPECT_EQ(server.closed_messages(), 0);
  for (int i = 0; i < ConnectionSlots::kSlotCount; ++i) {
    EXPECT_EQ(server.slots().slot(i).connection, nullptr);
  }
  // No restarts after a stop, and no hand-off.
  server.Tick();
  EXPECT_EQ(server.stats().alive.load(), 0);
  EXPECT_FALSE(server.slots().running());
}

TEST(ConnectionSlots, ConnectionBeforeSlotsStartIsClosedAtOnce) {
  SlotServer server(/*start_slots=*/false);
  platform::TcpSocket early = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(1));
  EXPECT_EQ(server.HandOffs().back(), -1);
  EXPECT_TRUE(SeesClose(early));
  server.StartSlots();
  platform::TcpSocket later = ConnectTo(server.port());
  ASSERT_TRUE(server.WaitHandOffs(2));
  EXPECT_EQ(server.HandOffs().back(), 0);
  EXPECT_TRUE(PingOver(later));
}

TEST(ConnectionSlots, RestartAfterStopServesAgain) {
  SlotServer server;
  server.Stop();
  server.StartSlots();
  EXPECT_TRUE(WaitUntil([&] { return server.stats().alive.load() == 250; }));
  EXPECT_TRUE(server.slots().running());
  // The test server's listener is closed by Stop; a hand-off still works.
  platform::TcpSocket a;
  platform::TcpSocket b;
  platform::TcpSocket listener;
  ASSERT_EQ(listener.Listen(0, 5), 0);
  ASSERT_EQ(a.Connect("127.0.0.1", listener.LocalPort()), 0);
  ASSERT_EQ(listener.Accept(b), 0);
  int slot = -2;
  auto connection = std::make_unique<CSocketClass>(std::move(b));
  server.main().Invoke([&] { slot = server.slots().HandOff(std::move(connection)); });
  EXPECT_EQ(slot, 0);
  EXPECT_TRUE(PingOver(a));
}

}  // namespace
}  // namespace kestrel
