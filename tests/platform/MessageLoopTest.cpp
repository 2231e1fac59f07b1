#include "platform/MessageLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace kestrel::platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::uint32_t kQuit = 1;
constexpr std::uint32_t kWork = 2;
constexpr std::uint32_t kFlush = 3;

// A record that counts its own destruction.
struct Counted : MessageRecord {
  explicit Counted(std::atomic<int>* counter, int value = 0) : counter(counter), value(value) {}
  ~Counted() override { ++*counter; }
  std::atomic<int>* counter;  // borrowed from the test
  int value;
};

Message WithRecord(std::uint32_t id, std::atomic<int>* counter, int value = 0) {
  Message m;
  m.id = id;
  m.record = std::make_unique<Counted>(counter, value);
  return m;
}

LocalTime Start() {
  LocalTime t;
  t.year = 2024;
  t.month = 5;
  t.day = 1;
  return t;
}

// Runs a loop on its own thread for the duration of a test.
class LoopThread {
 public:
  explicit LoopThread(MessageLoop& loop) : loop_(loop), thread_([this] { code_ = loop_.Run(); }) {}
  ~LoopThread() { Stop(); }
  int Stop() {
    if (thread_.joinable()) {
      loop_.Quit(0);
      thread_.join();
    }
    return code_;
  }

 private:
  MessageLoop& loop_;
  int code_ = -1;
  std::thread thread_;
};

TEST(MessageLoopTest, PostedMessagesArriveInOrder) {
  MessageLoop loop(SystemClock::Instance());
  std::vector<std::intptr_t> seen;  // owner thread only until Run returns
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    if (m.id == kQuit) loop.Quit(5);
    if (m.id == kWork) seen.push_back(m.wparam);
    return 0;
  });
  std::thread poster([&] {
    for (int i = 0; i < 200; ++i) EXPECT_TRUE(loop.Post(kWork, i));
    EXPECT_TRUE(loop.Post(kQuit));
  });
  EXPECT_EQ(loop.Run(), 5);
  poster.join();
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_TRUE(loop.Ended());
}

TEST(MessageLoopTest, EveryRecordIsFreedExactlyOnce) {
  std::atomic<int> destroyed{0};
  int taken_values = 0;
  {
    MessageLoop loop(SystemClock::Instance());
    loop.SetHandler([&](Message& m) -> std::intptr_t {
      if (m.id == kQuit) loop.Quit();
      if (m.id == kWork && m.wparam % 2 == 0) {
        auto rec = m.Take<Counted>();  // the receiver frees what it takes
        if (rec) taken_values += rec->value;
      }
      return 0;
    });
    for (int i = 0; i < 10; ++i) {
      Message m = WithRecord(kWork, &destroyed, i);
      m.wparam = i;
      ASSERT_TRUE(loop.Post(std::move(m)));
    }
    ASSERT_TRUE(loop.Post(kQuit));
    // Still queued when the loop ends: freed without being handled.
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(loop.Post(WithRecord(kWork, &destroyed, 100)));
    loop.Run();
    EXPECT_EQ(destroyed, 15);
    EXPECT_EQ(taken_values, 0 + 2 + 4 + 6 + 8);
    // After the end: refused and freed at once.
    EXPECT_FALSE(loop.Post(WithRecord(kWork, &destroyed)));
    EXPECT_EQ(destroyed, 16);
    EXPECT_EQ(loop.Send(WithRecord(kWork, &destroyed)), 0);
    EXPECT_EQ(destroyed, 17);
  }
  EXPECT_EQ(destroyed, 17);
}

TEST(MessageLoopTest, LoopDestroyedWithoutRunningFreesItsQueue) {
  std::atomic<int> destroyed{0};
  {
    MessageLoop loop(SystemClock::Instance());
    for (int i = 0; i < 3; ++i) loop.Post(WithRecord(kWork, &destroyed));
  }
  EXPECT_EQ(destroyed, 3);
}

