// Scans of real project trees through a handler's cycle, run on the test thread.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>

#include "ProjectsTestUtil.h"
#include "projects/ProjectCycle.h"
#include "projects/ScanResultFile.h"
#include "projects/UserRights.h"
#include "support/XmlStore.h"

namespace kestrel::projects {
namespace {

using test::CapturedLog;
using test::GroupRight;
using test::LogCapture;
using test::MakeProject;
using test::ReadFile;
using test::RightsXml;
using test::ScopedWorkDir;
using test::WriteFile;

constexpr platform::FileTime kBase = 133500000000000000ULL;  // 2023

platform::FileTime TimeOf(const std::string& path) {
  platform::DirEntry entry;
  EXPECT_EQ(platform::Stat(path, entry), 0) << path;
  return entry.last_write;
}

std::string FileXml(int m, const std::string& name, platform::FileTime t, bool write) {
  std::string n = std::to_string(m);
  return "        <File" + n + ">\n            <Filename>" + name +
         "</Filename>\n            <TimeLow>" + std::to_string(static_cast<std::uint32_t>(t)) +
         "</TimeLow>\n            <TimeHigh>" +
         std::to_string(static_cast<std::uint32_t>(t >> 32)) + "</TimeHigh>\n            <Write>" +
         (write ? "true" : "false") + "</Write>\n        </File" + n + ">\n";
}

class ScanTest : public ::testing::Test {
 protected:
  bool Scan(ProjectRecord& project) {
    ProjectCycle cycle(project, log_, shutdown_);
    return cycle.RunScan() == ScanOutcome::kDone;
  }
  std::string Result(const std::string& user, const std::string& project = "P") {
    return ReadFile(ScanResultPath(project, user));
  }

