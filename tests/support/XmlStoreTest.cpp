#include "support/XmlStore.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/FileSystem.h"
#include "platform/MessageBox.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

std::string ReadNative(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteNative(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

constexpr const char* kConfig =
    "<?xml version='1.0' encoding='UTF-8' ?>\n"
    "<KestrelServer_Config>\n"
    "  <General>\n"
    "    <LogLevel>Warning</LogLevel>\n"
    "    <Port>12abc</Port>\n"
    "    <Letters>abc</Letters>\n"
    "    <Negative>  -42x</Negative>\n"
    "    <Empty></Empty>\n"
    "    <Yes>yes</Yes><True>True</True><One>1</One>\n"
    "    <No>no</No><Zero>0</Zero><On>on</On><Two>2</Two>\n"
    "  </General>\n"
    "  <General><LogLevel>Second</LogLevel></General>\n"
    "  <Project1><Projectname>A</Projectname><Projectname>B</Projectname>\n"
    "    <L3><L4><L5><Key>deep</Key></L5></L4></L3>\n"
    "  </Project1>\n"
    "</KestrelServer_Config>\n";

class XmlStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetMessageBoxes(&boxes_); }
  void TearDown() override { platform::SetMessageBoxes(nullptr); }

  std::string ConfigPath() {
    const std::string path = dir_.Sub("config.xml");
    WriteNative(path, kConfig);
    return path;
  }

  test::TempDir dir_;
  platform::CapturingMessageBox boxes_;
};

