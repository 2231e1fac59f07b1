#include "platform/Thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <set>

namespace kestrel::platform {
namespace {

TEST(ThreadTest, RunsTheFunctionAndJoins) {
  std::atomic<int> value{0};
  Thread t;
  EXPECT_FALSE(t.Joinable());
  ASSERT_TRUE(t.Start([&] { value = 7; }));
  EXPECT_TRUE(t.Joinable());
  EXPECT_FALSE(t.Start([] {}));  // already running
  t.Join();
  EXPECT_FALSE(t.Joinable());
  EXPECT_EQ(value, 7);
  t.Join();  // second join does nothing
}

TEST(ThreadTest, DestructorJoins) {
  std::atomic<bool> done{false};
  {
    Thread t;
    ASSERT_TRUE(t.Start([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      done = true;
    }));
  }
  EXPECT_TRUE(done);
}

TEST(ThreadTest, UsesTheRequestedStackSize) {
  std::size_t seen = 0;
  Thread t;
  ASSERT_TRUE(t.Start(
      [&] {
        pthread_attr_t attr;
        pthread_getattr_np(pthread_self(), &attr);
        pthread_attr_getstacksize(&attr, &seen);
        pthread_attr_destroy(&attr);
      },
      256 * 1024));
  t.Join();
  EXPECT_GE(seen, 256u * 1024);
  EXPECT_LT(seen, 1024u * 1024);
}

TEST(ThreadTest, MovedThreadIsJoinedByItsNewOwner) {
  std::atomic<int> runs{0};
  Thread a;
  ASSERT_TRUE(a.Start([&] { ++runs; }));
  Thread b(std::move(a));
  EXPECT_FALSE(a.Joinable());
  EXPECT_TRUE(b.Joinable());
  Thread c;
  ASSERT_TRUE(c.Start([&] { ++runs; }));
  c = std::move(b);  // joins c's own thread first
  c.Join();
  EXPECT_EQ(runs, 2);
}

TEST(SecureRandomTest, FillsLargeBuffersWithVaryingBytes) {
  unsigned char a[4096], b[4096];
  std::memset(a, 0, sizeof a);
  std::memset(b, 0, sizeof b);
  ASSERT_TRUE(SecureRandom(a, sizeof a));
  ASSERT_TRUE(SecureRandom(b, sizeof b));
  EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
  std::set<unsigned char> distinct(a, a + sizeof a);
  EXPECT_GT(distinct.size(), 200u);
  EXPECT_TRUE(SecureRandom(a, 0));
}

}  // namespace
}  // namespace kestrel::platform
