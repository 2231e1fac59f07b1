// Names from download, upload and delete requests never reach outside the
// project root: a canary file beside the root is never read, overwritten or
// deleted, and each refusal is logged with user, folder and the peer's address.
#include <gtest/gtest.h>

#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "session/SessionHarness.h"
#include "support/ZipArchive.h"

namespace kestrel::test {
namespace {

const char* kCanary = "canary.txt";  // in the working folder, two levels above the root
const std::string kCanaryText = "do not touch";

struct Escape {
  std::string folder, file;
};

std::vector<Escape> Escapes(const SessionEnv& env) {
  return {
      {"..\\..", "canary.txt"},
      {"RootFolder", "..\\..\\canary.txt"},
      {"Docs\\..\\..\\..", "canary.txt"},
      {"\\tmp", "canary.txt"},
      {env.dir.path(), "canary.txt"},  // absolute native path
      {"RootFolder", env.dir.Sub("canary.txt")},
      {"C:\\", "canary.txt"},
      {"Docs\\\\..", "canary.txt"},
      {"RootFolder", "canary.txt\n"},
      {".", "..\\..\\canary.txt"},
  };
}

class PathSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFileBytes(kCanary, kCanaryText);
    canary_time_ = Time();
  }
  platform::FileTime Time() {
    platform::DirEntry e;
    platform::Stat(kCanary, e);
    return e.last_write;
  }
  void ExpectCanaryIntact() {
    EXPECT_EQ(ReadFileBytes(kCanary), kCanaryText);
    EXPECT_EQ(Time(), canary_time_);
  }
  // Waits until `count` Warnings refused a request of this type for its name,
  // each naming user, folder and address.
  bool WaitForRefusals(int type, const Peer& peer, int count) {
    char head[96], tail[64];
    std::snprintf(head, sizeof head,
                  "network handling: refused packet 0x%02X (file name) of user anna for folder ",
                  type);
    std::snprintf(tail, sizeof tail, " from IP 127.0.0.1 at Port %d", peer.connection.LocalPort());
    return WaitUntil([&] {
      int n = 0;
      for (const auto& [text, level] : env.log_window.LogLines()) {
        n += level == kLogWarning && text.starts_with(head) && text.ends_with(tail);
      }
      return n == count;
    });
  }

  SessionEnv env;
  platform::FileTime canary_time_ = 0;
};

TEST_F(PathSafetyTest, DownloadOutsideTheRootIsRefusedAndNothingIsRead) {
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  peer.connection.set_reply_timeout(std::chrono::milliseconds(200));
  const auto escapes = Escapes(env);
  for (const Escape& e : escapes) {
    EXPECT_FALSE(peer.session->RequestDownload(e.folder, e.file)) << e.folder << " " << e.file;
  }
  EXPECT_FALSE(platform::Exists(".\\Temp\\Alpha_anna_0.zip"));
  EXPECT_TRUE(WaitForRefusals(0x22, peer, static_cast<int>(escapes.size())));
  ExpectCanaryIntact();
  // The session still serves proper names.
  WriteFileBytes(env.AlphaFile("ok.txt"), "fine");
  peer.connection.set_reply_timeout(std::chrono::seconds(5));
  EXPECT_TRUE(peer.session->DownloadFile("RootFolder", "ok.txt", "ok.zip", "ok.out"));
  EXPECT_EQ(ReadFileBytes("ok.out"), "fine");
}

TEST_F(PathSafetyTest, UploadOutsideTheRootIsRefusedAndNeverOverwrites) {
  WriteFileBytes("evil.txt", "overwritten!");
  ASSERT_TRUE(PackFile("evil.zip", "evil.txt", "evil.txt"));
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  peer.connection.set_reply_timeout(std::chrono::milliseconds(200));
  const auto escapes = Escapes(env);
  for (const Escape& e : escapes) {
    // The request gets no reply; chunks and the end sent anyway place nothing.
    EXPECT_FALSE(peer.session->UploadArchive(e.folder, e.file, "evil.zip", 1, 12));
    const std::string archive = ReadFileBytes("evil.zip");
    peer.session->SendUploadChunk(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size()));
    peer.session->SendUploadEnd();
    ExpectCanaryIntact();
  }
  EXPECT_TRUE(WaitForRefusals(0x32, peer, static_cast<int>(escapes.size())));
}

TEST_F(PathSafetyTest, RefusedUploadRequestAbandonsTheUploadInProgress) {
  WriteFileBytes("evil.txt", "overwritten!");
  ASSERT_TRUE(PackFile("evil.zip", "evil.txt", "evil.txt"));
  WriteFileBytes(env.AlphaFile("doc.txt"), "old");
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  peer.connection.set_reply_timeout(std::chrono::milliseconds(200));
  Bytes fixed(16, 0);
  ASSERT_TRUE(peer.connection.Request(PacketType::kUploadRequest,
                                      peer.session->SealRecord({"RootFolder", "doc.txt"}, fixed)));
  EXPECT_FALSE(peer.connection.Request(PacketType::kUploadRequest,
                                       peer.session->SealRecord({"..\\..", kCanary}, fixed)));
  const std::string archive = ReadFileBytes("evil.zip");
  peer.session->SendUploadChunk(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size()));
  peer.session->SendUploadEnd();
  EXPECT_EQ(ReadFileBytes(env.AlphaFile("doc.txt")), "old");
  ExpectCanaryIntact();
}

TEST_F(PathSafetyTest, DeleteOutsideTheRootIsRefusedAndNothingIsDeleted) {
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  peer.connection.set_reply_timeout(std::chrono::milliseconds(200));
  const auto escapes = Escapes(env);
  for (const Escape& e : escapes) {
    EXPECT_FALSE(peer.session->DeleteFile(e.folder, e.file)) << e.folder << " " << e.file;
    ExpectCanaryIntact();
  }
  EXPECT_TRUE(WaitForRefusals(0x34, peer, static_cast<int>(escapes.size())));
  EXPECT_FALSE(env.Alpha().changed_by_session.load());
}

}  // namespace
}  // namespace kestrel::test
