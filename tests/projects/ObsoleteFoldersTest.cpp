#include "projects/ObsoleteFolders.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
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

constexpr const char* kDeletedText = "Obsolete folder deleted: Foldername";
constexpr const char* kOld = ".\\Rootfolder\\Project2";

struct Entry {
  std::string path;
  std::string date;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << "{" << e.path << ", " << e.date << "}";
}

std::string ListXml(const std::vector<Entry>& entries) {
  std::string xml = "<?xml version='1.0' encoding='UTF-8' ?>\n<ObsoleteFolders>\n";
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string tag = "Folder" + std::to_string(i + 1);
    xml += "  <" + tag + ">";
    if (!entries[i].path.empty()) xml += "<Folderpath>" + entries[i].path + "</Folderpath>";
    if (!entries[i].date.empty()) xml += "<Timestamp>" + entries[i].date + "</Timestamp>";
    xml += "</" + tag + ">\n";
  }
  return xml + "</ObsoleteFolders>\n";
}

// The list's entries up to the first incomplete one.
std::vector<Entry> ListEntries() {
  CXmlStore list;
  std::vector<Entry> out;
  if (!list.Load(kObsoleteFoldersList)) return {{"<unreadable>", ""}};
  for (int n = 1;; ++n) {
    const std::string tag = "Folder" + std::to_string(n);
    const XmlPath entry{"ObsoleteFolders", tag};
    Entry e{list.GetString(entry, "Folderpath"), list.GetString(entry, "Timestamp")};
    if (e.path.empty() || e.date.empty()) break;
    out.push_back(e);
  }
  return out;
}

class ObsoleteFoldersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder :
         {".\\Rootfolder", ".\\Rootfolder\\Project1", kOld, ".\\Rootfolder\\Project2\\Deep"}) {
      ASSERT_EQ(platform::CreateFolder(folder), 0) << folder;
    }
    WriteFile(".\\Rootfolder\\Project2\\Deep\\old.txt", "old data");
    WriteFile(".\\Rootfolder\\loose.txt", "not a folder");
    config_.settings.customer_installation = false;
    config_.projects.push_back(
        MakeProject("Alpha", ".\\Rootfolder\\Project1", {{"ann", {"Staff"}}}, true));
  }

  int CheckAt(const platform::LocalTime& when) {
    clock_.SetLocal(when);
    return CleanUpObsoleteFolders(config_, clock_, log_channel_);
  }

  ScopedWorkDir work_;
  platform::TestClock clock_{At(2026, 12, 1, 9, 30, 0)};
  LogChannel log_channel_;
  LogCapture log_{log_channel_};
  ServerConfig config_;
};

TEST_F(ObsoleteFoldersTest, FirstSightingIsListedWithTodayAndKept) {
  EXPECT_EQ(CheckAt(At(2026, 12, 1, 9, 30)), 0);
  EXPECT_EQ(ListEntries(), (std::vector<Entry>{{kOld, "01.12.26"}}));
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\Project2\\Deep\\old.txt"));
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\Project1"));
}

TEST_F(ObsoleteFoldersTest, KeptThroughTheFourteenthDayDeletedAtTheFirstCheckAfter) {
  CheckAt(At(2026, 12, 1, 9, 30));
  EXPECT_EQ(CheckAt(At(2026, 12, 8)), 0);
  EXPECT_EQ(CheckAt(At(2026, 12, 15, 0, 0, 0)), 0);
  EXPECT_TRUE(platform::Exists(kOld));
  EXPECT_EQ(ListEntries(), (std::vector<Entry>{{kOld, "01.12.26"}}));  // date never renewed

  EXPECT_EQ(CheckAt(At(2026, 12, 15, 0, 0, 1)), 1);
  EXPECT_FALSE(platform::Exists(kOld));
  EXPECT_TRUE(ListEntries().empty());
  EXPECT_FALSE(platform::Exists(kObsoleteFoldersRewrite));
  ASSERT_TRUE(log_.WaitFor(kDeletedText));
  EXPECT_EQ(log_.LevelOf(kDeletedText), kLogWarning);
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\Project1"));
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\loose.txt"));
}

