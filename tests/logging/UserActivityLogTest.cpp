#include "logging/UserActivityLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "logging/LogChannel.h"
#include "logging/LogTestUtil.h"

namespace kestrel {
namespace {

using test::MakeTime;
using test::ReadBytes;

using UserActivityLogTest = test::InLogFolder;

TEST_F(UserActivityLogTest, LineAfterMidnightOfFirstMarchLandsInMonth03File) {
  platform::TestClock clock(MakeTime(2026, 3, 1, 0, 0, 1));
  ASSERT_TRUE(WriteUserActivity(
      clock, "User anna logged in on project Alpha from IP 10.0.0.7 at Port 50312"));
  EXPECT_EQ(ReadBytes("logs/Server UserLog 2026_03.log"),
            "01.03.26 00:00:01: User anna logged in on project Alpha from IP 10.0.0.7 at Port "
            "50312\r\n");
}

TEST_F(UserActivityLogTest, MonthChangeStartsANewFile) {
  platform::TestClock clock(MakeTime(2026, 1, 31, 23, 59, 59));
  ASSERT_TRUE(WriteUserActivity(clock, "File Docs\\a.txt deleted from project Alpha"));
  clock.Advance(std::chrono::seconds(2));
  ASSERT_TRUE(WriteUserActivity(clock, "Project Alpha: user anna updated file Docs\\b.txt"));
  EXPECT_EQ(ReadBytes("logs/Server UserLog 2026_01.log"),
            "31.01.26 23:59:59: File Docs\\a.txt deleted from project Alpha\r\n");
  EXPECT_EQ(ReadBytes("logs/Server UserLog 2026_02.log"),
            "01.02.26 00:00:01: Project Alpha: user anna updated file Docs\\b.txt\r\n");
}

TEST_F(UserActivityLogTest, LinesAreAppendedNeverTruncated) {
  platform::TestClock clock(MakeTime(2026, 5, 4, 12, 0, 0));
  ASSERT_TRUE(WriteUserActivity(clock, "one"));
  ASSERT_TRUE(WriteUserActivity(clock, "two \xE9"));
  EXPECT_EQ(ReadBytes("logs/Server UserLog 2026_05.log"),
            "04.05.26 12:00:00: one\r\n04.05.26 12:00:00: two \xE9\r\n");
}

TEST_F(UserActivityLogTest, MissingLogsFolderLosesTheLineQuietly) {
  ASSERT_EQ(platform::RemoveFolder(".\\logs"), 0);
  platform::TestClock clock(MakeTime(2026, 5, 4, 12, 0, 0));
  EXPECT_FALSE(WriteUserActivity(clock, "lost"));
  EXPECT_FALSE(platform::Exists(".\\logs"));
}

TEST_F(UserActivityLogTest, ConcurrentWritersLoseNoLineAndNeverInterleave) {
  platform::TestClock clock(MakeTime(2026, 6, 15, 8, 30, 0));
  constexpr int kThreads = 8;
  constexpr int kEach = 400;
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      // Lines of different lengths make torn writes visible.
      const std::string pad(static_cast<size_t>(t * 37), 'p');
      for (int i = 0; i < kEach; ++i) {
        if (!WriteUserActivity(clock, StringPrintf("writer %d line %d %s", t, i, pad.c_str()))) {
          ++failures;
        }
      }
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(failures.load(), 0);

  std::vector<std::string> lines = test::SplitCrLf(ReadBytes("logs/Server UserLog 2026_06.log"));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t) {
    const std::string pad(static_cast<size_t>(t * 37), 'p');
    for (int i = 0; i < kEach; ++i) {
      expected.insert(StringPrintf("15.06.26 08:30:00: writer %d line %d %s", t, i, pad.c_str()));
    }
  }
  std::set<std::string> got(lines.begin(), lines.end());
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace kestrel
