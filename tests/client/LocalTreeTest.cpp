// Listing a local folder for a sync, and unpacking the server-logs archive.
#include "client/LocalTree.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "client/ArchiveUnpack.h"
#include "platform/FileSystem.h"
#include "support/ZipArchive.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::client {
namespace {

bool HasSkipped(const LocalTree& tree, const std::string& key) {
  for (const SkippedName& s : tree.skipped) {
    if (s.key == key) return true;
  }
  return false;
}

TEST(LocalTree, ListsFilesByKeyWithSizeAndLeavesOutWhatTheServerWouldNeverList) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFile(dir.Sub("a.txt"), "12345"));
  ASSERT_TRUE(test::WriteFile(dir.Sub("Docs/2020/b.txt"), "x"));
  ASSERT_TRUE(test::WriteFile(dir.Sub("Docs/~rights.xml"), "x"));
  ASSERT_TRUE(test::WriteFile(dir.Sub("Docs/a~b.txt"), "x"));
  ASSERT_TRUE(test::WriteFile(dir.Sub("c:d.txt"), "x"));
  ASSERT_TRUE(test::WriteFile(dir.Sub(".kestrel-sync"), "state"));
  ASSERT_TRUE(test::WriteFile(dir.Sub(".kestrel-sync.~123"), "state"));
  ASSERT_TRUE(test::WriteFile(dir.Sub("Docs/b.txt.~77_0.part"), "half"));
  ASSERT_EQ(::symlink("/etc", dir.Sub("link").c_str()), 0);
  const LocalTree tree = ListLocalTree(dir.path());
  ASSERT_EQ(tree.error, 0);
  ASSERT_EQ(tree.files.size(), 3u);
  EXPECT_EQ(tree.files.at("a.txt").size, 5u);
  EXPECT_TRUE(tree.files.count("Docs\\2020\\b.txt"));
  EXPECT_TRUE(tree.files.count("Docs\\a~b.txt"));
  EXPECT_TRUE(HasSkipped(tree, "Docs\\~rights.xml"));
  EXPECT_TRUE(HasSkipped(tree, "c:d.txt"));
  EXPECT_TRUE(HasSkipped(tree, "link"));
  EXPECT_EQ(tree.skipped.size(), 3u);
}

TEST(LocalTree, MissingRootIsAnErrorNotAnEmptyListing) {
  test::TempDir dir;
  EXPECT_NE(ListLocalTree(dir.path() + "/missing").error, 0);
}

TEST(LocalTree, TimesAreFileTimesOfTheLocalFiles) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFile(dir.Sub("t.txt"), "x"));
  const platform::FileTime when = platform::FileTimeFromUnix(1600000000, 123456700);
  ASSERT_EQ(platform::SetLastWriteTime(dir.path() + "/t.txt", when), 0);
  EXPECT_EQ(ListLocalTree(dir.path()).files.at("t.txt").last_write, when);
}

TEST(LocalTree, LocalPathJoinsKeysBelowTheRoot) {
  EXPECT_EQ(LocalPath("/tmp/x", "A\\b"), "/tmp/x\\A\\b");
  EXPECT_EQ(LocalPath("/tmp/x/", "b"), "/tmp/x/b");
  EXPECT_EQ(LocalPath("/tmp/x", ""), "/tmp/x");
}

TEST(ArchiveUnpack, EveryEntryLandsUnderItsOwnNameByteExact) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFile(dir.Sub("src/KestrelServer.xml"), "<config/>"));
  std::string big(200000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
  ASSERT_TRUE(test::WriteFile(dir.Sub("src/Server Logbook 2026_12.log"), big));
  ZipWriter zip;
  ASSERT_TRUE(zip.Create(dir.path() + "/a.zip"));
  ASSERT_TRUE(zip.AddFile("KestrelServer.xml", dir.path() + "/src/KestrelServer.xml"));
  ASSERT_TRUE(
      zip.AddFile("Server Logbook 2026_12.log", dir.path() + "/src/Server Logbook 2026_12.log"));
  ASSERT_TRUE(zip.Close());
  std::filesystem::create_directories(dir.Sub("out"));
  const UnpackResult result = UnpackArchive(dir.path() + "/a.zip", dir.path() + "/out");
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.written.size(), 2u);
  EXPECT_EQ(test::ReadFile(dir.Sub("out/KestrelServer.xml")), "<config/>");
  EXPECT_EQ(test::ReadFile(dir.Sub("out/Server Logbook 2026_12.log")), big);
}

TEST(ArchiveUnpack, EntryNamesWithFoldersOrDotsNeverBecomePaths) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFile(dir.Sub("src"), "evil"));
  ZipWriter zip;
  ASSERT_TRUE(zip.Create(dir.path() + "/a.zip"));
  for (const char* name : {"../escape.txt", "sub/inner.txt", "..", "/abs.txt", "c:x", "ok.txt"}) {
    ASSERT_TRUE(zip.AddFile(name, dir.path() + "/src")) << name;
  }
  ASSERT_TRUE(zip.Close());
  std::filesystem::create_directories(dir.Sub("out"));
  const UnpackResult result = UnpackArchive(dir.path() + "/a.zip", dir.path() + "/out");
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.written, std::vector<std::string>{"ok.txt"});
  EXPECT_EQ(result.skipped.size(), 5u);
  EXPECT_FALSE(std::filesystem::exists(dir.Sub("escape.txt")));
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.Sub("out"))) {
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(ArchiveUnpack, DamagedArchiveIsReportedAndLeavesNoPartFile) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFile(dir.Sub("src"), std::string(100000, 'k')));
  ZipWriter zip;
  ASSERT_TRUE(zip.Create(dir.path() + "/a.zip"));
  ASSERT_TRUE(zip.AddFile("data.bin", dir.path() + "/src"));
  ASSERT_TRUE(zip.Close());
  std::string bytes = test::ReadFile(dir.Sub("a.zip"));
  // The checksum recorded in the central directory no longer fits the data.
  const std::size_t central = bytes.find(std::string("PK\x01\x02", 4));
  ASSERT_NE(central, std::string::npos);
  bytes[central + 16] = static_cast<char>(bytes[central + 16] ^ 0x55);
  ASSERT_TRUE(test::WriteFile(dir.Sub("a.zip"), bytes));
  std::filesystem::create_directories(dir.Sub("out"));
  const UnpackResult result = UnpackArchive(dir.path() + "/a.zip", dir.path() + "/out");
  EXPECT_FALSE(result.ok);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Sub("out")));
  EXPECT_FALSE(UnpackArchive(dir.path() + "/src", dir.path() + "/out").ok);
}

}  // namespace
}  // namespace kestrel::client
