// The protocol against the real kestrel-server process: frames and queries,
// key exchange and login, the scan result, downloads, uploads, deletes and
// password changes, as a client program speaks them.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/BasicRequests.h"
#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "platform/FileSystem.h"
#include "platform/Socket.h"
#include "support/Md5.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr const char* kGlobalKey = "it-global-key";

std::string ProjectConfig(std::uint16_t port) {
  return std::string("<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>") +
         "<CustomerInstallation>true</CustomerInstallation>"
         "<GlobalKey>" +
         kGlobalKey +
         "</GlobalKey>"
         "<LogLevel>Info</LogLevel><LogUserActivity>true</LogUserActivity>"
         "<ScanIntervallProjects>60</ScanIntervallProjects>"
         "<ScanIntervallUserrights>60</ScanIntervallUserrights>"
         "<TCPIPListenPort>" +
         std::to_string(port) +
         "</TCPIPListenPort></General>"
         "<Project1><Projectname>Alpha</Projectname><Rootpath>.\\Projects\\Alpha</Rootpath>"
         "<Group1><Groupname>Staff</Groupname></Group1>"
         "<User1><Username>anna</Username><Realname>Anna A</Realname>"
         "<Password>" +
         PasswordDigest("secret") +
         "</Password>"
         "<Useremail>anna@example.org</Useremail><Group1>Staff</Group1></User1>"
         "<User2><Username>ben</Username><Realname>Ben B</Realname>"
         "<Password>" +
         PasswordDigest("other") +
         "</Password>"
         "<Useremail>ben@example.org</Useremail><Group1>Staff</Group1></User2>"
         "</Project1></KestrelServer_Config>\n";
}

std::string Logbook(const TempDir& dir) {
  std::string all;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir.Sub("logs"), ec)) {
    if (e.path().filename().string().rfind("Server Logbook ", 0) == 0) all += ReadFile(e.path());
  }
  return all;
}

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
    ++n;
  return n;
}

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    WriteFile(dir_.Sub("Config/KestrelServer.xml"), ProjectConfig(port_));
    WriteFile(dir_.Sub("Projects/Alpha/readme.txt"), "hello\r\n");
    WriteFile(dir_.Sub("Projects/Alpha/Docs/plan.txt"), "the plan");
    WriteFile(dir_.Sub("outside.txt"), "canary");
    server_ = std::make_unique<ServerProcess>(KESTREL_SERVER_BINARY, dir_.path());
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(server_->WaitListening(port_)) << server_->Stderr();
    // The first scan runs as soon as the project handler starts.
    ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(ScanResult("anna")); }));
  }
  void TearDown() override {
    if (server_ && server_->running()) {
      server_->Signal(SIGTERM);
      EXPECT_EQ(server_->WaitExit(), 0);
    }
  }
  std::string ScanResult(const std::string& user) const {
    return dir_.Sub("Config/Scanresult_Alpha_" + user + ".xml");
  }
  bool Connect(client::ClientConnection& c) { return c.Connect("127.0.0.1", port_); }
  std::unique_ptr<client::ClientSession> LoggedIn(client::ClientConnection& c,
                                                  const std::string& user = "anna",
                                                  const std::string& password = "secret") {
    if (!Connect(c)) return nullptr;
    auto s = std::make_unique<client::ClientSession>(c, kGlobalKey);
    if (!s->RequestSessionKey() || !s->Login(user, password, "Alpha")) return nullptr;
    return s;
  }

  TempDir dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(ProtocolTest, PingIsAnsweredWithItsExactBytes) {
  client::ClientConnection c;
  ASSERT_TRUE(Connect(c));
  ASSERT_TRUE(c.SendRaw(Bytes{0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x03}));
  auto reply = c.ReceiveReply(std::chrono::seconds(5));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->type, PacketType::kPing);
  EXPECT_EQ(reply->payload, (Bytes{0xCC, 0x33}));
  EXPECT_EQ(client::TransferReady(c), client::YesNo::kNo);
}

TEST_F(ProtocolTest, CorruptAndUnknownFramesGetNoReplyAndOneWarningEach) {
  client::ClientConnection c;
  ASSERT_TRUE(Connect(c));
  c.set_reply_timeout(std::chrono::milliseconds(300));
  // A broken check byte, then three types the catalogue does not know.
  ASSERT_TRUE(c.SendRaw(Bytes{0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x00}));
  EXPECT_FALSE(c.ReceiveReply(std::chrono::milliseconds(300)));
  for (std::uint8_t type : {0x02, 0x25, 0x90}) {
    std::uint8_t check = 0xAA ^ 0x55 ^ type ^ 0x00;
    ASSERT_TRUE(c.SendRaw(Bytes{0xAA, 0x55, type, 0x00, check}));
    EXPECT_FALSE(c.ReceiveReply(std::chrono::milliseconds(300))) << int(type);
  }
  EXPECT_TRUE(WaitFor([&] {
    return Count(Logbook(dir_), "Warning: network handling: corrupt packet") == 1 &&
           Count(Logbook(dir_), "Warning: network handling: unknown packet") == 3;
  })) << Logbook(dir_);
  // The connection still serves.
  EXPECT_TRUE(client::Ping(c));
}

