#include "config/ConfigUpdate.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConfigTestFiles.h"
#include "config/ConfigReader.h"
#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/MessageLoop.h"
#include "support/WindowMessages.h"
#include "support/XmlStore.h"
#include "testsupport/LocalTimes.h"
#include "testsupport/ScopedCwd.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

using test::At;
using test::FileText;
using test::ReplaceFirst;
using test::WriteFileText;

constexpr const char* kReceived = ".\\Temp\\upload.xml";
constexpr const char* kReceivedNative = "Temp/upload.xml";
constexpr const char* kConfigNative = "Config/KestrelServer.xml";

std::string RemoteFixture(std::string_view name) {
  return FileText(std::string(KESTREL_SOURCE_DIR "/tests/data/remote/") + std::string(name));
}

// Plays the logging window: keeps every record posted to the channel.
class RecordingLog {
 public:
  RecordingLog() : loop_(platform::SystemClock::Instance()) {
    loop_.SetHandler([this](platform::Message& m) -> std::intptr_t {
      if (m.id != WM_LOG_RECORD) return 0;
      if (auto record = m.Take<LogRecord>()) {
        std::lock_guard<std::mutex> lock(mu_);
        records_.push_back(*record);
      }
      return 0;
    });
    thread_ = std::thread([this] { loop_.Run(); });
    channel_.Attach(&loop_);
  }
  ~RecordingLog() {
    channel_.Detach();
    loop_.Quit();
    thread_.join();
  }
  const LogChannel& channel() const { return channel_; }
  // Every record posted so far (the loop handles posts in order).
  std::vector<std::pair<std::string, int>> Records() {
    loop_.Send(0);
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::pair<std::string, int>> out;
    for (const LogRecord& r : records_) out.emplace_back(r.text, r.level);
    return out;
  }

 private:
  LogChannel channel_;
  platform::MessageLoop loop_;
  std::thread thread_;
  std::mutex mu_;
  std::vector<LogRecord> records_;  // guarded by mu_
};

class ConfigUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cwd_.ok());
    ASSERT_EQ(platform::CreateFolder(".\\Config"), 0);
    ASSERT_EQ(platform::CreateFolder(".\\Temp"), 0);
    server_text_ = RemoteFixture("server_config.xml");
    received_text_ = RemoteFixture("received_config.xml");
    ASSERT_FALSE(server_text_.empty());
    ASSERT_FALSE(received_text_.empty());
  }

  // Writes both documents, runs the update and reads the result back.
  bool Update(const std::string& server, const std::string& received) {
    EXPECT_TRUE(WriteFileText(kConfigNative, server));
    EXPECT_TRUE(WriteFileText(kReceivedNative, received));
    bool restart = UpdateConfiguration(kReceived, store_, clock_, log_.channel());
    CXmlStore reread;
    ReadConfiguration(reread, result_);
    return restart;
  }

  std::vector<std::string> ProjectNames() const {
    std::vector<std::string> names;
    for (const auto& p : result_.projects) names.push_back(p->projectname);
    return names;
  }

  std::vector<std::string> BackupNames() const {
    std::vector<platform::DirEntry> entries;
    platform::ListDirectory(".\\Backup", entries);
    std::vector<std::string> names;
    for (const auto& e : entries) names.push_back(e.name);
    return names;
  }

  test::TempDir dir_;
  test::ScopedCwd cwd_{dir_.path()};
  platform::TestClock clock_{At(2026, 12, 8, 3, 15, 9)};
  RecordingLog log_;
  CXmlStore store_;
  ServerConfig result_;
  std::string server_text_;
  std::string received_text_;
};

TEST_F(ConfigUpdateTest, ServerKeepsItsOwnPortKeyRemoteAccessAndInstallationKind) {
  ASSERT_TRUE(Update(server_text_, received_text_));
  const ServerSettings& s = result_.settings;
  EXPECT_EQ(s.tcpip_listen_port, 50000);
  EXPECT_EQ(s.global_key, "serverOwnKey2026");
  EXPECT_TRUE(s.activate_remote);
  EXPECT_EQ(s.password_remote.Get(), "0123456789abcdef0123456789abcdef");
  EXPECT_TRUE(s.customer_installation);
}

