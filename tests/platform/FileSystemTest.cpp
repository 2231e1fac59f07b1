#include "platform/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "testsupport/TempDir.h"

namespace kestrel::platform {
namespace {

using test::TempDir;

void WriteNative(const std::string& native, const std::string& content) {
  std::ofstream(native, std::ios::binary) << content;
}

std::string ReadNative(const std::string& native) {
  std::ifstream in(native, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string ReadAll(std::string_view path) {
  File f;
  if (f.Open(path, File::kRead) != 0) return "<unopenable>";
  std::string out;
  char buf[7];  // small on purpose: reads must continue where they stopped
  for (;;) {
    long n = f.Read(buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

TEST(NativePathTest, BackslashesBecomeSlashesAndHighBytesBecomeUtf8) {
  EXPECT_EQ(NativePath(".\\Config\\x.xml"), "./Config/x.xml");
  EXPECT_EQ(NativePath("M\xFCller\\\xE4"), "M\xC3\xBCller/\xC3\xA4");
  EXPECT_EQ(NativePath("\x80\xFF"), "\xC2\x80\xC3\xBF");
}

TEST(NativePathTest, SystemNameInvertsTheMappingForEveryByte) {
  std::string all;
  for (int c = 1; c < 256; ++c) {
    if (c != '\\' && c != '/') all += static_cast<char>(c);
  }
  auto back = SystemName(NativePath(all));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(*back, all);
}

TEST(NativePathTest, SystemNameRejectsWhatTheServerCannotName) {
  EXPECT_FALSE(SystemName("\xE2\x82\xAC").has_value());  // euro sign, above U+00FF
  EXPECT_FALSE(SystemName("\xC3").has_value());          // truncated sequence
  EXPECT_FALSE(SystemName("\xC3\x41").has_value());      // bad continuation byte
  EXPECT_FALSE(SystemName("\xC1\x81").has_value());      // overlong 'A'
  EXPECT_FALSE(SystemName("\xFC").has_value());          // raw Latin-1 byte
  EXPECT_FALSE(SystemName("a\\b").has_value());          // would read as a separator
}

TEST(FileSystemTest, Latin1NameRoundTripsThroughUtf8OnDisk) {
  TempDir dir;
  const std::string name =
      "Gr\xFC\xDF"
      "e \xE4.txt";
  const std::string path = dir.path() + "\\" + name;
  File f;
  ASSERT_EQ(f.Open(path, File::kWrite | File::kCreate), 0);
  ASSERT_EQ(f.Write("abc", 3), 0);
  ASSERT_EQ(f.Close(), 0);

  // On disk the name is UTF-8.
  struct stat st;
  EXPECT_EQ(::stat((dir.path() + "/Gr\xC3\xBC\xC3\x9F"
                                 "e \xC3\xA4.txt")
                       .c_str(),
                   &st),
            0);

  std::vector<DirEntry> entries;
  ASSERT_EQ(ListDirectory(dir.path(), entries), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, name);
  EXPECT_EQ(entries[0].size, 3u);
  EXPECT_EQ(ReadAll(path), "abc");
}

TEST(FileSystemTest, RemoveIfExistsIsContentWithAMissingFileButNotWithAFolder) {
  TempDir dir;
  const std::string path = dir.path() + "\\gone.txt";
  EXPECT_TRUE(RemoveIfExists(path));
  WriteNative(dir.path() + "/gone.txt", "x");
  EXPECT_TRUE(RemoveIfExists(path));
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(RemoveIfExists(dir.path()));  // a folder is not a file
}

TEST(FileSystemTest, ListingIsSortedByByteOrderWithoutDotEntries) {
  TempDir dir;
  for (std::string n : {"b", "B", "a", "\xE4", "a0", "_"}) {
    WriteNative(dir.path() + "/" + NativePath(n), "x");
  }
  ASSERT_EQ(CreateFolder(dir.path() + "\\sub"), 0);
  std::vector<DirEntry> entries;
  ASSERT_EQ(ListDirectory(dir.path(), entries), 0);
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"B", "_", "a", "a0", "b", "sub", "\xE4"}));
  EXPECT_TRUE(entries[5].is_folder);
  EXPECT_FALSE(entries[0].is_folder);
}

TEST(FileSystemTest, ListingSkipsAndNotesNamesWithoutAnEightBitForm) {
  TempDir dir;
  WriteNative(dir.path() + "/euro\xE2\x82\xAC", "x");
  WriteNative(dir.path() + "/bad\xFF", "x");
  WriteNative(dir.path() + "/plain", "x");
  std::vector<DirEntry> entries;
  SkippedNames skipped{-1, "stale"};
  ASSERT_EQ(ListDirectory(dir.path(), entries, &skipped), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "plain");
  EXPECT_EQ(skipped.count, 2);
  EXPECT_EQ(skipped.first, "bad\xFF");
}

TEST(FileSystemTest, PrintableNameSpellsOutWhatHasNoEightBitForm) {
  EXPECT_EQ(PrintableName("\xE6\x97\xA5.txt"), "<U+65E5>.txt");
  EXPECT_EQ(PrintableName("caf\xC3\xA9"), "caf\xE9");
  EXPECT_EQ(PrintableName("a\\b\x01\xF0\x9F\x98\x80"), "a<U+005C>b<U+0001><U+1F600>");
  EXPECT_EQ(PrintableName("x\xFF\xC3"), "x<0xFF><0xC3>");
}

TEST(FileSystemTest, ListingOfAMissingFolderFails) {
  TempDir dir;
  std::vector<DirEntry> entries{DirEntry{}};
  EXPECT_EQ(ListDirectory(dir.path() + "\\nope", entries), ENOENT);
  EXPECT_TRUE(entries.empty());
}

TEST(FileSystemTest, LinksAreReportedAndDescribeTheirTarget) {
  TempDir dir;
  WriteNative(dir.Sub("target"), "12345");
  ASSERT_EQ(::symlink("target", dir.Sub("link").c_str()), 0);
  ASSERT_EQ(::symlink("missing", dir.Sub("dangling").c_str()), 0);
  std::vector<DirEntry> entries;
  ASSERT_EQ(ListDirectory(dir.path(), entries), 0);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].name, "dangling");
  EXPECT_TRUE(entries[0].is_link);
  EXPECT_EQ(entries[1].name, "link");
  EXPECT_TRUE(entries[1].is_link);
  EXPECT_EQ(entries[1].size, 5u);
  EXPECT_FALSE(entries[2].is_link);
}

TEST(FileSystemTest, StatReportsSizeTimeAndMissingFiles) {
  TempDir dir;
  const std::string path = dir.path() + "\\f.bin";
  WriteNative(NativePath(path), "hello");
  const FileTime when = FileTimeFromUnix(1'600'000'000, 123'456'700);
  ASSERT_EQ(SetLastWriteTime(path, when), 0);
  DirEntry e;
  ASSERT_EQ(Stat(path, e), 0);
  EXPECT_EQ(e.name, "f.bin");
  EXPECT_EQ(e.size, 5u);
  EXPECT_EQ(e.last_write, when);
  EXPECT_FALSE(e.is_folder);
  EXPECT_EQ(Stat(dir.path() + "\\none", e), ENOENT);
  EXPECT_TRUE(Exists(path));
  EXPECT_FALSE(IsFolder(path));
  EXPECT_TRUE(IsFolder(dir.path()));
  EXPECT_FALSE(Exists(dir.path() + "\\none"));
}

TEST(FileSystemTest, RemoveTreeDoesNotFollowALinkOutOfTheTree) {
  TempDir outside;
  WriteNative(outside.Sub("canary"), "alive");
  TempDir dir;
  const std::string tree = dir.path() + "\\tree";
  ASSERT_EQ(CreateFolder(tree), 0);
  ASSERT_EQ(CreateFolder(tree + "\\a"), 0);
  ASSERT_EQ(CreateFolder(tree + "\\a\\b\xE4"), 0);
  WriteNative(NativePath(tree + "\\a\\b\xE4\\f"), "x");
  ASSERT_EQ(::symlink(outside.path().c_str(), NativePath(tree + "\\a\\out").c_str()), 0);
  ASSERT_EQ(::symlink(outside.Sub("canary").c_str(), NativePath(tree + "\\file-link").c_str()), 0);

  EXPECT_EQ(RemoveTree(tree), 0);
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ(ReadNative(outside.Sub("canary")), "alive");
}

TEST(FileSystemTest, RemoveTreeOnALinkRemovesOnlyTheLink) {
  TempDir outside;
  WriteNative(outside.Sub("canary"), "alive");
  TempDir dir;
  ASSERT_EQ(::symlink(outside.path().c_str(), dir.Sub("link").c_str()), 0);
  EXPECT_EQ(RemoveTree(dir.Sub("link")), 0);
  EXPECT_FALSE(Exists(dir.Sub("link")));
  EXPECT_EQ(ReadNative(outside.Sub("canary")), "alive");
}

TEST(FileSystemTest, RemoveTreeOfAMissingFolderReportsENOENT) {
  TempDir dir;
  EXPECT_EQ(RemoveTree(dir.Sub("missing")), ENOENT);
}

TEST(FileSystemTest, RenameReplacesTheTarget) {
  TempDir dir;
  WriteNative(dir.Sub("a"), "new");
  WriteNative(dir.Sub("b"), "old");
  EXPECT_EQ(RenameFile(dir.Sub("a"), dir.Sub("b")), 0);
  EXPECT_EQ(ReadNative(dir.Sub("b")), "new");
  EXPECT_FALSE(Exists(dir.Sub("a")));
  EXPECT_EQ(RenameFile(dir.Sub("a"), dir.Sub("c")), ENOENT);
}

TEST(FileSystemTest, CopyKeepsContentAndRespectsOverwrite) {
  TempDir dir;
  std::string big(300 * 1024 + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 1000);
  WriteNative(dir.Sub("src"), big);
  WriteNative(dir.Sub("dst"), "existing");
  EXPECT_EQ(CopyFile(dir.Sub("src"), dir.Sub("dst"), false), EEXIST);
  EXPECT_EQ(ReadNative(dir.Sub("dst")), "existing");
  EXPECT_EQ(CopyFile(dir.Sub("src"), dir.Sub("dst"), true), 0);
  EXPECT_EQ(ReadNative(dir.Sub("dst")), big);
  EXPECT_EQ(CopyFile(dir.Sub("src"), dir.Sub("fresh"), false), 0);
  EXPECT_EQ(ReadNative(dir.Sub("fresh")), big);
  EXPECT_EQ(CopyFile(dir.Sub("missing"), dir.Sub("x"), true), ENOENT);
  EXPECT_FALSE(Exists(dir.Sub("x")));
}

TEST(FileSystemTest, CopyOntoItselfDoesNotDestroyTheFile) {
  TempDir dir;
  WriteNative(dir.Sub("f"), "precious");
  EXPECT_NE(CopyFile(dir.Sub("f"), dir.Sub("f"), true), 0);
  EXPECT_EQ(ReadNative(dir.Sub("f")), "precious");
}

TEST(FileSystemTest, FolderCreationAndRemoval) {
  TempDir dir;
  EXPECT_EQ(CreateFolder(dir.Sub("d")), 0);
  EXPECT_EQ(CreateFolder(dir.Sub("d")), EEXIST);
  WriteNative(dir.Sub("d/f"), "x");
  EXPECT_EQ(RemoveFolder(dir.Sub("d")), ENOTEMPTY);
  EXPECT_EQ(DeleteFile(dir.Sub("d/f")), 0);
  EXPECT_EQ(DeleteFile(dir.Sub("d/f")), ENOENT);
  EXPECT_EQ(RemoveFolder(dir.Sub("d")), 0);
}

TEST(FileSystemTest, FreeSpaceIsKnownForAnExistingPath) {
  TempDir dir;
  auto free = FreeSpace(dir.path());
  ASSERT_TRUE(free.has_value());
  EXPECT_GT(*free, 0u);
  EXPECT_FALSE(FreeSpace(dir.Sub("missing")).has_value());
}

TEST(FileTest, CreateTruncatesUnlessNoTruncate) {
  TempDir dir;
  const std::string path = dir.Sub("f");
  WriteNative(path, "0123456789");
  {
    File f;
    ASSERT_EQ(f.Open(path, File::kWrite | File::kCreate | File::kNoTruncate), 0);
    ASSERT_EQ(f.SeekToEnd(), 0);
    ASSERT_EQ(f.Write("ab", 2), 0);
  }
  EXPECT_EQ(ReadNative(path), "0123456789ab");
  {
    File f;
    ASSERT_EQ(f.Open(path, File::kReadWrite | File::kCreate), 0);
    ASSERT_EQ(f.Write("xyz", 3), 0);
    ASSERT_EQ(f.Seek(1), 0);
    char c[2] = {};
    EXPECT_EQ(f.Read(c, 2), 2);
    EXPECT_EQ(std::string(c, 2), "yz");
    EXPECT_EQ(f.Read(c, 2), 0);
    EXPECT_EQ(f.Flush(), 0);
  }
  EXPECT_EQ(ReadNative(path), "xyz");
}

TEST(FileTest, OpenFailuresAreErrnoValues) {
  TempDir dir;
  File f;
  EXPECT_EQ(f.Open(dir.Sub("missing"), File::kRead), ENOENT);
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.Open(dir.path(), File::kRead), EISDIR);
  EXPECT_EQ(f.Open(dir.Sub("x"), File::kCreate), EINVAL);  // neither read nor write
  char c;
  EXPECT_EQ(f.Read(&c, 1), -EBADF);
  EXPECT_EQ(f.Write(&c, 1), EBADF);
}

TEST(FileTest, ReadOnAWriteOnlyFileReturnsMinusErrno) {
  TempDir dir;
  File f;
  ASSERT_EQ(f.Open(dir.Sub("w"), File::kWrite | File::kCreate), 0);
  char c;
  EXPECT_EQ(f.Read(&c, 1), -EBADF);
}

TEST(FileTest, MovedFileKeepsItsDescriptorAndClosesOnce) {
  TempDir dir;
  File a;
  ASSERT_EQ(a.Open(dir.Sub("m"), File::kWrite | File::kCreate), 0);
  const int fd = a.fd();
  File b(std::move(a));
  EXPECT_FALSE(a.IsOpen());
  EXPECT_EQ(b.fd(), fd);
  File c;
  c = std::move(b);
  EXPECT_EQ(c.fd(), fd);
  EXPECT_EQ(c.Write("q", 1), 0);
  EXPECT_EQ(c.Close(), 0);
  EXPECT_EQ(c.Close(), 0);
  EXPECT_EQ(ReadNative(dir.Sub("m")), "q");
}

TEST(TempDirTest, RemovesItsFolderOnDestruction) {
  std::string path;
  {
    TempDir dir;
    path = dir.path();
    WriteNative(dir.Sub("f"), "x");
    EXPECT_TRUE(IsFolder(path));
  }
  EXPECT_FALSE(Exists(path));
}

}  // namespace
}  // namespace kestrel::platform

namespace kestrel::platform {
namespace {

TEST(FileSystemTest, LinkFileGivesASecondNameThatSurvivesARenameOverTheFirst) {
  test::TempDir dir;
  const std::string first = dir.Sub("first.xml");
  const std::string second = dir.Sub("first.xml.old");
  const std::string next = dir.Sub("next.tmp");
  {
    File f;
    ASSERT_EQ(f.Open(first, File::kWrite | File::kCreate), 0);
    ASSERT_EQ(f.Write("one", 3), 0);
    ASSERT_EQ(f.Write("two", 3), 0);
  }
  ASSERT_EQ(LinkFile(first, second), 0);
  EXPECT_NE(LinkFile(first, second), 0);  // the target must not exist
  {
    File f;
    ASSERT_EQ(f.Open(next, File::kWrite | File::kCreate), 0);
    ASSERT_EQ(f.Write("new", 3), 0);
  }
  ASSERT_EQ(RenameFile(next, first), 0);
  DirEntry info;
  ASSERT_EQ(Stat(second, info), 0);
  EXPECT_EQ(info.size, 6u);
  ASSERT_EQ(Stat(first, info), 0);
  EXPECT_EQ(info.size, 3u);
}

}  // namespace
}  // namespace kestrel::platform
