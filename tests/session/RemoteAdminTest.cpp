// The remote tool's document upload and the server-logs archive.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "client/BasicRequests.h"
#include "config/ConfigUpdate.h"
#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "session/RemoteUploadName.h"
#include "session/ServerLogs.h"
#include "session/SessionHarness.h"
#include "support/WindowMessages.h"
#include "support/ZipArchive.h"
#include "testsupport/ZipReader.h"

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> Names(const std::vector<ZipEntry>& entries) {
  std::vector<std::string> names;
  for (const ZipEntry& e : entries) names.push_back(e.name);
  return names;
}

const Bytes kRemoteLoginAck = {0xCC, 0x33, 0x13, 0x02, 0x55, 0x33, 0x88};
const Bytes kRemoteUploadAck = {0xCC, 0x33, 0x23, 0x02, 0x55, 0x33, 0xB8};
const Bytes kServerLogsAck = {0xCC, 0x33, 0x24, 0x02, 0x55, 0x33, 0xBF};
const Bytes kUploadAck = {0xCC, 0x33, 0x33, 0x02, 0x55, 0x33, 0xA8};

class RemoteAdminTest : public ::testing::Test {
 protected:
  static bool LoginRemote(Peer& peer) {
    return peer.session->RequestSessionKey() &&
           peer.session->RemoteLogin(SessionEnv::kRemotePassword);
  }
  // Paths of every WM_REMOTE_DOCUMENT posted so far.
  std::vector<std::string> Documents() const {
    std::vector<std::string> paths;
    for (const auto& m : env.main_window.Messages()) {
      if (m.id != WM_REMOTE_DOCUMENT) continue;
      if (auto* r = dynamic_cast<RemoteDocumentRecord*>(m.record.get())) paths.push_back(r->path);
    }
    return paths;
  }
  // Waits until everything posted to the main window so far has arrived.
  void Settle() {
    constexpr std::uint32_t kMarker = 0x7FFF;
    const int before = env.main_window.Count(kMarker);
    env.main_window.loop().Post(kMarker);
    EXPECT_TRUE(WaitUntil([&] { return env.main_window.Count(kMarker) > before; }));
  }
  // The server logs as this session downloads them, unpacked.
  static bool FetchLogs(Peer& peer, std::vector<ZipEntry>& entries, const std::string& file) {
    return peer.session->ServerLogs(file) && ReadZip(file, entries);
  }
  void WriteServerFiles() {
    WriteFileBytes("Config/KestrelServer.xml", "<KestrelServer_Config/>\r\n");
    WriteFileBytes("Config/Scanresult_Alpha_anna.xml", "<anna/>");
    WriteFileBytes("Config/Scanresult_Alpha_bob.xml", "");  // empty: left out
    WriteFileBytes("Config/Scanresult_Beta_carl.xml", "<carl/>");
    WriteFileBytes("Config/Scanresult_Beta_carl.xml.old", "<old/>");
    WriteFileBytes("Config/ObsoleteFolders.xml", "<ObsoleteFolders/>");
    WriteFileBytes("logs/Server Logbook 2026_03.log", "line\r\n");
    WriteFileBytes("logs/Connections 2026_03.log", "conn\r\n");
    WriteFileBytes("logs/empty.log", "");
    platform::CreateFolder("logs/sub");
  }
  SessionEnv env;
};

// --- remote upload ----------------------------------------------------------

