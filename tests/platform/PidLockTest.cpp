#include "platform/PidLock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "testsupport/TempDir.h"

namespace kestrel::platform {
namespace {

TEST(PidLock, HolderIsTheProcessThatHoldsTheLockAndNobodyOnceReleased) {
  test::TempDir dir;
  const std::string path = dir.Sub(kServerLockFile);
  EXPECT_FALSE(PidLock::Holder(path));  // no file yet
  {
    PidLock lock;
    ASSERT_TRUE(lock.Acquire(path));
    EXPECT_EQ(PidLock::Holder(path), ::getpid());
    PidLock second;
    EXPECT_FALSE(second.Acquire(path));
  }
  // The file stays, the lock does not: a stale file blocks nobody.
  EXPECT_FALSE(PidLock::Holder(path));
  PidLock again;
  EXPECT_TRUE(again.Acquire(path));
}

}  // namespace
}  // namespace kestrel::platform
