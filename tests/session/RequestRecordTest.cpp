#include "session/RequestRecord.h"

#include <gtest/gtest.h>

#include <vector>

#include "session/ProjectPath.h"

namespace kestrel {
namespace {

TEST(RequestRecordTest, ReadsLengthsFixedPartAndStrings) {
  std::vector<std::uint8_t> plain = {2, 3, 9, 9, 'a', 'b', 'x', 'y', 'z', 'T', 0, 0};
  RequestRecord r;
  ASSERT_TRUE(r.Parse(plain.data(), plain.size(), 2, 2));
  EXPECT_EQ(r.Fixed()[0], 9);
  EXPECT_EQ(r.String(0), "ab");
  EXPECT_EQ(r.String(1), "xyz");
  EXPECT_EQ(r.Rest().size(), 3u);
  EXPECT_EQ(r.String(2), "");
}

TEST(RequestRecordTest, StringLengthsRunningPastTheDataAreRejected) {
  std::vector<std::uint8_t> plain(16, 'q');
  plain[0] = 200;  // claims 200 bytes in a 16-byte record
  plain[1] = 1;
  RequestRecord r;
  EXPECT_FALSE(r.Parse(plain.data(), plain.size(), 2, 0));
  EXPECT_EQ(r.String(0), "");
  plain[0] = 13;  // 2 + 13 = 15 fits, the second string's byte does too
  EXPECT_TRUE(r.Parse(plain.data(), plain.size(), 2, 0));
  plain[1] = 2;  // one byte too many
  EXPECT_FALSE(r.Parse(plain.data(), plain.size(), 2, 0));
}

TEST(RequestRecordTest, FixedPartPastTheDataIsRejected) {
  std::vector<std::uint8_t> plain = {0, 0, 1, 2, 3};
  RequestRecord r;
  EXPECT_FALSE(r.Parse(plain.data(), plain.size(), 2, 16));
  EXPECT_FALSE(r.Parse(plain.data(), 1, 2, 0));  // not even the length bytes
}

TEST(RequestRecordTest, LittleEndianFileTime) {
  const std::uint8_t bytes[8] = {0x00, 0x80, 0x3E, 0xD5, 0xDE, 0xB1, 0x9D, 0x01};
  EXPECT_EQ(ReadLittleEndian64(bytes), 0x019DB1DED53E8000ULL);
}

TEST(ProjectPathTest, RootFolderAndNestedFolders) {
  ProjectTarget t = MakeProjectTarget("RootFolder", "a.txt");
  EXPECT_EQ(t.folder, "");
  EXPECT_EQ(t.RelativeFile(), "a.txt");
  t = MakeProjectTarget("Docs\\2020", "b.txt");
  EXPECT_EQ(t.folder, "Docs\\2020");
  EXPECT_EQ(t.RelativeFile(), "Docs\\2020\\b.txt");
}

TEST(ProjectPathTest, NamesThatLeaveTheRootAreRefused) {
  for (const char* folder : {"..", "Docs\\..", "..\\x", "\\abs", "Docs\\\\x", "Docs\\", ".", "/etc",
                             "C:", "a/b", "a\x01"}) {
    EXPECT_FALSE(MakeProjectTarget(folder, "f.txt").ok) << folder;
  }
  for (const char* file :
       {"..", "..\\..\\canary", "\\f", "/f", "c:f", "f\x1f", "f\x7f", ".", "Docs\\f.txt"}) {
    EXPECT_FALSE(MakeProjectTarget("RootFolder", file).ok) << file;
  }
  EXPECT_FALSE(MakeProjectTarget("", "f").ok);
  EXPECT_FALSE(MakeProjectTarget("RootFolder", "").ok);
}

TEST(ProjectPathTest, NamesWindowsWouldChangeAreRefused) {
  for (const char* name : {"a.", "a ", ".. ", "...", "Docs."}) {
    EXPECT_FALSE(MakeProjectTarget(name, "f.txt").ok) << name;
    EXPECT_FALSE(MakeProjectTarget("RootFolder", name).ok) << name;
  }
}

TEST(ProjectPathTest, ServerOnlyNamesBeginningWithTildeAreRefused) {
  for (const char* folder : {"~Secret", "Docs\\~x", "~RootRights.xml"}) {
    EXPECT_FALSE(MakeProjectTarget(folder, "f.txt").ok) << folder;
  }
  EXPECT_FALSE(MakeProjectTarget("RootFolder", "~RootRights.xml").ok);
  EXPECT_FALSE(MakeProjectTarget("Docs", "~Docs.xml").ok);
}

TEST(ProjectPathTest, OrdinaryNamesWithDotsSpacesTildesAndLatin1Pass) {
  EXPECT_TRUE(MakeProjectTarget("Docs\\Caf\xE9 2020", "...notes.v2.txt").ok);
  EXPECT_TRUE(MakeProjectTarget("a..b", "x~").ok);
  EXPECT_TRUE(MakeProjectTarget(" lead", "a~b.txt").ok);
}

}  // namespace
}  // namespace kestrel
