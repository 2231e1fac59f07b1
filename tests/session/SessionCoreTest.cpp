// The core of the session: frame handling, the catalogue's checks, ping and
// the two yes/no queries, and the exact bytes of their replies.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "logging/LogRecord.h"
#include "session/SessionHarness.h"

namespace kestrel::test {
namespace {

const Bytes kPing = {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x03};
const Bytes kPingReply = {0xCC, 0x33, 0x01, 0x02, 0xCC, 0x33, 0x03};

class SessionCoreTest : public ::testing::Test {
 protected:
  SessionEnv env;
};

TEST_F(SessionCoreTest, PingIsEchoedExactlyAndLogged) {
  RawPeer peer(env);
  EXPECT_EQ(peer.Exchange(kPing, 7), kPingReply);
  const std::string line =
      "Ping handled from IP 127.0.0.1 at Port " + std::to_string(peer.socket.LocalPort());
  EXPECT_TRUE(env.WaitForLog(line, kLogInfo));
}

TEST_F(SessionCoreTest, RepliesOfAReadEndingInAnUnfinishedFrameAreNotHeldBack) {
  RawPeer peer(env);
  Bytes stream;
  for (int i = 0; i < 3; ++i) stream.insert(stream.end(), kPing.begin(), kPing.end());
  stream.insert(stream.end(), kPing.begin(), kPing.begin() + 3);
  ASSERT_TRUE(peer.Send(stream));
  Bytes three;
  for (int i = 0; i < 3; ++i) three.insert(three.end(), kPingReply.begin(), kPingReply.end());
  EXPECT_EQ(peer.Read(three.size()), three);
  EXPECT_EQ(peer.Exchange(Bytes(kPing.begin() + 3, kPing.end()), 7), kPingReply);
}

TEST_F(SessionCoreTest, PingWithOtherPayloadGetsNoReplyAndNoLog) {
  RawPeer peer(env);
  peer.Send(ClientFrame(0x01, {0xCC, 0x34}));
  EXPECT_TRUE(peer.Silent());
  peer.Send(ClientFrame(0x01, {0xCC, 0x33, 0x00}));
  EXPECT_TRUE(peer.Silent());
  peer.Send(ClientFrame(0x01));
  EXPECT_TRUE(peer.Silent());
  EXPECT_EQ(peer.Exchange(kPing, 7), kPingReply);  // still serving
  const std::string line =
      "Ping handled from IP 127.0.0.1 at Port " + std::to_string(peer.socket.LocalPort());
  EXPECT_TRUE(env.WaitForLog(line, kLogInfo));
  EXPECT_EQ(env.log_window.LogLines().size(), 1u);
}

TEST_F(SessionCoreTest, WrongCheckByteGivesOneCorruptWarningWhateverTheType) {
  RawPeer peer(env);
  for (std::uint8_t type : {0x01, 0x11, 0x90}) {
    Bytes frame = ClientFrame(type, {0xCC, 0x33});
    frame.back() ^= 0x40;
    peer.Send(frame);
    EXPECT_TRUE(peer.Silent());
  }
  EXPECT_TRUE(env.WaitForLog("network handling: corrupt packet", kLogWarning, 3));
  EXPECT_EQ(peer.Exchange(kPing, 7), kPingReply);
  EXPECT_EQ(env.log_window.CountLog("network handling: corrupt packet", kLogWarning), 3);
}

TEST_F(SessionCoreTest, ACorruptFloodLogsTenLinesASecondThenOneCountOfTheRest) {
  RawPeer peer(env);
  for (int i = 0; i < 40; ++i) {  // each read of garbage is one corrupt packet
    peer.Send({0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(peer.Silent());
  const int reads = peer.served->reads();
  ASSERT_GT(reads, 10);
  env.clock.Advance(std::chrono::seconds(1));
  EXPECT_EQ(peer.Exchange(kPing, 7), kPingReply);  // the next read reports the burst
  const std::string summary = std::to_string(reads - 10) +
                              " similar lines suppressed from IP 127.0.0.1 at Port " +
                              std::to_string(peer.socket.LocalPort());
  EXPECT_TRUE(env.WaitForLog(summary, kLogWarning));
  EXPECT_EQ(env.log_window.CountLog("network handling: corrupt packet", kLogWarning), 10);
}

TEST_F(SessionCoreTest, ServerDirectionFrameIsCorrupt) {
  RawPeer peer(env);
  peer.Send(ServerFrame(0x01, {0xCC, 0x33}));
  EXPECT_TRUE(peer.Silent());
  EXPECT_TRUE(env.WaitForLog("network handling: corrupt packet", kLogWarning));
}

TEST_F(SessionCoreTest, UnknownTypesGiveUnknownPacketWarning) {
  RawPeer peer(env);
  for (std::uint8_t type : {0x02, 0x25, 0x90, 0xFF}) {
    peer.Send(ClientFrame(type));
    EXPECT_TRUE(peer.Silent(std::chrono::milliseconds(100)));
  }
  EXPECT_TRUE(env.WaitForLog("network handling: unknown packet", kLogWarning, 4));
}

TEST_F(SessionCoreTest, FrameSplitOverTwoReadsIsAnsweredOnce) {
  RawPeer peer(env);
  peer.Send(Bytes(kPing.begin(), kPing.begin() + 3));
  ASSERT_TRUE(WaitUntil([&] { return peer.served->reads() == 1; }));
  EXPECT_TRUE(peer.Silent(std::chrono::milliseconds(100)));
  peer.Send(Bytes(kPing.begin() + 3, kPing.end()));
  EXPECT_EQ(peer.Read(7), kPingReply);
  EXPECT_EQ(peer.served->reads(), 2);
  EXPECT_EQ(env.log_window.CountLog("network handling: corrupt packet", kLogWarning), 0);
}

TEST_F(SessionCoreTest, UnfinishedFrameIsDroppedAfterTheTimeoutAndTheNextFrameServed) {
  RawPeer peer(env);
  peer.Send(Bytes(kPing.begin(), kPing.begin() + 5));
  ASSERT_TRUE(WaitUntil([&] { return peer.served->reads() == 1; }));
  env.clock.Advance(std::chrono::milliseconds(2500));
  EXPECT_EQ(peer.Exchange(kPing, 7), kPingReply);
  EXPECT_TRUE(env.WaitForLog("network handling: corrupt packet", kLogWarning));
}

TEST_F(SessionCoreTest, ShortReadIsNotCompletedByStaleBytesOfTheLastRead) {
  RawPeer peer(env);
  EXPECT_EQ(peer.Exchange(kPing, 7), kPingReply);
  // The same frame without its check byte: the receive buffer still holds
  // 0x03 at that place from the last read, but it was not received now.
  peer.Send(Bytes(kPing.begin(), kPing.end() - 1));
  EXPECT_TRUE(peer.Silent());
  peer.Send(Bytes{0x04});  // a wrong check byte completes it as corrupt
  EXPECT_TRUE(peer.Silent());
  EXPECT_TRUE(env.WaitForLog("network handling: corrupt packet", kLogWarning));
}

TEST_F(SessionCoreTest, EveryFrameOfOneReadIsAnsweredInOrder) {
  RawPeer peer(env);
  Bytes read = kPing;
  read.insert(read.end(), kPing.begin(), kPing.end());
  Bytes replies = kPingReply;
  replies.insert(replies.end(), kPingReply.begin(), kPingReply.end());
  EXPECT_EQ(peer.Exchange(read, 14), replies);
  EXPECT_TRUE(peer.Silent());
  EXPECT_EQ(env.log_window.CountLog("network handling: corrupt packet", kLogWarning), 0);
}

TEST_F(SessionCoreTest, TransferReadyBeforeAnyPreparationSaysNo) {
  RawPeer peer(env);
  EXPECT_EQ(peer.Exchange(ClientFrame(0x30), 6), (Bytes{0xCC, 0x33, 0x30, 0x01, 0xCC, 0x02}));
  peer.Send(ClientFrame(0x30, {0x00}));
  EXPECT_TRUE(peer.Silent());
}

TEST_F(SessionCoreTest, ScanResultChangedAnswersTheUsersFlagAndNeedsALogin) {
  RawPeer peer(env);
  peer.Send(ClientFrame(0x21));
  EXPECT_TRUE(peer.Silent());  // nobody logged in
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  const Bytes login = peer.Seal({"anna", "secret", "Alpha", "PC1"}, {}, std::string(32, 'h'));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x11, login), 7),
            (Bytes{0xCC, 0x33, 0x11, 0x02, 0x55, 0x33, 0x8A}));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x21), 6), (Bytes{0xCC, 0x33, 0x21, 0x01, 0xCC, 0x13}));
  env.Anna().scan_result_changed = true;
  EXPECT_EQ(peer.Exchange(ClientFrame(0x21), 6), (Bytes{0xCC, 0x33, 0x21, 0x01, 0xAA, 0x75}));
  EXPECT_TRUE(env.Anna().scan_result_changed.load());  // not cleared by asking
  peer.Send(ClientFrame(0x21, {0x01}));
  EXPECT_TRUE(peer.Silent());
}