TEST_F(ProtocolTest, FailedLoginSendsNothingAndAFreshKeyLogsIn) {
  client::ClientConnection c;
  ASSERT_TRUE(Connect(c));
  c.set_reply_timeout(std::chrono::milliseconds(400));
  client::ClientSession s(c, kGlobalKey);
  ASSERT_TRUE(s.RequestSessionKey());
  EXPECT_FALSE(s.Login("anna", "wrong", "Alpha"));
  ASSERT_TRUE(s.RequestSessionKey());
  EXPECT_TRUE(s.Login("anna", "secret", "Alpha"));
  EXPECT_TRUE(s.Logout());
  // The old key is retired with the logout.
  EXPECT_FALSE(s.Login("anna", "secret", "Alpha"));
}

TEST_F(ProtocolTest, ScanResultListsTheProjectAndDownloadsAreByteExact) {
  client::ClientConnection c;
  auto s = LoggedIn(c);
  ASSERT_TRUE(s);
  std::string local = dir_.Sub("client");
  std::filesystem::create_directories(local);
  ASSERT_TRUE(s->DownloadScanResult(local + "/scan.zip", local + "/scan.xml")) << server_->Stdout();
  std::string scan = ReadFile(local + "/scan.xml");
  EXPECT_EQ(scan, ReadFile(ScanResult("anna")));
  EXPECT_NE(scan.find("readme.txt"), std::string::npos);
  EXPECT_NE(scan.find("plan.txt"), std::string::npos);

  // 1280, 1281 bytes and a few megabytes, compressible or not.
  std::string big;
  for (int i = 0; i < 3 * 1024 * 1024; ++i)
    big.push_back(static_cast<char>((static_cast<std::uint32_t>(i) * 2654435761u) >> 13));
  WriteFile(dir_.Sub("Projects/Alpha/Docs/b1280.bin"), std::string(1280, 'x'));
  WriteFile(dir_.Sub("Projects/Alpha/Docs/b1281.bin"), std::string(1281, 'y'));
  WriteFile(dir_.Sub("Projects/Alpha/Docs/big.bin"), big);
  for (const char* name : {"b1280.bin", "b1281.bin", "big.bin", "plan.txt"}) {
    std::string target = local + "/" + name;
    ASSERT_TRUE(s->DownloadFile("Docs", name, local + "/dl.zip", target)) << name;
    EXPECT_EQ(ReadFile(target), ReadFile(dir_.Sub(std::string("Projects/Alpha/Docs/") + name)))
        << name;
  }
}

TEST_F(ProtocolTest, UploadPlacesContentAndTimeThenLogoutRescansAndDeleteRemoves) {
  client::ClientConnection c;
  auto s = LoggedIn(c);
  ASSERT_TRUE(s);
  ASSERT_EQ(client::ScanResultChanged(c), client::YesNo::kYes);  // the first scan
  std::string source = dir_.Sub("client/new.txt");
  WriteFile(source, "brand new contents");
  const platform::FileTime when = 133800000000000000ULL;  // 2025-01-01 roughly
  ASSERT_TRUE(s->UploadFile("Reports\\2026", "new.txt", source, when, dir_.Sub("client/up.zip")));
  std::string placed = dir_.Sub("Projects/Alpha/Reports/2026/new.txt");
  EXPECT_EQ(ReadFile(placed), "brand new contents");
  platform::DirEntry info;
  ASSERT_EQ(platform::Stat(placed, info), 0);
  EXPECT_EQ(info.last_write, when);
  std::string before = ReadFile(ScanResult("anna"));
  ASSERT_TRUE(s->Logout());
  // The logout after a change rescans the project at once.
  EXPECT_TRUE(
      WaitFor([&] { return ReadFile(ScanResult("anna")).find("new.txt") != std::string::npos; }));

  ASSERT_TRUE(s->RequestSessionKey());
  ASSERT_TRUE(s->Login("anna", "secret", "Alpha"));
  EXPECT_TRUE(s->DeleteFile("Reports\\2026", "new.txt"));
  // The server acknowledges first and deletes right after.
  EXPECT_TRUE(WaitFor([&] { return !std::filesystem::exists(placed); }));
  EXPECT_TRUE(s->DeleteFile("Reports\\2026", "new.txt"));  // acknowledged again
  EXPECT_NE(before, ReadFile(ScanResult("anna")));
}

