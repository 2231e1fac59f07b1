#include "net/AuthPenalties.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrel {
namespace {

using std::chrono::seconds;

class AuthPenaltiesTest : public ::testing::Test {
 protected:
  void Fail(const char* address, int times) {
    for (int i = 0; i < times; ++i) table_.RecordFailure(address);
  }
  // Penalised for exactly `length` from now on (the clock moves to its end).
  bool PenaltyLasts(seconds length) {
    clock_.Advance(length - seconds(1));
    const bool during = table_.Penalised("127.0.0.1");
    clock_.Advance(seconds(1));
    return during && !table_.Penalised("127.0.0.1");
  }
  platform::TestClock clock_{platform::LocalTime{2026, 12, 9, 12, 0, 0, 3}};
  AuthPenalties table_{clock_, 8};
};

TEST_F(AuthPenaltiesTest, FiveFailuresStartFiveSecondsThenEachFurtherOneDoubles) {
  Fail("127.0.0.1", 4);
  EXPECT_FALSE(table_.Penalised("127.0.0.1"));
  Fail("127.0.0.1", 1);
  EXPECT_TRUE(PenaltyLasts(seconds(5)));
  Fail("127.0.0.1", 1);
  EXPECT_TRUE(PenaltyLasts(seconds(10)));
}

TEST_F(AuthPenaltiesTest, PenaltyStopsGrowingAtTenMinutes) {
  Fail("127.0.0.1", 20);
  EXPECT_TRUE(PenaltyLasts(seconds(600)));
  // Right after the longest penalty the count still holds: one try, then ten minutes again.
  Fail("127.0.0.1", 1);
  EXPECT_TRUE(PenaltyLasts(seconds(600)));
}

TEST_F(AuthPenaltiesTest, FailuresOlderThanTenMinutesAreForgotten) {
  Fail("127.0.0.1", 4);
  clock_.Advance(seconds(601));
  Fail("127.0.0.1", 4);
  EXPECT_FALSE(table_.Penalised("127.0.0.1"));
}

TEST_F(AuthPenaltiesTest, OtherSourcesAreUnaffectedAndASuccessResetsTheCount) {
  Fail("127.0.0.1", 5);
  EXPECT_FALSE(table_.Penalised("127.0.0.2"));
  Fail("127.0.0.2", 4);
  table_.RecordSuccess("127.0.0.2");
  Fail("127.0.0.2", 4);
  EXPECT_FALSE(table_.Penalised("127.0.0.2"));
}

TEST_F(AuthPenaltiesTest, Ipv6SourcesAreTheirSixtyFourBitNetworkAndMappedIpv4IsIpv4) {
  Fail("2001:db8:1:2::1", 5);
  EXPECT_TRUE(table_.Penalised("2001:db8:1:2:ffff::9"));
  EXPECT_FALSE(table_.Penalised("2001:db8:1:3::1"));
  Fail("::ffff:10.0.0.1", 5);
  EXPECT_TRUE(table_.Penalised("10.0.0.1"));
}

TEST_F(AuthPenaltiesTest, FirstFailureIsReportedAtOnceLaterOnesOncePerTenSecondsWithACount) {
  EXPECT_TRUE(table_.RecordFailure("127.0.0.1").log_now);
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(table_.RecordFailure("127.0.0.1").log_now);
  clock_.Advance(seconds(10));
  const AuthPenalties::Failure next = table_.RecordFailure("127.0.0.1");
  EXPECT_TRUE(next.log_now);
  EXPECT_EQ(next.count, 4u);
}

TEST_F(AuthPenaltiesTest, TableStaysWithinItsCapAndKeepsTheNewestSources) {
  for (int i = 0; i < 20; ++i) {
    Fail(("10.0.0." + std::to_string(i)).c_str(), 5);
    clock_.Advance(seconds(1));
  }
  EXPECT_EQ(table_.sources(), 8u);
  EXPECT_TRUE(table_.Penalised("10.0.0.19"));
}

}  // namespace
}  // namespace kestrel
