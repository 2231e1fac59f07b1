#include "projects/UserRights.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "ProjectsTestUtil.h"
#include "platform/Directory.h"
#include "projects/ProjectCycle.h"
#include "support/XmlStore.h"

namespace kestrel::projects {
namespace {

using test::LogCapture;
using test::MakeProject;
using test::ReadFile;
using test::RightsXml;
using test::ScopedWorkDir;
using test::WriteFile;

constexpr platform::FileTime kSecond = 10000000ULL;
constexpr platform::FileTime kBase = 133500000000000000ULL;

class RightsReadTest : public ::testing::Test {
 protected:
  std::vector<std::uint8_t> ReadFor(ProjectRecord& project, const std::string& xml) {
    WriteFile(".\\rights.xml", xml);
    CXmlStore store;
    FolderRightsReader reader(project, store);
    std::vector<std::uint8_t> access;
    reader.Read(Here(), "rights.xml", access);
    return access;
  }
  static platform::Directory Here() {
    platform::Directory folder;
    EXPECT_EQ(folder.Open("."), 0);
    return folder;
  }
  ScopedWorkDir work_;
};

TEST_F(RightsReadTest, UserGetsTheUnionOverAllGroups) {
  auto project = MakeProject("P", ".\\Root", {{"u", {"Staff", "Guests"}}, {"s", {"Staff"}}}, true);
  auto access =
      ReadFor(*project, RightsXml({{1, "Guests", "true", "false"}, {2, "Staff", "false", "true"}}));
  ASSERT_EQ(access.size(), 2u);
  EXPECT_EQ(access[0], kAccessVisible | kAccessWritable);
  EXPECT_EQ(access[1], kAccessWritable);  // writable without visible: hidden in the scan
}

TEST_F(RightsReadTest, GroupNamesCompareCaseSensitively) {
  auto project = MakeProject("P", ".\\Root", {{"u", {"Staff"}}}, true);
  auto access = ReadFor(*project, RightsXml({{1, "staff", "true", "true"}}));
  EXPECT_EQ(access[0], kAccessNone);
}

TEST_F(RightsReadTest, ReadingStopsAtTheFirstMissingGroupNumber) {
  auto project = MakeProject("P", ".\\Root", {{"a", {"A"}}, {"c", {"C"}}}, true);
  auto access = ReadFor(*project, RightsXml({{1, "A", "true", "false"}, {3, "C", "true", "true"}}));
  EXPECT_EQ(access[0], kAccessVisible);
  EXPECT_EQ(access[1], kAccessNone);
}

TEST_F(RightsReadTest, FlagTextsFollowTheBooleanRules) {
  auto project = MakeProject("P", ".\\Root", {{"a", {"A"}}, {"b", {"B"}}, {"c", {"C"}}}, true);
  auto access = ReadFor(
      *project, RightsXml({{1, "A", "yes", "1"}, {2, "B", "on", "TRUE"}, {3, "C", "True", ""}}));
  EXPECT_EQ(access[0], kAccessVisible | kAccessWritable);
  EXPECT_EQ(access[1], kAccessWritable);
  EXPECT_EQ(access[2], kAccessVisible);
}

TEST_F(RightsReadTest, UnreadableFileHidesTheFolderFromEveryone) {
  auto project = MakeProject("P", ".\\Root", {{"u", {"Staff"}}}, true);
  auto access = ReadFor(*project, "<UserRights><Group1><Groupname>Staff</Groupname>");
  EXPECT_EQ(access[0], kAccessNone);
  CXmlStore store;
  FolderRightsReader reader(*project, store);
  reader.Read(Here(), "missing.xml", access);
  EXPECT_EQ(access[0], kAccessNone);
}

TEST_F(RightsReadTest, LinkedOrSpecialRightsFileIsRefusedAndHidesTheFolder) {
  auto project = MakeProject("P", ".\\Root", {{"u", {"Staff"}}}, true);
  WriteFile(".\\outside.xml", RightsXml({{1, "Staff", "true", "true"}}));
  ASSERT_EQ(::symlink("outside.xml", "linked.xml"), 0);
  ASSERT_EQ(::mkfifo("fifo.xml", 0644), 0);
  CXmlStore store;
  FolderRightsReader reader(*project, store);
  std::vector<std::uint8_t> access;
  for (const char* name : {"linked.xml", "fifo.xml"}) {
    EXPECT_EQ(reader.Read(Here(), name, access), RightsFile::kRefused) << name;
    EXPECT_EQ(access[0], kAccessNone) << name;
  }
}

TEST_F(RightsReadTest, WithoutUserPrivilegesEveryoneMaySeeAndWriteWithoutAFile) {
  auto project = MakeProject("P", ".\\Root", {{"u", {"Staff"}}}, false);
  CXmlStore store;
  FolderRightsReader reader(*project, store);
  std::vector<std::uint8_t> access;
  reader.Read(Here(), "missing.xml", access);
  EXPECT_EQ(access[0], kAccessVisible | kAccessWritable);
}

TEST(RightsPaths, RootAndFolderRightsFilesLieWhereTheFormatsSay) {
  EXPECT_EQ(RootRightsPath(".\\Rootfolder\\Project1"), ".\\Rootfolder\\Project1\\~RootRights.xml");
  EXPECT_EQ(FolderRightsPath(".\\R\\Projects", "2024"), ".\\R\\Projects\\~2024.xml");
}

class RightsPassTest : public ::testing::Test {
 protected:
  RightsPassTest() {
    platform::CreateFolder(".\\Root");
    WriteFile(".\\Root\\~RootRights.xml", root_xml_);
    project_ = MakeProject("P", ".\\Root", {{"u", {"Staff"}}}, true);
  }
  void Pass() {
    ProjectCycle cycle(*project_, log_, shutdown_);
    cycle.RunRightsPass();
  }

