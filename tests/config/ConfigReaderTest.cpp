// Reading the configuration file: one fixture file per case under
// tests/data/config/, grouped in tables (general settings, project lists).
#include "config/ConfigReader.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "config/ConfigTestFiles.h"
#include "support/Md5.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

using test::ConfigFixture;
using test::DescribeProjects;
using test::FileText;

// ---------------------------------------------------------------------------
// General settings. The member defaults are the values of a file that loads
// but lacks the element; each case states only what differs.

struct Settings {
  bool customer_installation = true;
  std::string global_key = "";
  bool activate_remote = false;
  std::string password_remote = "";
  bool activate_user_privileges = false;
  int log_level = 1;
  bool log_user_activity = false;
  int scan_intervall_projects = 5;
  int scan_intervall_userrights = 5;
  int tcpip_listen_port = 50000;
  bool delete_empty_folders = false;
  int login_grace_seconds = 30;
  int max_startups_per_source = 64;
  int max_startups = 128;
};

// Values in force when the file does not load at all.
const Settings kStartValues{.global_key = "qa7b5N2dkeMw8rf", .scan_intervall_userrights = 1};

struct SettingsCase {
  const char* name;     // test name: the fault it guards against
  const char* fixture;  // file under tests/data/config/ (may not exist)
  bool loads;
  Settings expected;
};

void ExpectSettings(const Settings& want, const ServerSettings& got) {
  EXPECT_EQ(want.customer_installation, got.customer_installation) << "CustomerInstallation";
  EXPECT_EQ(want.global_key, got.global_key) << "GlobalKey";
  EXPECT_EQ(want.activate_remote, got.activate_remote) << "ActivateRemote";
  EXPECT_EQ(want.password_remote, got.password_remote.Get()) << "PasswordRemote";
  EXPECT_EQ(want.activate_user_privileges, got.activate_user_privileges)
      << "ActivateUserPrivileges";
  EXPECT_EQ(want.log_level, got.log_level) << "LogLevel";
  EXPECT_EQ(want.log_user_activity, got.log_user_activity) << "LogUserActivity";
  EXPECT_EQ(want.scan_intervall_projects, got.scan_intervall_projects) << "ScanIntervallProjects";
  EXPECT_EQ(want.scan_intervall_userrights, got.scan_intervall_userrights)
      << "ScanIntervallUserrights";
  EXPECT_EQ(want.tcpip_listen_port, got.tcpip_listen_port) << "TCPIPListenPort";
  EXPECT_EQ(want.delete_empty_folders, got.delete_empty_folders) << "DeleteEmptyFolders";
  EXPECT_EQ(want.login_grace_seconds, got.login_grace_seconds) << "LoginGraceSeconds";
  EXPECT_EQ(want.max_startups_per_source, got.max_startups_per_source) << "MaxStartupsPerSource";
  EXPECT_EQ(want.max_startups, got.max_startups) << "MaxStartups";
}

const SettingsCase kSettingsCases[] = {
    {"AllElementsReadIntoSettings",
     "general_complete.xml",
     true,
     {.customer_installation = false,
      .global_key = "Zz9secretKey",
      .activate_remote = true,
      .password_remote = "48f37813739864a96bc309b174b15a82",
      .activate_user_privileges = true,
      .log_level = 2,
      .log_user_activity = true,
      .scan_intervall_projects = 7,
      .scan_intervall_userrights = 3,
      .tcpip_listen_port = 50123,
      .delete_empty_folders = true}},
    {"EmptyGeneralTakesMissingElementValues", "general_empty.xml", true, {}},
    {"MissingFileKeepsStartValues", "does_not_exist.xml", false, kStartValues},
    {"MalformedFileKeepsStartValues", "not_well_formed.xml", false, kStartValues},
    {"OtherTopLevelElementTakesMissingElementValues", "other_root_element.xml", true, {}},
    {"BooleanYesIsTrue", "activate_remote_yes.xml", true, {.activate_remote = true}},
    {"BooleanMixedCaseTrueIsTrue", "activate_remote_True.xml", true, {.activate_remote = true}},
    {"BooleanOneIsTrue", "activate_remote_1.xml", true, {.activate_remote = true}},
    {"BooleanNoIsFalse", "activate_remote_no.xml", true, {}},
    {"BooleanOnIsFalse", "activate_remote_on.xml", true, {}},
    {"BooleanTwoIsFalse", "activate_remote_2.xml", true, {}},
    {"BooleanWithLeadingBlankIsFalse", "activate_remote_padded.xml", true, {}},
    {"CustomerInstallationZeroIsFalse",
     "customer_installation_0.xml",
     true,
     {.customer_installation = false}},
    {"EmptyBooleanElementCountsAsMissing", "customer_installation_empty.xml", true, {}},
    {"UpperCaseYesIsTrue", "delete_empty_folders_YES.xml", true, {.delete_empty_folders = true}},
    {"LogUserActivityTrue", "log_user_activity_true.xml", true, {.log_user_activity = true}},
    {"UserPrivilegesTrue",
     "activate_user_privileges_true.xml",
     true,
     {.activate_user_privileges = true}},
    {"LogLevelErrorIsZero", "log_level_Error.xml", true, {.log_level = 0}},
    {"LogLevelWarningIsOne", "log_level_Warning.xml", true, {.log_level = 1}},
    {"LogLevelInfoIsTwo", "log_level_Info.xml", true, {.log_level = 2}},
    {"LogLevelLowerCaseInfoIsOne", "log_level_info_lower.xml", true, {.log_level = 1}},
    {"LogLevelUnknownIsOne", "log_level_unknown.xml", true, {.log_level = 1}},
    {"PortWithTrailingLettersUsesLeadingDigits",
     "port_8080abc.xml",
     true,
     {.tcpip_listen_port = 8080}},
    {"PortOfLettersIsZero", "port_letters.xml", true, {.tcpip_listen_port = 0}},
    {"PortAboveRangeUsedUnchanged", "port_70000.xml", true, {.tcpip_listen_port = 70000}},
    {"PortZeroUsedUnchanged", "port_zero.xml", true, {.tcpip_listen_port = 0}},
    {"IntervalsTakeSignAndLeadingBlanks",
     "scan_intervals_signed.xml",
     true,
     {.scan_intervall_projects = -3, .scan_intervall_userrights = 12}},
    {"ConnectionLimitsRead",
     "connection_limits.xml",
     true,
     {.login_grace_seconds = 1, .max_startups_per_source = 2, .max_startups = 0}},
    {"EmptyGlobalKeyElementGivesEmptyKey", "global_key_empty_element.xml", true, {}},
    {"GlobalKeyIsNotTrimmed",
     "global_key_spaces_kept.xml",
     true,
     {.global_key = " key with spaces "}},
    {"MissingGlobalKeyGivesEmptyKeyNotStartValue",
     "missing_global_key.xml",
     true,
     {.activate_remote = true,
      .password_remote = "48f37813739864a96bc309b174b15a82",
      .tcpip_listen_port = 50001}},
};