TEST_F(RemoteAdminTest, RemoteUploadRequestIsAnsweredExactlyAndLogged) {
  RawPeer peer(env, 4);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  ASSERT_EQ(peer.Exchange(ClientFrame(0x13, peer.Seal({SessionEnv::kRemotePassword})), 7),
            kRemoteLoginAck);
  EXPECT_EQ(peer.Exchange(ClientFrame(0x23, peer.Seal({"Received.xml"})), 7), kRemoteUploadAck);
  EXPECT_TRUE(env.WaitForLog("XML config file prepared", kLogInfo));
  EXPECT_TRUE(platform::Exists(".\\Temp\\XMLConfig_4.zip"));
  // Upload end without any chunk: the empty archive yields nothing to hand on.
  EXPECT_EQ(peer.Exchange(Bytes{0xAA, 0x55, 0x33, 0x00, 0xCC}, 7), kUploadAck);
  EXPECT_FALSE(platform::Exists(".\\Temp\\XMLConfig_4.zip"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\Received.xml"));
  EXPECT_TRUE(Documents().empty());
}

TEST_F(RemoteAdminTest, RemoteUploadLandsInTempUnderTheAnnouncedNameAndIsHandedOn) {
  const std::string content = "<UserRights><Projectname>Alpha</Projectname></UserRights>" +
                              RandomBytes(4000, 5);  // several chunks
  WriteFileBytes("rights.xml", content);
  Peer peer(env, 3);
  ASSERT_TRUE(LoginRemote(peer));
  ASSERT_TRUE(peer.session->RemoteUpload("rights.xml", "Rights Upload.xml"));
  EXPECT_EQ(ReadFileBytes("Temp/Rights Upload.xml"), content);
  EXPECT_FALSE(platform::Exists(".\\Temp\\XMLConfig_3.zip"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\transfer_3.dat"));
  EXPECT_FALSE(platform::Exists("rights.xml.zip"));  // the client's own archive is gone too
  ASSERT_TRUE(WaitUntil([&] { return Documents().size() == 1; }));
  EXPECT_EQ(Documents()[0], ".\\Temp\\Rights Upload.xml");
}

TEST_F(RemoteAdminTest, RemoteUploadReplacesAnOlderDocumentOfTheSameName) {
  WriteFileBytes("Temp/doc.xml", "left over from an earlier upload");
  WriteFileBytes("new.xml", "<new/>");
  Peer peer(env);
  ASSERT_TRUE(LoginRemote(peer));
  ASSERT_TRUE(peer.session->RemoteUpload("new.xml", "doc.xml", "mine.zip"));
  EXPECT_EQ(ReadFileBytes("Temp/doc.xml"), "<new/>");
  EXPECT_TRUE(platform::Exists("mine.zip"));  // an archive the caller named stays
  ASSERT_TRUE(WaitUntil([&] { return Documents().size() == 1; }));
}

TEST_F(RemoteAdminTest, FailedExtractionNeverHandsOnAnOlderFileOfTheSameName) {
  WriteFileBytes("Temp/doc.xml", "stale");
  WriteFileBytes("broken.zip", RandomBytes(3000, 9));  // not an archive
  Peer peer(env);
  ASSERT_TRUE(LoginRemote(peer));
  EXPECT_TRUE(peer.session->RemoteUploadArchive("broken.zip", "doc.xml"));
  EXPECT_EQ(ReadFileBytes("Temp/doc.xml"), "stale");
  EXPECT_FALSE(platform::Exists(".\\Temp\\XMLConfig_0.zip"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\transfer_0.dat"));
  Settle();
  EXPECT_TRUE(Documents().empty());
}

TEST_F(RemoteAdminTest, RemoteUploadWithARefusedChunkHandsNothingOn) {
  WriteFileBytes("doc.xml", "<doc/>");
  ASSERT_TRUE(PackFile("doc.zip", "doc.xml", "doc.xml"));
  Peer peer(env);
  ASSERT_TRUE(LoginRemote(peer));
  ASSERT_TRUE(peer.session->RequestRemoteUpload("doc.xml"));
  const std::uint8_t bad_header[5] = {0x05, 0x01, 0x00, 0x10, 0xCC};  // cipher length 1281
  EXPECT_TRUE(peer.connection.BulkRequest(PacketType::kUploadChunk, bad_header, Bytes(1280, 1))
                  .has_value());
  const std::string archive = ReadFileBytes("doc.zip");
  ASSERT_TRUE(peer.session->SendUploadChunk(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size())));
  ASSERT_TRUE(peer.session->SendUploadEnd());
  EXPECT_FALSE(platform::Exists(".\\Temp\\doc.xml"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\XMLConfig_0.zip"));
  Settle();
  EXPECT_TRUE(Documents().empty());
}

TEST_F(RemoteAdminTest, NamesOutsideTempOrOfWorkingFilesAreRefusedWithAWarning) {
  WriteFileBytes("doc.xml", "<doc/>");
  Peer peer(env);
  ASSERT_TRUE(LoginRemote(peer));
  peer.connection.set_reply_timeout(150ms);
  const std::string prefix =
      "network handling: refused file name in packet 0x23 from IP 127.0.0.1 "
      "at Port " +
      std::to_string(peer.connection.LocalPort());
  const std::vector<std::string> names = {"..\\Config\\KestrelServer.xml",
                                          "../evil.xml",
                                          "sub\\doc.xml",
                                          "sub/doc.xml",
                                          "..",
                                          ".",
                                          "C:evil.xml",
                                          "\\evil.xml",
                                          std::string("a\x01.xml"),
                                          std::string("a\x7F.xml"),
                                          "transfer.dat",
                                          "TRANSFER.DAT",
                                          "Transfer_7.dat",
                                          "serverlogs.zip",
                                          "XMLConfig_0.zip",
                                          "Alpha_anna_1.ZIP",
                                          "transfer.dat.~1_0.part"};
  int refused = 0;
  for (const std::string& name : names) {
    env.clock.Advance(1s);  // one refusal a second stays below the connection's line limit
    EXPECT_FALSE(peer.session->RequestRemoteUpload(name)) << name;
    ++refused;
    EXPECT_TRUE(env.WaitForLog(prefix, kLogWarning, refused)) << name;
  }
  // An upload that follows a refused name has no target: nothing lands anywhere.
  ASSERT_TRUE(PackFile("doc.zip", "doc.xml", "doc.xml"));
  EXPECT_TRUE(peer.session->SendUploadEnd());
  EXPECT_FALSE(platform::Exists(".\\Temp\\XMLConfig_0.zip"));
  EXPECT_FALSE(platform::Exists("evil.xml"));
  Settle();
  EXPECT_TRUE(Documents().empty());
  // A bare name still works on the same connection.
  peer.connection.set_reply_timeout(5s);
  EXPECT_TRUE(peer.session->RemoteUpload("doc.xml", "fine name.xml"));
  EXPECT_EQ(ReadFileBytes("Temp/fine name.xml"), "<doc/>");
}

TEST_F(RemoteAdminTest, RemoteUploadNeedsTheRemoteLoginAndANonEmptyName) {
  Peer peer(env);
  peer.connection.set_reply_timeout(150ms);
  ASSERT_TRUE(peer.LoginAnna());
  EXPECT_FALSE(peer.session->RequestRemoteUpload("doc.xml"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\XMLConfig_0.zip"));
  peer.connection.set_reply_timeout(5s);
  ASSERT_TRUE(peer.session->RemoteLogin(SessionEnv::kRemotePassword));
  peer.connection.set_reply_timeout(150ms);
  EXPECT_FALSE(peer.session->RequestRemoteUpload(""));
  EXPECT_FALSE(platform::Exists(".\\Temp\\XMLConfig_0.zip"));
  EXPECT_EQ(env.log_window.CountLog("XML config file prepared", kLogInfo), 0);
}

TEST_F(RemoteAdminTest, WithBothLoggedInEachUploadGoesWhereItsRequestSaid) {
  WriteFileBytes("doc.xml", "<doc/>");
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->RemoteLogin(SessionEnv::kRemotePassword));
  // The remote tool's document goes to .\Temp only.
  ASSERT_TRUE(peer.session->RemoteUpload("doc.xml", "doc.xml"));
  EXPECT_EQ(ReadFileBytes("Temp/doc.xml"), "<doc/>");
  EXPECT_FALSE(platform::Exists(env.AlphaFile("doc.xml")));
  // The client's file goes to the project only.
  ASSERT_TRUE(peer.session->UploadFile("RootFolder", "client.txt", "doc.xml", 0x01D0000000000000ULL,
                                       "client.zip"));
  EXPECT_EQ(ReadFileBytes(env.AlphaFile("client.txt")), "<doc/>");
  EXPECT_FALSE(platform::Exists(".\\Temp\\client.txt"));
  EXPECT_TRUE(platform::Exists(".\\Temp\\Alpha_anna_0.zip"));
  Settle();
  EXPECT_EQ(Documents().size(), 1u);
}

TEST_F(RemoteAdminTest, RemoteNamesAreBareFileNamesOutsideTheWorkingFiles) {
  for (const char* name : {"KestrelServer.xml", "Rights 2026.xml", "a", "..a", "a..", "~x.xml",
                           "transfer.dat.xml", "zip", "transfer_250.dat", "transfer_1.dat.xml"}) {
    EXPECT_TRUE(IsRemoteUploadName(name)) << name;
  }
  for (const char* name :
       {"", ".", "..", "a\\b", "a/b", "C:", "x.zip", "X.Zip", "transfer.dat", "Transfer.Dat",
        "transfer_0.dat", "TRANSFER_249.DAT", "t.part", "\t.xml"}) {
    EXPECT_FALSE(IsRemoteUploadName(name)) << name;
  }
}

// --- server logs ------------------------------------------------------------

TEST_F(RemoteAdminTest, ServerLogsRequestIsAnsweredExactlyLoggedAndDownloaded) {
  WriteServerFiles();
  RawPeer raw(env);
  ASSERT_TRUE(raw.ExchangeKey(SessionEnv::kGlobalKey));
  ASSERT_EQ(raw.Exchange(ClientFrame(0x13, raw.Seal({SessionEnv::kRemotePassword})), 7),
            kRemoteLoginAck);
  EXPECT_EQ(raw.Exchange(ClientFrame(0x24), 7), kServerLogsAck);
  EXPECT_EQ(raw.Exchange(ClientFrame(0x30), 6), (Bytes{0xCC, 0x33, 0x30, 0x01, 0xAA, 0x64}));
  EXPECT_TRUE(env.WaitForLog("server logs prepared for download", kLogWarning));
  raw.Send(ClientFrame(0x24, {0x00}));  // the request carries no payload
  EXPECT_TRUE(raw.Silent());
  raw.Close();

  Peer peer(env, 1);
  ASSERT_TRUE(LoginRemote(peer));
  std::vector<ZipEntry> entries;
  ASSERT_TRUE(FetchLogs(peer, entries, "logs.zip"));
  EXPECT_TRUE(env.WaitForLog("server logs transmitted to remote tool", kLogWarning));
  EXPECT_EQ(Names(entries),
            (std::vector<std::string>{"KestrelServer.xml", "Scanresult_Alpha_anna.xml",
                                      "Scanresult_Beta_carl.xml", "Connections 2026_03.log",
                                      "Server Logbook 2026_03.log"}));
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].data, "<KestrelServer_Config/>\r\n");
  EXPECT_EQ(entries[2].data, "<carl/>");
  EXPECT_EQ(entries[4].data, "line\r\n");
  // What was sent is the archive in place.
  EXPECT_EQ(ReadFileBytes("logs.zip"), ReadFileBytes("Temp/serverlogs.zip"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\serverlogs_build.zip"));
}

TEST_F(RemoteAdminTest, EmptyLogsFolderAndMissingConfigurationLeaveTheirEntriesOut) {
  WriteFileBytes("Config/Scanresult_Alpha_anna.xml", "<anna/>");
  WriteFileBytes("logs/empty.log", "");
  Peer peer(env);
  ASSERT_TRUE(LoginRemote(peer));
  std::vector<ZipEntry> entries;
  ASSERT_TRUE(FetchLogs(peer, entries, "logs.zip"));
  EXPECT_EQ(Names(entries), (std::vector<std::string>{"Scanresult_Alpha_anna.xml"}));
  WriteFileBytes("Config/KestrelServer.xml", "<c/>");
  ASSERT_TRUE(FetchLogs(peer, entries, "logs.zip"));
  EXPECT_EQ(Names(entries),
            (std::vector<std::string>{"KestrelServer.xml", "Scanresult_Alpha_anna.xml"}));
}

TEST_F(RemoteAdminTest, ServerLogsNeedTheRemoteLogin) {
  WriteServerFiles();
  RawPeer raw(env);
  raw.Send(ClientFrame(0x24));
  EXPECT_TRUE(raw.Silent());
  raw.Close();
  Peer peer(env, 1);
  ASSERT_TRUE(peer.LoginAnna());
  peer.connection.set_reply_timeout(150ms);
  EXPECT_FALSE(peer.session->RequestServerLogs());
  EXPECT_FALSE(platform::Exists(".\\Temp\\serverlogs.zip"));
  EXPECT_EQ(client::TransferReady(peer.connection), client::YesNo::kNo);
  EXPECT_EQ(env.log_window.CountLog("server logs prepared for download", kLogWarning), 0);
}

TEST_F(RemoteAdminTest, LogoutEndsTheServerLogsDownloadMode) {
  WriteServerFiles();
  Peer peer(env);
  ASSERT_TRUE(LoginRemote(peer));
  ASSERT_TRUE(peer.session->RequestServerLogs());
  ASSERT_TRUE(peer.session->WaitTransferReady());
  ASSERT_TRUE(peer.session->Logout());
  ASSERT_TRUE(peer.session->RequestSessionKey());
  peer.connection.set_reply_timeout(150ms);
  EXPECT_FALSE(peer.connection.Request(PacketType::kNextDownloadChunk).has_value());
}

TEST_F(RemoteAdminTest, AfterTheEndMarkerTheArchiveIsSentAgainFromItsFirstByte) {
  WriteServerFiles();
  Peer peer(env);
  ASSERT_TRUE(LoginRemote(peer));
  std::string first, second;
  ASSERT_TRUE(peer.session->ServerLogs([&](std::span<const std::uint8_t> b) {
    first.append(reinterpret_cast<const char*>(b.data()), b.size());
    return true;
  }));
  ASSERT_TRUE(peer.session->FetchChunks([&](std::span<const std::uint8_t> b) {
    second.append(reinterpret_cast<const char*>(b.data()), b.size());
    return true;
  }));
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first, second);
}

TEST_F(RemoteAdminTest, ShutdownFlagGivesUpTheBuildAndNothingIsOffered) {
  WriteServerFiles();
  Peer peer(env);
  ASSERT_TRUE(LoginRemote(peer));
  env.shutdown = true;
  EXPECT_TRUE(peer.session->RequestServerLogs());  // acknowledged before the build
  EXPECT_EQ(client::TransferReady(peer.connection), client::YesNo::kNo);
  EXPECT_FALSE(platform::Exists(".\\Temp\\serverlogs.zip"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\serverlogs_build.zip"));
  // The walks themselves stop too: nothing after the configuration file.
  EXPECT_EQ(ListServerLogsSources(&env.shutdown).size(), 1u);
  env.shutdown = false;
  EXPECT_EQ(ListServerLogsSources(&env.shutdown).size(), 5u);
}

TEST_F(RemoteAdminTest, OnlyTheConnectionWhoseArchiveIsInPlaceRemovesIt) {
  WriteServerFiles();
  Peer a(env, 1), b(env, 2), c(env, 3);
  ASSERT_TRUE(LoginRemote(a));
  ASSERT_TRUE(LoginRemote(b));
  ASSERT_TRUE(LoginRemote(c));
  ASSERT_TRUE(a.session->RequestServerLogs());
  ASSERT_TRUE(a.session->WaitTransferReady());
  // c never built the archive: its end leaves it.
  c.connection.Close();
  ASSERT_TRUE(c.served->WaitEnded());
  EXPECT_TRUE(platform::Exists(".\\Temp\\serverlogs.zip"));
  // b's build replaces a's; a's end leaves b's archive in place.
  ASSERT_TRUE(b.session->RequestServerLogs());
  ASSERT_TRUE(b.session->WaitTransferReady());
  a.connection.Close();
  ASSERT_TRUE(a.served->WaitEnded());
  EXPECT_TRUE(platform::Exists(".\\Temp\\serverlogs.zip"));
  std::vector<ZipEntry> entries;
  std::string archive;
  ASSERT_TRUE(b.session->FetchChunks([&](std::span<const std::uint8_t> bytes) {
    archive.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
  }));
  WriteFileBytes("b.zip", archive);
  ASSERT_TRUE(ReadZip("b.zip", entries));
  EXPECT_EQ(entries.size(), 5u);
  b.connection.Close();
  ASSERT_TRUE(b.served->WaitEnded());
  EXPECT_FALSE(platform::Exists(".\\Temp\\serverlogs.zip"));
}

TEST_F(RemoteAdminTest, DownloadInProgressKeepsItsArchiveWhenAnotherBuildReplacesAndRemovesIt) {
  WriteServerFiles();
  WriteFileBytes("logs/big.log", RandomBytes(200000, 11));
  Peer a(env, 1);
  ASSERT_TRUE(LoginRemote(a));
  ASSERT_TRUE(a.session->RequestServerLogs());
  ASSERT_TRUE(a.session->WaitTransferReady());
  std::string archive;
  int chunks = 0;
  // The first chunks, then another tool rebuilds (with more data) and leaves.
  ASSERT_FALSE(a.session->FetchChunks([&](std::span<const std::uint8_t> bytes) {
    archive.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return ++chunks < 3;
  }));
  WriteFileBytes("logs/big.log", RandomBytes(300000, 12));
  {
    Peer b(env, 2);
    ASSERT_TRUE(LoginRemote(b));
    ASSERT_TRUE(b.session->RequestServerLogs());
    b.connection.Close();
    ASSERT_TRUE(b.served->WaitEnded());
  }
  EXPECT_FALSE(platform::Exists(".\\Temp\\serverlogs.zip"));
  ASSERT_TRUE(a.session->FetchChunks([&](std::span<const std::uint8_t> bytes) {
    archive.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
  }));
  WriteFileBytes("a.zip", archive);
  std::vector<ZipEntry> entries;
  ASSERT_TRUE(ReadZip("a.zip", entries));
  ASSERT_EQ(entries.size(), 6u);
  EXPECT_EQ(entries[5].name, "big.log");
  EXPECT_EQ(entries[5].data, RandomBytes(200000, 11));
}

TEST_F(RemoteAdminTest, TwoRemoteToolsFetchingLogsAtOnceBothGetCompleteArchives) {
  WriteServerFiles();
  // Long to compress, short to send: builds overlap the other tool's downloads.
  std::string big_a;
  for (long long i = 0; big_a.size() < 2000000; ++i)
    big_a += "line " + std::to_string(i * 7919) + "\r\n";
  const std::string big_b = RandomBytes(100000, 2);
  WriteFileBytes("logs/a.log", big_a);
  WriteFileBytes("logs/b.log", big_b);
  WriteFileBytes("logs/growing.log", "start\r\n");
  Peer one(env, 1), two(env, 2);
  ASSERT_TRUE(LoginRemote(one));
  ASSERT_TRUE(LoginRemote(two));
  // The growing log makes every build differ, so a mixed archive cannot pass.
  std::atomic<bool> done{false};
  std::thread writer([&] {
    int line = 0;
    while (!done) {
      platform::File log;
      if (log.Open("logs/growing.log", platform::File::kWrite | platform::File::kCreate |
                                           platform::File::kNoTruncate) == 0) {
        log.SeekToEnd();
        const std::string text = "entry " + std::to_string(++line) + "\r\n";
        log.Write(text.data(), text.size());
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  constexpr int kRounds = 6;
  auto fetch = [&](Peer& peer, const std::string& prefix, std::vector<std::string>& failures) {
    for (int round = 0; round < kRounds; ++round) {
      const std::string file = prefix + std::to_string(round) + ".zip";
      std::vector<ZipEntry> entries;
      if (!FetchLogs(peer, entries, file)) {
        failures.push_back(file + ": not a complete archive");
        continue;
      }
      const std::vector<std::string> names = Names(entries);
      const std::vector<std::string> expected = {"KestrelServer.xml",
                                                 "Scanresult_Alpha_anna.xml",
                                                 "Scanresult_Beta_carl.xml",
                                                 "Connections 2026_03.log",
                                                 "Server Logbook 2026_03.log",
                                                 "a.log",
                                                 "b.log",
                                                 "growing.log"};
      if (names != expected) failures.push_back(file + ": wrong entries");
      if (entries.size() == expected.size() &&
          (entries[5].data != big_a || entries[6].data != big_b ||
           entries[7].data.rfind("start\r\n", 0) != 0)) {
        failures.push_back(file + ": wrong contents");
      }
    }
  };
  std::vector<std::string> failures_one, failures_two;
  std::thread first([&] { fetch(one, "one", failures_one); });
  std::thread second([&] { fetch(two, "two", failures_two); });
  first.join();
  second.join();
  done = true;
  writer.join();
  EXPECT_EQ(failures_one, std::vector<std::string>{});
  EXPECT_EQ(failures_two, std::vector<std::string>{});
}

}  // namespace
}  // namespace kestrel::test