  ScopedWorkDir work_;
  LogChannel log_;
  std::atomic<bool> shutdown_{false};
  std::string root_xml_ = RightsXml({{1, "Staff", "true", "true"}});
  std::unique_ptr<ProjectRecord> project_;
};

TEST_F(RightsPassTest, NewTopLevelFolderGetsTheRootFileAndDeeperOnesTheirParents) {
  platform::CreateFolder(".\\Root\\T");
  platform::CreateFolder(".\\Root\\T\\S");
  platform::CreateFolder(".\\Root\\T\\S\\D");
  Pass();
  EXPECT_EQ(ReadFile(".\\Root\\~T.xml"), root_xml_);
  EXPECT_EQ(ReadFile(".\\Root\\T\\~S.xml"), root_xml_);
  EXPECT_EQ(ReadFile(".\\Root\\T\\S\\~D.xml"), root_xml_);
  EXPECT_FALSE(project_->rights_pass_running.IsSet());

  // A deeper folder created later copies its parent's current file.
  std::string s_xml = RightsXml({{1, "Staff", "true", "false"}});
  WriteFile(".\\Root\\T\\~S.xml", s_xml);
  platform::CreateFolder(".\\Root\\T\\S\\E");
  platform::SetLastWriteTime(".\\Root\\T", kBase);
  platform::SetLastWriteTime(".\\Root\\T\\S", kBase + kSecond);
  Pass();
  EXPECT_EQ(ReadFile(".\\Root\\T\\S\\~E.xml"), s_xml);
}

// The flag keeps the user-rights update out of rights copies only; a scan
// that copies nothing must not hold it, however long it walks.
TEST_F(RightsPassTest, ScanThatCopiesNoRightsFileNeverHoldsTheFlag) {
  for (int t = 0; t < 20; ++t) {
    const std::string top = ".\\Root\\T" + std::to_string(t);
    platform::CreateFolder(top);
    WriteFile(".\\Root\\~T" + std::to_string(t) + ".xml", root_xml_);
    for (int f = 0; f < 100; ++f) WriteFile(top + "\\f" + std::to_string(f), "x");
  }
  std::atomic<bool> done{false};
  std::atomic<int> held{0};
  std::atomic<int> samples{0};
  std::thread sampler([&] {
    while (!done) {
      held += project_->rights_pass_running.IsSet() ? 1 : 0;
      ++samples;
    }
  });
  ProjectCycle cycle(*project_, log_, shutdown_);
  for (int round = 0; round < 5; ++round) EXPECT_EQ(cycle.RunScan(), ScanOutcome::kDone);
  done = true;
  sampler.join();
  EXPECT_GT(samples.load(), 0);
  EXPECT_EQ(held.load(), 0);
}

TEST_F(RightsPassTest, TopLevelRightsFileIsNeverOverwritten) {
  platform::CreateFolder(".\\Root\\T");
  std::string own = RightsXml({{1, "Staff", "false", "false"}});
  WriteFile(".\\Root\\~T.xml", own);
  platform::SetLastWriteTime(".\\Root\\T", kBase);
  Pass();
  EXPECT_EQ(ReadFile(".\\Root\\~T.xml"), own);
}

TEST_F(RightsPassTest, ParentNewerThanSubfolderReplacesTheSubfoldersFile) {
  platform::CreateFolder(".\\Root\\T");
  platform::CreateFolder(".\\Root\\T\\Old");
  platform::CreateFolder(".\\Root\\T\\New");
  std::string t_xml = RightsXml({{1, "Staff", "true", "false"}});
  std::string own = RightsXml({{1, "Staff", "false", "false"}});
  WriteFile(".\\Root\\~T.xml", t_xml);
  WriteFile(".\\Root\\T\\~Old.xml", own);
  WriteFile(".\\Root\\T\\~New.xml", own);
  // T changed (a file was added) after Old, but before New.
  platform::SetLastWriteTime(".\\Root\\T\\Old", kBase);
  platform::SetLastWriteTime(".\\Root\\T", kBase + kSecond);
  platform::SetLastWriteTime(".\\Root\\T\\New", kBase + 2 * kSecond);
  Pass();
  EXPECT_EQ(ReadFile(".\\Root\\T\\~Old.xml"), t_xml);
  EXPECT_EQ(ReadFile(".\\Root\\T\\~New.xml"), own);
}

TEST_F(RightsPassTest, SubfolderFileWithTheSameBytesIsNotRewritten) {
  platform::CreateFolder(".\\Root\\T");
  platform::CreateFolder(".\\Root\\T\\S");
  WriteFile(".\\Root\\~T.xml", root_xml_);
  WriteFile(".\\Root\\T\\~S.xml", root_xml_);
  platform::SetLastWriteTime(".\\Root\\T\\~S.xml", kBase);
  platform::SetLastWriteTime(".\\Root\\T\\S", kBase);
  platform::SetLastWriteTime(".\\Root\\T", kBase + kSecond);
  Pass();
  platform::DirEntry entry;
  ASSERT_EQ(platform::Stat(".\\Root\\T\\~S.xml", entry), 0);
  EXPECT_EQ(entry.last_write, kBase);
  EXPECT_EQ(ReadFile(".\\Root\\T\\~S.xml"), root_xml_);
}

TEST_F(RightsPassTest, EqualTimesKeepTheSubfoldersFile) {
  platform::CreateFolder(".\\Root\\T");
  platform::CreateFolder(".\\Root\\T\\S");
  std::string own = RightsXml({{1, "Staff", "false", "false"}});
  WriteFile(".\\Root\\~T.xml", root_xml_);
  WriteFile(".\\Root\\T\\~S.xml", own);
  platform::SetLastWriteTime(".\\Root\\T\\S", kBase);
  platform::SetLastWriteTime(".\\Root\\T", kBase);
  Pass();
  EXPECT_EQ(ReadFile(".\\Root\\T\\~S.xml"), own);
}

TEST_F(RightsPassTest, MissingRootRightsWarnsOnceCopiesNothingAndWarnsAgainAfterRecovery) {
  LogCapture capture(log_);
  const std::string warning = "project 'P' cannot open root XML user right file '~RootRights.xml'";
  platform::CreateFolder(".\\Root\\T");
  platform::DeleteFile(".\\Root\\~RootRights.xml");
  ProjectCycle cycle(*project_, log_, shutdown_);
  cycle.RunRightsPass();
  cycle.RunRightsPass();
  EXPECT_FALSE(platform::Exists(".\\Root\\~T.xml"));
  WriteFile(".\\Root\\~RootRights.xml", root_xml_);
  cycle.RunRightsPass();
  EXPECT_TRUE(platform::Exists(".\\Root\\~T.xml"));
  platform::DeleteFile(".\\Root\\~RootRights.xml");
  cycle.RunRightsPass();
  ASSERT_TRUE(capture.WaitFor(warning, 2));
  EXPECT_EQ(capture.Count(warning), 2);
  EXPECT_EQ(capture.LevelOf(warning), kLogWarning);
  EXPECT_FALSE(project_->rights_pass_running.IsSet());
}

TEST_F(RightsPassTest, LinkedAndFifoRightsFilesAreReplacedNeverWrittenThroughAndReportedOnce) {
  LogCapture capture(log_);
  platform::CreateFolder(".\\Root\\T");
  platform::CreateFolder(".\\Root\\T\\S");
  platform::CreateFolder(".\\Root\\T\\F");
  WriteFile(".\\outside.xml", "outside");
  WriteFile(".\\Root\\~T.xml", root_xml_);
  ASSERT_EQ(
      ::symlink((work_.path() + "/outside.xml").c_str(), (work_.path() + "/Root/T/~S.xml").c_str()),
      0);
  ASSERT_EQ(::mkfifo((work_.path() + "/Root/T/~F.xml").c_str(), 0644), 0);
  Pass();  // would block in the FIFO's open, or write through the link
  EXPECT_EQ(ReadFile(".\\outside.xml"), "outside");
  EXPECT_EQ(ReadFile(".\\Root\\T\\~S.xml"), root_xml_);
  EXPECT_EQ(ReadFile(".\\Root\\T\\~F.xml"), root_xml_);
  const std::string warning =
      "project 'P': user right files that are links or no regular files count as missing";
  ASSERT_TRUE(capture.WaitFor(warning));
  Pass();                        // regular files now: nothing more to report
  log_.Log(kLogInfo, "marker");  // records arrive in order
  ASSERT_TRUE(capture.WaitFor("marker"));
  EXPECT_EQ(capture.Count(warning), 1);
}

TEST_F(RightsPassTest, PassGivesUpOnShutdown) {
  platform::CreateFolder(".\\Root\\T");
  shutdown_ = true;
  Pass();
  EXPECT_FALSE(platform::Exists(".\\Root\\~T.xml"));
  EXPECT_FALSE(project_->rights_pass_running.IsSet());
}

TEST_F(RightsPassTest, NothingHappensWithoutUserPrivileges) {
  project_->user_privileges = false;
  platform::CreateFolder(".\\Root\\T");
  Pass();
  EXPECT_FALSE(platform::Exists(".\\Root\\~T.xml"));
}

class PrepareRootsTest : public ::testing::Test {
 protected:
  PrepareRootsTest() {
    WriteFile(".\\Config\\KestrelServer.xml",
              "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config>\n"
              "<Project1><Projectname>One</Projectname><Rootpath>D:\\one</Rootpath></Project1>\n"
              "<Project2><Projectname>Two</Projectname><Rootpath>D:\\two</Rootpath></Project2>\n"
              "</KestrelServer_Config>\n");
    WriteFile(".\\~RootRights_default.xml", template_);
    config_.settings.customer_installation = false;
    config_.projects.push_back(MakeProject("One", "D:\\one", {{"u", {"G"}}}, true));
    config_.projects.push_back(MakeProject("Two", "D:\\two", {{"u", {"G"}}}, true));
    config_.projects[1]->section_tag = "Project2";
    EXPECT_TRUE(store_.Load(".\\Config\\KestrelServer.xml"));
  }
  ScopedWorkDir work_;
  std::string template_ = RightsXml({{1, "G", "true", "true"}});
  ServerConfig config_;
  CXmlStore store_;
};

TEST_F(PrepareRootsTest, ManagedRootsAreSetWrittenCreatedAndGivenTheTemplate) {
  // The second project already has its managed root with its own rights
  // file, which stays.
  platform::CreateFolder(".\\Rootfolder");
  platform::CreateFolder(".\\Rootfolder\\Project2");
  std::string own = RightsXml({{1, "G", "false", "false"}});
  WriteFile(".\\Rootfolder\\Project2\\~RootRights.xml", own);
  config_.projects[1]->rootpath = ".\\Rootfolder\\Project2";
  ASSERT_TRUE(store_.SetExistingString(XmlPath{"KestrelServer_Config", "Project2"}, "Rootpath",
                                       ".\\Rootfolder\\Project2"));

  EXPECT_TRUE(PrepareRootFolders(config_, store_));
  EXPECT_EQ(config_.projects[0]->rootpath, ".\\Rootfolder\\Project1");
  EXPECT_EQ(config_.projects[1]->rootpath, ".\\Rootfolder\\Project2");
  CXmlStore saved;
  ASSERT_TRUE(saved.Load(".\\Config\\KestrelServer.xml"));
  EXPECT_EQ(saved.GetString(XmlPath{"KestrelServer_Config", "Project1"}, "Rootpath"),
            ".\\Rootfolder\\Project1");
  EXPECT_EQ(saved.GetString(XmlPath{"KestrelServer_Config", "Project2"}, "Rootpath"),
            ".\\Rootfolder\\Project2");
  EXPECT_TRUE(platform::IsFolder(".\\Rootfolder\\Project1"));
  EXPECT_EQ(ReadFile(".\\Rootfolder\\Project1\\~RootRights.xml"), template_);
  EXPECT_EQ(ReadFile(".\\Rootfolder\\Project2\\~RootRights.xml"), own);

  // Second start: nothing to change, the file is not rewritten.
  EXPECT_FALSE(PrepareRootFolders(config_, store_));
}

TEST_F(PrepareRootsTest, ProjectsKeepTheirManagedRootsAndOnlyNewOnesGetAFreeNumber) {
  // Project1 was removed: Two keeps Project2; Three (new) takes the free 1;
  // Four claims the folder Two already has and gets the next free number.
  WriteFile(".\\Config\\KestrelServer.xml",
            "<?xml version='1.0' encoding='UTF-8' ?>\n<KestrelServer_Config>\n"
            "<Project1><Rootpath>.\\Rootfolder\\Project2</Rootpath></Project1>\n"
            "<Project2><Rootpath>D:\\three</Rootpath></Project2>\n"
            "<Project3><Rootpath>.\\Rootfolder\\Project2</Rootpath></Project3>\n"
            "<Project4><Rootpath>.\\Rootfolder\\Project5</Rootpath></Project4>\n"
            "</KestrelServer_Config>\n");
  ASSERT_TRUE(store_.Load(".\\Config\\KestrelServer.xml"));
  config_.projects.clear();
  const char* roots[] = {".\\Rootfolder\\Project2", "D:\\three", ".\\Rootfolder\\Project2",
                         ".\\Rootfolder\\Project5"};
  for (int i = 0; i < 4; ++i) {
    config_.projects.push_back(
        MakeProject("P" + std::to_string(i), roots[i], {{"u", {"G"}}}, true));
    config_.projects.back()->section_tag = "Project" + std::to_string(i + 1);
  }
  EXPECT_TRUE(PrepareRootFolders(config_, store_));
  const std::vector<std::string> expected = {".\\Rootfolder\\Project2", ".\\Rootfolder\\Project1",
                                             ".\\Rootfolder\\Project3", ".\\Rootfolder\\Project5"};
  CXmlStore saved;
  ASSERT_TRUE(saved.Load(".\\Config\\KestrelServer.xml"));
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(config_.projects[i]->rootpath, expected[i]) << i;
    EXPECT_EQ(saved.GetString(XmlPath{"KestrelServer_Config", "Project" + std::to_string(i + 1)},
                              "Rootpath"),
              expected[i])
        << i;
  }
}

TEST_F(PrepareRootsTest, CustomerInstallationLeavesEverythingAlone) {
  config_.settings.customer_installation = true;
  EXPECT_FALSE(PrepareRootFolders(config_, store_));
  EXPECT_EQ(config_.projects[0]->rootpath, "D:\\one");
  EXPECT_FALSE(platform::Exists(".\\Rootfolder"));
}

TEST_F(PrepareRootsTest, FolderLeftByARemovedProjectIsNeverHandedToANewOne) {
  platform::CreateFolder(".\\Rootfolder");
  platform::CreateFolder(".\\Rootfolder\\Project1");
  WriteFile(".\\Rootfolder\\Project1\\old.txt", "of a removed project");
  EXPECT_TRUE(PrepareRootFolders(config_, store_));
  EXPECT_EQ(config_.projects[0]->rootpath, ".\\Rootfolder\\Project2");
  EXPECT_EQ(config_.projects[1]->rootpath, ".\\Rootfolder\\Project3");
}

}  // namespace
}  // namespace kestrel::projects
