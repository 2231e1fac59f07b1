// Uploads are bounded: an archive larger than its announced file, a zip bomb
// and an archive of many entries place nothing and leave nothing behind;
// connections upload side by side.
#include <gtest/gtest.h>

#include <filesystem>
#include <latch>
#include <memory>
#include <string>
#include <thread>

#include "DemoServer.h"
#include "client/ClientConnection.h"
#include "client/ClientSession.h"
#include "platform/FileSystem.h"
#include "support/ZipArchive.h"

namespace kestrel::test {
namespace {

constexpr const char* kGlobalKey = "qa7b5N2dkeMw8rf";
constexpr platform::FileTime kTime = 133800000000000000ULL;

struct Connected {
  client::ClientConnection connection;
  std::unique_ptr<client::ClientSession> session;
};

// Overwrites the 32-bit little-endian field at offset of the first record
// that starts with signature.
void Patch32(std::string& zip, std::string_view signature, std::size_t offset,
             std::uint32_t value) {
  const std::size_t at = zip.find(signature);
  ASSERT_NE(at, std::string::npos);
  for (int i = 0; i < 4; ++i) zip[at + offset + i] = static_cast<char>(value >> (8 * i));
}

class UploadLimitsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(demo_.Start()); }

  std::unique_ptr<Connected> LoggedIn(const std::string& user) {
    auto c = std::make_unique<Connected>();
    if (!c->connection.Connect("127.0.0.1", demo_.port())) return nullptr;
    c->session = std::make_unique<client::ClientSession>(c->connection, kGlobalKey);
    if (!c->session->RequestSessionKey() || !c->session->Login(user, DemoPassword(user), "Demo")) {
      return nullptr;
    }
    return c;
  }
  // The archive of one entry holding content, in the scratch folder.
  std::string Packed(const std::string& name, const std::string& content) {
    const std::string source = demo_.Scratch(name);
    WriteFile(source, content);
    EXPECT_TRUE(PackFile(source + ".zip", source, name));
    return source + ".zip";
  }
  std::vector<std::string> TempNames() const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(demo_.dir().Sub("Temp"))) {
      names.push_back(e.path().filename().string());
    }
    return names;
  }
  // Nothing but the upload archive of the connection is left in Temp.
  void ExpectOnlyArchivesInTemp() const {
    for (const std::string& name : TempNames()) EXPECT_TRUE(name.ends_with(".zip")) << name;
  }

  DemoServer demo_;
};

TEST_F(UploadLimitsTest, ArchiveGrowingPastTheAnnouncedSizeIsAcknowledgedButPlacesNothing) {
  const std::string archive = Packed("big.bin", RandomBytes(300000, 1));
  auto alice = LoggedIn("alice");
  ASSERT_TRUE(alice);
  // Announced as 10 bytes: every chunk and the end are still acknowledged.
  EXPECT_TRUE(alice->session->UploadArchive("RootFolder", "big.bin", archive, kTime, 10));
  EXPECT_FALSE(std::filesystem::exists(demo_.Root("big.bin")));
  // The archive stopped growing at its bound and went at once.
  EXPECT_TRUE(TempNames().empty());
  // The connection goes on: an honest upload after it is placed.
  EXPECT_TRUE(alice->session->UploadArchive("RootFolder", "big.bin", archive, kTime, 300000));
  EXPECT_EQ(ReadFile(demo_.Root("big.bin")), ReadFile(demo_.Scratch("big.bin")));
}

TEST_F(UploadLimitsTest, ZipBombsPlaceNothingAndLeaveNoSideFile) {
  // 8 MiB of zeros announced as the size of its small archive, and the same
  // entry claiming 1 GiB: beyond the announced size, beyond what deflate reaches.
  const std::string zeros = Packed("zeros.bin", std::string(8 << 20, '\0'));
  std::string lying = ReadFile(zeros);
  Patch32(lying, "PK\x03\x04", 22, 1u << 30);
  Patch32(lying, "PK\x01\x02", 24, 1u << 30);
  WriteFile(demo_.Scratch("lying.zip"), lying);
  const std::int64_t archive_size = static_cast<std::int64_t>(lying.size());
  auto alice = LoggedIn("alice");
  ASSERT_TRUE(alice);
  EXPECT_TRUE(alice->session->UploadArchive("RootFolder", "bomb.bin", zeros, kTime, archive_size));
  EXPECT_TRUE(alice->session->UploadArchive("RootFolder", "bomb.bin", demo_.Scratch("lying.zip"),
                                            kTime, std::int64_t{1} << 30));
  EXPECT_FALSE(std::filesystem::exists(demo_.Root("bomb.bin")));
  ExpectOnlyArchivesInTemp();
}

TEST_F(UploadLimitsTest, ArchiveOfManyEntriesPlacesNothing) {
  const std::string one = demo_.Scratch("one.txt");
  WriteFile(one, "x");
  ZipWriter writer;
  ASSERT_TRUE(writer.Create(demo_.Scratch("many.zip")));
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(writer.AddFile("e" + std::to_string(i), one));
  ASSERT_TRUE(writer.Close());
  auto alice = LoggedIn("alice");
  ASSERT_TRUE(alice);
  EXPECT_TRUE(alice->session->UploadArchive("RootFolder", "many.txt", demo_.Scratch("many.zip"),
                                            kTime, 200));
  EXPECT_FALSE(std::filesystem::exists(demo_.Root("many.txt")));
  ExpectOnlyArchivesInTemp();
}

TEST_F(UploadLimitsTest, TempIsEmptyOnceTheConnectionEnds) {
  const std::string archive = Packed("doc.txt", "a document");
  auto alice = LoggedIn("alice");
  ASSERT_TRUE(alice);
  ASSERT_TRUE(alice->session->UploadArchive("RootFolder", "doc.txt", archive, kTime, 10));
  ASSERT_TRUE(alice->session->RequestDownload("RootFolder", "readme.txt"));
  ASSERT_TRUE(alice->session->WaitTransferReady());
  EXPECT_FALSE(TempNames().empty());
  alice->connection.Close();
  EXPECT_TRUE(WaitFor([&] { return TempNames().empty(); }));
}

TEST_F(UploadLimitsTest, TwoConnectionsUploadingAtOnceBothPlaceTheirFiles) {
  const std::string archives[] = {Packed("a.bin", RandomBytes(400000, 2)),
                                  Packed("b.bin", RandomBytes(500000, 3))};
  const std::int64_t sizes[] = {400000, 500000};
  std::unique_ptr<Connected> peers[] = {LoggedIn("alice"), LoggedIn("bob")};
  ASSERT_TRUE(peers[0] && peers[1]);
  std::latch start(2);
  bool ok[2] = {false, false};
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      start.arrive_and_wait();
      const std::string name = i == 0 ? "a.bin" : "b.bin";
      ok[i] = peers[i]->session->UploadArchive("RootFolder", name, archives[i], kTime, sizes[i]);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_TRUE(ok[0] && ok[1]);
  EXPECT_EQ(ReadFile(demo_.Root("a.bin")), ReadFile(demo_.Scratch("a.bin")));
  EXPECT_EQ(ReadFile(demo_.Root("b.bin")), ReadFile(demo_.Scratch("b.bin")));
  ExpectOnlyArchivesInTemp();
}

}  // namespace
}  // namespace kestrel::test