TEST(MessageLoopTest, SendFromAnotherThreadReturnsTheHandlersResultAfterHandling) {
  MessageLoop loop(SystemClock::Instance());
  std::thread::id handled_on;
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    handled_on = std::this_thread::get_id();
    return m.wparam * 2;
  });
  std::thread::id owner;
  std::thread runner([&] {
    owner = std::this_thread::get_id();
    loop.Run();
  });
  for (int i = 1; i <= 50; ++i) EXPECT_EQ(loop.Send(kWork, i), i * 2);
  loop.Quit();
  runner.join();
  EXPECT_EQ(handled_on, owner);
  EXPECT_NE(owner, std::this_thread::get_id());
}

TEST(MessageLoopTest, SendFromTheOwnerRunsTheHandlerDirectly) {
  MessageLoop loop(SystemClock::Instance());
  int depth = 0;
  int max_depth = 0;
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    ++depth;
    max_depth = std::max(max_depth, depth);
    std::intptr_t r = 0;
    if (m.id == kWork) {
      EXPECT_TRUE(loop.IsOwnerThread());
      r = loop.Send(kFlush, 20) + 1;  // would deadlock if it were queued
      loop.Quit(static_cast<int>(r));
    }
    if (m.id == kFlush) r = m.wparam;
    --depth;
    return r;
  });
  loop.Post(kWork);
  EXPECT_EQ(loop.Run(), 21);
  EXPECT_EQ(max_depth, 2);
  std::thread([&] { EXPECT_FALSE(loop.IsOwnerThread()); }).join();
}

TEST(MessageLoopTest, SendStillQueuedWhenTheLoopEndsReturnsZero) {
  std::atomic<int> destroyed{0};
  std::atomic<int> handled{0};
  MessageLoop loop(SystemClock::Instance());
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    if (m.id == kQuit) loop.Quit();
    if (m.id == kWork) ++handled;
    return 99;
  });
  loop.Post(kQuit);
  std::intptr_t result = -1;
  std::thread sender([&] { result = loop.Send(WithRecord(kWork, &destroyed)); });
  std::this_thread::sleep_for(milliseconds(50));  // let the Send queue up behind the quit
  loop.Run();
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(handled, 0);
  EXPECT_EQ(destroyed, 1);
}

TEST(MessageLoopTest, QuitFromAnotherThreadEndsTheLoopWithItsCode) {
  MessageLoop loop(SystemClock::Instance());
  std::thread quitter([&] {
    std::this_thread::sleep_for(milliseconds(20));
    loop.Quit(7);
  });
  EXPECT_EQ(loop.Run(), 7);
  quitter.join();
  EXPECT_EQ(loop.Run(), 7);  // an ended loop does not run again
}

TEST(MessageLoopTest, InvokeRunsOnTheOwnerThread) {
  MessageLoop loop(SystemClock::Instance());
  std::thread::id owner;
  std::thread runner([&] {
    owner = std::this_thread::get_id();
    loop.Run();
  });
  std::thread::id ran_on;
  loop.Invoke([&] { ran_on = std::this_thread::get_id(); });
  EXPECT_EQ(ran_on, owner);
  loop.Quit();
  runner.join();
}

TEST(MessageLoopTimerTest, ThreeAdvancedPeriodsGiveThreeTicks) {
  TestClock clock(Start());
  MessageLoop loop(clock);
  int ticks = 0;  // owner thread only
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    if (m.id == kWmTimer && m.wparam == 9) ++ticks;
    if (m.id == kFlush) return ticks;
    return 0;
  });
  loop.SetTimer(9, seconds(1));
  LoopThread runner(loop);
  EXPECT_EQ(loop.Send(kFlush), 0);
  clock.Advance(milliseconds(999));
  EXPECT_EQ(loop.Send(kFlush), 0);
  clock.Advance(milliseconds(1));
  EXPECT_EQ(loop.Send(kFlush), 1);
  clock.Advance(seconds(3));
  EXPECT_EQ(loop.Send(kFlush), 4);
}

TEST(MessageLoopTimerTest, SendAfterAdvanceSeesEveryTickDueByThen) {
  TestClock clock(Start());
  MessageLoop loop(clock);
  int ticks = 0;
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    if (m.id == kWmTimer) ++ticks;
    if (m.id == kFlush) return ticks;
    return 0;
  });
  loop.SetTimer(1, seconds(1));
  LoopThread runner(loop);
  for (int round = 1; round <= 50; ++round) {
    clock.Advance(seconds(2));
    ASSERT_EQ(loop.Send(kFlush), round * 2);
  }
}

