#include "logging/LogBurstLimit.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

using std::chrono::milliseconds;

TEST(LogBurstLimit, TenLinesASecondPassTheRestAreCountedUntilTheWindowEnds) {
  LogBurstLimit limit;
  const LogBurstLimit::Time t0{};
  int admitted = 0;
  for (int i = 0; i < 1000; ++i) admitted += limit.Admit(t0 + milliseconds(i / 2)) ? 1 : 0;
  EXPECT_EQ(admitted, 10);
  EXPECT_EQ(limit.TakeEnded(t0 + milliseconds(999)), 0u);
  EXPECT_EQ(limit.TakeEnded(t0 + milliseconds(1000)), 990u);
  EXPECT_EQ(limit.TakeEnded(t0 + milliseconds(2000)), 0u);
  EXPECT_TRUE(limit.Admit(t0 + milliseconds(1000)));
}

TEST(LogBurstLimit, TakeAllReportsARunningBurst) {
  LogBurstLimit limit;
  const LogBurstLimit::Time t0{};
  for (int i = 0; i < 12; ++i) limit.Admit(t0);
  EXPECT_EQ(limit.TakeAll(), 2u);
  EXPECT_EQ(limit.TakeAll(), 0u);
}

}  // namespace
}  // namespace kestrel