TEST_F(XmlStoreTest, LoadFailsForMissingAndBrokenFiles) {
  CXmlStore store;
  EXPECT_FALSE(store.Load(dir_.Sub("none.xml")));
  EXPECT_FALSE(store.IsLoaded());
  WriteNative(dir_.Sub("broken.xml"), "<a><b></a>");
  EXPECT_FALSE(store.Load(dir_.Sub("broken.xml")));
  EXPECT_EQ(store.GetString({"a"}, "b"), "");
  EXPECT_FALSE(store.SetString({"a"}, "b", "x"));
  EXPECT_FALSE(store.Save());
  EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(XmlStoreTest, GetStringTakesTheFirstMatchAtEveryLevel) {
  CXmlStore store;
  ASSERT_TRUE(store.Load(ConfigPath()));
  EXPECT_EQ(store.GetString({"KestrelServer_Config", "General"}, "LogLevel"), "Warning");
  EXPECT_EQ(store.GetString({"KestrelServer_Config", "Project1"}, "Projectname"), "A");
  EXPECT_EQ(store.GetString({"KestrelServer_Config", "Project1", "L3", "L4", "L5"}, "Key"), "deep");
  EXPECT_EQ(store.GetString({"KestrelServer_Config", "General"}, "Missing"), "");
  EXPECT_EQ(store.GetString({"KestrelServer_Config", "Nope"}, "LogLevel"), "");
  EXPECT_EQ(store.GetString({"KestrelServer_Config", "General"}, "Empty"), "");
  EXPECT_EQ(store.GetString({"kestrelserver_config", "General"}, "LogLevel"), "");
}

TEST_F(XmlStoreTest, GetIntParsesLeadingDigits) {
  CXmlStore store;
  ASSERT_TRUE(store.Load(ConfigPath()));
  const XmlPath general{"KestrelServer_Config", "General"};
  EXPECT_EQ(store.GetInt(general, "Port", 7), 12);
  EXPECT_EQ(store.GetInt(general, "Letters", 7), 0);
  EXPECT_EQ(store.GetInt(general, "Negative", 7), -42);
  EXPECT_EQ(store.GetInt(general, "Missing", 7), 7);
  EXPECT_EQ(store.GetInt(general, "Empty", 7), 7);
}

TEST_F(XmlStoreTest, GetBoolAcceptsTrueYesOneOnly) {
  CXmlStore store;
  ASSERT_TRUE(store.Load(ConfigPath()));
  const XmlPath general{"KestrelServer_Config", "General"};
  EXPECT_TRUE(store.GetBool(general, "Yes", false));
  EXPECT_TRUE(store.GetBool(general, "True", false));
  EXPECT_TRUE(store.GetBool(general, "One", false));
  EXPECT_FALSE(store.GetBool(general, "No", true));
  EXPECT_FALSE(store.GetBool(general, "Zero", true));
  EXPECT_FALSE(store.GetBool(general, "On", true));
  EXPECT_FALSE(store.GetBool(general, "Two", true));
  EXPECT_TRUE(store.GetBool(general, "Empty", true));
  EXPECT_FALSE(store.GetBool(general, "Missing", false));
}

TEST_F(XmlStoreTest, GetIndexMatchesExactlyOrGivesDefault) {
  CXmlStore store;
  ASSERT_TRUE(store.Load(ConfigPath()));
  constexpr std::string_view kLevels[] = {"Error", "Warning", "Info"};
  const XmlPath general{"KestrelServer_Config", "General"};
  EXPECT_EQ(store.GetIndex(general, "LogLevel", kLevels, 2), 1);
  EXPECT_EQ(store.GetIndex(general, "Yes", kLevels, 2), 2);
  EXPECT_EQ(store.GetIndex(general, "Missing", kLevels, 0), 0);
}

TEST_F(XmlStoreTest, CreateWritesTheBareDeclaration) {
  const std::string path = dir_.Sub("new.xml");
  CXmlStore store;
  ASSERT_TRUE(store.Create(path, "Scanresult"));
  EXPECT_EQ(ReadNative(path), "<?xml version='1.0' encoding='UTF-8' ?>");
  EXPECT_EQ(ReadNative(path).size(), 39u);
  ASSERT_TRUE(store.Save());
  EXPECT_EQ(ReadNative(path), "<?xml version='1.0' encoding='UTF-8' ?>\n<Scanresult/>\n");
}

TEST_F(XmlStoreTest, CreateInUnwritableFolderLeavesStoreUnloaded) {
  CXmlStore store;
  EXPECT_FALSE(store.Create(dir_.Sub("no/such/folder.xml"), "Scanresult"));
  EXPECT_FALSE(store.SetString({"Scanresult"}, "TotalSize", "0"));
  EXPECT_FALSE(store.Save());
  EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(XmlStoreTest, ScanResultShapeIsWrittenDeterministically) {
  const std::string path = dir_.Sub("scan.xml");
  CXmlStore store;
  ASSERT_TRUE(store.Create(path, "Scanresult"));
  EXPECT_TRUE(store.AddElement({"Scanresult", "Folder1"}));
  EXPECT_TRUE(store.SetString({"Scanresult", "Folder1"}, "Foldername", "RootFolder"));
  EXPECT_TRUE(store.AddElement({"Scanresult", "Folder1", "File1"}));
  EXPECT_TRUE(store.SetString({"Scanresult", "Folder1", "File1"}, "Filename", "a&b<c>.txt"));
  EXPECT_TRUE(store.SetString({"Scanresult", "Folder1", "File1"}, "TimeLow", "0"));
  EXPECT_TRUE(store.SetBool({"Scanresult", "Folder1", "File1"}, "Write", true));
  EXPECT_TRUE(store.SetString({"Scanresult"}, "TotalSize", "12"));
  ASSERT_TRUE(store.Save());
  EXPECT_EQ(ReadNative(path),
            "<?xml version='1.0' encoding='UTF-8' ?>\n"
            "<Scanresult>\n"
            "    <Folder1>\n"
            "        <Foldername>RootFolder</Foldername>\n"
            "        <File1>\n"
            "            <Filename>a&amp;b&lt;c&gt;.txt</Filename>\n"
            "            <TimeLow>0</TimeLow>\n"
            "            <Write>true</Write>\n"
            "        </File1>\n"
            "    </Folder1>\n"
            "    <TotalSize>12</TotalSize>\n"
            "</Scanresult>\n");
  const std::string first = ReadNative(path);
  CXmlStore again;
  ASSERT_TRUE(again.Load(path));
  EXPECT_EQ(again.GetString({"Scanresult", "Folder1", "File1"}, "Filename"), "a&b<c>.txt");
  ASSERT_TRUE(again.Save());
  EXPECT_EQ(ReadNative(path), first);  // load and save change nothing
}

TEST_F(XmlStoreTest, SettingTwiceReplacesInPlaceWithoutDuplicate) {
  const std::string path = dir_.Sub("x.xml");
  CXmlStore store;
  ASSERT_TRUE(store.Create(path, "Root"));
  ASSERT_TRUE(store.AddElement({"Root", "Folder1"}));
  EXPECT_TRUE(store.SetString({"Root", "Folder1"}, "Invisible", "true"));
  EXPECT_TRUE(store.SetString({"Root", "Folder1"}, "Other", "x"));
  EXPECT_TRUE(store.SetString({"Root", "Folder1"}, "Invisible", "false"));
  EXPECT_TRUE(store.AddElement({"Root", "Folder1"}));
  ASSERT_TRUE(store.Save());
  const std::string text = ReadNative(path);
  EXPECT_EQ(text.find("<Invisible>"), text.rfind("<Invisible>"));
  EXPECT_EQ(text.find("<Folder1>"), text.rfind("<Folder1>"));
  EXPECT_LT(text.find("<Invisible>false"), text.find("<Other>"));
}

TEST_F(XmlStoreTest, SetStringAddressesTheFirstOfTwoSiblings) {
  CXmlStore store;
  ASSERT_TRUE(store.Load(ConfigPath()));
  EXPECT_TRUE(store.SetString({"KestrelServer_Config", "General"}, "LogLevel", "Info"));
  EXPECT_TRUE(store.SetString({"KestrelServer_Config", "Project1"}, "Projectname", "Z"));
  ASSERT_TRUE(store.Save());
  CXmlStore again;
  ASSERT_TRUE(again.Load(store.GetPath()));
  EXPECT_EQ(again.GetString({"KestrelServer_Config", "General"}, "LogLevel"), "Info");
  const std::string text = ReadNative(store.GetPath());
  EXPECT_NE(text.find("<LogLevel>Second</LogLevel>"), std::string::npos);
  EXPECT_NE(text.find("<Projectname>B</Projectname>"), std::string::npos);
  EXPECT_EQ(again.GetString({"KestrelServer_Config", "Project1"}, "Projectname"), "Z");
}

TEST_F(XmlStoreTest, SetExistingStringNeverCreates) {
  CXmlStore store;
  ASSERT_TRUE(store.Load(ConfigPath()));
  const XmlPath general{"KestrelServer_Config", "General"};
  EXPECT_FALSE(store.SetExistingString(general, "PasswordRemote", "abc"));
  EXPECT_EQ(store.GetString(general, "PasswordRemote"), "");
  EXPECT_FALSE(store.SetExistingString({"KestrelServer_Config", "Nope"}, "LogLevel", "x"));
  EXPECT_TRUE(store.SetExistingString(general, "Empty", "filled"));
  EXPECT_EQ(store.GetString(general, "Empty"), "filled");
}

TEST_F(XmlStoreTest, SettersResolveAtMostThreeLevels) {
  CXmlStore store;
  ASSERT_TRUE(store.Load(ConfigPath()));
  EXPECT_FALSE(store.SetString({"KestrelServer_Config", "Project1", "L3", "L4"}, "K", "v"));
  EXPECT_FALSE(store.SetString({"KestrelServer_Config", "General", "Missing"}, "K", "v"));
  EXPECT_TRUE(store.SetString({"KestrelServer_Config", "Project1", "L3"}, "K", "v"));
  EXPECT_EQ(store.GetString({"KestrelServer_Config", "Project1", "L3"}, "K"), "v");
  EXPECT_FALSE(store.AddElement({"KestrelServer_Config"}));
  EXPECT_FALSE(store.AddElement({"KestrelServer_Config", "Nope", "X"}));
}

TEST_F(XmlStoreTest, RemoveElementDropsTheFirstSection) {
  CXmlStore store;
  ASSERT_TRUE(store.Load(ConfigPath()));
  EXPECT_TRUE(store.RemoveElement("KestrelServer_Config", "General"));
  EXPECT_EQ(store.GetString({"KestrelServer_Config", "General"}, "LogLevel"), "Second");
  EXPECT_TRUE(store.RemoveElement("KestrelServer_Config", "Project1"));
  EXPECT_FALSE(store.RemoveElement("KestrelServer_Config", "Project1"));
  EXPECT_FALSE(store.RemoveElement("Other", "General"));
}

TEST_F(XmlStoreTest, EightBitNamesAndValuesRoundTripByteForByte) {
  const std::string path = dir_.path() + "\\Scanresult_Pr\xF6ject_M\xFCller.xml";
  std::string all_high;
  for (int c = 0x80; c <= 0xFF; ++c) all_high += static_cast<char>(c);
  {
    CXmlStore store;
    ASSERT_TRUE(store.Create(path, "Scanresult"));
    ASSERT_TRUE(store.AddElement({"Scanresult", "Gr\xFC\xDF"}));
    EXPECT_TRUE(store.SetString({"Scanresult", "Gr\xFC\xDF"}, "Name", "\xC4rger \xE9t\xE9"));
    EXPECT_TRUE(store.SetString({"Scanresult", "Gr\xFC\xDF"}, "All", all_high));
    ASSERT_TRUE(store.Save());
  }
  // On disk the file name is UTF-8; the contents hold the bytes themselves.
  const std::string native = dir_.Sub("Scanresult_Pr\xC3\xB6ject_M\xC3\xBCller.xml");
  const std::string text = ReadNative(native);
  EXPECT_NE(text.find("<Name>\xC4rger \xE9t\xE9</Name>"), std::string::npos);
  CXmlStore again;
  ASSERT_TRUE(again.Load(path));
  EXPECT_EQ(again.GetString({"Scanresult", "Gr\xFC\xDF"}, "Name"), "\xC4rger \xE9t\xE9");
  EXPECT_EQ(again.GetString({"Scanresult", "Gr\xFC\xDF"}, "All"), all_high);
}

TEST_F(XmlStoreTest, BlanksInValuesSurviveAReload) {
  const std::string path = dir_.Sub("x.xml");
  {
    CXmlStore store;
    ASSERT_TRUE(store.Create(path, "R"));
    EXPECT_TRUE(store.SetString({"R"}, "Padded", "  two  blanks  "));
    EXPECT_TRUE(store.SetString({"R"}, "Blank", " "));
    EXPECT_TRUE(store.SetString({"R"}, "Quotes", "it's \"x\""));
    ASSERT_TRUE(store.Save());
  }
  CXmlStore again;
  ASSERT_TRUE(again.Load(path));
  EXPECT_EQ(again.GetString({"R"}, "Padded"), "  two  blanks  ");
  EXPECT_EQ(again.GetString({"R"}, "Blank"), " ");
  EXPECT_EQ(again.GetString({"R"}, "Quotes"), "it's \"x\"");
}

TEST_F(XmlStoreTest, ElementRefsAppendWithoutScanningSiblings) {
  const std::string path = dir_.Sub("x.xml");
  CXmlStore store;
  ASSERT_TRUE(store.Create(path, "Scanresult"));
  const ElementRef root = store.Find({"Scanresult"});
  ASSERT_TRUE(root);
  const ElementRef folder = store.AddElementAt(root, "Folder1");
  EXPECT_TRUE(store.SetStringAt(folder, "Foldername", "RootFolder"));
  for (int i = 1; i <= 3; ++i) {
    const ElementRef file = store.AddElementAt(folder, "File" + std::to_string(i));
    EXPECT_TRUE(store.AppendStringAt(file, "Filename", "f" + std::to_string(i)));
    EXPECT_TRUE(store.SetStringAt(file, "Write", "false"));
    EXPECT_TRUE(store.SetStringAt(file, "Write", "true"));
  }
  EXPECT_EQ(store.GetString({"Scanresult", "Folder1", "File3"}, "Filename"), "f3");
  EXPECT_EQ(store.GetString({"Scanresult", "Folder1", "File2"}, "Write"), "true");
  EXPECT_FALSE(store.AddElementAt(ElementRef(), "X"));
  EXPECT_FALSE(store.SetStringAt(ElementRef(), "X", "y"));
}

TEST_F(XmlStoreTest, SaveReplacesTheFileWithoutLeavingTemporaries) {
  CXmlStore store;
  ASSERT_TRUE(store.Load(ConfigPath()));
  ASSERT_TRUE(store.Save());
  std::vector<platform::DirEntry> entries;
  ASSERT_EQ(platform::ListDirectory(dir_.path(), entries), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "config.xml");
}

// --- text splice ----------------------------------------------------------

TEST(XmlSpliceTest, CopiesTheSectionAfterTheMarker) {
  std::string target = "<?xml?>\r\n<C>\r\n<General><A>1</A></General>\r\n</C>\r\n";
  const std::string source =
      "<?xml?>\r\n<KestrelServer_Config><General/><Project1><N>x</N></Project1>"
      "<Project2>y</Project2></KestrelServer_Config>";
  ASSERT_TRUE(CXmlStore::SpliceText(
      target, source,
      {"</General>", "KestrelServer_Config", {"General", "<Project1>"}, "</Project1>"}));
  EXPECT_EQ(target,
            "<?xml?>\r\n<C>\r\n<General><A>1</A></General><Project1><N>x</N></Project1>\r\n"
            "</C>\r\n");
  ASSERT_TRUE(CXmlStore::SpliceText(
      target, source,
      {"</Project1>", "KestrelServer_Config", {"General", "<Project2>"}, "</Project2>"}));
  EXPECT_NE(target.find("</Project1><Project2>y</Project2>\r\n"), std::string::npos);
}

TEST(XmlSpliceTest, FailsWhenAMarkerIsMissing) {
  const std::string source =
      "<?xml?><KestrelServer_Config><General></General><Project1>a</Project1>";
  std::string target = "<x><General/></x>";
  EXPECT_FALSE(CXmlStore::SpliceText(
      target, source,
      {"</General>", "KestrelServer_Config", {"General", "<Project1>"}, "</Project1>"}));
  target = "<x><General></General></x>";
  EXPECT_FALSE(CXmlStore::SpliceText(
      target, source,
      {"</General>", "KestrelServer_Config", {"General", "<Project2>"}, "</Project2>"}));
  EXPECT_FALSE(CXmlStore::SpliceText(target, source,
                                     {"</General>", "KestrelServer_Config", {}, "</Project9>"}));
  EXPECT_EQ(target, "<x><General></General></x>");
}

TEST(XmlSpliceTest, NeedsMarkersAfterTheFirstByte) {
  const std::string source = " S <P>body</P>";
  std::string target = "</General>rest";
  EXPECT_FALSE(CXmlStore::SpliceText(target, source, {"</General>", "S", {}, "</P>"}));
  target = "x</General>rest";
  EXPECT_TRUE(CXmlStore::SpliceText(target, source, {"</General>", "S", {"<P>"}, "</P>"}));
  EXPECT_EQ(target, "x</General><P>body</P>rest");
  std::string empty;
  EXPECT_FALSE(CXmlStore::SpliceText(empty, source, {"</General>", "S", {}, "</P>"}));
}

}  // namespace
}  // namespace kestrel