TEST_F(ProtocolTest, NamesClimbingOutOfTheRootAreRefusedAndTheCanarySurvives) {
  client::ClientConnection c;
  auto s = LoggedIn(c);
  ASSERT_TRUE(s);
  c.set_reply_timeout(std::chrono::milliseconds(400));
  std::string local = dir_.Sub("client");
  std::filesystem::create_directories(local);
  EXPECT_FALSE(s->DownloadFile("..\\..", "outside.txt", local + "/x.zip", local + "/x.txt"));
  EXPECT_FALSE(s->DeleteFile("..\\..", "outside.txt"));
  WriteFile(local + "/evil.txt", "overwritten");
  EXPECT_FALSE(s->UploadFile("..\\..", "outside.txt", local + "/evil.txt", 0, local + "/e.zip"));
  EXPECT_EQ(ReadFile(dir_.Sub("outside.txt")), "canary");
  EXPECT_TRUE(WaitFor([&] { return Logbook(dir_).find("refused") != std::string::npos; }));
  EXPECT_TRUE(client::Ping(c));
}

TEST_F(ProtocolTest, PasswordChangeIsStoredAndTakesEffectForANewLogin) {
  std::string before = ReadFile(dir_.Sub("Config/KestrelServer.xml"));
  {
    client::ClientConnection c;
    auto s = LoggedIn(c);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->ChangeUserPassword("secret", "n3w", "anna", "Alpha"),
              client::PasswordChange::kChanged);
  }
  ASSERT_TRUE(WaitFor([&] {
    return ReadFile(dir_.Sub("Config/KestrelServer.xml")).find(PasswordDigest("n3w")) !=
           std::string::npos;
  }));
  std::string after = ReadFile(dir_.Sub("Config/KestrelServer.xml"));
  // Only anna's Password element changed; ben's digest is still there.
  EXPECT_NE(after.find(PasswordDigest("other")), std::string::npos);
  EXPECT_EQ(after.find(PasswordDigest("secret")), std::string::npos);
  client::ClientConnection old_password;
  old_password.set_reply_timeout(std::chrono::milliseconds(400));
  EXPECT_FALSE(LoggedIn(old_password, "anna", "secret"));
  client::ClientConnection new_password;
  EXPECT_TRUE(LoggedIn(new_password, "anna", "n3w"));
  (void)before;
}

TEST_F(ProtocolTest, CoalescedAndSplitFramesAreAnsweredInOrder) {
  client::ClientConnection c;
  ASSERT_TRUE(Connect(c));
  const Bytes ping = {0xAA, 0x55, 0x01, 0x02, 0xCC, 0x33, 0x03};
  const Bytes ready = {0xAA, 0x55, 0x30, 0x00, 0xCF};
  Bytes stream = ping;
  stream.insert(stream.end(), ready.begin(), ready.end());
  stream.insert(stream.end(), ping.begin(), ping.end());
  ASSERT_TRUE(c.SendRaw(stream));
  // The same three again, cut in the middle of the second frame.
  ASSERT_TRUE(c.SendRaw(std::span<const std::uint8_t>(stream).first(9)));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_TRUE(c.SendRaw(std::span<const std::uint8_t>(stream).subspan(9)));
  for (int round = 0; round < 2; ++round) {
    for (PacketType type : {PacketType::kPing, PacketType::kTransferReady, PacketType::kPing}) {
      const auto reply = c.ReceiveReply(std::chrono::seconds(5));
      ASSERT_TRUE(reply) << round;
      EXPECT_EQ(reply->type, type) << round;
    }
  }
  EXPECT_EQ(Count(Logbook(dir_), "corrupt packet"), 0);
}

// A server of the strict kind: it answers one ping per read, whatever else
// the read holds.
class OneReplyServer {
 public:
  OneReplyServer() {
    EXPECT_EQ(listener_.Listen(0, 1, "127.0.0.1"), 0);
    thread_ = std::thread([this] {
      platform::TcpSocket peer;
      if (listener_.Accept(peer) != 0) return;
      std::uint8_t read[1500];
      for (;;) {
        const auto got = peer.ReadWait(read, std::chrono::seconds(5));
        if (got.closed || got.error != 0 || got.bytes == 0) return;
        const Bytes echo = {0xCC, 0x33, 0x01, 0x02, 0xCC, 0x33, 0x03};
        if (peer.SendAll(echo) != 0) return;
      }
    });
  }
  ~OneReplyServer() {
    listener_.Close();
    thread_.join();
  }
  std::uint16_t port() const { return listener_.LocalPort(); }

 private:
  platform::TcpSocket listener_;
  std::thread thread_;
};

