// What a reading pass refuses: listen settings the server cannot use, and
// users whose per-user file names collide with an earlier user's.
#include <gtest/gtest.h>

#include <string>

#include "config/ConfigReader.h"
#include "config/ConfigTestFiles.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

using test::ConfigFixture;

ReadReport Read(const char* fixture, ServerConfig& config) {
  CXmlStore store;
  ReadReport report;
  ReadConfiguration(store, config, ConfigFixture(fixture), &report);
  return report;
}

struct PortCase {
  const char* fixture;
  bool refused;
  const char* named;  // the value the Error line names
};

class ListenPort : public ::testing::TestWithParam<PortCase> {};

TEST_P(ListenPort, OutsideOneTo65535IsRefusedNamingTheValue) {
  ServerConfig config;
  const ReadReport report = Read(GetParam().fixture, config);
  EXPECT_EQ(report.listen_refused, GetParam().refused);
  if (!GetParam().refused) {
    EXPECT_TRUE(report.errors.empty());
    return;
  }
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_EQ(report.errors[0], std::string("TCPIPListenPort '") + GetParam().named +
                                  "' is not a port number from 1 to 65535: the server does not "
                                  "listen");
}

INSTANTIATE_TEST_SUITE_P(Cases, ListenPort,
                         ::testing::Values(PortCase{"port_70000.xml", true, "70000"},
                                           PortCase{"port_zero.xml", true, "0"},
                                           PortCase{"port_letters.xml", true, "abc"},
                                           PortCase{"port_8080abc.xml", false, ""},
                                           PortCase{"general_empty.xml", false, ""}));

TEST(ListenAddress, NotNumericIsRefused) {
  test::TempDir dir;
  const std::string path = dir.Sub("KestrelServer.xml");
  ASSERT_TRUE(test::WriteFileText(
      path,
      "<KestrelServer_Config><General><TCPIPListenAddress>localhost</TCPIPListenAddress>"
      "</General></KestrelServer_Config>"));
  ServerConfig config;
  CXmlStore store;
  ReadReport report;
  ReadConfiguration(store, config, path, &report);
  EXPECT_TRUE(report.listen_refused);
  ASSERT_EQ(report.errors.size(), 1u);
  EXPECT_NE(report.errors[0].find("TCPIPListenAddress 'localhost'"), std::string::npos);
}

TEST(ListenAddress, NumericAddressIsKept) {
  test::TempDir dir;
  const std::string path = dir.Sub("KestrelServer.xml");
  ASSERT_TRUE(test::WriteFileText(
      path,
      "<KestrelServer_Config><General><TCPIPListenAddress>::1</TCPIPListenAddress>"
      "</General></KestrelServer_Config>"));
  ServerConfig config;
  CXmlStore store;
  ReadReport report;
  ReadConfiguration(store, config, path, &report);
  EXPECT_FALSE(report.listen_refused);
  EXPECT_EQ(config.settings.tcpip_listen_address, "::1");
}

TEST(FileNameCollision, LaterPairIsLeftOutAndItsProjectKeepsItsOtherUsers) {
  ServerConfig config;
  const ReadReport report = Read("colliding_file_names.xml", config);
  ASSERT_EQ(config.projects.size(), 4u);
  // Project "a": "b_c" collides with a_b/c and is left out; "b_c_d" stays.
  ASSERT_EQ(config.projects[1]->users.size(), 1u);
  EXPECT_EQ(config.projects[1]->users[0]->username, "b_c_d");
  ASSERT_EQ(report.collisions.size(), 3u);
  EXPECT_EQ(report.collisions[0].kept.projectname, "a_b");
  EXPECT_EQ(report.collisions[0].left_out.username, "b_c");
  EXPECT_FALSE(report.collisions[0].project_emptied);
  EXPECT_EQ(report.errors[0],
            "user 'b_c' of project 'a' left out: its file names (Scanresult_a_b_c.xml) are those "
            "of user 'c' of project 'a_b'");
}

TEST(FileNameCollision, ProjectThatLosesItsLastUserRunsWithoutUsers) {
  ServerConfig config;
  const ReadReport report = Read("colliding_file_names.xml", config);
  ASSERT_EQ(config.projects.size(), 4u);
  // a_b_c/d is "a_b_c_d", as is a/b_c_d: left out. A second a_b/c likewise.
  EXPECT_TRUE(config.projects[2]->users.empty());
  EXPECT_TRUE(config.projects[3]->users.empty());
  EXPECT_TRUE(report.collisions[1].project_emptied);
  EXPECT_EQ(report.errors[2], "project 'a_b_c' has no user left: nobody can log in to it");
  EXPECT_EQ(report.errors.size(), 5u);
}

}  // namespace
}  // namespace kestrel
