// The remote administration tool against the real kestrel-server: the
// server-logs archive, a plain document upload, a configuration upload that
// restarts the server on the merged file, and a user-rights upload that leaves
// connected clients alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "client/BasicRequests.h"
#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "net/Frame.h"
#include "support/Md5.h"
#include "support/XmlStore.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"
#include "testsupport/ZipReader.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kServerKey = "ServerOwnKey2026";
constexpr const char* kRemotePassword = "remote-secret";

std::string Fixture(const std::string& name) {
  return ReadFile(KESTREL_SOURCE_DIR "/tests/data/integration/" + name);
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Output of a shell command, or nullopt when it could not run or failed.
std::optional<std::string> RunCommand(const std::string& command) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return std::nullopt;
  std::string out;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  return pclose(pipe) == 0 ? std::optional<std::string>(out) : std::nullopt;
}

// Names of the non-empty plain files of a folder, sorted by name, that pass keep.
template <typename Keep>
std::vector<std::string> NonEmptyFiles(const std::string& folder, Keep keep) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && entry.file_size() > 0 && keep(name)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// One connection with its session, as a client program or the remote tool.
struct Link {
  client::ClientConnection connection;
  std::unique_ptr<client::ClientSession> session;

  bool Open(std::uint16_t port, std::chrono::milliseconds reply_timeout = 5s) {
    if (!connection.Connect("127.0.0.1", port)) return false;
    connection.set_reply_timeout(reply_timeout);
    session = std::make_unique<client::ClientSession>(connection, kServerKey);
    return session->RequestSessionKey();
  }
};

class RemoteAdminTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    std::string config = Fixture("server_config.xml");
    ASSERT_FALSE(config.empty());
    ReplaceAll(config, "@PORT@", std::to_string(port_));
    ReplaceAll(config, "@REMOTE_DIGEST@", PasswordDigest(kRemotePassword));
    ReplaceAll(config, "@ANNA_DIGEST@", PasswordDigest("anna-pw"));
    ReplaceAll(config, "@BERT_DIGEST@", PasswordDigest("bert-pw"));
    ASSERT_TRUE(WriteFile(Sub("Config/KestrelServer.xml"), config));
    ASSERT_TRUE(WriteFile(Sub("Roots/Alpha/readme.txt"), "Alpha's readme\r\n"));
    ASSERT_TRUE(WriteFile(Sub("Roots/Alpha/Docs/2024/Q1/plan.txt"), "plan"));
    ASSERT_TRUE(WriteFile(Sub("Roots/Beta/b.txt"), "b"));
  }

  std::string Sub(const std::string& relative) const { return dir_.Sub(relative); }

  // Starts the server and waits until connections are served (the slots
  // start a moment after the listener).
  void StartServer() {
    ASSERT_TRUE(server_.Start());
    ASSERT_TRUE(server_.WaitListening(port_)) << server_.Stderr();
    ASSERT_TRUE(WaitFor([&] { return Serves(); })) << server_.Stderr();
  }
  bool Serves() const {
    client::ClientConnection probe;
    if (!probe.Connect("127.0.0.1", port_)) return false;
    probe.set_reply_timeout(100ms);
    return client::Ping(probe);
  }

  std::string Logbook() const {
    std::string all;
    for (const std::string& name : NonEmptyFiles(Sub("logs"), [](const std::string& n) {
           return n.rfind("Server Logbook ", 0) == 0;
         })) {
      all += ReadFile(Sub("logs/" + name));
    }
    return all;
  }
  bool WaitForLogbook(const std::string& text) {
    return WaitFor([&] { return Logbook().find(text) != std::string::npos; });
  }

  // A remote tool session, logged in.
  std::unique_ptr<Link> Remote() {
    auto link = std::make_unique<Link>();
    if (!link->Open(port_) || !link->session->RemoteLogin(kRemotePassword)) return nullptr;
    return link;
  }
  // A client session of user on project; null when the login was not answered.
  std::unique_ptr<Link> Client(const std::string& user, const std::string& password,
                               const std::string& project,
                               std::chrono::milliseconds reply_timeout = 5s) {
    auto link = std::make_unique<Link>();
    if (!link->Open(port_, reply_timeout) || !link->session->Login(user, password, project)) {
      return nullptr;
    }
    return link;
  }

  // Uploads the fixture text as the remote tool's document under name.
  bool UploadDocument(const std::string& text, const std::string& name) {
    const std::string local = Sub("tool/" + name);
    if (!WriteFile(local, text)) return false;
    std::unique_ptr<Link> tool = Remote();
    return tool != nullptr && tool->session->RemoteUpload(local, name);
  }

  std::vector<std::string> TempFiles() const {
    return NonEmptyFiles(Sub("Temp"), [](const std::string&) { return true; });
  }

  TempDir dir_;
  std::uint16_t port_ = 0;
  ServerProcess server_{KESTREL_SERVER_BINARY, dir_.path()};
};

