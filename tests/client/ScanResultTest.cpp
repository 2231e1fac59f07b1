// Reading the scan result the server sends: folders, files, time halves,
// write flags, hidden folders, and names that must never reach a local path.
#include "client/ScanResult.h"

#include <gtest/gtest.h>

#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel::client {
namespace {

// As the server writes it (declaration, four-blank indentation).
constexpr const char* kServerFile = R"(<?xml version='1.0' encoding='UTF-8' ?>
<Scanresult>
    <Folder1>
        <Foldername>RootFolder</Foldername>
        <File1>
            <Filename>readme.txt</Filename>
            <TimeLow>2428346474</TimeLow>
            <TimeHigh>31295339</TimeHigh>
            <Write>true</Write>
        </File1>
        <File2>
            <Filename>a~b.txt</Filename>
            <TimeLow>0</TimeLow>
            <TimeHigh>1</TimeHigh>
            <Write>true</Write>
        </File2>
    </Folder1>
    <Folder2>
        <Foldername>A\B</Foldername>
        <Invisible>true</Invisible>
    </Folder2>
    <Folder3>
        <Foldername>Docs\2020</Foldername>
        <File1>
            <Filename>team.csv</Filename>
            <TimeLow>4294967295</TimeLow>
            <TimeHigh>4294967295</TimeHigh>
            <Write>false</Write>
        </File1>
    </Folder3>
    <TotalSize>278</TotalSize>
</Scanresult>)";

