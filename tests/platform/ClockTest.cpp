#include "platform/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kestrel::platform {
namespace {

LocalTime At(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  LocalTime t;
  t.year = y;
  t.month = mo;
  t.day = d;
  t.hour = h;
  t.minute = mi;
  t.second = s;
  return t;
}

TEST(FileTimeTest, UnixEpochAndBackConversions) {
  EXPECT_EQ(FileTimeFromUnix(0, 0), kFileTimeUnixEpoch);
  EXPECT_EQ(FileTimeFromUnix(1, 500), kFileTimeUnixEpoch + 10'000'005);
  std::int64_t s = 0, ns = 0;
  UnixFromFileTime(kFileTimeUnixEpoch + 10'000'005, s, ns);
  EXPECT_EQ(s, 1);
  EXPECT_EQ(ns, 500);
  UnixFromFileTime(0, s, ns);  // 1601 lies before 1970
  EXPECT_EQ(s, -11'644'473'600);
  EXPECT_EQ(ns, 0);
  UnixFromFileTime(kFileTimeUnixEpoch - 1, s, ns);
  EXPECT_EQ(s, -1);
  EXPECT_EQ(ns, 999'999'900);
  EXPECT_EQ(FileTimeFromUnix(-20'000'000'000, 0), 0u);  // before 1601 clamps to zero
}

TEST(FormatLocalTimeTest, FormatsTheServerStamps) {
  LocalTime t = At(2024, 3, 7, 9, 5, 2);
  EXPECT_EQ(FormatLocalTime(t, "%d.%m.%y %H:%M:%S"), "07.03.24 09:05:02");
  EXPECT_EQ(FormatLocalTime(t, "%d_%m_%y %H_%M_%S"), "07_03_24 09_05_02");
  EXPECT_EQ(FormatLocalTime(t, "%Y"), "2024");
  EXPECT_EQ(FormatLocalTime(t, "%j"), "067");
}

TEST(TestClockTest, StartsAtTheGivenTimeReadAsUtc) {
  TestClock clock(At(2024, 2, 29, 23, 59, 58));
  LocalTime t = clock.Local();
  EXPECT_EQ(t.year, 2024);
  EXPECT_EQ(t.month, 2);
  EXPECT_EQ(t.day, 29);
  EXPECT_EQ(t.hour, 23);
  EXPECT_EQ(t.second, 58);
  EXPECT_EQ(t.weekday, 4);  // a Thursday
  // 2024-02-29T23:59:58Z is Unix 1709251198.
  EXPECT_EQ(clock.Now(), FileTimeFromUnix(1'709'251'198, 0));
  EXPECT_FALSE(clock.IsReal());
}

TEST(TestClockTest, ZoneShiftsLocalTimeAndFromLocalResolvesTheChanges) {
  // UTC+1, then UTC+2 from 2026-03-29 01:00 UTC (02:00 local becomes 03:00).
  const FileTime change = FileTimeFromUnix(1'774'746'000, 0);
  TestClock clock(At(2026, 3, 29, 0, 30));  // UTC
  clock.SetZone(3600, {{change, 7200}});
  EXPECT_EQ(clock.Local().hour, 1);
  clock.Advance(std::chrono::hours(1));
  EXPECT_EQ(clock.Local().hour, 3);
  EXPECT_EQ(clock.FromLocal(At(2026, 3, 29, 0, 0)), FileTimeFromUnix(1'774'738'800, 0));
  EXPECT_EQ(clock.FromLocal(At(2026, 3, 29, 3, 0)), change);
  // 02:30 is never shown: taken with the offset before the change.
  EXPECT_EQ(clock.FromLocal(At(2026, 3, 29, 2, 30)), change + 1800ULL * 10'000'000ULL);
  // Back to UTC+1 at 04:00 UTC: 05:30 local is shown twice, the earlier counts.
  clock.SetZone(3600, {{change, 7200}, {FileTimeFromUnix(1'774'756'800, 0), 3600}});
  EXPECT_EQ(clock.FromLocal(At(2026, 3, 29, 5, 30)), FileTimeFromUnix(1'774'755'000, 0));
}

TEST(SystemClockTest, FromLocalIsTheInverseOfLocal) {
  const SystemClock& clock = SystemClock::Instance();
  const FileTime before = clock.Now();
  const FileTime round_trip = clock.FromLocal(clock.Local());
  const FileTime after = clock.Now();
  EXPECT_GE(round_trip + 10'000'000ULL, before);  // Local() drops the fraction
  EXPECT_LE(round_trip, after);
}

TEST(TestClockTest, AdvanceMovesWallAndSteadyTimeAcrossTheDayAndMonth) {
  TestClock clock(At(2024, 2, 29, 23, 59, 58));
  const auto steady0 = clock.Steady();
  const FileTime now0 = clock.Now();
  clock.Advance(std::chrono::milliseconds(2500));
  EXPECT_EQ(clock.Steady() - steady0, std::chrono::milliseconds(2500));
  EXPECT_EQ(clock.Now() - now0, 25'000'000u);
  LocalTime t = clock.Local();
  EXPECT_EQ(t.month, 3);
  EXPECT_EQ(t.day, 1);
  EXPECT_EQ(t.hour, 0);
  EXPECT_EQ(t.second, 0);
  EXPECT_EQ(t.weekday, 5);
}

TEST(TestClockTest, SetLocalJumpsWallTimeWithoutMovingSteadyBackwards) {
  TestClock clock(At(2024, 1, 1));
  const auto steady0 = clock.Steady();
  clock.SetLocal(At(2024, 1, 3));
  EXPECT_EQ(clock.Steady() - steady0, std::chrono::hours(48));
  EXPECT_EQ(clock.Local().day, 3);
  clock.SetLocal(At(2023, 12, 31));
  EXPECT_EQ(clock.Local().year, 2023);
  EXPECT_EQ(clock.Steady() - steady0, std::chrono::hours(48));
}

TEST(TestClockTest, ListenersHearEveryAdvanceUntilUnsubscribed) {
  TestClock clock(At(2024, 1, 1));
  int calls = 0;
  int token = clock.Subscribe([&] { ++calls; });
  clock.Advance(std::chrono::seconds(1));
  clock.SetLocal(At(2024, 1, 2));
  EXPECT_EQ(calls, 2);
  clock.Unsubscribe(token);
  clock.Advance(std::chrono::seconds(1));
  EXPECT_EQ(calls, 2);
}

TEST(TestClockTest, UnsubscribeWaitsForARunningListener) {
  TestClock clock(At(2024, 1, 1));
  std::atomic<bool> inside{false};
  std::atomic<bool> finished{false};
  int token = clock.Subscribe([&] {
    inside = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    finished = true;
  });
  std::thread advancer([&] { clock.Advance(std::chrono::seconds(1)); });
  while (!inside) std::this_thread::yield();
  clock.Unsubscribe(token);
  EXPECT_TRUE(finished);  // the listener's owner may go away now
  advancer.join();
}

TEST(SystemClockTest, AgreesWithItselfAndIsReal) {
  SystemClock& clock = SystemClock::Instance();
  EXPECT_TRUE(clock.IsReal());
  LocalTime t = clock.Local();
  EXPECT_GE(t.year, 2020);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  std::int64_t s = 0, ns = 0;
  UnixFromFileTime(clock.Now(), s, ns);
  EXPECT_NEAR(static_cast<double>(s), static_cast<double>(std::time(nullptr)), 2.0);
  auto a = clock.Steady();
  EXPECT_LE(a, clock.Steady());
}

}  // namespace
}  // namespace kestrel::platform