  ScopedWorkDir work_;
  LogChannel log_;
  std::atomic<bool> shutdown_{false};
};

// Root with two files, A without files, A\B with a file hidden from the user,
// C with a visible file: Folder1 root, Folder2 A\B invisible, Folder3 C.
TEST_F(ScanTest, FolderWithoutFilesGetsNoNumberAndHiddenFolderOnlyInvisible) {
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\A");
  platform::CreateFolder(".\\Root\\A\\B");
  platform::CreateFolder(".\\Root\\C");
  WriteFile(".\\Root\\r1.txt", "11");
  WriteFile(".\\Root\\r2.txt", "222");
  WriteFile(".\\Root\\A\\B\\b.txt", "b");
  WriteFile(".\\Root\\C\\c.txt", "cccc");
  WriteFile(".\\Root\\~RootRights.xml", RightsXml({{1, "Staff", "true", "true"}}));
  WriteFile(".\\Root\\~A.xml", RightsXml({{1, "Staff", "true", "true"}}));
  WriteFile(".\\Root\\A\\~B.xml", RightsXml({{1, "Staff", "false", "true"}}));
  WriteFile(".\\Root\\~C.xml", RightsXml({{1, "Staff", "true", "false"}}));
  // B newer than A, so the rights pass keeps B's own rights file.
  platform::SetLastWriteTime(".\\Root\\A", kBase);
  platform::SetLastWriteTime(".\\Root\\A\\B", kBase + 10000000);
  auto project = MakeProject("P", ".\\Root", {{"u", {"Staff"}}}, true);

  ASSERT_TRUE(Scan(*project));
  std::string expected =
      "<?xml version='1.0' encoding='UTF-8' ?>\n<Scanresult>\n"
      "    <Folder1>\n        <Foldername>RootFolder</Foldername>\n" +
      FileXml(1, "r1.txt", TimeOf(".\\Root\\r1.txt"), true) +
      FileXml(2, "r2.txt", TimeOf(".\\Root\\r2.txt"), true) +
      "    </Folder1>\n"
      "    <Folder2>\n        <Foldername>A\\B</Foldername>\n"
      "        <Invisible>true</Invisible>\n    </Folder2>\n"
      "    <Folder3>\n        <Foldername>C</Foldername>\n" +
      FileXml(1, "c.txt", TimeOf(".\\Root\\C\\c.txt"), false) +
      "    </Folder3>\n    <TotalSize>10</TotalSize>\n</Scanresult>\n";
  EXPECT_EQ(Result("u"), expected);
}

// Staff may write Open and read Secret; Guests may read Open only.
std::unique_ptr<ProjectRecord> OpenAndSecretProject(std::initializer_list<test::UserSetup> users) {
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\Open");
  platform::CreateFolder(".\\Root\\Secret");
  WriteFile(".\\Root\\Open\\o.txt", "o");
  WriteFile(".\\Root\\Secret\\s1.txt", "s");
  WriteFile(".\\Root\\Secret\\s2.txt", "s");
  WriteFile(".\\Root\\~RootRights.xml", RightsXml({{1, "Staff", "true", "true"}}));
  WriteFile(".\\Root\\~Open.xml",
            RightsXml({{1, "Staff", "true", "true"}, {2, "Guests", "true", "false"}}));
  WriteFile(".\\Root\\~Secret.xml", RightsXml({{1, "Staff", "true", "false"}}));
  return MakeProject("P", ".\\Root", users, true);
}

TEST_F(ScanTest, UsersWithDifferentRightsShareTheFolderNumbering) {
  auto project = OpenAndSecretProject({{"boss", {"Staff"}}, {"guest", {"Guests"}}});
  ASSERT_TRUE(Scan(*project));

  CXmlStore boss, guest;
  ASSERT_TRUE(boss.Load(ScanResultPath("P", "boss")));
  ASSERT_TRUE(guest.Load(ScanResultPath("P", "guest")));
  for (CXmlStore* store : {&boss, &guest}) {
    EXPECT_EQ(store->GetString(XmlPath{"Scanresult", "Folder1"}, "Foldername"), "Open");
    EXPECT_EQ(store->GetString(XmlPath{"Scanresult", "Folder2"}, "Foldername"), "Secret");
    EXPECT_EQ(store->GetString(XmlPath{"Scanresult"}, "TotalSize"), "3");
  }
  EXPECT_EQ(boss.GetString(XmlPath{"Scanresult", "Folder1", "File1"}, "Write"), "true");
  EXPECT_EQ(guest.GetString(XmlPath{"Scanresult", "Folder1", "File1"}, "Write"), "false");
  EXPECT_EQ(boss.GetString(XmlPath{"Scanresult", "Folder2", "File2"}, "Filename"), "s2.txt");
  EXPECT_EQ(boss.GetString(XmlPath{"Scanresult", "Folder2"}, "Invisible"), "");
  EXPECT_EQ(guest.GetString(XmlPath{"Scanresult", "Folder2"}, "Invisible"), "true");
  EXPECT_EQ(guest.GetString(XmlPath{"Scanresult", "Folder2", "File1"}, "Filename"), "");
}

TEST_F(ScanTest, TildeFilesAreNeitherListedNorCountedButInnerTildeIs) {
  platform::CreateFolder(".\\Root");
  WriteFile(".\\Root\\~notes.txt", "1234567");
  WriteFile(".\\Root\\a~b.txt", "12345");
  WriteFile(".\\Root\\empty.txt", "");
  WriteFile(".\\Root\\.hidden", "12");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  CXmlStore store;
  ASSERT_TRUE(store.Load(ScanResultPath("P", "u")));
  EXPECT_EQ(store.GetString(XmlPath{"Scanresult", "Folder1", "File1"}, "Filename"), ".hidden");
  EXPECT_EQ(store.GetString(XmlPath{"Scanresult", "Folder1", "File2"}, "Filename"), "a~b.txt");
  EXPECT_EQ(store.GetString(XmlPath{"Scanresult", "Folder1", "File3"}, "Filename"), "empty.txt");
  EXPECT_EQ(store.GetString(XmlPath{"Scanresult", "Folder1", "File4"}, "Filename"), "");
  EXPECT_EQ(store.GetString(XmlPath{"Scanresult"}, "TotalSize"), "7");
}

TEST_F(ScanTest, LastWriteTimeIsSplitIntoLowAndHighHalves) {
  platform::CreateFolder(".\\Root");
  WriteFile(".\\Root\\t.txt", "t");
  const platform::FileTime t = 133500000001234567ULL;
  ASSERT_EQ(platform::SetLastWriteTime(".\\Root\\t.txt", t), 0);
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  CXmlStore store;
  ASSERT_TRUE(store.Load(ScanResultPath("P", "u")));
  XmlPath file{"Scanresult", "Folder1", "File1"};
  EXPECT_EQ(store.GetString(file, "TimeLow"), std::to_string(t & 0xFFFFFFFFu));
  EXPECT_EQ(store.GetString(file, "TimeHigh"), std::to_string(t >> 32));
}

TEST_F(ScanTest, SecondScanOfUnchangedTreeIsByteIdenticalAndReportsNoChange) {
  LogCapture capture(log_);
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\Z");
  platform::CreateFolder(".\\Root\\M");
  for (const char* name : {"zeta", "alpha", "Mid", "beta"}) {
    WriteFile(std::string(".\\Root\\") + name, name);
    WriteFile(std::string(".\\Root\\Z\\") + name, name);
    WriteFile(std::string(".\\Root\\M\\") + name, name);
  }
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}, {"v", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  EXPECT_TRUE(project->users[0]->scan_result_changed.load());
  EXPECT_TRUE(project->users[1]->scan_result_changed.load());
  std::string first = Result("u");
  ASSERT_TRUE(Scan(*project));
  EXPECT_EQ(Result("u"), first);
  EXPECT_EQ(ReadFile(ScanResultPath("P", "u") + ".old"), first);
  EXPECT_FALSE(project->users[0]->scan_result_changed.load());
  EXPECT_FALSE(project->users[1]->scan_result_changed.load());
  // Sorted listing: "M" before "Z", "Mid" before "alpha" (byte order).
  EXPECT_LT(first.find(">M<"), first.find(">Z<"));
  EXPECT_LT(first.find(">Mid<"), first.find(">alpha<"));
  EXPECT_FALSE(platform::Exists(ScanResultPath("P", "u") + ".tmp"));

  capture.WaitFor("project 'P': change detected for user v");
  EXPECT_EQ(capture.Count("project 'P': change detected for user u"), 1);
  EXPECT_EQ(capture.LevelOf("project 'P': change detected for user u"), kLogInfo);
}

TEST_F(ScanTest, ChangedTreeIsReportedAndPreviousResultKeptAsOld) {
  platform::CreateFolder(".\\Root");
  WriteFile(".\\Root\\a.txt", "a");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  std::string first = Result("u");
  WriteFile(".\\Root\\b.txt", "b");
  ASSERT_TRUE(Scan(*project));
  EXPECT_TRUE(project->users[0]->scan_result_changed.load());
  EXPECT_EQ(ReadFile(ScanResultPath("P", "u") + ".old"), first);
  EXPECT_NE(Result("u").find("b.txt"), std::string::npos);
}

TEST_F(ScanTest, ChangeAfterAnUnchangedScanKeepsTheUnchangedResultAsOld) {
  platform::CreateFolder(".\\Root");
  WriteFile(".\\Root\\a.txt", "a");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  std::string first = Result("u");
  ASSERT_TRUE(Scan(*project));  // unchanged: the previous result shares the current one
  EXPECT_FALSE(project->users[0]->scan_result_changed.load());
  WriteFile(".\\Root\\b.txt", "b");
  ASSERT_TRUE(Scan(*project));
  EXPECT_TRUE(project->users[0]->scan_result_changed.load());
  EXPECT_EQ(ReadFile(ScanResultPath("P", "u") + ".old"), first);
  EXPECT_NE(Result("u").find("b.txt"), std::string::npos);
  ASSERT_TRUE(Scan(*project));
  EXPECT_FALSE(project->users[0]->scan_result_changed.load());
  EXPECT_EQ(ReadFile(ScanResultPath("P", "u") + ".old"), Result("u"));
}

ino_t InodeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(platform::NativePath(path).c_str(), &st), 0) << path;
  return st.st_ino;
}

