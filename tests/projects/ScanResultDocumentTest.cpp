#include "projects/ScanResultDocument.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ProjectsTestUtil.h"
#include "projects/UserRights.h"
#include "support/XmlStore.h"

namespace kestrel::projects {
namespace {

using test::ReadFile;
using test::ScopedWorkDir;

struct RefFile {
  std::string name;
  platform::FileTime time;
  std::uint64_t size;
};
struct RefFolder {
  std::string relative;
  std::vector<std::uint8_t> access;  // per user
  std::vector<RefFile> files;
};

// The document of one user built the slow way, element by element through the
// value store, exactly as the scan is described: numbering, AddElement and
// SetString per file, TotalSize last.
std::string StoreDocument(const std::vector<RefFolder>& folders, std::size_t user,
                          const std::string& path) {
  CXmlStore store;
  EXPECT_TRUE(store.Create(path, "Scanresult"));
  int folder_number = 1;
  bool entry_written = false;
  std::uint64_t total = 0;
  bool first = true;
  for (const RefFolder& folder : folders) {
    int file_number = 1;
    bool moved = false;
    for (const RefFile& file : folder.files) {
      total += file.size;
      if (!first && !moved) {
        if (entry_written) ++folder_number;
        moved = true;
      }
      std::string f = "Folder" + std::to_string(folder_number);
      entry_written = true;
      EXPECT_TRUE(store.AddElement(XmlPath{"Scanresult", f}));
      EXPECT_TRUE(store.SetString(XmlPath{"Scanresult", f}, "Foldername", folder.relative));
      if (folder.access[user] & kAccessVisible) {
        std::string m = "File" + std::to_string(file_number++);
        EXPECT_TRUE(store.AddElement(XmlPath{"Scanresult", f, m}));
        XmlPath fp{"Scanresult", f, m};
        store.SetString(fp, "Filename", file.name);
        store.SetString(fp, "TimeLow", std::to_string(static_cast<std::uint32_t>(file.time)));
        store.SetString(fp, "TimeHigh",
                        std::to_string(static_cast<std::uint32_t>(file.time >> 32)));
        store.SetString(fp, "Write", (folder.access[user] & kAccessWritable) ? "true" : "false");
      } else {
        store.SetString(XmlPath{"Scanresult", f}, "Foldername", folder.relative);
        store.SetString(XmlPath{"Scanresult", f}, "Invisible", "true");
      }
    }
    first = false;
  }
  store.SetString(XmlPath{"Scanresult"}, "TotalSize",
                  std::to_string(static_cast<long long>(total)));
  EXPECT_TRUE(store.Save());
  return ReadFile(path);
}

std::string BuilderDocument(const std::vector<RefFolder>& folders, std::size_t users,
                            std::size_t user) {
  ScanResultBuilder builder(users);
  for (const RefFolder& folder : folders) {
    builder.BeginFolder(folder.relative, folder.access);
    for (const RefFile& file : folder.files) builder.AddFile(file.name, file.time, file.size);
  }
  std::string out;
  builder.Build(user, out);
  return out;
}

TEST(ScanResultDocument, BytesEqualWhatTheValueStoreSavesForTheSameDocument) {
  ScopedWorkDir work;
  const std::uint8_t rw = kAccessVisible | kAccessWritable;
  const std::uint8_t ro = kAccessVisible;
  const std::uint8_t hidden = kAccessNone;
  const std::uint8_t write_only = kAccessWritable;  // writable without visible: hidden
  std::vector<RefFolder> folders = {
      {"RootFolder",
       {rw, ro, hidden},
       {{"a.txt", 133500000001234567ULL, 10}, {"b&c<d>.txt", 5, 7}}},
      {"Empty", {rw, rw, rw}, {}},
      {"Empty\\Deeper", {hidden, rw, write_only}, {{"quote\"'s.doc", 0xFFFFFFFFFFFFFFFFULL, 0}}},
      {"Gr\xfc\xdf"
       "e \xe4\xf6",
       {ro, hidden, rw},
       {{"\xe9t\xe9 &amp; co.txt", 1, 3}}},
      {"Last", {hidden, hidden, hidden}, {{"x", 2, 1}, {"y", 3, 1}, {"z", 4, 1}}},
  };
  for (std::size_t user = 0; user < 3; ++user) {
    std::string expected = StoreDocument(folders, user, ".\\Config\\ref.xml");
    EXPECT_EQ(BuilderDocument(folders, 3, user), expected) << "user " << user;
  }
}

TEST(ScanResultDocument, EmptyProjectHoldsOnlyTotalSizeZeroLikeTheStore) {
  ScopedWorkDir work;
  std::vector<RefFolder> folders = {{"RootFolder", {kAccessVisible}, {}}};
  EXPECT_EQ(BuilderDocument(folders, 1, 0), StoreDocument(folders, 0, ".\\Config\\e.xml"));
  EXPECT_EQ(BuilderDocument(folders, 1, 0),
            "<?xml version='1.0' encoding='UTF-8' ?>\n<Scanresult>\n"
            "    <TotalSize>0</TotalSize>\n</Scanresult>\n");
}

TEST(ScanResultDocument, TimeHighHalfOneAndLowHalfZeroAreWrittenApart) {
  ScanResultBuilder builder(1);
  std::vector<std::uint8_t> access = {kAccessVisible | kAccessWritable};
  builder.BeginFolder("RootFolder", access);
  builder.AddFile("t.bin", 1ULL << 32, 4);
  std::string out;
  builder.Build(0, out);
  EXPECT_NE(out.find("<TimeLow>0</TimeLow>\n            <TimeHigh>1</TimeHigh>"), std::string::npos)
      << out;
}

TEST(ScanResultDocument, TotalSizeAbove32BitsIsWrittenWhole) {
  ScanResultBuilder builder(1);
  std::vector<std::uint8_t> access = {kAccessNone};
  builder.BeginFolder("RootFolder", access);
  builder.AddFile("big1", 1, 3000000000ULL);
  builder.AddFile("big2", 1, 3000000000ULL);
  std::string out;
  builder.Build(0, out);
  EXPECT_NE(out.find("<TotalSize>6000000000</TotalSize>"), std::string::npos);
  EXPECT_EQ(builder.total_size(), 6000000000ULL);
}

// Users 0 and 2 differ only where it cannot show: writable without visible is
// hidden, and the folder without files has no element.
TEST(ScanResultDocument, TwinsAreTheUsersWhoseDocumentsAreEqual) {
  constexpr std::uint8_t kRead = kAccessVisible;
  constexpr std::uint8_t kWrite = kAccessVisible | kAccessWritable;
  ScanResultBuilder builder(4);
  builder.BeginFolder("RootFolder", std::vector<std::uint8_t>{kRead, kRead, kRead, kWrite});
  builder.AddFile("r", 1, 1);
  builder.BeginFolder("Empty", std::vector<std::uint8_t>{kWrite, kRead, kAccessNone, kWrite});
  builder.BeginFolder("A", std::vector<std::uint8_t>{kAccessNone, kRead, kAccessWritable, kWrite});
  builder.AddFile("a", 1, 1);
  EXPECT_EQ(builder.Twins(), (std::vector<std::uint32_t>{0, 1, 0, 3}));
  std::string first, third;
  builder.Build(0, first);
  builder.Build(2, third);
  EXPECT_EQ(first, third);
}

TEST(ScanResultDocument, EscapesOnlyAmpersandAndAngleBrackets) {
  std::string out;
  AppendXmlText(out, "a&b<c>d\"e'f\xff");
  EXPECT_EQ(out, "a&amp;b&lt;c&gt;d\"e'f\xff");
}

}  // namespace
}  // namespace kestrel::projects
