// Handler threads, their start and teardown, as the main window drives them.
#include "projects/ProjectHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "ProjectsTestUtil.h"
#include "projects/ProjectHandlerList.h"
#include "projects/ScanResultFile.h"
#include "support/TempNames.h"

namespace kestrel {
namespace {

using test::LogCapture;
using test::MakeProject;
using test::ReadFile;
using test::ScopedWorkDir;
using test::WriteFile;

// Index of the first record with text at or after from; -1 when none.
int IndexOf(const std::vector<std::string>& texts, const std::string& text, int from = 0) {
  for (int i = from; i < static_cast<int>(texts.size()); ++i) {
    if (texts[static_cast<std::size_t>(i)] == text) return i;
  }
  return -1;
}

class HandlerTest : public ::testing::Test {
 protected:
  HandlerTest() : capture_(log_), list_(log_, shutdown_) {}
  ~HandlerTest() override { list_.DestroyAll(config_); }

  ScopedWorkDir work_;
  LogChannel log_;
  LogCapture capture_;
  std::atomic<bool> shutdown_{false};
  ServerConfig config_;
  ProjectHandlerList list_;
};

TEST_F(HandlerTest, NoProjectsLogsAnErrorAndStartsNoThread) {
  list_.StartAll(config_);
  ASSERT_TRUE(capture_.WaitFor("No projects available!"));
  EXPECT_EQ(capture_.LevelOf("No projects available!"), kLogError);
  EXPECT_TRUE(list_.empty());
}

TEST_F(HandlerTest, TwoProjectsLogTheirSetUpInOrderAndRunOneCycleEach) {
  platform::CreateFolder(".\\R1");
  platform::CreateFolder(".\\R2");
  config_.projects.push_back(
      MakeProject("First", ".\\R1", {{"ann", {"A", "B"}}, {"bob", {"C"}}}, false));
  config_.projects.push_back(MakeProject("Second", ".\\R2", {{"cy", {"X"}}}, false));
  list_.StartAll(config_);
  ASSERT_TRUE(capture_.WaitFor("project 'First' scan successful"));
  ASSERT_TRUE(capture_.WaitFor("project 'Second' scan successful"));
  ASSERT_TRUE(capture_.WaitFor("project 'First' scanning user rights"));
  ASSERT_TRUE(capture_.WaitFor("project 'Second' scanning user rights"));
  auto texts = capture_.Texts();

  const std::vector<std::string> first = {
      "Starting project 'First'; Rootpath: .\\R1",          "\tGroups: A, B, C",
      "\tUser: Real ann, Nick: ann, Email:ann@example.org", "\t\tUser belongs to groups: A, B",
      "\tUser: Real bob, Nick: bob, Email:bob@example.org", "\t\tUser belongs to groups: C",
  };
  int at = IndexOf(texts, first[0]);
  ASSERT_GE(at, 0);
  for (std::size_t i = 1; i < first.size(); ++i) {
    int next = IndexOf(texts, first[i], at + 1);
    ASSERT_GT(next, at) << first[i];
    at = next;
  }
  int second_start = IndexOf(texts, "Starting project 'Second'; Rootpath: .\\R2");
  EXPECT_GT(second_start, IndexOf(texts, "\t\tUser belongs to groups: C"));
  EXPECT_GT(IndexOf(texts, "\tGroups: X", second_start), second_start);
  // Each thread starts after its own set-up lines; rights pass, then cycle.
  for (const std::string name : {"First", "Second"}) {
    int setup = IndexOf(texts, "Starting project '" + name +
                                   "'; Rootpath: " + (name == "First" ? ".\\R1" : ".\\R2"));
    int thread = IndexOf(texts, "Project thread starting project '" + name + "'");
    int rights = IndexOf(texts, "project '" + name + "' scanning user rights");
    int scan = IndexOf(texts, "project '" + name + "' starts scanning project");
    int done = IndexOf(texts, "project '" + name + "' scan successful");
    EXPECT_GT(thread, setup);
    EXPECT_GT(scan, thread);
    EXPECT_GT(done, scan);
    EXPECT_GE(rights, 0);
    EXPECT_EQ(capture_.LevelOf("Starting project '" + name +
                               "'; Rootpath: " + (name == "First" ? ".\\R1" : ".\\R2")),
              kLogInfo);
  }
  EXPECT_TRUE(platform::Exists(projects::ScanResultPath("First", "ann")));
  EXPECT_TRUE(platform::Exists(projects::ScanResultPath("Second", "cy")));
}

TEST_F(HandlerTest, SecondStartWithoutTeardownIsRefused) {
  platform::CreateFolder(".\\R");
  config_.projects.push_back(MakeProject("P", ".\\R", {{"u", {"G"}}}, false));
  ASSERT_TRUE(list_.StartAll(config_));
  EXPECT_FALSE(list_.StartAll(config_));
  EXPECT_EQ(list_.size(), 1u);
  ASSERT_TRUE(capture_.WaitFor("project 'P' scan successful"));
  EXPECT_EQ(capture_.Count("Project thread starting project 'P'"), 1);
}

TEST_F(HandlerTest, TeardownStopsThreadsInOrderRemovesTransferFilesAndReleasesRecords) {
  platform::CreateFolder(".\\R1");
  platform::CreateFolder(".\\R2");
  config_.projects.push_back(MakeProject("One", ".\\R1", {{"u1", {"G"}}, {"u2", {"G"}}}, false));
  config_.projects.push_back(MakeProject("Two", ".\\R2", {{"u3", {"G"}}}, false));
  list_.StartAll(config_);
  ASSERT_TRUE(capture_.WaitFor("project 'One' scan successful"));
  ASSERT_TRUE(capture_.WaitFor("project 'Two' scan successful"));
  for (const char* user : {"u1", "u2"}) {
    for (int slot : {0, 17, 249}) WriteFile(ClientArchivePath("One", user, slot), "zip");
  }
  WriteFile(ClientArchivePath("Two", "u3", 5), "zip");
  WriteFile(StagingFilePath(12), "t");
  WriteFile(".\\Temp\\Other_u9_3.zip", "zip");  // not of these projects

  shutdown_ = true;
  list_.DestroyAll(config_);
  EXPECT_TRUE(list_.empty());
  EXPECT_EQ(config_.project_count(), 0);
  std::vector<platform::DirEntry> left;
  platform::ListDirectory(".\\Temp", left);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].name, "Other_u9_3.zip");

