// The real kestrel-server as an administrator meets it: where it listens
// (address, IPv6, refused ports), --workdir, --check-config, and the user
// commands that edit the configuration of a stopped or a running server.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "OneProjectServer.h"
#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {
namespace {

constexpr const char* kKey = "admin-test-key";

std::string Logbook(const TempDir& dir) {
  return LogbookText(dir.path());
}

bool LogsIn(const std::string& host, std::uint16_t port, const std::string& user,
            const std::string& password) {
  client::ClientConnection c;
  if (!c.Connect(host, port)) return false;
  c.set_reply_timeout(std::chrono::milliseconds(1500));
  client::ClientSession s(c, kKey);
  return s.RequestSessionKey() && s.Login(user, password, "Alpha");
}

class ServerAdminTest : public OneProjectServerTest {
 protected:
  ServerAdminTest() : OneProjectServerTest(kKey) {}
  bool StdoutHas(const std::string& text) {
    return WaitFor([&] { return server_->Stdout().find(text) != std::string::npos; });
  }
  ProgramRun Tool(const std::vector<std::string>& args, const std::string& input = "") {
    return RunProgram(KESTREL_SERVER_BINARY, args, dir_.path(), input);
  }
};

TEST_F(ServerAdminTest, ListeningLineNamesTheAddressAndPortAndASignalAsksNothing) {
  StartServer();
  EXPECT_TRUE(StdoutHas("Info: listening on *:" + std::to_string(port_))) << server_->Stdout();
  // Lines stay exactly as they were outside the journal.
  EXPECT_EQ(server_->Stdout().find("<6>"), std::string::npos);
  ASSERT_TRUE(server_->Signal(SIGTERM));
  EXPECT_EQ(server_->WaitExit(), 0);
  EXPECT_EQ(server_->Stderr().find("Do you really want to shutdown the server?"), std::string::npos)
      << server_->Stderr();
}

TEST_F(ServerAdminTest, StdoutThatIsTheJournalGetsPriorityPrefixesAndTheLogbookDoesNot) {
  // The server's stdout file keeps its inode when the server opens it.
  ASSERT_TRUE(WriteFile(dir_.Sub("server.stdout"), ""));
  struct stat st {};
  ASSERT_EQ(::stat(dir_.Sub("server.stdout").c_str(), &st), 0);
  const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  ASSERT_EQ(::setenv("JOURNAL_STREAM", stream.c_str(), 1), 0);
  StartServer();
  ::unsetenv("JOURNAL_STREAM");
  EXPECT_TRUE(StdoutHas("<6>")) << server_->Stdout();
  EXPECT_TRUE(StdoutHas("- Info: listening on"));
  ASSERT_TRUE(server_->Signal(SIGTERM));
  EXPECT_EQ(server_->WaitExit(), 0);
  EXPECT_NE(server_->Stdout().find("<4>"), std::string::npos);  // "Server application terminated"
  const std::string logbook = Logbook(dir_);
  EXPECT_NE(logbook.find("Warning: Server application terminated"), std::string::npos);
  EXPECT_EQ(logbook.find("<4>"), std::string::npos);
}

TEST_F(ServerAdminTest, ListenAddress127001IsNotReachableOnAnotherLoopbackAddress) {
  StartServer("    <TCPIPListenAddress>127.0.0.1</TCPIPListenAddress>\n");
  ASSERT_TRUE(StdoutHas("listening on 127.0.0.1:" + std::to_string(port_))) << server_->Stdout();
  EXPECT_TRUE(LogsIn("127.0.0.1", port_, "anna", "secret"));
  client::ClientConnection other;
  EXPECT_FALSE(other.Connect("127.0.0.2", port_));
}

TEST_F(ServerAdminTest, Ipv6LoopbackClientLogsInAndIsLoggedInItsUsualForm) {
  StartServer();
  ASSERT_TRUE(StdoutHas("listening on"));
  EXPECT_TRUE(LogsIn("[::1]", port_, "anna", "secret"));
  EXPECT_TRUE(StdoutHas("User anna logged in on project Alpha from IP ::1 at Port"))
      << server_->Stdout();
  // The command-line client takes the bracketed form.
  setenv("KESTREL_PROJECT", "Alpha", 1);
  setenv("KESTREL_USER", "anna", 1);
  setenv("KESTREL_PASSWORD", "secret", 1);
  setenv("KESTREL_GLOBAL_KEY", kKey, 1);
  const ProgramRun ls = RunProgram(
      KESTREL_CLI_BINARY, {"--server", "[::1]:" + std::to_string(port_), "ls"}, dir_.path());
  for (const char* name :
       {"KESTREL_PROJECT", "KESTREL_USER", "KESTREL_PASSWORD", "KESTREL_GLOBAL_KEY"}) {
    unsetenv(name);
  }
  EXPECT_EQ(ls.code, 0) << ls.err;
  EXPECT_NE(ls.out.find("readme.txt"), std::string::npos) << ls.out;
  // An IPv4 client of the same socket still prints dotted.
  EXPECT_TRUE(LogsIn("127.0.0.1", port_, "anna", "secret"));
  EXPECT_TRUE(StdoutHas("from IP 127.0.0.1 at Port")) << server_->Stdout();
}

TEST_F(ServerAdminTest, PortOutOfRangeIsAnErrorLineAndTheServerRunsWithoutListening) {
  ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"), OneProjectConfig(kKey, port_)));
  std::string text = ReadFile(dir_.Sub("Config/KestrelServer.xml"));
  const std::string port_element = "<TCPIPListenPort>" + std::to_string(port_);
  text.replace(text.find(port_element), port_element.size(), "<TCPIPListenPort>70000");
  ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"), text));
  server_ = std::make_unique<ServerProcess>(KESTREL_SERVER_BINARY, dir_.path());
  ASSERT_TRUE(server_->Start());
  EXPECT_TRUE(WaitFor([&] {
    return Logbook(dir_).find(
               "Error: TCPIPListenPort '70000' is not a port number from 1 to "
               "65535: the server does not listen") != std::string::npos;
  })) << Logbook(dir_);
  EXPECT_EQ(server_->Stdout().find("listening on"), std::string::npos);
  // The project still runs.
  EXPECT_TRUE(WaitFor(
      [&] { return std::filesystem::exists(dir_.Sub("Config/Scanresult_Alpha_anna.xml")); }));
}

TEST_F(ServerAdminTest, WorkdirRunsTheServerInThatFolder) {
  ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"), OneProjectConfig(kKey, port_)));
  TempDir elsewhere;
  server_ = std::make_unique<ServerProcess>(KESTREL_SERVER_BINARY, elsewhere.path());
  ASSERT_TRUE(server_->Start({"--workdir", dir_.path()}));
  ASSERT_TRUE(server_->WaitListening(port_)) << server_->Stderr();
  EXPECT_TRUE(std::filesystem::is_directory(dir_.Sub("Temp")));
  EXPECT_FALSE(std::filesystem::exists(elsewhere.Sub("Temp")));
  EXPECT_TRUE(WaitFor(
      [&] { return std::filesystem::exists(dir_.Sub("Config/Scanresult_Alpha_anna.xml")); }));
}

TEST_F(ServerAdminTest, CheckConfigSuggestsTheKnownKeyAndExitsOne) {
  ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"), OneProjectConfig(kKey, port_)));
  EXPECT_EQ(Tool({"--check-config"}).code, 0);
  std::string text = ReadFile(dir_.Sub("Config/KestrelServer.xml"));
  text.replace(text.find("<LogLevel>"), 10, "<Loglevel>");
  text.replace(text.find("</LogLevel>"), 11, "</Loglevel>");
  ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"), text));
  const ProgramRun run = Tool({"--check-config", dir_.path()});
  EXPECT_EQ(run.code, 1);
  EXPECT_NE(run.out.find("Config/KestrelServer.xml:5: error: unknown key 'Loglevel' in General is "
                         "not read (did you mean 'LogLevel'?)"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(Tool({"--check-config", "a", "b"}).code, 2);
}

TEST_F(ServerAdminTest, UserAddPasswdRemoveOnAStoppedServerAndTheDigestLogsIn) {
  ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"), OneProjectConfig(kKey, port_)));
  ProgramRun add =
      Tool({"user", "add", "Alpha", "carol", "--email", "carol@example.org", "--password-stdin"},
           "carols-pass\n");
  ASSERT_EQ(add.code, 0) << add.err;
  ProgramRun passwd = Tool({"user", "passwd", "Alpha", "anna", "--password-stdin"}, "new-pass\n");
  ASSERT_EQ(passwd.code, 0) << passwd.err;
  EXPECT_EQ(Tool({"user", "remove", "Alpha", "nobody"}).code, 1);
  // The old file is kept in Backup.
  EXPECT_FALSE(std::filesystem::is_empty(dir_.Sub("Backup")));
  EXPECT_EQ(Tool({"--check-config"}).code, 0);

  server_ = std::make_unique<ServerProcess>(KESTREL_SERVER_BINARY, dir_.path());
  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(server_->WaitListening(port_));
  EXPECT_TRUE(LogsIn("127.0.0.1", port_, "carol", "carols-pass"));
  EXPECT_TRUE(LogsIn("127.0.0.1", port_, "anna", "new-pass"));
  EXPECT_FALSE(LogsIn("127.0.0.1", port_, "anna", "secret"));
}

TEST_F(ServerAdminTest, RunningServerRefusesTheToolUnlessSignalledThenReadsTheChange) {
  StartServer();
  ASSERT_TRUE(server_->WaitListening(port_));
  const std::vector<std::string> add = {"user",    "add",           "Alpha",           "carol",
                                        "--email", "c@example.org", "--password-stdin"};
  const ProgramRun refused = Tool(add, "pw\n");
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.err.find("runs in this folder"), std::string::npos) << refused.err;
  EXPECT_FALSE(LogsIn("127.0.0.1", port_, "carol", "pw"));

  std::vector<std::string> signalled = add;
  signalled.push_back("--signal");
  const ProgramRun done = Tool(signalled, "pw\n");
  ASSERT_EQ(done.code, 0) << done.err;
  // SIGHUP: the server stops, reads the configuration again and starts.
  ASSERT_TRUE(WaitFor(
      [&] { return Logbook(dir_).find("Server application terminated") != std::string::npos; }));
  ASSERT_TRUE(server_->WaitListening(port_));
  EXPECT_TRUE(WaitFor([&] { return LogsIn("127.0.0.1", port_, "carol", "pw"); }));

  // A second server in the same folder is refused.
  const ProgramRun twin = Tool({});
  EXPECT_EQ(twin.code, 1);
  EXPECT_NE(twin.err.find("already runs in this folder"), std::string::npos) << twin.err;
}

}  // namespace
}  // namespace kestrel::test
