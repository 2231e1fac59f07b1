#include "projects/RightsUpdate.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ProjectsTestUtil.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "support/XmlStore.h"

#include "testsupport/LocalTimes.h"

namespace kestrel::projects {
namespace {

using test::At;
using test::LogCapture;
using test::MakeProject;
using test::ReadFile;
using test::ScopedWorkDir;
using test::WriteFile;

constexpr const char* kReceived = ".\\Temp\\rights_upload.xml";

std::string Fixture(const std::string& name) {
  return ReadFile(KESTREL_SOURCE_DIR "/tests/data/remote/" + name);
}

// The groups of a rights file as "name visible write" lines, in file order.
std::vector<std::string> GroupsOf(const std::string& rights_file) {
  CXmlStore store;
  std::vector<std::string> out;
  if (!store.Load(rights_file)) return {"<unreadable>"};
  for (int n = 1;; ++n) {
    const std::string tag = "Group" + std::to_string(n);
    const XmlPath group{"UserRights", tag};
    std::string name = store.GetString(group, "Groupname");
    if (name.empty()) break;
    out.push_back(name + " " + store.GetString(group, "Visible") + " " +
                  store.GetString(group, "Write"));
  }
  return out;
}

// A rights document for project "Alpha" with one group per folder.
std::string DocumentFor(const std::vector<std::pair<int, std::string>>& folders,
                        const std::string& project = "Alpha") {
  std::string xml = "<UserRights>\n  <Projectname>" + project + "</Projectname>\n";
  for (const auto& [n, name] : folders) {
    const std::string tag = "Folder" + std::to_string(n);
    xml += "  <" + tag + "><Foldername>" + name +
           "</Foldername><Group1><Groupname>Staff</Groupname><Visible>true</Visible>"
           "<Write>true</Write></Group1></" +
           tag + ">\n";
  }
  return xml + "</UserRights>\n";
}

class RightsUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder : {".\\Root", ".\\Root\\Docs", ".\\Root\\Docs\\2024",
                               ".\\Root\\Docs\\2024\\Q1", ".\\Root\\Archive"}) {
      ASSERT_EQ(platform::CreateFolder(folder), 0) << folder;
    }
    config_.projects.push_back(MakeProject("Alpha", ".\\Root", {{"ann", {"Staff"}}}, true));
  }

  bool Run(const std::string& document) {
    WriteFile(kReceived, document);
    return UpdateUserRights(kReceived, config_, clock_, log_channel_) ==
           RightsUpdateOutcome::kApplied;
  }

  std::vector<std::string> BackupNames() const {
    std::vector<platform::DirEntry> entries;
    platform::ListDirectory(".\\Backup", entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    return names;
  }

  ScopedWorkDir work_;
  platform::TestClock clock_{At(2026, 12, 8, 3, 15, 9)};
  LogChannel log_channel_;
  LogCapture log_{log_channel_};
  ServerConfig config_;
};

TEST_F(RightsUpdateTest, RightsFilesLieWhereTheScanLooksForThem) {
  ASSERT_TRUE(Run(Fixture("user_rights.xml")));
  EXPECT_EQ(GroupsOf(".\\Root\\~RootRights.xml"),
            (std::vector<std::string>{"Staff true true", "Guests true false"}));
  EXPECT_EQ(GroupsOf(".\\Root\\~Docs.xml"), (std::vector<std::string>{"Staff true false"}));
  EXPECT_EQ(GroupsOf(".\\Root\\Docs\\2024\\~Q1.xml"),
            (std::vector<std::string>{"Board false false", "Staff true false"}));
}

TEST_F(RightsUpdateTest, WrittenFileHoldsOnlyTheUploadedGroups) {
  WriteFile(".\\Root\\~Docs.xml", test::RightsXml({{1, "Old", "true", "true"},
                                                   {2, "Older", "true", "true"},
                                                   {3, "Oldest", "true", "true"}}));
  ASSERT_TRUE(Run(Fixture("user_rights.xml")));
  EXPECT_EQ(GroupsOf(".\\Root\\~Docs.xml"), (std::vector<std::string>{"Staff true false"}));
  EXPECT_EQ(ReadFile(".\\Root\\~Docs.xml").find("Old"), std::string::npos);
}

TEST_F(RightsUpdateTest, FolderListedWithoutGroupsKeepsItsFile) {
  const std::string old = test::RightsXml({{1, "Keepers", "true", "false"}});
  WriteFile(".\\Root\\~Archive.xml", old);
  ASSERT_TRUE(Run(Fixture("user_rights.xml")));
  EXPECT_EQ(ReadFile(".\\Root\\~Archive.xml"), old);
}