  ASSERT_TRUE(capture_.WaitFor("project 'Two' destroyed"));
  auto texts = capture_.Texts();
  int t1 = IndexOf(texts, "Project thread terminating at project 'One'");
  int d1 = IndexOf(texts, "project 'One' destroyed");
  int t2 = IndexOf(texts, "Project thread terminating at project 'Two'");
  int d2 = IndexOf(texts, "project 'Two' destroyed");
  ASSERT_GE(t1, 0);
  EXPECT_GT(d1, t1);
  EXPECT_GT(t2, d1);
  EXPECT_GT(d2, t2);
}

TEST_F(HandlerTest, MissingRootIsReportedOnceUntilItComesBack) {
  config_.projects.push_back(MakeProject("P", ".\\Gone", {{"u", {"G"}}}, false));
  list_.StartAll(config_);
  const std::string missing = "project 'P' cannot open root folder";
  const std::string failed = "project 'P' scan failed!";
  ASSERT_TRUE(capture_.WaitFor(failed, 1));
  list_.RequestScanAll();
  ASSERT_TRUE(capture_.WaitFor(failed, 2));
  EXPECT_EQ(capture_.Count(missing), 1);
  EXPECT_EQ(capture_.LevelOf(missing), kLogWarning);
  EXPECT_EQ(capture_.LevelOf(failed), kLogWarning);
  EXPECT_FALSE(platform::Exists(projects::ScanResultPath("P", "u")));

  platform::CreateFolder(".\\Gone");
  list_.RequestScanAll();
  ASSERT_TRUE(capture_.WaitFor("project 'P' scan successful"));
  platform::RemoveFolder(".\\Gone");
  list_.RequestScanAll();
  ASSERT_TRUE(capture_.WaitFor(failed, 3));
  EXPECT_EQ(capture_.Count(missing), 2);
}

TEST_F(HandlerTest, PendingScanIsTakenBeforePendingRights) {
  platform::CreateFolder(".\\R");
  auto project = MakeProject("P", ".\\R", {{"u", {"G"}}}, false);
  CProjectHandler handler(log_, project.get(), shutdown_, false);
  handler.RequestRights();
  handler.RequestScan();
  handler.RequestScan();  // merges with the pending one
  ASSERT_TRUE(handler.Start());
  ASSERT_TRUE(capture_.WaitFor("project 'P' scanning user rights"));
  handler.Stop();
  ASSERT_TRUE(capture_.WaitFor("Project thread terminating at project 'P'"));
  auto texts = capture_.Texts();
  int scan = IndexOf(texts, "project 'P' starts scanning project");
  int rights = IndexOf(texts, "project 'P' scanning user rights");
  EXPECT_LT(scan, rights);
  EXPECT_EQ(capture_.Count("project 'P' starts scanning project"), 1);
  EXPECT_EQ(capture_.Count("Project thread terminating at project 'P'"), 1);
}

