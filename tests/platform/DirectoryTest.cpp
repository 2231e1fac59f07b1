// Work beneath an open folder never follows a link: a tree holding links to
// an outside folder and file, a dangling link, a FIFO and a hard link, for
// both ways of resolving, and a folder swapped for a link while requests run.
#include "platform/Directory.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::platform {
namespace {

using test::TempDir;
using Resolution = Directory::Resolution;

using test::ReadFile;
using test::WriteFile;

// root/ holds a folder, links out of the root, a FIFO and a hard link;
// outside/ holds the canaries.
class DirectoryTest : public ::testing::TestWithParam<Resolution> {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(Root("in"));
    std::filesystem::create_directories(Outside());
    WriteFile(Outside("canary.txt"), "canary");
    WriteFile(Root("in/own.txt"), "own");
    ASSERT_EQ(::symlink(Outside().c_str(), Root("dirlink").c_str()), 0);
    ASSERT_EQ(::symlink(Outside("canary.txt").c_str(), Root("filelink").c_str()), 0);
    ASSERT_EQ(::symlink(Outside("gone").c_str(), Root("dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo(Root("fifo").c_str(), 0644), 0);
    ASSERT_EQ(::link(Root("in/own.txt").c_str(), Root("hard.txt").c_str()), 0);
    WriteFile(dir_.Sub("staged"), "staged");
    ASSERT_EQ(root_.Open(Root(), GetParam()), 0);
  }
  std::string Root(const std::string& rel = "") const { return dir_.Sub("root/" + rel); }
  std::string Outside(const std::string& rel = "") const { return dir_.Sub("outside/" + rel); }
  void ExpectOutsideUntouched() {
    EXPECT_EQ(ReadFile(Outside("canary.txt")), "canary");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Outside()), {}), 1);
  }

  TempDir dir_;
  Directory root_;
};

TEST_P(DirectoryTest, FolderLinkOnTheWayIsRefusedForOpenAndCreate) {
  Directory out;
  EXPECT_EQ(root_.OpenFolder("dirlink", out), kLinkOnTheWay);
  EXPECT_EQ(root_.OpenFolder("dirlink\\deeper", out), kLinkOnTheWay);
  EXPECT_EQ(root_.CreateFolders("dirlink\\made", out), kLinkOnTheWay);
  EXPECT_EQ(root_.CreateFolders("dangling\\made", out), kLinkOnTheWay);
  EXPECT_EQ(root_.OpenFolder("in\\..\\..", out), EINVAL);
  ASSERT_EQ(root_.CreateFolders("in\\new\\level", out), 0);
  EXPECT_TRUE(std::filesystem::is_directory(Root("in/new/level")));
  ExpectOutsideUntouched();
}

TEST_P(DirectoryTest, FileLinksAreNeitherReadReplacedByUploadsNorDeleted) {
  File file;
  std::string text;
  EXPECT_EQ(root_.OpenRegularFile("filelink", file), kLinkOnTheWay);
  EXPECT_EQ(root_.ReadRegularFile("dangling", 100, text), kLinkOnTheWay);
  EXPECT_EQ(root_.MoveFileIn(dir_.Sub("staged"), "filelink"), kLinkOnTheWay);
  EXPECT_EQ(root_.CopyFileIn(dir_.Sub("staged"), "dangling", 0), kLinkOnTheWay);
  EXPECT_EQ(root_.DeleteFile("filelink"), kLinkOnTheWay);
  EXPECT_EQ(root_.Kind("filelink"), EntryKind::kLink);
  EXPECT_EQ(root_.Kind("dangling"), EntryKind::kLink);
  ExpectOutsideUntouched();
}

TEST_P(DirectoryTest, ReplacingALinkPutsARegularFileInItsPlace) {
  ASSERT_EQ(root_.ReplaceFile("filelink", "new rights"), 0);
  EXPECT_EQ(root_.Kind("filelink"), EntryKind::kFile);
  EXPECT_EQ(ReadFile(Root("filelink")), "new rights");
  ExpectOutsideUntouched();
}

