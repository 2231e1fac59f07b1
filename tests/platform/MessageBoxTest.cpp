#include "platform/MessageBox.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace kestrel::platform {
namespace {

TEST(MessageBoxTest, Latin1BecomesUtf8) {
  EXPECT_EQ(Latin1ToUtf8("Fehler beim \xD6"
                         "ffnen"),
            "Fehler beim \xC3\x96"
            "ffnen");
  EXPECT_EQ(Latin1ToUtf8("plain"), "plain");
  EXPECT_EQ(Latin1ToUtf8(std::string_view("\x00\x7F\x80\xFF", 4)),
            std::string("\x00\x7F\xC2\x80\xC3\xBF", 6));
}

TEST(MessageBoxTest, HeadlessWritesToStderrAndAnswersYes) {
  HeadlessMessageBox box;
  testing::internal::CaptureStderr();
  box.Show("Datei \xFC");
  bool answer = box.Ask("Weiter?");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(answer);
  EXPECT_EQ(err, "Datei \xC3\xBC\nWeiter?\n");
}

TEST(MessageBoxTest, CapturingRecordsFromManyThreads) {
  CapturingMessageBox box(false);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&box] {
      for (int j = 0; j < 50; ++j) {
        box.Show("s");
        EXPECT_FALSE(box.Ask("q"));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(box.Shown().size(), 200u);
  EXPECT_EQ(box.Asked().size(), 200u);
  box.Clear();
  EXPECT_TRUE(box.Shown().empty());
}

TEST(MessageBoxTest, ProcessWideSinkCanBeReplacedAndRestored) {
  CapturingMessageBox box;
  SetMessageBoxes(&box);
  MessageBoxes().Show("hello");
  EXPECT_EQ(box.Shown(), std::vector<std::string>{"hello"});
  SetMessageBoxes(nullptr);
  EXPECT_NE(dynamic_cast<HeadlessMessageBox*>(&MessageBoxes()), nullptr);
}

}  // namespace
}  // namespace kestrel::platform
