// The total of a download, learnt from the first chunk of a real archive.
#include "client/ArchiveSize.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/ZipArchive.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::client {
namespace {

constexpr std::size_t kChunk = 1280;

std::span<const std::uint8_t> Head(const std::string& archive) {
  return {reinterpret_cast<const std::uint8_t*>(archive.data()), std::min(archive.size(), kChunk)};
}

TEST(ArchiveSize, TheFirstChunkOfAServerArchiveTellsItsWholeSize) {
  test::TempDir dir;
  std::string noise(200000, '\0');
  std::mt19937 random(7);
  for (char& c : noise) c = static_cast<char>(random());
  for (const std::string& content : {std::string("hello\n"), std::string(), noise}) {
    ASSERT_TRUE(test::WriteFile(dir.Sub("source.bin"), content));
    ASSERT_TRUE(PackFile(dir.Sub("transfer.zip"), dir.Sub("source.bin"), "transfer.dat"));
    const std::string archive = test::ReadFile(dir.Sub("transfer.zip"));
    EXPECT_EQ(ArchiveSizeFromHead(Head(archive)), archive.size()) << content.size();
  }
}

TEST(ArchiveSize, AHeadThatIsNoLocalHeaderOrTooShortTellsNothing) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFile(dir.Sub("source.bin"), "x"));
  ASSERT_TRUE(PackFile(dir.Sub("transfer.zip"), dir.Sub("source.bin"), "transfer.dat"));
  const std::string archive = test::ReadFile(dir.Sub("transfer.zip"));
  EXPECT_EQ(ArchiveSizeFromHead(Head(archive).first(29)), 0u);
  const std::string text = "not an archive, just some text of a reasonable length";
  EXPECT_EQ(ArchiveSizeFromHead(Head(text)), 0u);
}

}  // namespace
}  // namespace kestrel::client