TEST(MessageLoopTimerTest, MissedTicksComeOneByOneInTimeOrderWithMessages) {
  TestClock clock(Start());
  MessageLoop loop(clock);
  std::vector<std::uint32_t> order;  // owner thread only until flushed
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    order.push_back(m.id);
    return 0;
  });
  loop.SetTimer(4, seconds(1));
  // Nothing runs yet: everything below is ordered by the time it happened.
  loop.Post(kWork);           // queued at 0 s
  clock.Advance(seconds(3));  // ticks due at 1, 2 and 3 s
  loop.Post(kWork);           // queued at 3 s, after the ticks
  LoopThread runner(loop);
  loop.Send(kFlush);
  std::vector<std::uint32_t> expected{kWork, kWmTimer, kWmTimer, kWmTimer, kWork, kFlush};
  EXPECT_EQ(order, expected);
}

TEST(MessageLoopTimerTest, KillTimerStopsAndSetTimerRestarts) {
  TestClock clock(Start());
  MessageLoop loop(clock);
  int ticks = 0;
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    if (m.id == kWmTimer) ++ticks;
    if (m.id == kFlush) return ticks;
    return 0;
  });
  loop.SetTimer(1, seconds(1));
  LoopThread runner(loop);
  clock.Advance(seconds(1));
  EXPECT_EQ(loop.Send(kFlush), 1);
  loop.KillTimer(1);
  clock.Advance(seconds(5));
  EXPECT_EQ(loop.Send(kFlush), 1);
  loop.SetTimer(1, seconds(2));
  clock.Advance(seconds(1));
  EXPECT_EQ(loop.Send(kFlush), 1);
  clock.Advance(seconds(1));
  EXPECT_EQ(loop.Send(kFlush), 2);
  loop.SetTimer(1, seconds(2));  // restart: the next tick is 2 s from now
  clock.Advance(seconds(1));
  EXPECT_EQ(loop.Send(kFlush), 2);
}

TEST(MessageLoopTimerTest, TimersOfTheHandlerKillThemselves) {
  TestClock clock(Start());
  MessageLoop loop(clock);
  int ticks = 0;
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    if (m.id == kWmTimer) {
      ++ticks;
      loop.KillTimer(static_cast<std::uint32_t>(m.wparam));
    }
    if (m.id == kFlush) return ticks;
    return 0;
  });
  loop.SetTimer(1, seconds(1));
  LoopThread runner(loop);
  clock.Advance(seconds(10));
  EXPECT_EQ(loop.Send(kFlush), 1);  // the nine missed periods die with the timer
}

TEST(MessageLoopTimerTest, AdvanceAloneWakesAnIdleLoop) {
  TestClock clock(Start());
  MessageLoop loop(clock);
  std::atomic<int> ticks{0};
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    if (m.id == kWmTimer) ++ticks;
    return 0;
  });
  loop.SetTimer(1, seconds(1));
  LoopThread runner(loop);
  loop.Send(kFlush);  // the loop is now idle, waiting
  clock.Advance(seconds(1));
  auto deadline = std::chrono::steady_clock::now() + seconds(5);
  while (ticks == 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_EQ(ticks, 1);
}

TEST(MessageLoopTimerTest, RealClockTimerTicksWithoutBeingPoked) {
  MessageLoop loop(SystemClock::Instance());
  std::atomic<int> ticks{0};
  loop.SetHandler([&](Message& m) -> std::intptr_t {
    if (m.id == kWmTimer && ++ticks == 3) loop.Quit();
    return 0;
  });
  loop.SetTimer(1, milliseconds(15));
  auto start = std::chrono::steady_clock::now();
  loop.Run();
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(ticks, 3);
  EXPECT_GE(took, milliseconds(45));
  EXPECT_LT(took, seconds(3));
}

}  // namespace
}  // namespace kestrel::platform
