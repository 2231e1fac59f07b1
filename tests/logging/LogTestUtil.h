#pragma once
// Shared pieces of the logging tests: a temporary working folder that holds a
// "logs" folder, made the current directory for the test.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "testsupport/LocalTimes.h"
#include "testsupport/ScopedCwd.h"
#include "testsupport/TempDir.h"

namespace kestrel::test {

inline platform::LocalTime MakeTime(int year, int month, int day, int hour, int minute,
                                    int second) {
  return At(year, month, day, hour, minute, second);
}

// Whole file as bytes; empty when missing.
inline std::string ReadBytes(const std::string& native_path) {
  std::ifstream in(native_path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Splits at CR LF; a trailing CR LF gives no empty last element.
inline std::vector<std::string> SplitCrLf(const std::string& bytes) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      out.push_back(bytes.substr(start));
      break;
    }
    out.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return out;
}

// Runs each test inside a fresh folder that has a "logs" folder.
class InLogFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(cwd_.ok());
    ASSERT_EQ(platform::CreateFolder(".\\logs"), 0);
  }

  TempDir dir_;
  ScopedCwd cwd_{dir_.path()};
};

}  // namespace kestrel::test
