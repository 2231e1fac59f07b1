// Access control of the real kestrel-server: with user privileges on, bob
// (Guests) and alice (Staff) in a project of a shared, a read-only and a
// hidden folder; rights files that no client may touch; and a tree holding
// links and FIFOs that must never lead outside the root nor stop a shutdown.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "support/Md5.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kGlobalKey = "access-key";
constexpr platform::FileTime kWhen = 133800000000000000ULL;

std::string Rights(bool guests_visible, bool guests_write) {
  return std::string("<?xml version='1.0' encoding='UTF-8' ?>\n<UserRights>") +
         "<Group1><Groupname>Staff</Groupname><Visible>true</Visible><Write>true</Write></Group1>"
         "<Group2><Groupname>Guests</Groupname><Visible>" +
         (guests_visible ? "true" : "false") + "</Visible><Write>" +
         (guests_write ? "true" : "false") + "</Write></Group2></UserRights>\n";
}

std::string User(int n, const std::string& name, const std::string& password,
                 const std::string& group) {
  const std::string tag = "User" + std::to_string(n);
  return "<" + tag + "><Username>" + name + "</Username><Realname>" + name +
         "</Realname><Password>" + PasswordDigest(password) + "</Password><Useremail>" + name +
         "@example.org</Useremail><Group1>" + group + "</Group1></" + tag + ">";
}

std::string Config(std::uint16_t port) {
  return std::string("<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>") +
         "<CustomerInstallation>true</CustomerInstallation><GlobalKey>" + kGlobalKey +
         "</GlobalKey><ActivateUserPrivileges>true</ActivateUserPrivileges>"
         "<LogLevel>Info</LogLevel><ScanIntervallProjects>60</ScanIntervallProjects>"
         "<ScanIntervallUserrights>60</ScanIntervallUserrights><TCPIPListenPort>" +
         std::to_string(port) +
         "</TCPIPListenPort></General><Project1><Projectname>Demo</Projectname>"
         "<Rootpath>.\\Projects\\Demo</Rootpath>"
         "<Group1><Groupname>Staff</Groupname></Group1><Group2><Groupname>Guests</Groupname>"
         "</Group2>" +
         User(1, "alice", "wonderland", "Staff") + User(2, "bob", "builder", "Guests") +
         "</Project1></KestrelServer_Config>\n";
}

// Every entry below folder: regular files with their bytes, links with their
// targets, anything else by its kind (FIFOs are never opened).
std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    const std::string name = fs::relative(e.path(), folder).string();
    if (e.is_symlink()) {
      out[name] = "link to " + fs::read_symlink(e.path()).string();
    } else if (e.is_regular_file()) {
      out[name] = ReadFile(e.path());
    } else {
      out[name] = e.is_directory() ? "folder" : "special";
    }
  }
  return out;
}

class AccessControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"), Config(port_)));
    ASSERT_TRUE(WriteFile(Root("~RootRights.xml"), Rights(true, false)));
    ASSERT_TRUE(WriteFile(Root("~Shared.xml"), Rights(true, true)));
    ASSERT_TRUE(WriteFile(Root("~ReadOnly.xml"), Rights(true, false)));
    ASSERT_TRUE(WriteFile(Root("~Secret.xml"), Rights(false, false)));
    ASSERT_TRUE(WriteFile(Root("readme.txt"), "read me"));
    ASSERT_TRUE(WriteFile(Root("Shared/s.txt"), "shared"));
    ASSERT_TRUE(WriteFile(Root("ReadOnly/other.txt"), "other"));
    ASSERT_TRUE(WriteFile(Root("Secret/plans.txt"), "staff only"));
    ASSERT_TRUE(WriteFile(Local("up.txt"), "uploaded"));
    ASSERT_TRUE(WriteFile(Local("rights.xml"), Rights(true, true)));
    ASSERT_TRUE(WriteFile(Outside("canary.txt"), "canary"));
  }
  void StartServer() {
    server_ = std::make_unique<ServerProcess>(KESTREL_SERVER_BINARY, dir_.path());
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(server_->WaitListening(port_)) << server_->Stderr();
    ASSERT_TRUE(WaitFor([&] {
      return ReadFile(dir_.Sub("Config/Scanresult_Demo_bob.xml")).find("</Scanresult>") !=
             std::string::npos;
    }));
  }
  void TearDown() override {
    if (server_ && server_->running()) {
      server_->Signal(SIGTERM);
      EXPECT_EQ(server_->WaitExit(), 0);
    }
  }
  std::string Root(const std::string& rel = "") const { return dir_.Sub("Projects/Demo/" + rel); }
  std::string Local(const std::string& rel = "") const { return dir_.Sub("client/" + rel); }
  std::string Outside(const std::string& rel = "") const { return dir_.Sub("outside/" + rel); }

  struct Client {
    client::ClientConnection connection;
    std::unique_ptr<client::ClientSession> session;
  };
  std::unique_ptr<Client> LogIn(const std::string& user, const std::string& password) {
    auto c = std::make_unique<Client>();
    if (!c->connection.Connect("127.0.0.1", port_)) return nullptr;
    c->session = std::make_unique<client::ClientSession>(c->connection, kGlobalKey);
    if (!c->session->RequestSessionKey() || !c->session->Login(user, password, "Demo")) {
      return nullptr;
    }
    c->connection.set_reply_timeout(400ms);
    return c;
  }
  bool Download(Client& c, const std::string& folder, const std::string& file) {
    return c.session->DownloadFile(folder, file, Local("dl.zip"), Local("dl.out"));
  }
  bool Upload(Client& c, const std::string& folder, const std::string& file,
              const std::string& source = "up.txt") {
    return c.session->UploadFile(folder, file, Local(source), kWhen, Local("up.zip"));
  }
  // Each refusal is one Warning naming user, request, folder and address.
  bool Refused(const Client& c, int type, const std::string& reason, const std::string& user,
               const std::string& folder) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "Warning: network handling: refused packet 0x%02X (%s) of user %s for folder %s "
                  "from IP 127.0.0.1 at Port %d",
                  type, reason.c_str(), user.c_str(), folder.c_str(), c.connection.LocalPort());
    return WaitFor([&] { return Logbook(dir_.path()).find(line) != std::string::npos; });
  }

  TempDir dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(AccessControlTest, AllowedRequestsWorkAsBefore) {
  StartServer();
  auto bob = LogIn("bob", "builder");
  ASSERT_TRUE(bob);
  for (const auto& [folder, file] : std::map<std::string, std::string>{
           {"RootFolder", "readme.txt"}, {"Shared", "s.txt"}, {"ReadOnly", "other.txt"}}) {
    ASSERT_TRUE(Download(*bob, folder, file)) << folder;
    EXPECT_EQ(ReadFile(Local("dl.out")),
              ReadFile(Root(folder == "RootFolder" ? file : folder + "/" + file)));
  }
  ASSERT_TRUE(Upload(*bob, "Shared\\New", "up.txt"));  // a new folder takes its parent's rights
  EXPECT_EQ(ReadFile(Root("Shared/New/up.txt")), "uploaded");
  ASSERT_TRUE(bob->session->DeleteFile("Shared", "s.txt"));
  EXPECT_TRUE(WaitFor([&] { return !fs::exists(Root("Shared/s.txt")); }));

  auto alice = LogIn("alice", "wonderland");
  ASSERT_TRUE(alice);
  ASSERT_TRUE(Download(*alice, "Secret", "plans.txt"));
  EXPECT_EQ(ReadFile(Local("dl.out")), "staff only");
  ASSERT_TRUE(Upload(*alice, "Secret", "up.txt"));
  EXPECT_EQ(ReadFile(Root("Secret/up.txt")), "uploaded");
}

TEST_F(AccessControlTest, RefusedRequestsGetNoReplyChangeNothingAndLogAWarning) {
  StartServer();
  const auto before = Snapshot(Root());
  auto bob = LogIn("bob", "builder");
  ASSERT_TRUE(bob);
  EXPECT_FALSE(Download(*bob, "Secret", "plans.txt"));
  EXPECT_TRUE(Refused(*bob, 0x22, "rights", "bob", "Secret"));
  for (const char* folder : {"ReadOnly", "Secret", "RootFolder", "ReadOnly\\New"}) {
    EXPECT_FALSE(Upload(*bob, folder, "other.txt")) << folder;
    EXPECT_TRUE(Refused(*bob, 0x32, "rights", "bob", folder)) << folder;
  }
  EXPECT_FALSE(bob->session->DeleteFile("ReadOnly", "other.txt"));
  EXPECT_TRUE(Refused(*bob, 0x34, "rights", "bob", "ReadOnly"));
  EXPECT_EQ(Snapshot(Root()), before);
  EXPECT_TRUE(Download(*bob, "ReadOnly", "other.txt"));  // the session still serves
}