TEST_F(RemoteAdminTest, ServerLogsArchiveHoldsConfigurationScanResultsAndLogsInOrder) {
  ASSERT_TRUE(WriteFile(Sub("Config/Scanresult_Zero_zoe.xml"), ""));
  ASSERT_TRUE(WriteFile(Sub("Config/Scanresult_Old_olga.xml"), "<old/>"));
  ASSERT_TRUE(WriteFile(Sub("logs/empty.log"), ""));
  ASSERT_TRUE(WriteFile(Sub("logs/Archive 2025_12.log"), "an older log\r\n"));
  StartServer();
  // The scans have written their results; a warning has opened the logbook.
  ASSERT_TRUE(WaitFor([&] {
    return fs::exists(Sub("Config/Scanresult_Alpha_anna.xml")) &&
           fs::exists(Sub("Config/Scanresult_Beta_bert.xml"));
  }));
  {
    client::ClientConnection raw;
    ASSERT_TRUE(raw.Connect("127.0.0.1", port_));
    const std::uint8_t bad[] = {0xAA, 0x55, 0x01, 0x00, 0x00};  // wrong check byte
    ASSERT_TRUE(raw.SendRaw(bad));
    ASSERT_TRUE(WaitForLogbook("network handling: corrupt packet"));
  }
  std::unique_ptr<Link> tool = Remote();
  ASSERT_TRUE(tool != nullptr);
  const std::string archive = Sub("serverlogs-copy.zip");
  ASSERT_TRUE(tool->session->ServerLogs(archive));
  EXPECT_TRUE(WaitForLogbook("server logs prepared for download"));
  EXPECT_TRUE(WaitForLogbook("server logs transmitted to remote tool"));

  std::vector<std::string> expected = {"KestrelServer.xml"};
  for (const std::string& name : NonEmptyFiles(Sub("Config"), [](const std::string& n) {
         return n.rfind("Scanresult", 0) == 0 && n.size() > 4 && n.ends_with(".xml");
       })) {
    expected.push_back(name);
  }
  for (const std::string& name :
       NonEmptyFiles(Sub("logs"), [](const std::string&) { return true; })) {
    expected.push_back(name);
  }
  std::vector<ZipEntry> entries;
  ASSERT_TRUE(ReadZip(archive, entries));
  std::vector<std::string> names;
  for (const ZipEntry& e : entries) names.push_back(e.name);
  EXPECT_EQ(names, expected);
  EXPECT_NE(std::find(names.begin(), names.end(), "Scanresult_Alpha_anna.xml"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "Archive 2025_12.log"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "Scanresult_Zero_zoe.xml"), names.end());
  EXPECT_EQ(std::find(names.begin(), names.end(), "empty.log"), names.end());
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0].data, ReadFile(Sub("Config/KestrelServer.xml")));
  // An independent reader agrees, when one is installed.
  if (std::optional<std::string> listed = RunCommand("unzip -Z1 '" + archive + "' 2>/dev/null")) {
    std::string joined;
    for (const std::string& name : expected) joined += name + "\n";
    EXPECT_EQ(*listed, joined);
    EXPECT_TRUE(RunCommand("unzip -tq '" + archive + "' >/dev/null 2>&1").has_value());
  }
}