TEST_F(ConfigUpdateTest, SixGeneralValuesAreTakenOverFromTheUpload) {
  ASSERT_TRUE(Update(server_text_, received_text_));
  const ServerSettings& s = result_.settings;
  EXPECT_TRUE(s.activate_user_privileges);
  EXPECT_EQ(s.log_level, kLogInfo);
  EXPECT_TRUE(s.log_user_activity);
  EXPECT_EQ(s.scan_intervall_projects, 17);
  EXPECT_EQ(s.scan_intervall_userrights, 3);
}

TEST_F(ConfigUpdateTest, ValueTheServerFileLacksIsNotAdded) {
  ASSERT_TRUE(Update(server_text_, received_text_));
  EXPECT_EQ(FileText(kConfigNative).find("DeleteEmptyFolders"), std::string::npos);
  EXPECT_FALSE(result_.settings.delete_empty_folders);
}

TEST_F(ConfigUpdateTest, UploadWithoutLogLevelLeavesTheServersLevel) {
  const std::string received = ReplaceFirst(received_text_, "    <LogLevel>Info</LogLevel>\n", "");
  ASSERT_TRUE(Update(server_text_, received));
  EXPECT_EQ(result_.settings.log_level, kLogWarning);
  EXPECT_EQ(result_.settings.scan_intervall_projects, 17);
}

TEST_F(ConfigUpdateTest, ThreeServerProjectsAreReplacedByTheTwoReceived) {
  ASSERT_TRUE(Update(server_text_, received_text_));
  EXPECT_EQ(ProjectNames(), (std::vector<std::string>{"Alpha", "Beta"}));
  const std::string merged = FileText(kConfigNative);
  EXPECT_EQ(merged.find("OldOne"), std::string::npos);
  EXPECT_EQ(merged.find("OldThree"), std::string::npos);
  ASSERT_EQ(result_.projects.size(), 2u);
  EXPECT_EQ(result_.projects[0]->rootpath, "D:\\Shares\\Alpha & Co");
  EXPECT_EQ(result_.projects[0]->users.size(), 1u);
  EXPECT_EQ(result_.projects[1]->section_tag, "Project2");
}

TEST_F(ConfigUpdateTest, SectionBytesAreCopiedUnchanged) {
  // An 8-bit name (0xFC) and an entity reference survive the copy as they are.
  const std::string received =
      ReplaceFirst(received_text_, "<Projectname>Beta<", "<Projectname>M\xFCller &lt;B&gt;<");
  ASSERT_TRUE(Update(server_text_, received));
  ASSERT_EQ(result_.projects.size(), 2u);
  EXPECT_EQ(result_.projects[1]->projectname, "M\xFCller <B>");
  EXPECT_NE(FileText(kConfigNative).find("M\xFCller &lt;B&gt;"), std::string::npos);
}

TEST_F(ConfigUpdateTest, SectionsAfterAGapInTheUploadAreNotCopied) {
  std::string received = ReplaceFirst(received_text_, "<Project2>", "<Project3>");
  received = ReplaceFirst(received, "</Project2>", "</Project3>");
  ASSERT_TRUE(Update(server_text_, received));
  EXPECT_EQ(ProjectNames(), (std::vector<std::string>{"Alpha"}));
  EXPECT_EQ(FileText(kConfigNative).find("Beta"), std::string::npos);
}

TEST_F(ConfigUpdateTest, UploadWithoutProjectsLeavesNone) {
  std::string received = received_text_;
  received.erase(received.find("  <Project1>"),
                 received.find("</KestrelServer_Config>") - received.find("  <Project1>"));
  ASSERT_TRUE(Update(server_text_, received));
  EXPECT_TRUE(result_.projects.empty());
}

