#pragma once
// The real server with one project Alpha (root .\Projects\Alpha holding
// readme.txt, group Staff) and its user anna (password "secret"), LogLevel
// Info, in a temporary working folder on a free port.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "support/Md5.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {

// The configuration; general_extra goes into General.
inline std::string OneProjectConfig(const std::string& global_key, std::uint16_t port,
                                    const std::string& general_extra = "") {
  return "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config>\n  <General>\n"
         "    <GlobalKey>" +
         global_key + "</GlobalKey>\n    <LogLevel>Info</LogLevel>\n" + "    <TCPIPListenPort>" +
         std::to_string(port) + "</TCPIPListenPort>\n" + general_extra +
         "  </General>\n  <Project1>\n    <Projectname>Alpha</Projectname>\n"
         "    <Rootpath>.\\Projects\\Alpha</Rootpath>\n"
         "    <Group1>\n      <Groupname>Staff</Groupname>\n    </Group1>\n"
         "    <User1>\n      <Username>anna</Username>\n      <Realname>Anna A</Realname>\n"
         "      <Password>" +
         PasswordDigest("secret") +
         "</Password>\n      <Useremail>anna@example.org</Useremail>\n"
         "      <Group1>Staff</Group1>\n    </User1>\n  </Project1>\n</KestrelServer_Config>\n";
}

class OneProjectServerTest : public ::testing::Test {
 protected:
  explicit OneProjectServerTest(std::string global_key) : key_(std::move(global_key)) {}
  void SetUp() override {
    port_ = FreePort();
    ASSERT_TRUE(WriteFile(dir_.Sub("Projects/Alpha/readme.txt"), "hello"));
  }
  void TearDown() override {
    if (server_ && server_->running()) {
      server_->Signal(SIGTERM);
      EXPECT_EQ(server_->WaitExit(), 0);
    }
  }
  void StartServer(const std::string& general_extra = "") {
    ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"),
                          OneProjectConfig(key_, port_, general_extra)));
    server_ = std::make_unique<ServerProcess>(KESTREL_SERVER_BINARY, dir_.path());
    ASSERT_TRUE(server_->Start());
  }

  std::string key_;
  TempDir dir_;
  std::uint16_t port_ = 0;
  std::unique_ptr<ServerProcess> server_;
};

}  // namespace kestrel::test
