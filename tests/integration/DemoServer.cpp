#include "DemoServer.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <random>

#include "platform/FileSystem.h"
#include "support/Md5.h"

namespace kestrel::test {
namespace {

std::string Config(std::uint16_t port, bool privileges) {
  return std::string("<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config>\n") +
         "<General><CustomerInstallation>true</CustomerInstallation>"
         "<GlobalKey>qa7b5N2dkeMw8rf</GlobalKey><ActivateRemote>true</ActivateRemote>"
         "<PasswordRemote>" +
         PasswordDigest("admin") +
         "</PasswordRemote>"
         "<ActivateUserPrivileges>" +
         (privileges ? "true" : "false") +
         "</ActivateUserPrivileges>"
         "<LogLevel>Info</LogLevel><LogUserActivity>true</LogUserActivity>"
         "<ScanIntervallProjects>60</ScanIntervallProjects>"
         "<ScanIntervallUserrights>60</ScanIntervallUserrights>"
         "<TCPIPListenPort>" +
         std::to_string(port) +
         "</TCPIPListenPort>"
         "<DeleteEmptyFolders>false</DeleteEmptyFolders></General>\n"
         "<Project1><Projectname>Demo</Projectname><Rootpath>.\\Projects\\Demo</Rootpath>"
         "<Group1><Groupname>Staff</Groupname></Group1>"
         "<Group2><Groupname>Guests</Groupname></Group2>"
         "<User1><Username>alice</Username><Realname>Alice</Realname>"
         "<Password>" +
         PasswordDigest(DemoPassword("alice")) +
         "</Password>"
         "<Useremail>alice@example.com</Useremail><Group1>Staff</Group1><Group2>Guests</Group2>"
         "</User1>"
         "<User2><Username>bob</Username><Realname>Bob</Realname>"
         "<Password>" +
         PasswordDigest(DemoPassword("bob")) +
         "</Password>"
         "<Useremail>bob@example.com</Useremail><Group1>Guests</Group1></User2>"
         "</Project1>\n</KestrelServer_Config>\n";
}

}  // namespace

DemoServer::~DemoServer() {
  if (server_) {
    server_->Signal(SIGTERM);
    server_->WaitExit();
  }
}

void DemoServer::Start(bool privileges) {
  port_ = FreePort();
  ASSERT_TRUE(WriteFile(dir_.Sub("Config/KestrelServer.xml"), Config(port_, privileges)));
  ASSERT_TRUE(WriteFile(Root("readme.txt"), "Read me first.\r\n"));
  ASSERT_TRUE(WriteFile(Root("Docs/team.csv"), "Alice,Staff\nBob,Guests\n"));
  if (privileges) {
    ASSERT_TRUE(WriteFile(Root("~RootRights.xml"), DemoRights(true, false)));
    ASSERT_TRUE(WriteFile(Root("~Docs.xml"), DemoRights(true, false)));
    ASSERT_TRUE(WriteFile(Root("~Secret.xml"), DemoRights(false, false)));
    ASSERT_TRUE(WriteFile(Root("Secret/plans.txt"), "staff only"));
  }
  std::filesystem::create_directories(Client());
  std::filesystem::create_directories(Scratch());
  server_ = std::make_unique<ServerProcess>(KESTREL_SERVER_BINARY, dir_.path());
  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(server_->WaitListening(port_)) << server_->Stderr();
  // The first scan has written the users' results.
  ASSERT_TRUE(WaitFor([&] {
    return ReadFile(dir_.Sub("Config/Scanresult_Demo_alice.xml")).find("</Scanresult>") !=
               std::string::npos &&
           ReadFile(dir_.Sub("Config/Scanresult_Demo_bob.xml")).find("</Scanresult>") !=
               std::string::npos;
  }));
}

std::string DemoServer::Root(const std::string& relative) const {
  return dir_.Sub("Projects/Demo/" + relative);
}

std::string DemoServer::Client(const std::string& relative) const {
  return dir_.Sub("client/" + relative);
}

std::string DemoServer::Scratch(const std::string& relative) const {
  return dir_.Sub("scratch/" + relative);
}

std::string DemoPassword(const std::string& user) {
  return user == "alice" ? "wonderland" : "builder";
}

std::string DemoRights(bool guests_visible, bool guests_write) {
  return std::string("<?xml version='1.0' encoding='UTF-8' ?>\n<UserRights>") +
         "<Group1><Groupname>Staff</Groupname><Visible>true</Visible><Write>true</Write></Group1>"
         "<Group2><Groupname>Guests</Groupname><Visible>" +
         (guests_visible ? "true" : "false") + "</Visible><Write>" +
         (guests_write ? "true" : "false") + "</Write></Group2></UserRights>\n";
}

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(gen() & 0xFF);
  return bytes;
}

platform::FileTime TimeOf(const std::string& native) {
  platform::DirEntry entry;
  if (platform::Stat(*platform::SystemName(native), entry) != 0) return 0;
  return entry.last_write;
}

void SetTime(const std::string& native, std::int64_t unix_seconds, std::int64_t nanoseconds) {
  ASSERT_EQ(platform::SetLastWriteTime(*platform::SystemName(native),
                                       platform::FileTimeFromUnix(unix_seconds, nanoseconds)),
            0);
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(folder, ec)) {
    if (e.is_regular_file()) {
      names.push_back(std::filesystem::relative(e.path(), folder).string() + "=" +
                      ReadFile(e.path().string()) + "@" + std::to_string(TimeOf(e.path())));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace kestrel::test