TEST_F(ScanTest, UsersWithTheSameRightsShareOneResultFileWithTheBytesOfTheirOwn) {
  auto project = OpenAndSecretProject(
      {{"boss", {"Staff"}}, {"guest", {"Guests"}}, {"chief", {"Staff"}}, {"visitor", {"Guests"}}});
  ASSERT_TRUE(Scan(*project));
  const std::string chief_before = Result("chief");
  const std::string visitor_before = Result("visitor");
  ASSERT_EQ(platform::SetLastWriteTime(".\\Root\\Secret\\s1.txt", kBase), 0);
  ASSERT_TRUE(Scan(*project));

  // Secret is hidden from guests (only its size counts): only the staff's
  // results change.
  EXPECT_TRUE(project->users[0]->scan_result_changed.load());
  EXPECT_FALSE(project->users[1]->scan_result_changed.load());
  EXPECT_TRUE(project->users[2]->scan_result_changed.load());
  EXPECT_FALSE(project->users[3]->scan_result_changed.load());
  EXPECT_EQ(InodeOf(ScanResultPath("P", "chief")), InodeOf(ScanResultPath("P", "boss")));
  EXPECT_EQ(InodeOf(ScanResultPath("P", "visitor")), InodeOf(ScanResultPath("P", "guest")));
  EXPECT_NE(InodeOf(ScanResultPath("P", "guest")), InodeOf(ScanResultPath("P", "boss")));
  EXPECT_EQ(ReadFile(ScanResultPath("P", "chief") + ".old"), chief_before);
  EXPECT_EQ(Result("visitor"), visitor_before);
  EXPECT_FALSE(platform::Exists(ScanResultPath("P", "chief") + ".tmp"));

  // The same bytes as the user's own document written alone.
  auto alone = MakeProject("Q", ".\\Root", {{"chief", {"Staff"}}}, true);
  ASSERT_TRUE(Scan(*alone));
  EXPECT_EQ(Result("chief"), Result("chief", "Q"));
}