TEST_F(ConfigUpdateTest, OldSectionBeyondAGapDoesNotComeBackWhenTheGapIsFilled) {
  // A hand-edited server file with Project1 and Project3 only: Project3 is
  // not part of the configuration, and must not become part of it once the
  // upload brings its own Project2.
  std::string server = server_text_;
  const size_t from = server.find("    <Project2>");
  server.erase(from, server.find("    <Project3>") - from);
  ASSERT_TRUE(Update(server, received_text_));
  EXPECT_EQ(ProjectNames(), (std::vector<std::string>{"Alpha", "Beta"}));
  EXPECT_EQ(FileText(kConfigNative).find("OldThree"), std::string::npos);
}

TEST_F(ConfigUpdateTest, SectionTagInsideACommentDoesNotBreakTheMergedFile) {
  // The text search meets "<Project2>" inside the comment first; the copy
  // that would follow leaves a file that does not parse and is undone.
  const std::string received =
      ReplaceFirst(received_text_, "  <Project2>", "  <!-- <Project2> was Gamma -->\n  <Project2>");
  ASSERT_TRUE(Update(server_text_, received));
  CXmlStore check;
  EXPECT_TRUE(check.Load(".\\Config\\KestrelServer.xml"));
  EXPECT_EQ(ProjectNames(), (std::vector<std::string>{"Alpha"}));
  EXPECT_EQ(result_.settings.global_key, "serverOwnKey2026");
}

TEST_F(ConfigUpdateTest, SelfClosingGeneralSectionGetsNoProjects) {
  std::string server = server_text_;
  const size_t from = server.find("    <General>");
  const size_t to = server.find("</General>") + std::string("</General>").size();
  server.replace(from, to - from, "    <General/>");
  ASSERT_TRUE(Update(server, received_text_));
  EXPECT_TRUE(result_.projects.empty());
  EXPECT_NE(FileText(kConfigNative).find("<General/>"), std::string::npos);
}

TEST_F(ConfigUpdateTest, ThreeStampedBackupsReceivedFileDeletedAndWarningLogged) {
  ASSERT_TRUE(Update(server_text_, received_text_));
  EXPECT_EQ(BackupNames(), (std::vector<std::string>{"08_12_26 03_15_09_ServerConfig_Download.xml",
                                                     "08_12_26 03_15_09_ServerConfig_New.xml",
                                                     "08_12_26 03_15_09_ServerConfig_old.xml"}));
  EXPECT_EQ(FileText("Backup/08_12_26 03_15_09_ServerConfig_old.xml"), server_text_);
  EXPECT_EQ(FileText("Backup/08_12_26 03_15_09_ServerConfig_New.xml"), FileText(kConfigNative));
  EXPECT_EQ(FileText("Backup/08_12_26 03_15_09_ServerConfig_Download.xml"), received_text_);
  EXPECT_FALSE(platform::Exists(kReceived));
  auto records = log_.Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].first, "Server config updated");
  EXPECT_EQ(records[0].second, kLogWarning);
}

TEST_F(ConfigUpdateTest, ExistingBackupOfTheSameSecondIsReplaced) {
  ASSERT_TRUE(platform::CreateFolder(".\\Backup") == 0);
  ASSERT_TRUE(WriteFileText("Backup/08_12_26 03_15_09_ServerConfig_old.xml", "stale"));
  ASSERT_TRUE(Update(server_text_, received_text_));
  EXPECT_EQ(FileText("Backup/08_12_26 03_15_09_ServerConfig_old.xml"), server_text_);
}

TEST_F(ConfigUpdateTest, ServerStoreHoldsTheMergedDocumentAfterwards) {
  ASSERT_TRUE(Update(server_text_, received_text_));
  EXPECT_TRUE(store_.IsLoaded());
  EXPECT_EQ(store_.GetString(XmlPath{"KestrelServer_Config", "Project1"}, "Projectname"), "Alpha");
}

