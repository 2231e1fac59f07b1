#include "logging/LoggingThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "logging/LogChannel.h"
#include "logging/LogRecord.h"
#include "logging/LogTestUtil.h"
#include "platform/Event.h"
#include "platform/MessageLoop.h"
#include "support/WindowMessages.h"

namespace kestrel {
namespace {

using test::MakeTime;
using test::ReadBytes;

class LoggingThreadTest : public test::InLogFolder {
 protected:
  // Runs a main loop until the logging window reports WM_LOG_READY. A loop
  // runs once, so each start of the logging thread needs its own main loop.
  void WaitReady(platform::MessageLoop& main_loop) {
    int ready = 0;
    main_loop.SetHandler([&](platform::Message& m) -> std::intptr_t {
      if (m.id == WM_LOG_READY) {
        ++ready;
        main_loop.Quit();
      }
      return 0;
    });
    main_loop.Run();
    ASSERT_EQ(ready, 1);
  }
  void WaitReady() { WaitReady(main_loop_); }

  platform::TestClock clock_{MakeTime(2026, 12, 8, 3, 18, 3)};
  platform::MessageLoop main_loop_{clock_};
  LogChannel channel_;
  LoggingThread logging_;
};

TEST_F(LoggingThreadTest, StartAttachesChannelAndReportsReady) {
  EXPECT_FALSE(channel_.HasWindow());
  ASSERT_TRUE(logging_.Start(main_loop_, kLogWarning, channel_, clock_));
  WaitReady();
  EXPECT_TRUE(channel_.HasWindow());
  EXPECT_TRUE(logging_.running());
  ASSERT_NE(logging_.window(), nullptr);
  EXPECT_EQ(logging_.window()->display_level(), kLogWarning);
  EXPECT_FALSE(logging_.window()->visible());
  logging_.Close();
  EXPECT_FALSE(channel_.HasWindow());
  EXPECT_FALSE(logging_.running());
  EXPECT_EQ(logging_.window(), nullptr);
}

TEST_F(LoggingThreadTest, SecondStartWhileRunningIsRefused) {
  ASSERT_TRUE(logging_.Start(main_loop_, kLogInfo, channel_, clock_));
  EXPECT_FALSE(logging_.Start(main_loop_, kLogInfo, channel_, clock_));
  WaitReady();
  logging_.Close();
}

TEST_F(LoggingThreadTest, CloseWithoutStartDoesNothing) {
  logging_.Close();
  EXPECT_FALSE(logging_.Show());
  EXPECT_EQ(logging_.window(), nullptr);
}

TEST_F(LoggingThreadTest, RecordsFromSeveralThreadsReachTheLogbookInPerSenderOrder) {
  ASSERT_TRUE(logging_.Start(main_loop_, kLogError, channel_, clock_));
  WaitReady();
  constexpr int kSenders = 4;
  constexpr int kEach = 200;
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([this, s] {
      for (int i = 0; i < kEach; ++i) channel_.Logf(kLogWarning, "sender %d record %d", s, i);
    });
  }
  for (auto& t : senders) t.join();
  logging_.Close();
  std::vector<std::string> lines = test::SplitCrLf(ReadBytes("logs/Server Logbook 2026_12.log"));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kSenders * kEach));
  int next[kSenders] = {};
  for (const std::string& line : lines) {
    int s = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "08.12.26 03:18:03 - Warning: sender %d record %d", &s, &i),
              2)
        << line;
    ASSERT_GE(s, 0);
    ASSERT_LT(s, kSenders);
    EXPECT_EQ(i, next[s]++);
  }
}