// An interrupted cycle can leave a temporary file that is a second name of
// another user's result; writing through it would change that result.
TEST_F(ScanTest, LeftOverTemporaryFileNeverChangesTheResultItShares) {
  auto project = OpenAndSecretProject({{"boss", {"Staff"}}, {"guest", {"Guests"}}});
  ASSERT_TRUE(Scan(*project));
  const std::string guest_before = Result("guest");
  ASSERT_EQ(platform::LinkFile(ScanResultPath("P", "guest"), ScanResultPath("P", "boss") + ".tmp"),
            0);
  ASSERT_EQ(platform::SetLastWriteTime(".\\Root\\Secret\\s1.txt", kBase), 0);
  ASSERT_TRUE(Scan(*project));
  EXPECT_TRUE(project->users[0]->scan_result_changed.load());
  EXPECT_FALSE(project->users[1]->scan_result_changed.load());
  EXPECT_EQ(Result("guest"), guest_before);
  EXPECT_EQ(ReadFile(ScanResultPath("P", "guest") + ".old"), guest_before);
}

TEST_F(ScanTest, PreviousResultDifferingOnlyInLineEndsCountsAsUnchanged) {
  platform::CreateFolder(".\\Root");
  WriteFile(".\\Root\\a.txt", "a");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  std::string crlf;
  for (char c : Result("u")) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  WriteFile(ScanResultPath("P", "u"), crlf);
  ASSERT_TRUE(Scan(*project));
  EXPECT_FALSE(project->users[0]->scan_result_changed.load());
}

TEST_F(ScanTest, EmptyRootGivesOnlyTotalSizeZero) {
  platform::CreateFolder(".\\Root");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  EXPECT_EQ(Result("u"),
            "<?xml version='1.0' encoding='UTF-8' ?>\n<Scanresult>\n"
            "    <TotalSize>0</TotalSize>\n</Scanresult>\n");
}

TEST_F(ScanTest, WithoutUserPrivilegesEveryFolderIsVisibleAndWritable) {
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\X");
  WriteFile(".\\Root\\X\\x.txt", "x");
  WriteFile(".\\Root\\~X.xml", RightsXml({{1, "Other", "false", "false"}}));
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  CXmlStore store;
  ASSERT_TRUE(store.Load(ScanResultPath("P", "u")));
  EXPECT_EQ(store.GetString(XmlPath{"Scanresult", "Folder1", "File1"}, "Write"), "true");
}