TEST_F(AccessControlTest, RightsFilesCannotBeReadReplacedOrDeletedEvenWithFullRights) {
  StartServer();
  const auto before = Snapshot(Root());
  auto alice = LogIn("alice", "wonderland");
  ASSERT_TRUE(alice);
  EXPECT_FALSE(Download(*alice, "RootFolder", "~RootRights.xml"));
  EXPECT_FALSE(Upload(*alice, "RootFolder", "~RootRights.xml", "rights.xml"));
  EXPECT_FALSE(Upload(*alice, "RootFolder", "~Secret.xml", "rights.xml"));
  EXPECT_FALSE(alice->session->DeleteFile("RootFolder", "~RootRights.xml"));
  EXPECT_FALSE(Upload(*alice, "~Hidden", "x.txt"));
  EXPECT_TRUE(Refused(*alice, 0x34, "file name", "alice", "RootFolder"));
  EXPECT_TRUE(Refused(*alice, 0x32, "file name", "alice", "~Hidden"));
  EXPECT_EQ(Snapshot(Root()), before);
  ASSERT_TRUE(alice->session->Logout());
  // Nothing changed: bob still may not read the hidden folder.
  auto bob = LogIn("bob", "builder");
  ASSERT_TRUE(bob);
  EXPECT_FALSE(Download(*bob, "Secret", "plans.txt"));
}

TEST_F(AccessControlTest, LinksAndFifosNeverLeadOutsideAndShutdownStillEndsAtOnce) {
  ASSERT_TRUE(WriteFile(Outside("folder/inner.txt"), "inner"));
  ASSERT_TRUE(WriteFile(Outside("rights-target.xml"), "not rights"));
  ASSERT_TRUE(WriteFile(Root("~T.xml"), Rights(true, true)));
  fs::create_directories(Root("T/S"));
  fs::create_directories(Root("T/F"));
  fs::create_symlink(Outside("canary.txt"), Root("Shared/linkfile.txt"));
  fs::create_symlink(Outside("folder"), Root("Shared/linkdir"));
  fs::create_symlink(Outside("gone.txt"), Root("Shared/dangling.txt"));
  fs::create_symlink(Outside("rights-target.xml"), Root("T/~S.xml"));
  ASSERT_EQ(::mkfifo(Root("T/~F.xml").c_str(), 0644), 0);
  ASSERT_EQ(::mkfifo(Root("Shared/pipe.txt").c_str(), 0644), 0);
  const auto outside = Snapshot(Outside());
  StartServer();

  const std::string scan = ReadFile(dir_.Sub("Config/Scanresult_Demo_alice.xml"));
  for (const char* name : {"linkfile", "linkdir", "inner", "dangling", "pipe"}) {
    EXPECT_EQ(scan.find(name), std::string::npos) << name;
  }
  auto alice = LogIn("alice", "wonderland");
  ASSERT_TRUE(alice);
  EXPECT_FALSE(Download(*alice, "Shared", "linkfile.txt"));
  EXPECT_FALSE(Download(*alice, "Shared\\linkdir", "inner.txt"));
  EXPECT_FALSE(Download(*alice, "Shared", "pipe.txt"));
  EXPECT_FALSE(Upload(*alice, "Shared", "linkfile.txt"));
  EXPECT_FALSE(Upload(*alice, "Shared", "dangling.txt"));
  EXPECT_FALSE(Upload(*alice, "Shared\\linkdir", "inner.txt"));
  EXPECT_FALSE(Upload(*alice, "Shared\\linkdir\\made", "x.txt"));
  EXPECT_FALSE(alice->session->DeleteFile("Shared", "linkfile.txt"));
  EXPECT_FALSE(alice->session->DeleteFile("Shared\\linkdir", "inner.txt"));
  EXPECT_TRUE(Refused(*alice, 0x34, "link or special file", "alice", "Shared\\linkdir"));
  EXPECT_EQ(Snapshot(Outside()), outside);
  // The rights pass replaced the linked and the FIFO rights file by copies.
  EXPECT_EQ(ReadFile(Root("T/~S.xml")), Rights(true, true));
  EXPECT_EQ(ReadFile(Root("T/~F.xml")), Rights(true, true));
  EXPECT_TRUE(fs::is_symlink(Root("Shared/linkfile.txt")));

  ASSERT_TRUE(server_->Signal(SIGTERM));
  EXPECT_EQ(server_->WaitExit(10s), 0);
}

}  // namespace
}  // namespace kestrel::test