TEST_F(ProtocolTest, ProbeChoosesPipeliningHereAndStopAndWaitAgainstAOneReplyServer) {
  client::ClientConnection ours;
  ASSERT_TRUE(Connect(ours));
  EXPECT_TRUE(ours.ProbePipelining());
  EXPECT_TRUE(client::Ping(ours));

  OneReplyServer strict;
  client::ClientConnection theirs;
  ASSERT_TRUE(theirs.Connect("127.0.0.1", strict.port()));
  EXPECT_FALSE(theirs.ProbePipelining());
  EXPECT_TRUE(client::Ping(theirs));  // one request, one reply, in step
  theirs.Close();
}

// Sizes around the chunk size and a few megabytes, as files to move.
std::vector<std::pair<std::string, std::string>> TransferFiles() {
  std::string big;
  for (int i = 0; i < 3 * 1024 * 1024; ++i)
    big.push_back(static_cast<char>((static_cast<std::uint32_t>(i) * 2654435761u) >> 13));
  return {{"one.bin", "1"},
          {"b1280.bin", std::string(1280, 'x')},
          {"b1281.bin", std::string(1281, 'y')},
          {"big.bin", big}};
}

TEST_F(ProtocolTest, PipelinedTransfersOf256MegabytesAreByteExact) {
  client::ClientConnection c;
  auto s = LoggedIn(c);
  ASSERT_TRUE(s);
  ASSERT_TRUE(c.ProbePipelining());
  std::string bytes(256u << 20, '\0');
  std::uint64_t x = 88172645463325252ull;  // xorshift: incompressible, fast to make
  for (std::size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(bytes.data() + i, &x, 8);
  }
  const std::string local = dir_.Sub("client");
  std::filesystem::create_directories(local);
  WriteFile(dir_.Sub("Projects/Alpha/Docs/huge.bin"), bytes);
  ASSERT_TRUE(s->DownloadFile("Docs", "huge.bin", local + "/dl.zip", local + "/huge.bin"));
  EXPECT_TRUE(ReadFile(local + "/huge.bin") == bytes);
  ASSERT_TRUE(s->UploadFile("Up", "huge.bin", local + "/huge.bin", 133800000000000000ULL,
                            local + "/up.zip"));
  EXPECT_TRUE(ReadFile(dir_.Sub("Projects/Alpha/Up/huge.bin")) == bytes);
}

TEST_F(ProtocolTest, PipelinedDownloadsAndUploadsAreByteExact) {
  client::ClientConnection c;
  auto s = LoggedIn(c);
  ASSERT_TRUE(s);
  ASSERT_TRUE(c.ProbePipelining());
  const std::string local = dir_.Sub("client");
  std::filesystem::create_directories(local);
  for (const auto& [name, bytes] : TransferFiles()) {
    WriteFile(dir_.Sub("Projects/Alpha/Docs/" + name), bytes);
    ASSERT_TRUE(s->DownloadFile("Docs", name, local + "/dl.zip", local + "/" + name)) << name;
    EXPECT_EQ(ReadFile(local + "/" + name), bytes) << name;
    ASSERT_TRUE(
        s->UploadFile("Up", name, local + "/" + name, 133800000000000000ULL, local + "/up.zip"))
        << name;
    EXPECT_EQ(ReadFile(dir_.Sub("Projects/Alpha/Up/" + name)), bytes) << name;
  }
}

TEST_F(ProtocolTest, SurplusChunkRequestsNeverSpoilTheNextTransfer) {
  // Without the archive's size the window runs past the end marker; the
  // server restarts the archive for those requests and the client drops them.
  client::ClientConnection c;
  auto s = LoggedIn(c);
  ASSERT_TRUE(s);
  ASSERT_TRUE(c.ProbePipelining());
  s->set_pipeline({.start_window = 64, .max_window = 64, .trust_archive_size = false});
  const std::string local = dir_.Sub("client");
  std::filesystem::create_directories(local);
  const auto files = TransferFiles();
  for (const auto& [name, bytes] : files) WriteFile(dir_.Sub("Projects/Alpha/Docs/" + name), bytes);
  for (int round = 0; round < 2; ++round) {
    for (const auto& [name, bytes] : files) {
      ASSERT_TRUE(s->DownloadFile("Docs", name, local + "/dl.zip", local + "/" + name)) << name;
      EXPECT_EQ(ReadFile(local + "/" + name), bytes) << name;
    }
  }
  ASSERT_TRUE(s->UploadFile("Up", "after.bin", local + "/b1281.bin", 133800000000000000ULL,
                            local + "/up.zip"));
  EXPECT_EQ(ReadFile(dir_.Sub("Projects/Alpha/Up/after.bin")), std::string(1281, 'y'));
  EXPECT_TRUE(s->Logout());
}

}  // namespace
}  // namespace kestrel::test