TEST_F(RemoteAdminTest, TwoRemoteToolsFetchingLogsAtOnceBothGetCompleteArchives) {
  // A log that takes a while to compress keeps the two builds overlapping
  // with the other tool's download.
  std::string big;
  for (long long i = 0; big.size() < 1500000; ++i)
    big += "event " + std::to_string(i * 31) + "\r\n";
  ASSERT_TRUE(WriteFile(Sub("logs/big.log"), big));
  StartServer();
  std::unique_ptr<Link> one = Remote();
  std::unique_ptr<Link> two = Remote();
  ASSERT_TRUE(one != nullptr && two != nullptr);
  auto fetch = [&](Link& tool, const std::string& prefix, std::vector<std::string>& failures) {
    for (int round = 0; round < 4; ++round) {
      const std::string file = Sub(prefix + std::to_string(round) + ".zip");
      std::vector<ZipEntry> entries;
      if (!tool.session->ServerLogs(file) || !ReadZip(file, entries)) {
        failures.push_back(file + ": not a complete archive");
        continue;
      }
      const auto big_entry = std::find_if(entries.begin(), entries.end(),
                                          [](const ZipEntry& e) { return e.name == "big.log"; });
      if (entries.empty() || entries[0].name != "KestrelServer.xml" || big_entry == entries.end() ||
          big_entry->data != big) {
        failures.push_back(file + ": wrong entries");
      }
    }
  };
  std::vector<std::string> failures_one, failures_two;
  std::thread first([&] { fetch(*one, "one", failures_one); });
  std::thread second([&] { fetch(*two, "two", failures_two); });
  first.join();
  second.join();
  EXPECT_EQ(failures_one, std::vector<std::string>{});
  EXPECT_EQ(failures_two, std::vector<std::string>{});
  // The archive stays until the connection whose build is in place ends.
  EXPECT_TRUE(fs::exists(Sub("Temp/serverlogs.zip")));
  one.reset();
  two.reset();
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(Sub("Temp/serverlogs.zip")); }));
}

TEST_F(RemoteAdminTest, LogsRequestOfAClientOnlySessionGetsNoReply) {
  StartServer();
  std::unique_ptr<Link> client = Client("anna", "anna-pw", "Alpha");
  ASSERT_TRUE(client != nullptr);
  client->connection.set_reply_timeout(300ms);
  EXPECT_FALSE(client->session->RequestServerLogs());
  EXPECT_FALSE(client->connection.Request(PacketType::kNextDownloadChunk).has_value());
  EXPECT_FALSE(fs::exists(Sub("Temp/serverlogs.zip")));
  EXPECT_TRUE(client::Ping(client->connection));
}

TEST_F(RemoteAdminTest, PlainDocumentEndsInTempUnderItsNameAndTheArchiveIsGone) {
  StartServer();
  const std::string notes = Fixture("notes.txt");
  ASSERT_TRUE(UploadDocument(notes, "Admin Notes.txt"));
  EXPECT_EQ(ReadFile(Sub("Temp/Admin Notes.txt")), notes);
  EXPECT_EQ(TempFiles(), (std::vector<std::string>{"Admin Notes.txt"}));
  // Neither configuration nor rights: the main window leaves it in place and
  // the server carries on.
  std::unique_ptr<Link> client = Client("anna", "anna-pw", "Alpha");
  ASSERT_TRUE(client != nullptr);
  EXPECT_TRUE(client::Ping(client->connection));
  EXPECT_TRUE(fs::exists(Sub("Temp/Admin Notes.txt")));
  EXPECT_TRUE(fs::is_empty(Sub("Backup")));
}