void PrintTo(const SettingsCase& c, std::ostream* os) {
  *os << c.fixture;
}

class SettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsTest, ReadsExpectedValues) {
  const SettingsCase& c = GetParam();
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, ConfigFixture(c.fixture));
  EXPECT_EQ(c.loads, store.IsLoaded());
  ExpectSettings(c.expected, config.settings);
}

INSTANTIATE_TEST_SUITE_P(Reader, SettingsTest, ::testing::ValuesIn(kSettingsCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Projects, groups and users: the expected list as DescribeProjects draws it.

struct ProjectsCase {
  const char* name;
  const char* fixture;
  const char* expected;
};

const ProjectsCase kProjectsCases[] = {
    {"TwoProjectsInFileOrderWithTags", "two_projects.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=1 groups=Staff,Guests\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff,Guests\n"
     "  User2/Project1 ben|Ben B|ben-digest|ben@example.com groups=Guests\n"
     "Project2 Beta .\\Projects\\Beta privileges=1 groups=Board\n"
     "  User1/Project2 cleo|Cleo C|cleo-digest|cleo@example.com groups=Board\n"},
    {"UserPrivilegesCopiedFromSetting", "privileges_off.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=0 groups=Staff,Guests\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff,Guests\n"
     "  User2/Project1 ben|Ben B|ben-digest|ben@example.com groups=Guests\n"},
    {"GapInProjectNumbersEndsList", "project1_and_project3.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=1 groups=Staff,Guests\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff,Guests\n"
     "  User2/Project1 ben|Ben B|ben-digest|ben@example.com groups=Guests\n"},
    {"IncompleteUserEndsUserList", "user2_incomplete.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=1 groups=Staff\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff\n"},
    {"UserWithoutGroupEndsUserList", "user2_without_groups.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=1 groups=Staff\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff\n"},
    {"ProjectWithoutGroupsDiscardsAllProjects", "project_without_groups.xml", ""},
    {"ProjectWithoutCompleteUserDiscardsAllProjects", "project_without_complete_user.xml", ""},
    {"ProjectWithoutRootpathDiscardsAllProjects", "project_without_rootpath.xml", ""},
    {"NamelessProjectEndsListKeepingEarlierOnes", "project2_without_name.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=1 groups=Staff,Guests\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff,Guests\n"
     "  User2/Project1 ben|Ben B|ben-digest|ben@example.com groups=Guests\n"},
    {"UndeclaredGroupOfUserIsKept", "undeclared_group.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=1 groups=Staff\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Visitors\n"},
    {"GapInGroupNumbersEndsGroupLists", "group_gaps.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=1 groups=Staff\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff\n"},
    {"EmptyUserGroupElementEndsUserGroups", "user_empty_group_element.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=1 groups=Staff,Guests\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff\n"},
    {"MissingGlobalKeyStillLoadsProjects", "missing_global_key.xml",
     "Project1 Alpha C:\\Data\\Alpha privileges=0 groups=Staff,Guests\n"
     "  User1/Project1 ann|Ann A|ann-digest|ann@example.com groups=Staff,Guests\n"
     "  User2/Project1 ben|Ben B|ben-digest|ben@example.com groups=Guests\n"},
    {"OtherTopLevelElementHasNoProjects", "other_root_element.xml", ""},
    {"MalformedFileHasNoProjects", "not_well_formed.xml", ""},
    {"MissingFileHasNoProjects", "does_not_exist.xml", ""},
};

void PrintTo(const ProjectsCase& c, std::ostream* os) {
  *os << c.fixture;
}

class ProjectsTest : public ::testing::TestWithParam<ProjectsCase> {};

TEST_P(ProjectsTest, ReadsExpectedProjectList) {
  const ProjectsCase& c = GetParam();
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, ConfigFixture(c.fixture));
  EXPECT_EQ(c.expected, DescribeProjects(config));
  EXPECT_EQ(static_cast<int>(config.projects.size()), config.project_count());
}

INSTANTIATE_TEST_SUITE_P(Reader, ProjectsTest, ::testing::ValuesIn(kProjectsCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Reading passes in a row (every restart reads the file again).

TEST(ReaderPassTest, FailedLoadAfterGoodOneDropsProjectsAndRestoresStartValues) {
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, ConfigFixture("general_complete.xml"));
  ReadConfiguration(store, config, ConfigFixture("two_projects.xml"));
  ASSERT_EQ(2, config.project_count());

  ReadConfiguration(store, config, ConfigFixture("does_not_exist.xml"));
  EXPECT_FALSE(store.IsLoaded());
  EXPECT_EQ(0, config.project_count());
  ExpectSettings(kStartValues, config.settings);
}

TEST(ReaderPassTest, SecondPassDoesNotKeepValuesOfFirst) {
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, ConfigFixture("general_complete.xml"));
  ReadConfiguration(store, config, ConfigFixture("general_empty.xml"));
  ExpectSettings(Settings{}, config.settings);
}

TEST(ReaderPassTest, ReadingNeverWritesTheFile) {
  test::TempDir dir;
  const std::string path = dir.Sub("KestrelServer.xml");
  const std::string original = FileText(ConfigFixture("general_complete.xml"));
  ASSERT_TRUE(test::WriteFileText(path, original));

  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, path);
  EXPECT_TRUE(store.IsLoaded());
  EXPECT_EQ(original, FileText(path));
}

