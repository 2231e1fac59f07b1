// kestrel admin push-rights and admin rights against the real server: the
// client's "RootFolder" spelling, unknown projects refused before sending,
// and what the server-logs archive can show of the rights.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "support/Md5.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {
namespace {

std::string Config(std::uint16_t port) {
  return "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config><General>"
         "<GlobalKey>qa7b5N2dkeMw8rf</GlobalKey><ActivateRemote>true</ActivateRemote>"
         "<PasswordRemote>" +
         PasswordDigest("admin") +
         "</PasswordRemote><ActivateUserPrivileges>true</ActivateUserPrivileges>"
         "<ScanIntervallUserrights>7</ScanIntervallUserrights>"
         "<TCPIPListenPort>" +
         std::to_string(port) +
         "</TCPIPListenPort></General>"
         "<Project1><Projectname>Alpha</Projectname><Rootpath>.\\Projects\\Alpha</Rootpath>"
         "<Group1><Groupname>Staff</Groupname></Group1><Group2><Groupname>Guests</Groupname>"
         "</Group2><User1><Username>anna</Username><Realname>A</Realname><Password>" +
         PasswordDigest("secret") +
         "</Password><Useremail>a@x</Useremail><Group1>Staff</Group1></User1>"
         "<User2><Username>gus</Username><Realname>G</Realname><Password>" +
         PasswordDigest("guest") +
         "</Password><Useremail>g@x</Useremail><Group1>Guests</Group1></User2>"
         "</Project1></KestrelServer_Config>\n";
}

constexpr const char* kRootRights =
    "<UserRights><Group1><Groupname>Staff</Groupname><Visible>true</Visible><Write>true</Write>"
    "</Group1><Group2><Groupname>Guests</Groupname><Visible>true</Visible><Write>false</Write>"
    "</Group2></UserRights>";

std::string RightsDocument(const std::string& project) {
  return "<UserRights><Projectname>" + project +
         "</Projectname><Folder1><Foldername>RootFolder</Foldername><Group1><Groupname>Staff"
         "</Groupname><Visible>true</Visible><Write>false</Write></Group1></Folder1></UserRights>";
}

class RightsWorkflowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = FreePort();
    ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"), Config(port_)));
    ASSERT_TRUE(WriteFile(dir_.Sub("Projects/Alpha/readme.txt"), "hello"));
    ASSERT_TRUE(WriteFile(dir_.Sub("Projects/Alpha/~RootRights.xml"), kRootRights));
    server_ = std::make_unique<ServerProcess>(KESTREL_SERVER_BINARY, dir_.path());
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(server_->WaitListening(port_));
    ASSERT_TRUE(WaitFor(
        [&] { return std::filesystem::exists(dir_.Sub("Config/Scanresult_Alpha_gus.xml")); }));
    setenv("KESTREL_SERVER", ("127.0.0.1:" + std::to_string(port_)).c_str(), 1);
    setenv("KESTREL_PASSWORD", "admin", 1);
  }
  void TearDown() override {
    unsetenv("KESTREL_SERVER");
    unsetenv("KESTREL_PASSWORD");
    server_->Signal(SIGTERM);
    EXPECT_EQ(server_->WaitExit(), 0);
  }
  ProgramRun Kestrel(const std::vector<std::string>& args) {
    return RunProgram(KESTREL_CLI_BINARY, args, scratch_.path());
  }

  TempDir dir_, scratch_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ServerProcess> server_;
};

TEST_F(RightsWorkflowTest, RootFolderSpellingIsMappedAndTheReplySaysWhenRightsApply) {
  ASSERT_TRUE(WriteFile(scratch_.Sub("rights.xml"), RightsDocument("Alpha")));
  const ProgramRun run = Kestrel({"admin", "push-rights", "rights.xml"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("within 7 minute(s)"), std::string::npos) << run.out;
  EXPECT_TRUE(WaitFor([&] {
    return ReadFile(dir_.Sub("Projects/Alpha/~RootRights.xml")).find("Guests") == std::string::npos;
  }));
  EXPECT_FALSE(std::filesystem::exists(dir_.Sub("Projects/Alpha/~RootFolder.xml")));
}

TEST_F(RightsWorkflowTest, UnknownProjectIsRefusedBeforeAnythingIsSent) {
  ASSERT_TRUE(WriteFile(scratch_.Sub("rights.xml"), RightsDocument("Beta")));
  const ProgramRun run = Kestrel({"admin", "push-rights", "rights.xml"});
  EXPECT_EQ(run.code, 5);
  EXPECT_NE(run.err.find("the server has no project 'Beta' (its projects: Alpha)"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(std::filesystem::is_empty(dir_.Sub("Backup")));  // no rights backup: nothing arrived
}

TEST_F(RightsWorkflowTest, RightsShowsWhatEachUserMayDoAndSaysWhatItCannotShow) {
  const ProgramRun run = Kestrel({"admin", "rights", "Alpha"});
  ASSERT_EQ(run.code, 0) << run.err;
  EXPECT_NE(run.out.find("user gus: groups Guests"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("RootFolder                       read-write   read-only"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("not the rights files"), std::string::npos);
  EXPECT_EQ(Kestrel({"admin", "rights", "Beta"}).code, 5);
}

}  // namespace
}  // namespace kestrel::test
