#include "platform/Event.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kestrel::platform {
namespace {

using std::chrono::milliseconds;
using Steady = std::chrono::steady_clock;

TEST(EventTest, AutoResetIsConsumedByOneSuccessfulCheck) {
  Event e(Event::Mode::kAutoReset);
  EXPECT_FALSE(e.TryConsume());
  e.Set();
  e.Set();  // setting twice is still one signal
  EXPECT_TRUE(e.IsSet());
  EXPECT_TRUE(e.TryConsume());
  EXPECT_FALSE(e.TryConsume());
  EXPECT_FALSE(e.IsSet());
}

TEST(EventTest, ManualResetStaysSetUntilReset) {
  Event e(Event::Mode::kManualReset, true);
  EXPECT_TRUE(e.TryConsume());
  EXPECT_TRUE(e.TryConsume());
  EXPECT_EQ(WaitForAny({&e}, milliseconds(0)), 0);
  EXPECT_TRUE(e.IsSet());
  e.Reset();
  EXPECT_FALSE(e.IsSet());
  e.Reset();  // resetting a clear event is harmless
  EXPECT_FALSE(e.IsSet());
}

TEST(WaitForAnyTest, ReturnsTheFirstSignalledInListOrderAndConsumesOnlyThatOne) {
  Event a(Event::Mode::kAutoReset), b(Event::Mode::kAutoReset), c(Event::Mode::kAutoReset);
  c.Set();
  b.Set();
  EXPECT_EQ(WaitForAny({&a, &b, &c}, milliseconds(0)), 1);
  EXPECT_TRUE(c.IsSet());  // not consumed
  EXPECT_FALSE(b.IsSet());
  EXPECT_EQ(WaitForAny({&a, &b, &c}, milliseconds(0)), 2);
  EXPECT_EQ(WaitForAny({&a, &b, &c}, milliseconds(0)), kWaitTimeout);
}

TEST(WaitForAnyTest, ManualEventEarlierInTheListWinsEveryTime) {
  Event stop(Event::Mode::kManualReset), work(Event::Mode::kAutoReset);
  stop.Set();
  work.Set();
  EXPECT_EQ(WaitForAny({&stop, &work}), 0);
  EXPECT_EQ(WaitForAny({&stop, &work}), 0);
  EXPECT_TRUE(work.IsSet());
}

TEST(WaitForAnyTest, TimesOutAfterRoughlyTheTimeout) {
  Event a(Event::Mode::kAutoReset);
  auto start = Steady::now();
  EXPECT_EQ(WaitForAny({&a}, milliseconds(80)), kWaitTimeout);
  auto took = Steady::now() - start;
  EXPECT_GE(took, milliseconds(80));
  EXPECT_LT(took, milliseconds(2000));
}

TEST(WaitForAnyTest, ZeroTimeoutPollsOnce) {
  Event a(Event::Mode::kAutoReset);
  EXPECT_EQ(WaitForAny({&a}, milliseconds(0)), kWaitTimeout);
  a.Set();
  EXPECT_EQ(WaitForAny({&a}, milliseconds(0)), 0);
}

TEST(WaitForAnyTest, WakesWhenAnotherThreadSets) {
  Event a(Event::Mode::kAutoReset), b(Event::Mode::kAutoReset);
  std::thread setter([&] {
    std::this_thread::sleep_for(milliseconds(30));
    b.Set();
  });
  EXPECT_EQ(WaitForAny({&a, &b}), 1);
  setter.join();
  EXPECT_FALSE(b.IsSet());
}

TEST(WaitForAnyTest, ReadableDescriptorWakesAndEventsWinOverIt) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  Event a(Event::Mode::kAutoReset);
  EXPECT_EQ(WaitForAny({&a}, milliseconds(0), pipe_fds[0]), kWaitTimeout);
  ASSERT_EQ(::write(pipe_fds[1], "x", 1), 1);
  EXPECT_EQ(WaitForAny({&a}, milliseconds(1000), pipe_fds[0]), kWaitReadable);
  a.Set();
  EXPECT_EQ(WaitForAny({&a}, milliseconds(1000), pipe_fds[0]), 0);
  EXPECT_EQ(WaitForAny({&a}, milliseconds(1000), pipe_fds[0]), kWaitReadable);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST(WaitForAnyTest, DescriptorReadableLaterWakesABlockedWait) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  Event a(Event::Mode::kAutoReset);
  std::thread writer([&] {
    std::this_thread::sleep_for(milliseconds(30));
    ASSERT_EQ(::write(pipe_fds[1], "x", 1), 1);
  });
  EXPECT_EQ(WaitForAny({&a}, std::nullopt, pipe_fds[0]), kWaitReadable);
  writer.join();
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
}

TEST(WaitForAnyTest, EachAutoResetSignalWakesExactlyOneWaiter) {
  Event work(Event::Mode::kAutoReset);
  Event stop(Event::Mode::kManualReset);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      for (;;) {
        int r = WaitForAny({&stop, &work});
        if (r == 0) return;
        ++woken;
      }
    });
  }
  for (int i = 0; i < 100; ++i) {
    work.Set();
    // Wait until it is taken, so that each Set is a separate signal.
    while (work.IsSet()) std::this_thread::yield();
  }
  auto deadline = Steady::now() + std::chrono::seconds(5);
  while (woken < 100 && Steady::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
  stop.Set();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 100);
}

TEST(WaitForAnyTest, DataWrittenBeforeSetIsSeenByTheWaiter) {
  Event ready(Event::Mode::kManualReset);
  int payload = 0;
  std::thread writer([&] {
    payload = 42;
    ready.Set();
  });
  ASSERT_EQ(WaitForAny({&ready}), 0);
  EXPECT_EQ(payload, 42);
  writer.join();
}

}  // namespace
}  // namespace kestrel::platform
