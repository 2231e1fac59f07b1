// Remote names as typed and as keys; 8-bit text to and from the terminal.
#include "client/RemotePath.h"

#include <gtest/gtest.h>

#include "client/TextCodec.h"

namespace kestrel::client {
namespace {

TEST(RemotePath, TypedNamesWithEitherSeparatorGiveTheProtocolsFolderAndFile) {
  auto a = ParseRemoteName("Docs/team.csv");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->folder, "Docs");
  EXPECT_EQ(a->file, "team.csv");
  auto b = ParseRemoteName("Docs\\2020\\x.txt");
  ASSERT_TRUE(b);
  EXPECT_EQ(b->folder, "Docs\\2020");
  auto c = ParseRemoteName("/readme.txt");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->folder, "RootFolder");
  EXPECT_EQ(c->file, "readme.txt");
  auto d = ParseRemoteName("RootFolder/readme.txt");
  ASSERT_TRUE(d);
  EXPECT_EQ(d->folder, "RootFolder");
}

TEST(RemotePath, NamesTheServerWouldRefuseAreRefusedHere) {
  for (const char* bad :
       {"", "/", "../x", "Docs/../x", "Docs//x", "a:b", "Docs/.", "x\ty", "Docs/\x7f"}) {
    EXPECT_FALSE(ParseRemoteName(bad).has_value()) << bad;
  }
}

TEST(RemotePath, TypedFoldersMapEmptyAndSlashToTheRoot) {
  EXPECT_EQ(ParseRemoteFolder(""), "RootFolder");
  EXPECT_EQ(ParseRemoteFolder("/"), "RootFolder");
  EXPECT_EQ(ParseRemoteFolder("RootFolder"), "RootFolder");
  EXPECT_EQ(ParseRemoteFolder("Docs/2020/"), "Docs\\2020");
  EXPECT_FALSE(ParseRemoteFolder("Docs/../..").has_value());
}

TEST(RemotePath, KeysAndProtocolFoldersConvertBothWays) {
  EXPECT_EQ(FolderKey("RootFolder"), "");
  EXPECT_EQ(ProtocolFolder(""), "RootFolder");
  EXPECT_EQ(JoinKey("", "a.txt"), "a.txt");
  EXPECT_EQ(JoinKey("Docs", "a.txt"), "Docs\\a.txt");
  const RemoteName root = SplitKey("a.txt");
  EXPECT_EQ(root.folder, "RootFolder");
  const RemoteName deep = SplitKey("A\\B\\c");
  EXPECT_EQ(deep.folder, "A\\B");
  EXPECT_EQ(deep.file, "c");
  EXPECT_EQ(ParentKey("A\\B\\c"), "A\\B");
  EXPECT_EQ(LeafName("A\\B\\c"), "c");
}

TEST(TextCodec, Utf8IsNarrowedToEightBitAndWidenedBack) {
  EXPECT_EQ(ToSystemText("caf\xC3\xA9"), std::string("caf\xE9"));
  EXPECT_EQ(ToDisplayText("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(ToSystemText("plain"), "plain");
}

TEST(TextCodec, CharactersAboveU00FFCannotBeCarried) {
  EXPECT_FALSE(ToSystemText("\xE2\x82\xAC").has_value());  // euro sign
  EXPECT_FALSE(ToSystemText("\xF0\x9F\x98\x80").has_value());
}

TEST(TextCodec, BytesThatAreNotUtf8AreTakenAsEightBitText) {
  EXPECT_EQ(ToSystemText("caf\xE9"), std::string("caf\xE9"));
  EXPECT_EQ(ToSystemText("\xC0\xAF"), std::string("\xC0\xAF"));  // overlong form
}

TEST(TextCodec, JsonStringsEscapeQuotesBackslashesAndControls) {
  EXPECT_EQ(JsonQuoted("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

}  // namespace
}  // namespace kestrel::client