TEST_P(DirectoryTest, FifoIsNeitherBlockedOnNorReadNorDeleted) {
  std::string text;
  EXPECT_EQ(root_.ReadRegularFile("fifo", 100, text), kNotARegularFile);
  EXPECT_EQ(root_.DeleteFile("fifo"), kNotARegularFile);
  EXPECT_EQ(root_.MoveFileIn(dir_.Sub("staged"), "fifo"), kNotARegularFile);
  EXPECT_EQ(root_.Kind("fifo"), EntryKind::kSpecial);
}

TEST_P(DirectoryTest, HardLinkIsAnOrdinaryFileAndReadsAreCapped) {
  std::string text;
  ASSERT_EQ(root_.ReadRegularFile("hard.txt", 100, text), 0);
  EXPECT_EQ(text, "own");
  EXPECT_EQ(root_.ReadRegularFile("hard.txt", 2, text), EFBIG);
  ASSERT_EQ(root_.MoveFileIn(dir_.Sub("staged"), "hard.txt"), 0);
  EXPECT_EQ(ReadFile(Root("hard.txt")), "staged");
  EXPECT_EQ(ReadFile(Root("in/own.txt")), "own");  // replaced, not written through
  ASSERT_EQ(root_.DeleteFile("hard.txt"), 0);
}

TEST_P(DirectoryTest, ListingDescribesLinksAsLinksAndSpecialFilesAsNotRegular) {
  std::vector<DirEntry> entries;
  ASSERT_EQ(root_.List(entries), 0);
  ASSERT_EQ(entries.size(), 6u);
  for (const DirEntry& e : entries) {
    const bool link = e.name == "dirlink" || e.name == "filelink" || e.name == "dangling";
    EXPECT_EQ(e.is_link, link) << e.name;
    EXPECT_EQ(e.is_folder, e.name == "in") << e.name;
    EXPECT_EQ(e.is_regular, e.name == "hard.txt") << e.name;
  }
}

// A folder on the way is swapped for a link to the outside folder and back
// (an atomic exchange of the two names) while requests run: every request
// either meets the real folder or is refused; nothing outside is touched.
TEST_P(DirectoryTest, FolderSwappedForALinkDuringRequestsNeverLeadsOutside) {
  WriteFile(Outside("f.txt"), "OUTSIDE");
  WriteFile(Root("in/f.txt"), "inside");
  ASSERT_EQ(::symlink(Outside().c_str(), Root("swap").c_str()), 0);
  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    while (!stop.load()) {
      ::renameat2(AT_FDCWD, Root("in").c_str(), AT_FDCWD, Root("swap").c_str(), RENAME_EXCHANGE);
    }
  });
  constexpr int kRounds = 3000;
  int inside = 0, refused = 0;
  for (int i = 0; i < kRounds; ++i) {
    Directory folder;
    std::string text;
    int error = root_.OpenFolder("in", folder);
    if (error == 0) error = folder.ReadRegularFile("f.txt", 100, text);
    if (error == 0) {
      EXPECT_EQ(text, "inside");
      ++inside;
    } else {
      EXPECT_TRUE(error == kLinkOnTheWay || error == ENOENT) << error;
      ++refused;
    }
    if (root_.CreateFolders("in\\made", folder) == 0) {
      EXPECT_EQ(folder.ReplaceFile("w.txt", "written"), 0);
      EXPECT_EQ(folder.DeleteFile("w.txt"), 0);
    }
  }
  stop.store(true);
  swapper.join();
  EXPECT_EQ(inside + refused, kRounds);
  EXPECT_EQ(ReadFile(Outside("f.txt")), "OUTSIDE");
  EXPECT_FALSE(std::filesystem::exists(Outside("made")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Outside()), {}), 2);
}

INSTANTIATE_TEST_SUITE_P(BothResolutions, DirectoryTest,
                         ::testing::Values(Resolution::kBest, Resolution::kComponents));

}  // namespace
}  // namespace kestrel::platform