TEST_F(RightsUpdateTest, FoldersAfterAGapInTheNumbersAreIgnored) {
  ASSERT_TRUE(Run(DocumentFor({{1, "Docs"}, {3, "Archive"}})));
  EXPECT_TRUE(platform::Exists(".\\Root\\~Docs.xml"));
  EXPECT_FALSE(platform::Exists(".\\Root\\~Archive.xml"));
}

TEST_F(RightsUpdateTest, BackupReceivedFileDeletedAndWarningLogged) {
  const std::string document = Fixture("user_rights.xml");
  ASSERT_TRUE(Run(document));
  EXPECT_EQ(BackupNames(), (std::vector<std::string>{"08_12_26 03_15_09_UserRigths.xml"}));
  EXPECT_EQ(ReadFile(".\\Backup\\08_12_26 03_15_09_UserRigths.xml"), document);
  EXPECT_FALSE(platform::Exists(kReceived));
  ASSERT_TRUE(log_.WaitFor("user rights updated"));
  EXPECT_EQ(log_.LevelOf("user rights updated"), kLogWarning);
  EXPECT_EQ(log_.Records().size(), 1u);
}

TEST_F(RightsUpdateTest, UnknownProjectWritesNoRightsButStillBacksUpDeletesAndLogs) {
  ASSERT_TRUE(Run(DocumentFor({{1, "Rootfolder"}, {2, "Docs"}}, "alpha")));
  EXPECT_FALSE(platform::Exists(".\\Root\\~RootRights.xml"));
  EXPECT_FALSE(platform::Exists(".\\Root\\~Docs.xml"));
  EXPECT_EQ(BackupNames().size(), 1u);
  EXPECT_FALSE(platform::Exists(kReceived));
  EXPECT_TRUE(log_.WaitFor("user rights updated"));
}

TEST_F(RightsUpdateTest, UnreadableDocumentChangesNothing) {
  EXPECT_FALSE(Run("<UserRights><Projectname>Alpha</Projectname>"));
  EXPECT_TRUE(platform::Exists(kReceived));
  EXPECT_TRUE(BackupNames().empty());
  EXPECT_TRUE(log_.Records().empty());
}

TEST_F(RightsUpdateTest, MissingTargetFolderIsSkippedAndTheRestApplied) {
  ASSERT_TRUE(Run(DocumentFor({{1, "Gone\\Deeper"}, {2, "Docs"}})));
  EXPECT_FALSE(platform::Exists(".\\Root\\Gone"));
  EXPECT_TRUE(platform::Exists(".\\Root\\~Docs.xml"));
  EXPECT_FALSE(platform::Exists(kReceived));
  EXPECT_TRUE(log_.WaitFor("user rights updated"));
}

TEST_F(RightsUpdateTest, FolderNamesClimbingOutOfTheProjectWriteNothing) {
  ASSERT_EQ(platform::CreateFolder(".\\Outside"), 0);
  ASSERT_TRUE(Run(DocumentFor({{1, "..\\Escape"},
                               {2, "Docs\\..\\..\\Outside\\x"},
                               {3, ".."},
                               {4, "\\Docs"},
                               {5, "Docs\\\\2024"},
                               {6, "C:\\Windows"},
                               {7, "Docs/../../Outside/y"},
                               {8, "Docs\\"},
                               {9, "Docs\\...\\2024"},
                               {10, "Docs\\2024"}})));
  // Only the last, plain name got a file.
  EXPECT_FALSE(platform::Exists(".\\~Escape.xml"));
  EXPECT_FALSE(platform::Exists(".\\~..xml"));
  EXPECT_FALSE(platform::Exists(".\\Outside\\~x.xml"));
  EXPECT_FALSE(platform::Exists(".\\Outside\\~y.xml"));
  EXPECT_FALSE(platform::Exists(".\\Root\\~Docs.xml"));
  std::vector<platform::DirEntry> top;
  platform::ListDirectory(".", top);
  for (const auto& entry : top) EXPECT_NE(entry.name.front(), '~') << entry.name;
  EXPECT_TRUE(platform::Exists(".\\Root\\Docs\\~2024.xml"));
  EXPECT_FALSE(platform::Exists(kReceived));
}