TEST_F(SessionCoreTest, RequestsNeedingALoginAreIgnoredWithoutOne) {
  RawPeer peer(env);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  peer.Send(ClientFrame(0x20));
  EXPECT_TRUE(peer.Silent(std::chrono::milliseconds(100)));
  for (std::uint8_t type : {0x22, 0x32, 0x34, 0x41, 0x40}) {
    peer.Send(ClientFrame(type, peer.Seal({"RootFolder", "a.txt"}, Bytes(16, 0))));
    EXPECT_TRUE(peer.Silent(std::chrono::milliseconds(100))) << int(type);
  }
  peer.Send(ClientFrame(0x31));
  EXPECT_TRUE(peer.Silent(std::chrono::milliseconds(100)));
  EXPECT_EQ(env.log_window.CountLog("network handling: unknown packet", kLogWarning), 0);
}

TEST_F(SessionCoreTest, NothingIsLoggedWithoutALoggingWindow) {
  env.log.Detach();
  RawPeer peer(env);
  EXPECT_EQ(peer.Exchange(kPing, 7), kPingReply);
  peer.Send(ClientFrame(0x90));
  EXPECT_TRUE(peer.Silent());
  EXPECT_TRUE(env.log_window.LogLines().empty());
}

}  // namespace
}  // namespace kestrel::test