TEST_F(ObsoleteFoldersTest, RemovingOneEntryRenumbersTheRestInOrder) {
  ASSERT_EQ(platform::CreateFolder(".\\Rootfolder\\Project0"), 0);
  WriteFile(kObsoleteFoldersList, ListXml({{".\\Rootfolder\\Project0", "10.12.26"},
                                           {kOld, "01.12.26"},
                                           {".\\Elsewhere\\Gone", "02.12.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 12, 20)), 1);
  EXPECT_FALSE(platform::Exists(kOld));
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\Project0"));
  EXPECT_EQ(ListEntries(), (std::vector<Entry>{{".\\Rootfolder\\Project0", "10.12.26"},
                                               {".\\Elsewhere\\Gone", "02.12.26"}}));
  EXPECT_EQ(ReadFile(kObsoleteFoldersList).find("Folder3"), std::string::npos);
}

TEST_F(ObsoleteFoldersTest, DayPastTheMonthEndCountsIntoTheNextMonth) {
  // 31.02.26 is 3 March 2026; the folder may go after 17 March 00:00:00.
  WriteFile(kObsoleteFoldersList, ListXml({{kOld, "31.02.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 3, 16, 12)), 0);
  EXPECT_EQ(CheckAt(At(2026, 3, 17, 0, 0, 0)), 0);
  EXPECT_TRUE(platform::Exists(kOld));
  EXPECT_EQ(CheckAt(At(2026, 3, 17, 0, 0, 1)), 1);
  EXPECT_FALSE(platform::Exists(kOld));
}

TEST_F(ObsoleteFoldersTest, DatesOutOfRangeNeverExpire) {
  for (const char* date : {"00.00.00", "01.01.40", "01.13.26", "32.01.26", "01.01.70"}) {
    WriteFile(kObsoleteFoldersList, ListXml({{kOld, date}}));
    EXPECT_EQ(CheckAt(At(2037, 12, 31, 23, 59, 59)), 0) << date;
    EXPECT_TRUE(platform::Exists(kOld)) << date;
    EXPECT_EQ(ListEntries(), (std::vector<Entry>{{kOld, date}})) << date;
  }
}

TEST_F(ObsoleteFoldersTest, GarbledDateDoesNotCountAsTheYear2000) {
  // Read digit by digit these would give 1 January 2000 (or a wrong month)
  // and delete the folder at once.
  for (const char* date : {"01.01.xx", "01.01. 0", "1.12.26", "01.01.260", "a"}) {
    WriteFile(kObsoleteFoldersList, ListXml({{kOld, date}}));
    EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0) << date;
    EXPECT_TRUE(platform::Exists(kOld)) << date;
  }
}

TEST_F(ObsoleteFoldersTest, EntryWithoutTimestampIsReusedForTheNewCandidate) {
  WriteFile(kObsoleteFoldersList,
            ListXml({{".\\Elsewhere\\A", "05.11.26"}, {".\\Elsewhere\\B", ""}}));
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0);
  EXPECT_EQ(ListEntries(),
            (std::vector<Entry>{{".\\Elsewhere\\A", "05.11.26"}, {kOld, "01.12.26"}}));
  EXPECT_EQ(ReadFile(kObsoleteFoldersList).find("Elsewhere\\B"), std::string::npos);
}

TEST_F(ObsoleteFoldersTest, UnreadableListStartsAfresh) {
  WriteFile(kObsoleteFoldersList, "<ObsoleteFolders><Folder1>");
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0);
  EXPECT_EQ(ListEntries(), (std::vector<Entry>{{kOld, "01.12.26"}}));
}

TEST_F(ObsoleteFoldersTest, ClaimedRootIsNeverListedNorDeleted) {
  WriteFile(kObsoleteFoldersList, ListXml({{".\\Rootfolder\\Project1", "01.01.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0);
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\Project1"));
  EXPECT_EQ(ListEntries(),
            (std::vector<Entry>{{".\\Rootfolder\\Project1", "01.01.26"}, {kOld, "01.12.26"}}));
}

TEST_F(ObsoleteFoldersTest, NoProjectTouchesNothing) {
  config_.projects.clear();
  WriteFile(kObsoleteFoldersList, ListXml({{kOld, "01.01.26"}}));
  const std::string before = ReadFile(kObsoleteFoldersList);
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0);
  EXPECT_TRUE(platform::Exists(kOld));
  EXPECT_EQ(ReadFile(kObsoleteFoldersList), before);
}

TEST_F(ObsoleteFoldersTest, NoListIsCreatedWithoutProjects) {
  config_.projects.clear();
  CheckAt(At(2026, 12, 1));
  EXPECT_FALSE(platform::Exists(kObsoleteFoldersList));
}

TEST_F(ObsoleteFoldersTest, CustomerInstallationRecordsAndDeletesNothing) {
  // Roots chosen by the customer may lie among other data.
  config_.settings.customer_installation = true;
  CheckAt(At(2026, 12, 1));
  EXPECT_FALSE(platform::Exists(kObsoleteFoldersList));
  WriteFile(kObsoleteFoldersList, ListXml({{kOld, "01.01.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0);
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\Project2\\Deep\\old.txt"));
  EXPECT_EQ(ListEntries(), (std::vector<Entry>{{kOld, "01.01.26"}}));
}

TEST_F(ObsoleteFoldersTest, RootsOutsideTheManagedFolderTouchNothing) {
  // Without the managed layout the base folder would be ".\Data", which
  // holds the customer's other folders.
  ASSERT_EQ(platform::CreateFolder(".\\Data"), 0);
  ASSERT_EQ(platform::CreateFolder(".\\Data\\Accounts"), 0);
  config_.projects[0]->rootpath = ".\\Data\\Alpha";
  WriteFile(kObsoleteFoldersList, ListXml({{".\\Data\\Accounts", "01.01.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0);
  EXPECT_TRUE(platform::Exists(".\\Data\\Accounts"));
  EXPECT_TRUE(platform::Exists(kOld));

  // A root path ending in "\" would make the root itself the base folder.
  config_.projects[0]->rootpath = ".\\Rootfolder\\Project1\\";
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0);
  EXPECT_EQ(ListEntries(), (std::vector<Entry>{{".\\Data\\Accounts", "01.01.26"}}));
}

TEST_F(ObsoleteFoldersTest, FolderHoldingAProjectRootIsClaimed) {
  ASSERT_EQ(platform::CreateFolder(".\\Rootfolder\\Project1\\Inner"), 0);
  config_.projects.push_back(
      MakeProject("Beta", ".\\Rootfolder\\Project1\\Inner", {{"bo", {"Staff"}}}, true));
  // Not the managed layout any more: nothing at all happens.
  WriteFile(kObsoleteFoldersList, ListXml({{".\\Rootfolder\\Project1", "01.01.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0);
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\Project1\\Inner"));
}

TEST_F(ObsoleteFoldersTest, LinkInTheBaseFolderIsNotFollowed) {
  ASSERT_EQ(platform::CreateFolder(".\\Outside"), 0);
  WriteFile(".\\Outside\\precious.txt", "keep me");
  ASSERT_EQ(::symlink((work_.path() + "/Outside").c_str(), "Rootfolder/Linked"), 0);
  ASSERT_EQ(::symlink("../Outside", "Rootfolder/Relative"), 0);
  WriteFile(kObsoleteFoldersList, ListXml({{".\\Rootfolder\\Linked", "01.01.26"}}));

  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 0);
  EXPECT_EQ(ListEntries(),
            (std::vector<Entry>{{".\\Rootfolder\\Linked", "01.01.26"}, {kOld, "01.12.26"}}));
  EXPECT_EQ(CheckAt(At(2027, 6, 1)), 1);  // only the real folder goes
  EXPECT_FALSE(platform::Exists(kOld));
  EXPECT_EQ(ReadFile(".\\Outside\\precious.txt"), "keep me");
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\Linked"));
  EXPECT_TRUE(platform::Exists(".\\Rootfolder\\Relative"));
}

TEST_F(ObsoleteFoldersTest, LinkInsideAnObsoleteFolderIsRemovedNotItsTarget) {
  ASSERT_EQ(platform::CreateFolder(".\\Outside"), 0);
  WriteFile(".\\Outside\\precious.txt", "keep me");
  ASSERT_EQ(::symlink((work_.path() + "/Outside").c_str(), "Rootfolder/Project2/Deep/link"), 0);
  WriteFile(kObsoleteFoldersList, ListXml({{kOld, "01.01.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 1);
  EXPECT_FALSE(platform::Exists(kOld));
  EXPECT_EQ(ReadFile(".\\Outside\\precious.txt"), "keep me");
}

TEST_F(ObsoleteFoldersTest, SeveralDueFoldersGoInOneRun) {
  ASSERT_EQ(platform::CreateFolder(".\\Rootfolder\\Project3"), 0);
  WriteFile(kObsoleteFoldersList,
            ListXml({{kOld, "01.01.26"}, {".\\Rootfolder\\Project3", "02.01.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 12, 1)), 2);
  EXPECT_TRUE(ListEntries().empty());
  EXPECT_TRUE(log_.WaitFor(kDeletedText, 2));
}

bool ExpiredAt(std::string_view date, const platform::LocalTime& now) {
  return ObsoleteDateExpired(date, platform::TestClock(now));
}

TEST(ObsoleteDate, ExpiresStrictlyAfterFourteenDays) {
  EXPECT_FALSE(ExpiredAt("08.12.26", At(2026, 12, 22, 0, 0, 0)));
  EXPECT_TRUE(ExpiredAt("08.12.26", At(2026, 12, 22, 0, 0, 1)));
  EXPECT_TRUE(ExpiredAt("25.12.26", At(2027, 1, 8, 0, 0, 1)));    // across a year
  EXPECT_FALSE(ExpiredAt("15.02.28", At(2028, 2, 29, 0, 0, 0)));  // leap day
  EXPECT_TRUE(ExpiredAt("15.02.28", At(2028, 2, 29, 0, 0, 1)));
  EXPECT_FALSE(ExpiredAt("", At(2030, 1, 1)));
}

// Central European time: UTC+1, daylight saving (UTC+2) from 29 March 2026
// 01:00 UTC to 25 October 2026 01:00 UTC. Fourteen days of 86400 seconds from
// local midnight end an hour after midnight in spring and an hour before it
// in autumn.
TEST_F(ObsoleteFoldersTest, FourteenDaysAreRealSecondsAcrossADaylightSavingChange) {
  constexpr platform::FileTime kSpring = 134192196000000000ULL;  // 2026-03-29 01:00 UTC
  constexpr platform::FileTime kAutumn = 134373636000000000ULL;  // 2026-10-25 01:00 UTC
  clock_.SetZone(3600, {{kSpring, 7200}, {kAutumn, 3600}});
  WriteFile(kObsoleteFoldersList, ListXml({{kOld, "20.03.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 4, 3, 0, 30)), 0);  // 14 calendar days, but an hour short
  EXPECT_EQ(CheckAt(At(2026, 4, 3, 1, 0, 0)), 0);
  EXPECT_TRUE(platform::Exists(kOld));
  EXPECT_EQ(CheckAt(At(2026, 4, 3, 1, 0, 1)), 1);

  ASSERT_EQ(platform::CreateFolder(kOld), 0);
  WriteFile(kObsoleteFoldersList, ListXml({{kOld, "20.10.26"}}));
  EXPECT_EQ(CheckAt(At(2026, 11, 2, 23, 0, 0)), 0);
  EXPECT_EQ(CheckAt(At(2026, 11, 2, 23, 0, 1)), 1);
}

}  // namespace
}  // namespace kestrel::projects