// The stop sequence logs its last Warning and then sends WM_LOG_CLOSE at once;
// that Warning must still reach the logbook.
TEST_F(LoggingThreadTest, RecordPostedRightBeforeCloseIsWrittenBeforeTheWindowEnds) {
  platform::Event gate(platform::Event::Mode::kManualReset);
  std::atomic<bool> blocked{false};
  ASSERT_TRUE(
      logging_.Start(main_loop_, kLogInfo, channel_, clock_, [&](const std::string& line, int) {
        if (line.find("hold") != std::string::npos) {
          blocked = true;
          platform::WaitForAny({&gate}, std::chrono::seconds(10));
        }
      }));
  WaitReady();
  auto window = logging_.window();
  ASSERT_NE(window, nullptr);
  channel_.Log(kLogInfo, "hold");  // keeps the logging thread busy
  while (!blocked) std::this_thread::yield();
  channel_.Log(kLogWarning, "Server application terminated");  // queued
  std::thread closer([this] { logging_.Close(); });
  // Give the closer time to queue its WM_LOG_CLOSE behind the Warning.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  gate.Set();
  closer.join();
  EXPECT_EQ(ReadBytes("logs/Server Logbook 2026_12.log"),
            "08.12.26 03:18:03 - Warning: Server application terminated\r\n");
  EXPECT_EQ(window->Lines().size(), 2u);
  EXPECT_FALSE(channel_.HasWindow());
}

TEST_F(LoggingThreadTest, ShowMakesTheWindowVisible) {
  ASSERT_TRUE(logging_.Start(main_loop_, kLogInfo, channel_, clock_));
  WaitReady();
  auto window = logging_.window();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(logging_.Show());
  platform::Message clear;
  clear.id = WM_COMMAND;
  clear.wparam = CLoggingDialog::kIdRadioError;
  EXPECT_TRUE(logging_.Post(std::move(clear)));
  logging_.Close();  // handled after the posts above
  EXPECT_TRUE(window->visible());
  EXPECT_EQ(window->display_level(), kLogError);
}

TEST_F(LoggingThreadTest, ObserverRunsOnTheLoggingThreadForShownLines) {
  std::atomic<int> shown{0};
  std::thread::id observer_thread;
  ASSERT_TRUE(
      logging_.Start(main_loop_, kLogWarning, channel_, clock_, [&](const std::string&, int) {
        observer_thread = std::this_thread::get_id();
        ++shown;
      }));
  WaitReady();
  channel_.Log(kLogInfo, "not shown");
  channel_.Log(kLogWarning, "shown");
  logging_.Close();
  EXPECT_EQ(shown.load(), 1);
  EXPECT_NE(observer_thread, std::this_thread::get_id());
}

TEST_F(LoggingThreadTest, RestartBringsUpANewWindow) {
  ASSERT_TRUE(logging_.Start(main_loop_, kLogInfo, channel_, clock_));
  WaitReady();
  auto first = logging_.window();
  channel_.Log(kLogError, "first run");
  logging_.Close();
  EXPECT_FALSE(channel_.HasWindow());
  channel_.Log(kLogError, "between runs");  // no window: dropped, no record built

  platform::MessageLoop restarted_main_loop(clock_);
  ASSERT_TRUE(logging_.Start(restarted_main_loop, kLogInfo, channel_, clock_));
  WaitReady(restarted_main_loop);
  auto second = logging_.window();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  channel_.Log(kLogError, "second run");
  logging_.Close();
  EXPECT_EQ(ReadBytes("logs/Server Logbook 2026_12.log"),
            "08.12.26 03:18:03 - Error: first run\r\n08.12.26 03:18:03 - Error: second run\r\n");
  EXPECT_EQ(second->Lines().size(), 1u);
}

TEST_F(LoggingThreadTest, DestructorClosesARunningThread) {
  {
    LoggingThread scoped;
    ASSERT_TRUE(scoped.Start(main_loop_, kLogInfo, channel_, clock_));
    WaitReady();
    channel_.Log(kLogWarning, "from scoped");
  }
  EXPECT_FALSE(channel_.HasWindow());
  EXPECT_EQ(ReadBytes("logs/Server Logbook 2026_12.log"),
            "08.12.26 03:18:03 - Warning: from scoped\r\n");
}

}  // namespace
}  // namespace kestrel