TEST_F(RemoteAdminTest, UploadNameWithAPathIsRefusedAndLandsNowhere) {
  StartServer();
  std::unique_ptr<Link> tool = Remote();
  ASSERT_TRUE(tool != nullptr);
  tool->connection.set_reply_timeout(300ms);
  EXPECT_FALSE(tool->session->RequestRemoteUpload("..\\evil.txt"));
  const std::string warning =
      "network handling: refused file name in packet 0x23 from IP "
      "127.0.0.1 at Port " +
      std::to_string(tool->connection.LocalPort());
  EXPECT_TRUE(WaitForLogbook(warning));
  tool->connection.set_reply_timeout(5s);
  EXPECT_TRUE(tool->session->SendUploadEnd());  // no target: nothing is placed
  EXPECT_FALSE(fs::exists(Sub("evil.txt")));
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(RemoteAdminTest, ConfigurationUploadIsMergedBackedUpAndTheServerRestartsOnIt) {
  ASSERT_TRUE(WriteFile(Sub("Roots/Gamma/g.txt"), "g"));
  StartServer();
  std::unique_ptr<Link> before = Client("anna", "anna-pw", "Alpha");
  ASSERT_TRUE(before != nullptr);
  const std::string original = ReadFile(Sub("Config/KestrelServer.xml"));
  std::string uploaded = Fixture("uploaded_config.xml");
  ReplaceAll(uploaded, "@GUS_DIGEST@", PasswordDigest("gus-pw"));
  ReplaceAll(uploaded, "@DORA_DIGEST@", PasswordDigest("dora-pw"));
  ASSERT_TRUE(UploadDocument(uploaded, "NewConfig.xml"));
  ASSERT_TRUE(WaitForLogbook("Server config updated"));

  // The restart on the merged file: the new project logs in on the old port
  // with the old key, the old project no longer does.
  std::unique_ptr<Link> gus;
  ASSERT_TRUE(WaitFor([&] {
    gus = Client("gus", "gus-pw", "Gamma", 200ms);
    return gus != nullptr;
  }));
  EXPECT_TRUE(Client("anna", "anna-pw", "Alpha", 300ms) == nullptr);
  EXPECT_TRUE(Client("dora", "dora-pw", "Delta", 300ms) == nullptr);
  EXPECT_TRUE(Remote() != nullptr);                // remote access and password stay the server's
  EXPECT_FALSE(client::Ping(before->connection));  // the restart ended old connections

  CXmlStore merged;
  ASSERT_TRUE(merged.Load(Sub("Config/KestrelServer.xml")));
  const XmlPath general{"KestrelServer_Config", "General"};
  EXPECT_EQ(merged.GetString(general, "TCPIPListenPort"), std::to_string(port_));
  EXPECT_EQ(merged.GetString(general, "GlobalKey"), kServerKey);
  EXPECT_EQ(merged.GetString(general, "ActivateRemote"), "true");
  EXPECT_EQ(merged.GetString(general, "PasswordRemote"), PasswordDigest(kRemotePassword));
  EXPECT_EQ(merged.GetString(general, "CustomerInstallation"), "true");
  EXPECT_EQ(merged.GetString(general, "ActivateUserPrivileges"), "true");
  EXPECT_EQ(merged.GetString(general, "LogLevel"), "Info");
  EXPECT_EQ(merged.GetString(general, "LogUserActivity"), "true");
  EXPECT_EQ(merged.GetString(general, "ScanIntervallProjects"), "17");
  EXPECT_EQ(merged.GetString(general, "ScanIntervallUserrights"), "3");
  EXPECT_EQ(merged.GetString(general, "DeleteEmptyFolders"), "");  // the server's file lacks it
  EXPECT_EQ(merged.GetString({"KestrelServer_Config", "Project1"}, "Projectname"), "Gamma");
  EXPECT_EQ(merged.GetString({"KestrelServer_Config", "Project1"}, "Rootpath"), ".\\Roots\\Gamma");
  const std::string text = ReadFile(Sub("Config/KestrelServer.xml"));
  EXPECT_EQ(text.find("<Project2>"), std::string::npos) << text;
  EXPECT_EQ(text.find("Delta"), std::string::npos) << text;
  EXPECT_EQ(text.find("Alpha"), std::string::npos) << text;
  EXPECT_FALSE(fs::exists(Sub("Rootfolder")));  // CustomerInstallation stayed on

  std::vector<std::string> backups =
      NonEmptyFiles(Sub("Backup"), [](const std::string&) { return true; });
  ASSERT_EQ(backups.size(), 3u);
  int old_seen = 0, new_seen = 0, download_seen = 0;
  for (const std::string& name : backups) {
    const std::string content = ReadFile(Sub("Backup/" + name));
    if (name.ends_with("_ServerConfig_old.xml")) old_seen += content == original ? 1 : 0;
    if (name.ends_with("_ServerConfig_New.xml")) new_seen += content == text ? 1 : 0;
    if (name.ends_with("_ServerConfig_Download.xml")) download_seen += content == uploaded ? 1 : 0;
  }
  EXPECT_EQ(old_seen, 1);
  EXPECT_EQ(new_seen, 1);
  EXPECT_EQ(download_seen, 1);
  EXPECT_TRUE(TempFiles().empty());  // received document and upload archive are gone
}

TEST_F(RemoteAdminTest, UserRightsUploadRewritesNamedFoldersAndKeepsClientsConnected) {
  ASSERT_TRUE(WriteFile(Sub("Roots/Alpha/~Archive.xml"), "<UserRights>kept</UserRights>"));
  fs::create_directories(Sub("Roots/Alpha/Archive"));
  StartServer();
  std::unique_ptr<Link> client = Client("anna", "anna-pw", "Alpha");
  ASSERT_TRUE(client != nullptr);
  ASSERT_TRUE(UploadDocument(Fixture("user_rights.xml"), "Rights.xml"));
  ASSERT_TRUE(WaitForLogbook("user rights updated"));

  struct Expected {
    const char* file;
    std::vector<std::tuple<std::string, bool, bool>> groups;
  };
  const Expected files[] = {
      {"Roots/Alpha/~RootRights.xml", {{"Staff", true, true}, {"Guests", true, false}}},
      {"Roots/Alpha/~Docs.xml", {{"Staff", true, false}}},
      {"Roots/Alpha/Docs/2024/~Q1.xml", {{"Board", false, false}, {"Staff", true, false}}},
  };
  for (const Expected& expected : files) {
    CXmlStore rights;
    ASSERT_TRUE(rights.Load(Sub(expected.file))) << expected.file;
    for (size_t i = 0; i < expected.groups.size(); ++i) {
      const std::string group = "Group" + std::to_string(i + 1);
      const XmlPath path{"UserRights", group};
      const auto& [name, visible, write] = expected.groups[i];
      EXPECT_EQ(rights.GetString(path, "Groupname"), name) << expected.file << " " << group;
      EXPECT_EQ(rights.GetString(path, "Visible"), visible ? "true" : "false") << expected.file;
      EXPECT_EQ(rights.GetString(path, "Write"), write ? "true" : "false") << expected.file;
    }
    const std::string next = "Group" + std::to_string(expected.groups.size() + 1);
    EXPECT_EQ(rights.GetString({"UserRights", next}, "Groupname"), "") << expected.file;
  }
  EXPECT_EQ(ReadFile(Sub("Roots/Alpha/~Archive.xml")), "<UserRights>kept</UserRights>");
  EXPECT_FALSE(fs::exists(Sub("Roots/Alpha/Archive/~Archive.xml")));
  const std::vector<std::string> backups = NonEmptyFiles(
      Sub("Backup"), [](const std::string& n) { return n.ends_with("_UserRigths.xml"); });
  EXPECT_EQ(backups.size(), 1u);
  EXPECT_TRUE(TempFiles().empty());
  // No restart: the client connected before the update is still served.
  EXPECT_TRUE(client::Ping(client->connection));
  EXPECT_TRUE(client->session->DownloadScanResult(Sub("scan.zip"), Sub("scan.xml")));
  EXPECT_EQ(Logbook().find("Server application terminated"), std::string::npos);
}

}  // namespace
}  // namespace kestrel::test
