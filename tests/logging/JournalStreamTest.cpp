#include "logging/JournalStream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "logging/LogRecord.h"

namespace kestrel {
namespace {

TEST(JournalStream, OnlyTheNamedDeviceAndInodeIsTheJournal) {
  const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct stat st {};
  ASSERT_EQ(::fstat(fd, &st), 0);
  const std::string same = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  const std::string other = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
  EXPECT_TRUE(IsJournalStream(fd, same.c_str()));
  EXPECT_FALSE(IsJournalStream(fd, other.c_str()));
  EXPECT_FALSE(IsJournalStream(fd, nullptr));
  EXPECT_FALSE(IsJournalStream(fd, "garbage"));
  EXPECT_FALSE(IsJournalStream(fd, (same + "x").c_str()));
  ::close(fd);
}

TEST(JournalStream, PrefixesAreTheSyslogPrioritiesOfTheLevels) {
  EXPECT_EQ(JournalPrefix(kLogError), "<3>");
  EXPECT_EQ(JournalPrefix(kLogWarning), "<4>");
  EXPECT_EQ(JournalPrefix(kLogInfo), "<6>");
  EXPECT_EQ(JournalPrefix(7), "");
}

}  // namespace
}  // namespace kestrel