TEST_F(ScanTest, RootRightsMissingHidesRootAndFoldersWithoutRightsFiles) {
  LogCapture capture(log_);
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\X");
  platform::CreateFolder(".\\Root\\Y");
  WriteFile(".\\Root\\r.txt", "r");
  WriteFile(".\\Root\\X\\x.txt", "x");
  WriteFile(".\\Root\\Y\\y.txt", "y");
  WriteFile(".\\Root\\~Y.xml", RightsXml({{1, "G", "true", "false"}}));
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, true);
  ASSERT_TRUE(Scan(*project));
  CXmlStore store;
  ASSERT_TRUE(store.Load(ScanResultPath("P", "u")));
  EXPECT_EQ(store.GetString(XmlPath{"Scanresult", "Folder1"}, "Invisible"), "true");
  EXPECT_EQ(store.GetString(XmlPath{"Scanresult", "Folder2"}, "Invisible"), "true");
  EXPECT_EQ(store.GetString(XmlPath{"Scanresult", "Folder3", "File1"}, "Filename"), "y.txt");
  EXPECT_FALSE(platform::Exists(".\\Root\\~X.xml"));  // nothing propagated
  capture.WaitFor("project 'P' cannot open root XML user right file '~RootRights.xml'");
  EXPECT_EQ(capture.LevelOf("project 'P' cannot open root XML user right file '~RootRights.xml'"),
            kLogWarning);
}

TEST_F(ScanTest, NamesThatCannotBeWrittenAsSystemPathsAreSkipped) {
  platform::CreateFolder(".\\Root");
  // Native names: a backslash and a control character in a name.
  WriteFile(".\\Root\\ok.txt", "ok");
  { std::ofstream(work_.path() + "/Root/a\\b.txt") << "x"; }
  { std::ofstream(work_.path() + "/Root/line\nbreak.txt") << "x"; }
  ::mkdir((work_.path() + "/Root/dir\\name").c_str(), 0755);
  { std::ofstream(work_.path() + "/Root/dir\\name/inner.txt") << "x"; }
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  std::string result = Result("u");
  EXPECT_NE(result.find("ok.txt"), std::string::npos);
  EXPECT_EQ(result.find("a\\b.txt"), std::string::npos);
  EXPECT_EQ(result.find("break"), std::string::npos);
  EXPECT_EQ(result.find("inner.txt"), std::string::npos);
  EXPECT_NE(result.find("<TotalSize>2</TotalSize>"), std::string::npos);
}

TEST_F(ScanTest, NamesWithoutAnEightBitFormAreLeftOutWithOneWarningPerScan) {
  LogCapture capture(log_);
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\Docs");
  WriteFile(".\\Root\\ok.txt", "ok");
  { std::ofstream(work_.path() + "/Root/Docs/\xE6\x97\xA5.txt") << "x"; }
  ::mkdir((work_.path() + "/Root/Docs/\xE2\x82\xAC").c_str(), 0755);
  { std::ofstream(work_.path() + "/Root/Docs/\xE2\x82\xAC/inner.txt") << "x"; }
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  const std::string result = Result("u");
  EXPECT_NE(result.find("ok.txt"), std::string::npos);
  EXPECT_EQ(result.find("inner.txt"), std::string::npos);
  EXPECT_NE(result.find("<TotalSize>2</TotalSize>"), std::string::npos);
  const std::string warning =
      "project 'P': 2 file or folder names without an 8-bit form left out of the scan, the first "
      "is Docs\\<U+20AC>";
  ASSERT_TRUE(capture.WaitFor(warning));
  EXPECT_EQ(capture.LevelOf(warning), kLogWarning);
  ASSERT_TRUE(Scan(*project));
  ASSERT_TRUE(capture.WaitFor(warning, 2));
  EXPECT_EQ(capture.Count(warning), 2);  // one per scan, whatever the count
}

TEST_F(ScanTest, LinkedFolderIsNotWalkedSoALoopEnds) {
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\A");
  WriteFile(".\\Root\\A\\a.txt", "a");
  ASSERT_EQ(::symlink("..", (work_.path() + "/Root/A/loop").c_str()), 0);
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  EXPECT_EQ(Result("u").find("loop"), std::string::npos);
}