TEST(ScanResult, ReadsFoldersFilesTimesWriteFlagsAndTotalAsTheServerWritesThem) {
  const ScanResultParse parse = ParseScanResult(kServerFile);
  ASSERT_TRUE(parse.ok) << parse.error;
  const ScanResult& r = parse.result;
  ASSERT_EQ(r.folders.size(), 3u);
  EXPECT_EQ(r.folders[0].name, "RootFolder");
  ASSERT_EQ(r.folders[0].files.size(), 2u);
  EXPECT_EQ(r.folders[0].files[0].name, "readme.txt");
  EXPECT_EQ(r.folders[0].files[0].last_write, (31295339ull << 32) | 2428346474ull);
  EXPECT_TRUE(r.folders[0].files[0].writable);
  // High half 1, low half 0: the time is 2^32, not 1.
  EXPECT_EQ(r.folders[0].files[1].last_write, 1ull << 32);
  EXPECT_EQ(r.folders[1].name, "A\\B");
  EXPECT_TRUE(r.folders[1].hidden);
  EXPECT_TRUE(r.folders[1].files.empty());
  EXPECT_EQ(r.folders[2].name, "Docs\\2020");
  ASSERT_EQ(r.folders[2].files.size(), 1u);
  EXPECT_EQ(r.folders[2].files[0].last_write, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_FALSE(r.folders[2].files[0].writable);
  EXPECT_EQ(r.total_size, 278);
  EXPECT_TRUE(r.rejected.empty());
}

TEST(ScanResult, EmptyProjectHasNoFoldersAndTotalZero) {
  const ScanResultParse parse = ParseScanResult(
      "<?xml version='1.0' encoding='UTF-8' ?>\n<Scanresult>\n"
      "    <TotalSize>0</TotalSize>\n</Scanresult>\n");
  ASSERT_TRUE(parse.ok);
  EXPECT_TRUE(parse.result.folders.empty());
  EXPECT_EQ(parse.result.total_size, 0);
}

TEST(ScanResult, DeclarationOnlyOrForeignDocumentIsAnErrorNotAnEmptyList) {
  // A half-written file must never read as "the server has no files".
  EXPECT_FALSE(ParseScanResult("<?xml version='1.0' encoding='UTF-8' ?>").ok);
  EXPECT_FALSE(ParseScanResult("").ok);
  EXPECT_FALSE(ParseScanResult("<UserRights><Projectname>x</Projectname></UserRights>").ok);
  EXPECT_FALSE(ParseScanResult("<Scanresult><Folder1>").ok);
}

TEST(ScanResult, NamesThatCouldLeaveTheLocalFolderAreRejectedAndListed) {
  const ScanResultParse parse = ParseScanResult(
      "<Scanresult>"
      "<Folder1><Foldername>..\\etc</Foldername><File1><Filename>passwd</Filename>"
      "<TimeLow>1</TimeLow><TimeHigh>0</TimeHigh><Write>true</Write></File1></Folder1>"
      "<Folder2><Foldername>Docs</Foldername>"
      "<File1><Filename>../x</Filename><TimeLow>1</TimeLow><TimeHigh>0</TimeHigh></File1>"
      "<File2><Filename>c:boot.ini</Filename><TimeLow>1</TimeLow><TimeHigh>0</TimeHigh></File2>"
      "<File3><Filename>..</Filename><TimeLow>1</TimeLow><TimeHigh>0</TimeHigh></File3>"
      "<File4><Filename>ok.txt</Filename><TimeLow>1</TimeLow><TimeHigh>0</TimeHigh></File4>"
      "</Folder2>"
      "<Folder3><Foldername>\\abs</Foldername><Invisible>true</Invisible></Folder3>"
      "<TotalSize>5</TotalSize></Scanresult>");
  ASSERT_TRUE(parse.ok);
  ASSERT_EQ(parse.result.folders.size(), 1u);
  EXPECT_EQ(parse.result.folders[0].name, "Docs");
  ASSERT_EQ(parse.result.folders[0].files.size(), 1u);
  EXPECT_EQ(parse.result.folders[0].files[0].name, "ok.txt");
  EXPECT_EQ(parse.result.rejected.size(), 5u);
}

TEST(ScanResult, TimeHalvesThatAreNotThirtyTwoBitNumbersRejectTheEntry) {
  const ScanResultParse parse = ParseScanResult(
      "<Scanresult><Folder1><Foldername>RootFolder</Foldername>"
      "<File1><Filename>a</Filename><TimeLow>4294967296</TimeLow><TimeHigh>0</TimeHigh></File1>"
      "<File2><Filename>b</Filename><TimeLow>-1</TimeLow><TimeHigh>0</TimeHigh></File2>"
      "<File3><Filename>c</Filename><TimeLow>12</TimeLow></File3>"
      "<File4><Filename>d</Filename><TimeLow>7</TimeLow><TimeHigh>2</TimeHigh></File4>"
      "</Folder1></Scanresult>");
  ASSERT_TRUE(parse.ok);
  ASSERT_EQ(parse.result.folders.size(), 1u);
  ASSERT_EQ(parse.result.folders[0].files.size(), 1u);
  EXPECT_EQ(parse.result.folders[0].files[0].last_write, (2ull << 32) | 7);
  EXPECT_EQ(parse.result.rejected.size(), 3u);
}

TEST(ScanResult, EightBitNamesKeepTheirBytes) {
  const std::string xml =
      "<Scanresult><Folder1><Foldername>Gr\xFC"
      "n</Foldername><File1><Filename>caf\xE9.txt</Filename><TimeLow>1</TimeLow>"
      "<TimeHigh>0</TimeHigh><Write>true</Write></File1></Folder1></Scanresult>";
  const ScanResultParse parse = ParseScanResult(xml);
  ASSERT_TRUE(parse.ok);
  ASSERT_EQ(parse.result.folders.size(), 1u);
  EXPECT_EQ(parse.result.folders[0].name, "Gr\xFCn");
  EXPECT_EQ(parse.result.folders[0].files[0].name, "caf\xE9.txt");
}

TEST(ScanResult, EscapedCharactersAreUnescaped) {
  const ScanResultParse parse = ParseScanResult(
      "<Scanresult><Folder1><Foldername>R&amp;D</Foldername><File1>"
      "<Filename>&lt;a&gt; &amp; b.txt</Filename><TimeLow>1</TimeLow><TimeHigh>0</TimeHigh>"
      "</File1></Folder1></Scanresult>");
  ASSERT_TRUE(parse.ok);
  EXPECT_EQ(parse.result.folders[0].name, "R&D");
  EXPECT_EQ(parse.result.folders[0].files[0].name, "<a> & b.txt");
}

TEST(ScanResult, FormatThenParseGivesTheSameResult) {
  ScanResult r;
  r.folders.push_back({"RootFolder", false, {{"x.txt", 123456789012345ull, true}}});
  r.folders.push_back({"Secret", true, {}});
  r.folders.push_back({"Docs\\Sub", false, {{"y & z.bin", 1ull << 40, false}, {"w", 0, false}}});
  r.total_size = 99;
  const ScanResultParse parse = ParseScanResult(FormatScanResult(r));
  ASSERT_TRUE(parse.ok);
  ASSERT_EQ(parse.result.folders.size(), 3u);
  EXPECT_EQ(parse.result.folders[2].files[0].name, "y & z.bin");
  EXPECT_EQ(parse.result.folders[2].files[0].last_write, 1ull << 40);
  EXPECT_EQ(parse.result.folders[0].files[0].last_write, 123456789012345ull);
  EXPECT_TRUE(parse.result.folders[1].hidden);
  EXPECT_EQ(parse.result.total_size, 99);
}

TEST(ScanResult, LoadsFromAFileAndReportsAMissingOne) {
  test::TempDir dir;
  ASSERT_TRUE(test::WriteFile(dir.Sub("s.xml"), kServerFile));
  EXPECT_TRUE(LoadScanResult(dir.path() + "/s.xml").ok);
  const ScanResultParse missing = LoadScanResult(dir.path() + "/none.xml");
  EXPECT_FALSE(missing.ok);
  EXPECT_FALSE(missing.error.empty());
}

}  // namespace
}  // namespace kestrel::client
