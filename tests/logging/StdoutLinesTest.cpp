#include "logging/StdoutLines.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>

namespace kestrel {
namespace {

class StdoutLinesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(::pipe2(fds_, O_CLOEXEC), 0); }
  void TearDown() override {
    if (fds_[0] >= 0) ::close(fds_[0]);
    ::close(fds_[1]);
  }
  // Everything the pipe holds now.
  std::string Drain() {
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    std::string all;
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(fds_[0], buffer, sizeof buffer)) > 0) all.append(buffer, got);
    return all;
  }
  int fds_[2] = {-1, -1};
};

TEST_F(StdoutLinesTest, AReaderThatStopsCostsLinesNotMemoryAndHearsHowManyOnceItReadsAgain) {
  StdoutLines out(fds_[1], 4096);
  const std::string line(99, 'x');
  for (int i = 0; i < 5000; ++i) out.Write(line);  // 500 KB into a 64 KB pipe: never waits
  EXPECT_LE(out.pending(), 4096u);
  EXPECT_GT(out.dropped_total(), 0u);
  std::string read = Drain();
  out.Write("after");
  read += Drain();
  out.Write("again");
  read += Drain();
  const std::string note = "logging: " + std::to_string(out.dropped_total()) +
                           " lines not written to standard output, its reader was too slow\n";
  const std::size_t at = read.find(note + "after\nagain\n");
  ASSERT_NE(at, std::string::npos) << read.substr(read.size() - 300);
  EXPECT_EQ(at % 100, 0u);  // whole lines before it
}

TEST_F(StdoutLinesTest, AReaderThatWentAwayIsNoSignalAndNoError) {
  ::signal(SIGPIPE, SIG_IGN);
  StdoutLines out(fds_[1]);
  ::close(fds_[0]);
  fds_[0] = -1;
  out.Write("nobody reads this");
  out.Write("nor this");
  EXPECT_EQ(out.pending(), 0u);
}

}  // namespace
}  // namespace kestrel