TEST(RightsFilePath, FollowsTheFolderNameRules) {
  EXPECT_EQ(RightsFileForFolder("C:\\P", "Rootfolder"), "C:\\P\\~RootRights.xml");
  EXPECT_EQ(RightsFileForFolder("C:\\P", "Docs"), "C:\\P\\~Docs.xml");
  EXPECT_EQ(RightsFileForFolder("C:\\P", "Docs\\2024\\Q1"), "C:\\P\\Docs\\2024\\~Q1.xml");
  EXPECT_EQ(RightsFileForFolder("C:\\P", "Rootfolder\\Sub"), "C:\\P\\Rootfolder\\~Sub.xml");
  EXPECT_EQ(RightsFileForFolder("C:\\P", "Caf\xE9 .x"), "C:\\P\\~Caf\xE9 .x.xml");
  for (const char* refused : {"..", ".", "...", ". ", "a\\..", "..\\a", "\\a", "a\\", "a\\\\b",
                              "D:", "D:\\a", "a:b", "a/b", "/etc", "a\tb"}) {
    EXPECT_EQ(RightsFileForFolder("C:\\P", refused), "") << refused;
  }
  EXPECT_EQ(RightsFileForFolder("", "Docs"), "");
}

// Process time used so far, all threads.
std::chrono::microseconds ProcessorTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto total = [](const timeval& t) {
    return std::chrono::seconds(t.tv_sec) + std::chrono::microseconds(t.tv_usec);
  };
  return std::chrono::duration_cast<std::chrono::microseconds>(total(usage.ru_utime) +
                                                               total(usage.ru_stime));
}

TEST_F(RightsUpdateTest, FolderLinkOnTheWayAndALinkedRightsFileAreNeverWrittenThrough) {
  ASSERT_EQ(platform::CreateFolder(".\\Outside"), 0);
  WriteFile(".\\Outside\\~Sub.xml", "outside");
  WriteFile(".\\Outside\\target.xml", "target");
  ASSERT_EQ(::symlink("../Outside", "Root/Linked"), 0);
  ASSERT_EQ(::symlink("../../Outside/target.xml", "Root/Docs/~2024.xml"), 0);
  ASSERT_TRUE(Run(DocumentFor({{1, "Linked\\Sub"}, {2, "Docs\\2024"}})));
  EXPECT_EQ(ReadFile(".\\Outside\\~Sub.xml"), "outside");
  EXPECT_EQ(ReadFile(".\\Outside\\target.xml"), "target");
  // The link in the rights file's place was replaced by the new file.
  EXPECT_EQ(GroupsOf(".\\Root\\Docs\\~2024.xml"), std::vector<std::string>{"Staff true true"});
}

TEST_F(RightsUpdateTest, WaitsForARunningRightsPassWithoutSpinning) {
  ProjectRecord& project = *config_.projects[0];
  project.rights_pass_running.Set();
  WriteFile(kReceived, Fixture("user_rights.xml"));
  bool done = false;
  std::thread update([&] {
    done =
        UpdateUserRights(kReceived, config_, clock_, log_channel_) == RightsUpdateOutcome::kApplied;
  });

  const auto cpu_before = ProcessorTime();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const auto cpu_used = ProcessorTime() - cpu_before;
  EXPECT_FALSE(platform::Exists(".\\Root\\~RootRights.xml"));  // still waiting
  EXPECT_TRUE(platform::Exists(kReceived));
  EXPECT_LT(cpu_used, std::chrono::milliseconds(100));

  project.rights_pass_running.Clear();
  update.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(GroupsOf(".\\Root\\~RootRights.xml").size(), 2u);
  EXPECT_FALSE(platform::Exists(kReceived));
}

TEST_F(RightsUpdateTest, BusyProjectIsGivenUpAfterTheWaitLimitAndRetriedOnALaterTick) {
  ProjectRecord& project = *config_.projects[0];
  project.rights_pass_running.Set();  // a handler stuck in a rights copy
  PendingRightsUpdates updates(config_, clock_, log_channel_, std::chrono::milliseconds(20));
  WriteFile(kReceived, Fixture("user_rights.xml"));
  updates.Submit(kReceived);
  const std::string error =
      "user rights update for project 'Alpha' waits: rights files are being copied";
  ASSERT_TRUE(log_.WaitFor(error));
  EXPECT_EQ(log_.LevelOf(error), kLogError);
  EXPECT_EQ(updates.waiting(), 1u);
  EXPECT_TRUE(platform::Exists(kReceived));
  EXPECT_TRUE(BackupNames().empty());
  updates.Retry();  // still busy
  EXPECT_EQ(updates.waiting(), 1u);

  project.rights_pass_running.Clear();
  updates.Retry();
  EXPECT_EQ(updates.waiting(), 0u);
  EXPECT_EQ(GroupsOf(".\\Root\\~RootRights.xml").size(), 2u);
  EXPECT_FALSE(platform::Exists(kReceived));
  EXPECT_TRUE(log_.WaitFor("user rights updated"));
}

}  // namespace
}  // namespace kestrel::projects
