// Write beside, then rename over: the target is whole at every moment and no
// side file outlives its writer.
#include "platform/SideFile.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::platform {
namespace {

int EntriesIn(const std::string& folder) {
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++entries;
  return entries;
}

TEST(SideFile, ReplacementLeavesOnlyTheWholeNewTarget) {
  test::TempDir dir;
  const std::string target = dir.Sub("state.txt");
  ASSERT_TRUE(test::WriteFile(target, "old contents"));
  ASSERT_EQ(ReplaceFileContents(target, "new"), 0);
  EXPECT_EQ(test::ReadFile(target), "new");
  EXPECT_EQ(EntriesIn(dir.path()), 1);
}

TEST(SideFile, LargeReplacementWrittenBehindIsByteExact) {
  test::TempDir dir;
  const std::string target = dir.Sub("big.bin");
  std::string bytes(20u << 20, '\0');  // past the write-behind step twice
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 253);
  SideFile side(target);
  ASSERT_EQ(side.Open(), 0);
  for (std::size_t at = 0; at < bytes.size(); at += 1u << 20) {
    ASSERT_EQ(side.file().Write(bytes.data() + at, 1u << 20), 0);
  }
  ASSERT_EQ(side.file().Flush(), 0);
  ASSERT_EQ(side.Commit(), 0);
  EXPECT_TRUE(test::ReadFile(target) == bytes);
}

TEST(SideFile, AbandonedWriterRemovesItsSideFileAndKeepsTheTarget) {
  test::TempDir dir;
  const std::string target = dir.Sub("doc.xml");
  ASSERT_TRUE(test::WriteFile(target, "kept"));
  {
    SideFile side(target);
    ASSERT_EQ(side.Open(), 0);
    ASSERT_EQ(side.file().Write("half", 4), 0);
    EXPECT_TRUE(IsSideFileName(side.path()));
  }
  EXPECT_EQ(test::ReadFile(target), "kept");
  EXPECT_EQ(EntriesIn(dir.path()), 1);
}

TEST(SideFile, FailedRenameLeavesNoSideFile) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.Sub("folder/inside"));
  // A non-empty folder cannot be replaced by a file.
  SideFile side(dir.Sub("folder"));
  ASSERT_EQ(side.Open(), 0);
  EXPECT_NE(side.Commit(), 0);
  EXPECT_EQ(EntriesIn(dir.path()), 1);
}

TEST(SideFile, NamesAreRecognisedOnlyInTheirExactForm) {
  EXPECT_TRUE(IsSideFileName(SideFileName(".\\Temp\\transfer.dat")));
  EXPECT_TRUE(IsSideFileName("transfer.dat.~1234_0.part"));
  EXPECT_TRUE(IsSideFileName("/tmp/x/b.txt.~77_12.part"));
  EXPECT_NE(SideFileName("a"), SideFileName("a"));
  for (const char* other : {"t.part", "a.~.part", "a.~12.part", "a.~12_.part", "a.~x_1.part",
                            "a.~1_2.part.zip", "a~1_2.part", "a.~1_2.PART"}) {
    EXPECT_FALSE(IsSideFileName(other)) << other;
  }
}

}  // namespace
}  // namespace kestrel::platform
