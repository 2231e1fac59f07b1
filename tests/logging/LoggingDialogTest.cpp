#include "logging/LoggingDialog.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "logging/LogFiles.h"
#include "logging/LogRecord.h"
#include "logging/LogTestUtil.h"
#include "platform/MessageLoop.h"
#include "support/WindowMessages.h"

namespace kestrel {
namespace {

using test::MakeTime;
using test::ReadBytes;

class LoggingDialogTest : public test::InLogFolder {
 protected:
  void Log(int level, std::string text) {
    dialog_.OnLogRecord(std::make_unique<LogRecord>(std::move(text), level));
  }
  // Delivers a message as the logging loop would.
  std::intptr_t Deliver(platform::Message m) { return dialog_.HandleMessage(logging_loop_, m); }

  platform::TestClock clock_{MakeTime(2026, 12, 8, 3, 18, 3)};
  platform::MessageLoop main_loop_{clock_};
  platform::MessageLoop logging_loop_{clock_};
  std::vector<std::pair<std::string, int>> observed_;
  CLoggingDialog dialog_{&main_loop_, kLogInfo, clock_, [this](const std::string& line, int level) {
                           observed_.emplace_back(line, level);
                         }};
};

TEST_F(LoggingDialogTest, WarningLineBytesInLogbookAreExact) {
  Log(kLogWarning, "Server application terminated");
  EXPECT_EQ(ReadBytes("logs/Server Logbook 2026_12.log"),
            "08.12.26 03:18:03 - Warning: Server application terminated\r\n");
}

TEST_F(LoggingDialogTest, LatinOneTextIsWrittenOneBytePerCharacter) {
  Log(kLogError, "Datei \xE4nderung \xFF");
  EXPECT_EQ(ReadBytes("logs/Server Logbook 2026_12.log"),
            "08.12.26 03:18:03 - Error: Datei \xE4nderung \xFF\r\n");
}

TEST_F(LoggingDialogTest, LinesAreAppendedToAnExistingLogbook) {
  Log(kLogError, "first");
  clock_.Advance(std::chrono::seconds(61));
  Log(kLogWarning, "second");
  EXPECT_EQ(ReadBytes("logs/Server Logbook 2026_12.log"),
            "08.12.26 03:18:03 - Error: first\r\n08.12.26 03:19:04 - Warning: second\r\n");
}

TEST(LoggingDialogMonth, WarningJustBeforeMidnightStaysInOldMonthFile) {
  test::TempDir dir;
  test::ScopedCwd cwd(dir.path());
  ASSERT_TRUE(cwd.ok());
  ASSERT_EQ(platform::CreateFolder(".\\logs"), 0);
  platform::TestClock clock(MakeTime(2027, 1, 31, 23, 59, 59));
  CLoggingDialog dialog(nullptr, kLogInfo, clock);
  dialog.OnLogRecord(std::make_unique<LogRecord>("before midnight", kLogWarning));
  clock.Advance(std::chrono::seconds(1));
  dialog.OnLogRecord(std::make_unique<LogRecord>("after midnight", kLogWarning));
  EXPECT_EQ(ReadBytes("logs/Server Logbook 2027_01.log"),
            "31.01.27 23:59:59 - Warning: before midnight\r\n");
  EXPECT_EQ(ReadBytes("logs/Server Logbook 2027_02.log"),
            "01.02.27 00:00:00 - Warning: after midnight\r\n");
}

TEST_F(LoggingDialogTest, InfoNeverReachesTheLogbook) {
  Log(kLogInfo, "Client accepted Thread 3, Port 50000");
  EXPECT_FALSE(platform::Exists(".\\logs\\Server Logbook 2026_12.log"));
  ASSERT_EQ(dialog_.Lines().size(), 1u);
  EXPECT_EQ(dialog_.Lines()[0], "08.12.26 03:18:03 - Info: Client accepted Thread 3, Port 50000");
}

TEST_F(LoggingDialogTest, DisplayLevelErrorHidesWarningsButStillWritesThem) {
  dialog_.SetDisplayLevel(kLogError);
  Log(kLogInfo, "info");
  Log(kLogWarning, "warning");
  Log(kLogError, "error");
  EXPECT_EQ(dialog_.Lines(), std::vector<std::string>{"08.12.26 03:18:03 - Error: error"});
  EXPECT_EQ(ReadBytes("logs/Server Logbook 2026_12.log"),
            "08.12.26 03:18:03 - Warning: warning\r\n08.12.26 03:18:03 - Error: error\r\n");
  ASSERT_EQ(observed_.size(), 1u);
  EXPECT_EQ(observed_[0].second, kLogError);
}

TEST_F(LoggingDialogTest, LevelOutOfRangeHasEmptyNameAndNeverReachesFile) {
  dialog_.SetDisplayLevel(5);
  Log(3, "odd");
  Log(-1, "negative");
  EXPECT_EQ(dialog_.Lines(), (std::vector<std::string>{"08.12.26 03:18:03 - : odd",
                                                       "08.12.26 03:18:03 - : negative"}));
  EXPECT_FALSE(platform::Exists(".\\logs\\Server Logbook 2026_12.log"));
}

TEST_F(LoggingDialogTest, The501stShownLineDropsTheOldest) {
  for (int i = 1; i <= 501; ++i) Log(kLogInfo, "line " + std::to_string(i));
  std::vector<std::string> lines = dialog_.Lines();
  ASSERT_EQ(lines.size(), CLoggingDialog::kMaxLines);
  EXPECT_EQ(lines.front(), "08.12.26 03:18:03 - Info: line 2");
  EXPECT_EQ(lines.back(), "08.12.26 03:18:03 - Info: line 501");
  std::string text = dialog_.Text();
  EXPECT_EQ(text.size(), dialog_.TextLength());
  EXPECT_EQ(text.rfind("08.12.26 03:18:03 - Info: line 2\r\n", 0), 0u);
}

TEST_F(LoggingDialogTest, OldestLineLongerThan500CharactersLeavesTheViewWhole) {
  Log(kLogInfo, std::string(700, 'x'));
  for (int i = 2; i <= 501; ++i) Log(kLogInfo, "line " + std::to_string(i));
  std::vector<std::string> lines = dialog_.Lines();
  ASSERT_EQ(lines.size(), CLoggingDialog::kMaxLines);
  EXPECT_EQ(lines.front(), "08.12.26 03:18:03 - Info: line 2");
  EXPECT_EQ(dialog_.Text().find('x'), std::string::npos);
}

TEST_F(LoggingDialogTest, TextLimitDropsWholeOldLinesInsteadOfCuttingNewOnes) {
  const std::string big(990, 'b');
  for (int i = 0; i < 100; ++i) Log(kLogInfo, std::to_string(i % 10) + big);
  EXPECT_LE(dialog_.TextLength(), CLoggingDialog::kTextLimit);
  std::vector<std::string> lines = dialog_.Lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_LT(lines.size(), 100u);
  const std::string expected_line = "08.12.26 03:18:03 - Info: 9" + big;
  EXPECT_EQ(lines.back(), expected_line);
  for (const std::string& line : lines) EXPECT_EQ(line.size(), expected_line.size());
  std::string text = dialog_.Text();
  EXPECT_EQ(text.size(), dialog_.TextLength());
  EXPECT_EQ(text.size(), lines.size() * (expected_line.size() + 2));
}

TEST_F(LoggingDialogTest, LineLongerThanTheWholeViewIsCutToFit) {
  Log(kLogInfo, "short");
  Log(kLogInfo, std::string(70000, 'z'));
  EXPECT_EQ(dialog_.TextLength(), CLoggingDialog::kTextLimit);
  ASSERT_EQ(dialog_.Lines().size(), 1u);
}

TEST_F(LoggingDialogTest, ClearEmptiesTheViewAndNextLineStartsAtTop) {
  Log(kLogInfo, "one");
  Log(kLogInfo, "two");
  EXPECT_TRUE(dialog_.OnCommand(CLoggingDialog::kIdClear));
  EXPECT_EQ(dialog_.Text(), "");
  EXPECT_EQ(dialog_.TextLength(), 0u);
  Log(kLogInfo, "three");
  EXPECT_EQ(dialog_.Text(), "08.12.26 03:18:03 - Info: three\r\n");
}

TEST_F(LoggingDialogTest, WindowStartsHiddenAndShowHideToggleIt) {
  dialog_.Init();
  EXPECT_FALSE(dialog_.visible());
  EXPECT_EQ(Deliver([] {
              platform::Message m;
              m.id = WM_LOG_SHOW;
              return m;
            }()),
            1);
  EXPECT_TRUE(dialog_.visible());
  platform::Message close_box;
  close_box.id = WM_CLOSE;
  Deliver(std::move(close_box));
  EXPECT_FALSE(dialog_.visible());
  dialog_.Show();
  platform::Message hide;
  hide.id = WM_COMMAND;
  hide.wparam = CLoggingDialog::kIdHide;
  Deliver(std::move(hide));
  EXPECT_FALSE(dialog_.visible());
}

TEST_F(LoggingDialogTest, HiddenWindowKeepsLoggingAndShowsAllLinesLater) {
  dialog_.Hide();
  Log(kLogInfo, "while hidden 1");
  Log(kLogInfo, "while hidden 2");
  dialog_.Show();
  CLoggingDialog::Snapshot s = dialog_.GetSnapshot();
  EXPECT_TRUE(s.visible);
  EXPECT_EQ(s.lines.size(), 2u);
  EXPECT_EQ(s.display_level, kLogInfo);
}

TEST_F(LoggingDialogTest, RadioCommandsSetTheDisplayLevel) {
  const std::pair<int, int> cases[] = {{CLoggingDialog::kIdRadioError, 0},
                                       {CLoggingDialog::kIdRadioWarning, 1},
                                       {CLoggingDialog::kIdRadioInfo, 2}};
  for (auto [id, level] : cases) {
    platform::Message m;
    m.id = WM_COMMAND;
    m.wparam = id;
    EXPECT_EQ(Deliver(std::move(m)), 1);
    EXPECT_EQ(dialog_.display_level(), level);
  }
  EXPECT_FALSE(dialog_.OnCommand(4711));
}

TEST_F(LoggingDialogTest, RecordMessageIsHandledAndRecordTaken) {
  platform::Message m;
  m.id = WM_LOG_RECORD;
  m.record = std::make_unique<LogRecord>("via message", kLogWarning);
  EXPECT_EQ(Deliver(std::move(m)), 1);
  EXPECT_EQ(dialog_.Lines().size(), 1u);
  platform::Message empty;
  empty.id = WM_LOG_RECORD;  // no record: nothing happens
  Deliver(std::move(empty));
  EXPECT_EQ(dialog_.Lines().size(), 1u);
}

TEST_F(LoggingDialogTest, MissingLogsFolderLosesTheFileLineButStillShowsIt) {
  ASSERT_EQ(platform::RemoveFolder(".\\logs"), 0);
  Log(kLogError, "no folder");
  EXPECT_FALSE(platform::Exists(".\\logs"));
  EXPECT_EQ(dialog_.Lines().size(), 1u);
}

TEST_F(LoggingDialogTest, ObserverSeesEveryShownLineInOrder) {
  dialog_.SetDisplayLevel(kLogWarning);
  Log(kLogWarning, "a");
  Log(kLogInfo, "hidden");
  Log(kLogError, "b");
  ASSERT_EQ(observed_.size(), 2u);
  EXPECT_EQ(observed_[0].first, "08.12.26 03:18:03 - Warning: a");
  EXPECT_EQ(observed_[1].first, "08.12.26 03:18:03 - Error: b");
}

TEST_F(LoggingDialogTest, InitPostsReadyToTheMainWindow) {
  dialog_.Init();
  bool ready = false;
  main_loop_.SetHandler([&](platform::Message& m) -> std::intptr_t {
    if (m.id == WM_LOG_READY) {
      ready = true;
      main_loop_.Quit();
    }
    return 0;
  });
  main_loop_.Run();
  EXPECT_TRUE(ready);
}

TEST_F(LoggingDialogTest, CloseMessageEndsTheLoggingLoop) {
  platform::Message m;
  m.id = WM_LOG_CLOSE;
  EXPECT_EQ(Deliver(std::move(m)), 1);
  EXPECT_EQ(logging_loop_.Run(), 1);
}

TEST(LogFiles, NamesAndFormats) {
  platform::LocalTime t = MakeTime(2026, 3, 1, 0, 0, 1);
  EXPECT_EQ(LogbookFileName(t), ".\\logs\\Server Logbook 2026_03.log");
  EXPECT_EQ(UserLogFileName(t), "logs\\Server UserLog 2026_03.log");
  EXPECT_EQ(FormatLogbookLine(t, kLogInfo, "x"), "01.03.26 00:00:01 - Info: x");
  EXPECT_EQ(FormatUserLogLine(t, "y"), "01.03.26 00:00:01: y");
}

}  // namespace
}  // namespace kestrel