TEST_F(ConfigUpdateTest, UnreadableUploadChangesNothing) {
  EXPECT_FALSE(Update(server_text_, "<KestrelServer_Config><General>"));
  EXPECT_EQ(FileText(kConfigNative), server_text_);
  EXPECT_TRUE(platform::Exists(kReceived));
  EXPECT_TRUE(BackupNames().empty());
  EXPECT_TRUE(log_.Records().empty());
}

TEST_F(ConfigUpdateTest, UnreadableServerFileChangesNothingAndKeepsTheStore) {
  ASSERT_TRUE(WriteFileText(kConfigNative, server_text_));
  ASSERT_TRUE(store_.Load(".\\Config\\KestrelServer.xml"));
  const std::string broken = "<KestrelServer_Config>";
  ASSERT_TRUE(WriteFileText(kConfigNative, broken));
  ASSERT_TRUE(WriteFileText(kReceivedNative, received_text_));
  EXPECT_FALSE(UpdateConfiguration(kReceived, store_, clock_, log_.channel()));
  EXPECT_EQ(FileText(kConfigNative), broken);
  EXPECT_TRUE(platform::Exists(kReceived));
  EXPECT_TRUE(BackupNames().empty());
  EXPECT_TRUE(log_.Records().empty());
  EXPECT_TRUE(store_.IsLoaded());
  EXPECT_EQ(store_.GetString(XmlPath{"KestrelServer_Config", "General"}, "GlobalKey"),
            "serverOwnKey2026");
}

TEST_F(ConfigUpdateTest, BackupStampFollowsTheClock) {
  clock_.SetLocal(At(2027, 1, 2, 23, 4, 5));
  EXPECT_EQ(BackupFilePath(clock_, "_x.xml"), ".\\Backup\\02_01_27 23_04_05_x.xml");
}

class ClassifyTest : public ConfigUpdateTest {
 protected:
  RemoteDocumentKinds Classify(const std::string& text) {
    EXPECT_TRUE(WriteFileText(kReceivedNative, text));
    return ClassifyRemoteDocument(kReceived);
  }
};

TEST_F(ClassifyTest, ConfigurationIsRecognisedByItsGlobalKey) {
  RemoteDocumentKinds kinds = Classify(received_text_);
  EXPECT_TRUE(kinds.server_configuration);
  EXPECT_FALSE(kinds.user_rights);
  EXPECT_TRUE(platform::Exists(kReceived));  // looking does not consume the file
}

TEST_F(ClassifyTest, ConfigurationWithEmptyGlobalKeyIsNotOne) {
  RemoteDocumentKinds kinds = Classify(
      ReplaceFirst(received_text_, "<GlobalKey>uploadedKeyXYZ99</GlobalKey>", "<GlobalKey/>"));
  EXPECT_FALSE(kinds.server_configuration);
  EXPECT_FALSE(kinds.user_rights);
}

TEST_F(ClassifyTest, UserRightsDocumentIsRecognisedByItsProjectName) {
  RemoteDocumentKinds kinds = Classify(RemoteFixture("user_rights.xml"));
  EXPECT_FALSE(kinds.server_configuration);
  EXPECT_TRUE(kinds.user_rights);
}

TEST_F(ClassifyTest, DocumentCanBeBoth) {
  // The store reads a file with a second top-level element, so one upload
  // can be a configuration and a rights document at once.
  RemoteDocumentKinds kinds =
      Classify(received_text_ + "<UserRights><Projectname>Alpha</Projectname></UserRights>\n");
  EXPECT_TRUE(kinds.server_configuration);
  EXPECT_TRUE(kinds.user_rights);
}

TEST_F(ClassifyTest, UnreadableDocumentIsNeither) {
  RemoteDocumentKinds kinds = Classify("<UserRights><Projectname>Alpha</Projectname>");
  EXPECT_FALSE(kinds.server_configuration);
  EXPECT_FALSE(kinds.user_rights);
  EXPECT_FALSE(ClassifyRemoteDocument(".\\Temp\\missing.xml").user_rights);
}

}  // namespace
}  // namespace kestrel