TEST_F(HandlerTest, StopWhileIdleEndsTheThreadAtOnce) {
  platform::CreateFolder(".\\R");
  auto project = MakeProject("P", ".\\R", {{"u", {"G"}}}, true);
  CProjectHandler handler(log_, project.get(), shutdown_, true);
  EXPECT_TRUE(project->delete_empty_folders);
  ASSERT_TRUE(handler.Start());
  ASSERT_TRUE(capture_.WaitFor("Project thread starting project 'P'"));
  handler.Stop();
  EXPECT_FALSE(handler.running());
  ASSERT_TRUE(capture_.WaitFor("Project thread terminating at project 'P'"));
  EXPECT_EQ(capture_.Count("Project thread terminating at project 'P'"), 1);
  EXPECT_EQ(capture_.Count("project 'P' starts scanning project"), 0);
}

TEST_F(HandlerTest, HandlerWithoutProjectLogsAnErrorAndRunsNoThread) {
  CProjectHandler handler(log_, nullptr, shutdown_, false);
  EXPECT_FALSE(handler.Start());
  ASSERT_TRUE(capture_.WaitFor("Project data is not available, Handler cannot start!"));
  EXPECT_EQ(capture_.LevelOf("Project data is not available, Handler cannot start!"), kLogError);
}

TEST_F(HandlerTest, ScanRequestForAProjectWakesOnlyItsHandler) {
  platform::CreateFolder(".\\R1");
  platform::CreateFolder(".\\R2");
  config_.projects.push_back(MakeProject("One", ".\\R1", {{"u", {"G"}}}, false));
  config_.projects.push_back(MakeProject("Two", ".\\R2", {{"u", {"G"}}}, false));
  list_.StartAll(config_);
  ASSERT_TRUE(capture_.WaitFor("project 'One' scan successful"));
  ASSERT_TRUE(capture_.WaitFor("project 'Two' scan successful"));
  EXPECT_EQ(list_.RequestScanFor(config_.projects[1].get()), 1);
  ASSERT_TRUE(capture_.WaitFor("project 'Two' scan successful", 2));
  EXPECT_EQ(capture_.Count("project 'One' starts scanning project"), 1);
  ProjectRecord stranger;
  EXPECT_EQ(list_.RequestScanFor(&stranger), 0);
}

TEST_F(HandlerTest, NothingStartsWhileNoLoggingWindowExists) {
  LogChannel silent;
  platform::CreateFolder(".\\R");
  auto project = MakeProject("P", ".\\R", {{"u", {"G"}}}, false);
  CProjectHandler handler(silent, project.get(), shutdown_, false);
  EXPECT_FALSE(handler.Start());
  EXPECT_FALSE(handler.running());
}

// The teardown must not release a record while the thread still walks its
// tree: it joins the thread, which gives up on the shutdown flag.
TEST_F(HandlerTest, TeardownDuringAScanWaitsForTheThreadBeforeReleasing) {
  platform::CreateFolder(".\\R");
  for (int d = 0; d < 40; ++d) {
    std::string folder = ".\\R\\d" + std::to_string(d);
    platform::CreateFolder(folder);
    for (int f = 0; f < 50; ++f) WriteFile(folder + "\\f" + std::to_string(f), "x");
  }
  WriteFile(".\\R\\~RootRights.xml", test::RightsXml({{1, "G", "true", "true"}}));
  config_.projects.push_back(MakeProject("P", ".\\R", {{"u", {"G"}}}, true));
  list_.StartAll(config_);
  ASSERT_TRUE(capture_.WaitFor("project 'P' starts scanning project"));
  shutdown_ = true;
  list_.DestroyAll(config_);
  EXPECT_EQ(config_.project_count(), 0);
  EXPECT_TRUE(capture_.WaitFor("project 'P' destroyed"));
  auto texts = capture_.Texts();
  EXPECT_LT(IndexOf(texts, "Project thread terminating at project 'P'"),
            IndexOf(texts, "project 'P' destroyed"));
}

}  // namespace
}  // namespace kestrel