TEST(ReaderPassTest, StoreStaysLoadedWithTheFilesDocument) {
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, ConfigFixture("general_complete.xml"));
  ASSERT_TRUE(store.IsLoaded());
  // Elements the reader does not know are still in the document for writers.
  EXPECT_EQ("kept but not read",
            store.GetString(XmlPath{config_keys::kRoot, config_keys::kGeneral}, "SomethingElse"));
}

TEST(ReaderPassTest, SectionTagsNumberFromOne) {
  EXPECT_EQ("Project1", SectionTag(config_keys::kProjectPrefix, 1));
  EXPECT_EQ("User12", SectionTag(config_keys::kUserPrefix, 12));
  EXPECT_EQ("Group3", SectionTag(config_keys::kGroupPrefix, 3));
}

TEST(DemoFolderTest, BundledDemoConfigurationReadsAsDocumented) {
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, KESTREL_SOURCE_DIR "/demo/Config/KestrelServer.xml");
  ASSERT_TRUE(store.IsLoaded());
  ExpectSettings({.global_key = "qa7b5N2dkeMw8rf",
                  .activate_remote = true,
                  // digest of "admin"
                  .password_remote = "48f37813739864a96bc309b174b15a82",
                  .log_level = 2,
                  .log_user_activity = true},
                 config.settings);
  EXPECT_EQ(
      "Project1 Demo .\\Projects\\Demo privileges=0 groups=Staff,Guests\n"
      "  User1/Project1 alice|Alice Liddell|7817fa70fe0cb30fd71c9e28e0acf394|alice@example.com "
      "groups=Staff,Guests\n"
      "  User2/Project1 bob|Bob Builder|26bc948dcbd6ff359ee7877167867411|bob@example.com "
      "groups=Guests\n",
      DescribeProjects(config));
}

TEST(DemoFolderTest, DemoDigestsMatchTheDocumentedPasswords) {
  CXmlStore store;
  ServerConfig config;
  ReadConfiguration(store, config, KESTREL_SOURCE_DIR "/demo/Config/KestrelServer.xml");
  ASSERT_EQ(1, config.project_count());
  ASSERT_EQ(2u, config.projects[0]->users.size());
  EXPECT_EQ(PasswordDigest("admin"), config.settings.password_remote.Get());
  EXPECT_EQ(PasswordDigest("wonderland"), config.projects[0]->users[0]->password.Get());
  EXPECT_EQ(PasswordDigest("builder"), config.projects[0]->users[1]->password.Get());
}

}  // namespace
}  // namespace kestrel
