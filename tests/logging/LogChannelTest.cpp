#include "logging/LogChannel.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "logging/LogRecord.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "support/WindowMessages.h"

namespace kestrel {
namespace {

TEST(LogChannel, ALoggingThreadThatFallsBehindCostsRecordsNotMemoryAndHearsHowMany) {
  platform::MessageLoop loop(platform::SystemClock::Instance());
  std::vector<std::string> texts;  // logging thread, read after the join
  loop.SetHandler([&](platform::Message& m) -> std::intptr_t {
    if (auto record = m.Take<LogRecord>()) texts.push_back(record->text);
    return 0;
  });
  LogChannel channel;
  channel.Attach(&loop);
  const std::size_t sent = LogChannel::kMaxQueuedRecords + 100;
  for (std::size_t i = 0; i < sent; ++i) channel.Log(kLogWarning, "flood");  // nobody handles yet
  std::thread logging([&] { loop.Run(); });
  loop.Send(0);  // every queued record handled
  channel.Log(kLogWarning, "after");
  loop.Send(0);
  loop.Quit();
  logging.join();
  channel.Detach();
  ASSERT_EQ(texts.size(), LogChannel::kMaxQueuedRecords + 2);
  EXPECT_EQ(texts[texts.size() - 2], "logging: 100 lines dropped, the logging queue was full");
  EXPECT_EQ(texts.back(), "after");
}

}  // namespace
}  // namespace kestrel