TEST_F(ScanTest, LinksAndSpecialFilesAreNeverListedButHardLinksAre) {
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Outside");
  WriteFile(".\\Outside\\secret.txt", "secret");
  WriteFile(".\\Root\\own.txt", "own");
  const std::string root = work_.path() + "/Root/";
  ASSERT_EQ(::symlink((work_.path() + "/Outside/secret.txt").c_str(), (root + "filelink").c_str()),
            0);
  ASSERT_EQ(::symlink((work_.path() + "/Outside").c_str(), (root + "dirlink").c_str()), 0);
  ASSERT_EQ(::symlink("gone", (root + "dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((root + "fifo").c_str(), 0644), 0);
  ASSERT_EQ(::link((root + "own.txt").c_str(), (root + "hard.txt").c_str()), 0);
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  const std::string result = Result("u");
  for (const char* name : {"filelink", "dirlink", "dangling", "fifo", "secret"}) {
    EXPECT_EQ(result.find(name), std::string::npos) << name;
  }
  EXPECT_NE(result.find("hard.txt"), std::string::npos);
  EXPECT_NE(result.find("<TotalSize>6</TotalSize>"), std::string::npos);
}

TEST_F(ScanTest, ScanPublishesEveryWalkedFoldersAccessButAGivenUpWalkNothing) {
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\Empty");
  platform::CreateFolder(".\\Root\\Empty\\Hidden");
  WriteFile(".\\Root\\~RootRights.xml", RightsXml({{1, "G", "true", "true"}}));
  WriteFile(".\\Root\\~Empty.xml", RightsXml({{1, "G", "true", "false"}}));
  WriteFile(".\\Root\\Empty\\~Hidden.xml", RightsXml({{1, "G", "false", "false"}}));
  // Hidden is newer than its parent, so the rights pass keeps its own file.
  platform::SetLastWriteTime(".\\Root\\Empty", kBase);
  platform::SetLastWriteTime(".\\Root\\Empty\\Hidden", kBase + 10000000ULL);
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, true);
  shutdown_ = true;
  EXPECT_FALSE(Scan(*project));
  EXPECT_EQ(project->folder_access.Load(), nullptr);
  shutdown_ = false;
  ASSERT_TRUE(Scan(*project));
  const auto access = project->folder_access.Load();
  ASSERT_NE(access, nullptr);
  // Folders without files count too; an unknown folder takes its parent's.
  EXPECT_EQ(access->Lookup("", 0), kAccessVisible | kAccessWritable);
  EXPECT_EQ(access->Lookup("Empty", 0), kAccessVisible);
  EXPECT_EQ(access->Lookup("Empty\\Hidden", 0), kAccessNone);
  EXPECT_EQ(access->Lookup("Empty\\New\\Deeper", 0), kAccessVisible);
  EXPECT_EQ(access->Lookup("Other", 0), kAccessVisible | kAccessWritable);
}

TEST_F(ScanTest, WalkStoppedByTheShutdownFlagReplacesNoResult) {
  platform::CreateFolder(".\\Root");
  WriteFile(".\\Root\\a.txt", "a");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  ASSERT_TRUE(Scan(*project));  // unchanged: the changed flag goes down
  const std::string current = Result("u");
  const std::string old = ReadFile(ScanResultPath("P", "u") + ".old");
  WriteFile(".\\Root\\b.txt", "b");
  shutdown_ = true;
  ProjectCycle cycle(*project, log_, shutdown_);
  EXPECT_EQ(cycle.RunScan(), ScanOutcome::kStopped);
  EXPECT_EQ(Result("u"), current);
  EXPECT_EQ(ReadFile(ScanResultPath("P", "u") + ".old"), old);
  EXPECT_FALSE(project->users[0]->scan_result_changed.load());
}

// The temporary name taken by a folder makes the write fail, also as root.
TEST_F(ScanTest, FailedWriteKeepsTheCurrentResultAndItsOldAndLogsAnError) {
  LogCapture capture(log_);
  platform::CreateFolder(".\\Root");
  WriteFile(".\\Root\\a.txt", "a");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  WriteFile(".\\Root\\b.txt", "b");
  ASSERT_TRUE(Scan(*project));
  ASSERT_TRUE(project->users[0]->scan_result_changed.load());
  const std::string current = Result("u");
  const std::string old = ReadFile(ScanResultPath("P", "u") + ".old");
  ASSERT_NE(current, old);

  ASSERT_EQ(platform::CreateFolder(ScanResultPath("P", "u") + ".tmp"), 0);
  WriteFile(".\\Root\\c.txt", "c");
  EXPECT_TRUE(Scan(*project));
  EXPECT_EQ(Result("u"), current);
  EXPECT_EQ(ReadFile(ScanResultPath("P", "u") + ".old"), old);
  EXPECT_TRUE(project->users[0]->scan_result_changed.load());
  const std::string error =
      "project 'P': scan result for user u could not be written, .\\Config\\Scanresult_P_u.xml "
      "kept";
  ASSERT_TRUE(capture.WaitFor(error));
  EXPECT_EQ(capture.LevelOf(error), kLogError);
}

TEST_F(ScanTest, MissingRootFailsAndKeepsPreviousResult) {
  platform::CreateFolder(".\\Root");
  WriteFile(".\\Root\\a.txt", "a");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  std::string first = Result("u");
  platform::RemoveTree(".\\Root");
  project->changed_by_session = true;
  EXPECT_FALSE(Scan(*project));
  EXPECT_FALSE(project->changed_by_session.load());
  EXPECT_EQ(Result("u"), first);
  EXPECT_TRUE(project->users[0]->scan_result_changed.load());  // unchanged since last success
}

TEST_F(ScanTest, EmptyLeafFolderGoesWithItsRightsFileAndParentOnTheNextScan) {
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\P1");
  platform::CreateFolder(".\\Root\\P1\\Leaf");
  platform::CreateFolder(".\\Root\\Keep");
  WriteFile(".\\Root\\Keep\\k.txt", "k");
  WriteFile(".\\Root\\~RootRights.xml", RightsXml({{1, "G", "true", "true"}}));
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, true);
  project->delete_empty_folders = true;
  ASSERT_TRUE(Scan(*project));
  EXPECT_FALSE(platform::Exists(".\\Root\\P1\\Leaf"));
  EXPECT_FALSE(platform::Exists(".\\Root\\P1\\~Leaf.xml"));
  EXPECT_TRUE(platform::Exists(".\\Root\\P1"));
  ASSERT_TRUE(Scan(*project));
  EXPECT_FALSE(platform::Exists(".\\Root\\P1"));
  EXPECT_FALSE(platform::Exists(".\\Root\\~P1.xml"));
  EXPECT_TRUE(platform::Exists(".\\Root\\Keep\\k.txt"));
  EXPECT_TRUE(platform::Exists(".\\Root"));
}

TEST_F(ScanTest, EmptyFoldersStayWhenDeletionIsOff) {
  platform::CreateFolder(".\\Root");
  platform::CreateFolder(".\\Root\\E");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  EXPECT_TRUE(platform::Exists(".\\Root\\E"));
}

// A session packs the file under the shared side of the guard; it must always
// find a complete document, never a declaration-only or half-written one.
TEST_F(ScanTest, ReaderUnderTheGuardNeverSeesAnIncompleteResult) {
  platform::CreateFolder(".\\Root");
  for (int i = 0; i < 300; ++i) WriteFile(".\\Root\\f" + std::to_string(i) + ".txt", "x");
  auto project = MakeProject("P", ".\\Root", {{"u", {"G"}}}, false);
  ASSERT_TRUE(Scan(*project));
  UserRecord& user = *project->users[0];
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done) {
      std::shared_lock<std::shared_mutex> lock(user.scan_result_guard);
      std::string text = ReadFile(ScanResultPath("P", "u"));
      const std::string end = "</Scanresult>\n";
      if (text.size() < end.size() ||
          text.compare(text.size() - end.size(), end.size(), end) != 0) {
        ++bad;
      }
      ++reads;
    }
  });
  for (int round = 0; round < 30; ++round) {
    WriteFile(".\\Root\\g" + std::to_string(round) + ".txt", "y");
    ASSERT_TRUE(Scan(*project));
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
}  // namespace kestrel::projects
