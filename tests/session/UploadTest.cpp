// Upload request, chunks and upload end.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "logging/LogRecord.h"
#include "net/RequestLayout.h"
#include "platform/FileSystem.h"
#include "session/SessionHarness.h"
#include "support/TempNames.h"
#include "support/ZipArchive.h"

namespace kestrel::test {
namespace {

constexpr platform::FileTime kAnnounced = 0x01D9A1B2C3D4E5F7ULL;  // odd 100 ns count

platform::FileTime LastWrite(const std::string& path) {
  platform::DirEntry e;
  return platform::Stat(path, e) == 0 ? e.last_write : 0;
}

// An upload request announcing a file of size bytes.
Bytes UploadRecord(Peer& peer, std::string_view folder, std::string_view file,
                   platform::FileTime time, std::int64_t size) {
  std::uint8_t fixed[kUploadFixedPartSize];
  WriteUploadFixedPart(UploadFixedPart{time, size}, fixed);
  return peer.session->SealRecord({folder, file}, fixed);
}

// A chunk with the header fields given explicitly.
std::optional<client::ReplyFrame> OddChunk(Peer& peer, std::size_t cipher, std::size_t plain,
                                           std::uint8_t marker) {
  const std::uint8_t header[5] = {
      static_cast<std::uint8_t>(cipher >> 8), static_cast<std::uint8_t>(cipher & 0xFF),
      static_cast<std::uint8_t>(plain >> 8), static_cast<std::uint8_t>(plain & 0xFF), marker};
  const Bytes block(1280, 0x11);
  return peer.connection.BulkRequest(PacketType::kUploadChunk, header, block);
}

// The archive bytes of a file holding content, packed as src.txt.
std::string PackedText(const std::string& content) {
  WriteFileBytes("src.txt", content);
  EXPECT_TRUE(PackFile("u.zip", "src.txt", "src.txt"));
  return ReadFileBytes("u.zip");
}

// Up to 1280 archive bytes as one upload chunk.
bool SendChunk(Peer& peer, std::string_view bytes) {
  return peer.session->SendUploadChunk(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

// No upload was reported as placed, and the project did not change.
void ExpectNoFilePlaced(SessionEnv& env) {
  for (const auto& [text, level] : env.log_window.LogLines()) {
    EXPECT_EQ(text.find("updated file"), std::string::npos) << text;
  }
  EXPECT_FALSE(env.Alpha().changed_by_session.load());
}

class UploadTest : public ::testing::Test {
 protected:
  SessionEnv env;
};

TEST_F(UploadTest, FileLandsInTheRootWithTheAnnouncedTimeAndExactReplies) {
  const std::string content = RandomBytes(5000, 21);
  WriteFileBytes("src.bin", content);
  ASSERT_TRUE(PackFile("up.zip", "src.bin", "src.bin"));
  const std::string archive = ReadFileBytes("up.zip");
  RawPeer peer(env);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  peer.Exchange(
      ClientFrame(0x11, peer.Seal({"anna", "secret", "Alpha", "pc"}, {}, std::string(32, '0'))), 7);
  Bytes fixed(16, 0);
  for (int i = 0; i < 8; ++i) fixed[i] = static_cast<std::uint8_t>(kAnnounced >> (8 * i));
  for (int i = 0; i < 8; ++i) fixed[8 + i] = static_cast<std::uint8_t>(content.size() >> (8 * i));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x32, peer.Seal({"RootFolder", "new.bin"}, fixed)), 7),
            (Bytes{0xCC, 0x33, 0x32, 0x02, 0x55, 0x33, 0xA9}));
  const Bytes ack = {0xCC, 0x33, 0x33, 0x02, 0x55, 0x33, 0xA8};
  CRijndael cipher;
  cipher.MakeKey(peer.key);
  for (std::size_t at = 0; at < archive.size(); at += 1280) {
    const std::size_t n = std::min<std::size_t>(1280, archive.size() - at);
    const std::size_t c = (n + 15) / 16 * 16;
    Bytes block(1280, 0);
    EncryptBuffer(cipher, reinterpret_cast<const std::uint8_t*>(archive.data()) + at, n,
                  block.data());
    Bytes frame(1290);
    const std::uint8_t header[5] = {std::uint8_t(c >> 8), std::uint8_t(c), std::uint8_t(n >> 8),
                                    std::uint8_t(n), 0xCC};
    frame.resize(BuildBulkRequest(PacketType::kUploadChunk, header, block, frame));
    ASSERT_EQ(frame.size(), 1290u);
    EXPECT_EQ(peer.Exchange(frame, 7), ack);
  }
  EXPECT_EQ(peer.Exchange(Bytes{0xAA, 0x55, 0x33, 0x00, 0xCC}, 7), ack);
  EXPECT_EQ(ReadFileBytes(env.AlphaFile("new.bin")), content);
  EXPECT_EQ(LastWrite(env.AlphaFile("new.bin")), kAnnounced);
  EXPECT_TRUE(
      env.WaitForLog("File RootFolder\\new.bin prepared for RX on project Alpha", kLogInfo));
  const std::string line = "Project Alpha: user anna updated file RootFolder\\new.bin";
  EXPECT_TRUE(env.WaitForLog(line, kLogInfo));
  EXPECT_NE(env.UserLog().find(": " + line + "\r\n"), std::string::npos);
  EXPECT_TRUE(env.Alpha().changed_by_session.load());
  EXPECT_FALSE(platform::Exists(".\\Temp\\transfer_0.dat"));
  EXPECT_TRUE(platform::Exists(".\\Temp\\Alpha_anna_0.zip"));  // kept until teardown
}

TEST_F(UploadTest, MissingTwoLevelFolderIsCreated) {
  const std::string content = "two levels down\r\n";
  WriteFileBytes("src.txt", content);
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->UploadFile("Docs\\2021", "deep.txt", "src.txt", kAnnounced, "u.zip"));
  EXPECT_EQ(ReadFileBytes(env.AlphaFile("Docs/2021/deep.txt")), content);
  EXPECT_EQ(LastWrite(env.AlphaFile("Docs/2021/deep.txt")), kAnnounced);
}

TEST_F(UploadTest, LargeFileFromAPipeliningClientIsPackedWhileSent) {
  std::string text;
  for (int i = 0; text.size() < (9u << 20); ++i) text += "entry " + std::to_string(i) + "\n";
  WriteFileBytes("src.txt", text);
  Peer peer(env);
  ASSERT_TRUE(peer.connection.ProbePipelining());
  ASSERT_TRUE(peer.LoginAnna());
  // The archive's size is unknown while its chunks go out.
  struct : client::TransferObserver {
    void OnProgress(const client::TransferProgress& p) override {
      if (p.phase == client::TransferPhase::kMoving) streamed = p.total == 0;
    }
    bool streamed = false;
  } observer;
  ASSERT_TRUE(
      peer.session->Upload("src.txt", "RootFolder", "big.txt", "u.zip", kAnnounced, &observer));
  EXPECT_TRUE(observer.streamed);
  EXPECT_TRUE(ReadFileBytes(env.AlphaFile("big.txt")) == text);
  // The server unpacked it while it arrived: its archive file got nothing.
  EXPECT_TRUE(platform::Exists("Temp/Alpha_anna_0.zip"));
  EXPECT_EQ(ReadFileBytes("Temp/Alpha_anna_0.zip"), "");
  EXPECT_FALSE(platform::Exists("u.zip"));
}

TEST_F(UploadTest, UploadReplacesAnExistingFile) {
  WriteFileBytes(env.AlphaFile("doc.txt"), "old contents");
  WriteFileBytes("src.txt", "new contents");
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->UploadFile("RootFolder", "doc.txt", "src.txt", kAnnounced, "u.zip"));
  EXPECT_EQ(ReadFileBytes(env.AlphaFile("doc.txt")), "new contents");
  // Unpacked while it arrived, though the peer sent one request at a time.
  EXPECT_EQ(ReadFileBytes("Temp/Alpha_anna_0.zip"), "");
}

TEST_F(UploadTest, DamagedArchiveLeavesTheOldFileUntouchedAndLogsNothing) {
  WriteFileBytes(env.AlphaFile("doc.txt"), "old contents");
  const platform::FileTime before = LastWrite(env.AlphaFile("doc.txt"));
  // Not an archive at all, then an archive with a broken data byte.
  WriteFileBytes("junk.zip", RandomBytes(3000, 5));
  WriteFileBytes("src.bin", RandomBytes(4000, 6));
  ASSERT_TRUE(PackFile("bad.zip", "src.bin", "src.bin"));
  std::string bad = ReadFileBytes("bad.zip");
  bad[100] ^= 0x5A;
  WriteFileBytes("bad.zip", bad);
  // Unpacked while it arrives on the session thread, or for a pipelining peer
  // announcing a large file on the writer's own: the outcome is the same.
  for (const bool pipelined : {false, true}) {
    Peer peer(env);
    if (pipelined) {
      ASSERT_TRUE(peer.connection.ProbePipelining());
    }
    ASSERT_TRUE(peer.LoginAnna());
    for (const char* archive : {"junk.zip", "bad.zip"}) {
      EXPECT_TRUE(peer.session->UploadArchive("RootFolder", "doc.txt", archive, kAnnounced,
                                              pipelined ? 9 << 20 : 4000));
      EXPECT_EQ(ReadFileBytes(env.AlphaFile("doc.txt")), "old contents") << archive;
      EXPECT_EQ(LastWrite(env.AlphaFile("doc.txt")), before);
    }
    EXPECT_FALSE(platform::Exists(".\\Temp\\transfer_0.dat"));
    EXPECT_TRUE(peer.session->RequestSessionKey());  // a later round trip
    ExpectNoFilePlaced(env);
  }
}

TEST_F(UploadTest, OddChunksAreNeverWrittenAndTheUploadPlacesNothing) {
  WriteFileBytes(env.AlphaFile("doc.txt"), "old contents");
  WriteFileBytes("src.txt", "small file");
  ASSERT_TRUE(PackFile("u.zip", "src.txt", "src.txt"));
  const std::string archive = ReadFileBytes("u.zip");
  ASSERT_LT(archive.size(), 1280u);
  struct Odd {
    std::size_t cipher, plain;
    std::uint8_t marker;
  };
  for (const Odd odd : {Odd{1296, 16, 0xCC}, Odd{17, 17, 0xCC}, Odd{32, 33, 0xCC}}) {
    Peer peer(env);
    ASSERT_TRUE(peer.LoginAnna());
    ASSERT_TRUE(peer.connection.Request(
        PacketType::kUploadRequest, UploadRecord(peer, "RootFolder", "doc.txt", kAnnounced, 10)));
    const auto ack = OddChunk(peer, odd.cipher, odd.plain, odd.marker);
    ASSERT_TRUE(ack.has_value());  // acknowledged ...
    EXPECT_EQ(ack->payload, (Bytes{0x55, 0x33}));
    EXPECT_EQ(ReadFileBytes("Temp/Alpha_anna_0.zip").size(), 0u);  // ... but not written
    ASSERT_TRUE(peer.session->SendUploadChunk(std::span<const std::uint8_t>(
        reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size())));
    ASSERT_TRUE(peer.session->SendUploadEnd());
    EXPECT_EQ(ReadFileBytes(env.AlphaFile("doc.txt")), "old contents")
        << odd.cipher << "/" << odd.plain << "/" << int(odd.marker);
  }
}

TEST_F(UploadTest, ChunkWithoutTheDataMarkerIsAcknowledgedSkippedAndTheUploadGoesOn) {
  const std::string archive = PackedText("placed all the same");
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.connection.Request(PacketType::kUploadRequest,
                                      UploadRecord(peer, "RootFolder", "doc.txt", kAnnounced, 19)));
  const auto ack = OddChunk(peer, 1280, 1280, 0x00);
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ(ack->payload, (Bytes{0x55, 0x33}));
  EXPECT_EQ(ReadFileBytes("Temp/Alpha_anna_0.zip").size(), 0u);
  ASSERT_TRUE(SendChunk(peer, archive));
  ASSERT_TRUE(peer.session->SendUploadEnd());
  EXPECT_EQ(ReadFileBytes(env.AlphaFile("doc.txt")), "placed all the same");
}

TEST_F(UploadTest, ChunksAreTakenWithoutAnyAllocation) {
  WriteFileBytes("src.bin", RandomBytes(200000, 13));
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->UploadFile("RootFolder", "up.bin", "src.bin", kAnnounced, "u.zip"));
  int chunk_reads = 0;
  int allocating = 0;
  for (const auto& [type, allocations] : peer.served->ReadAllocations()) {
    if (type != 0x33) continue;
    ++chunk_reads;
    // Besides the upload end (placement, log line), only the chunk that
    // completes the first block may allocate: it starts the unpacking.
    if (chunk_reads <= 150 && allocations != 0) ++allocating;
  }
  EXPECT_GT(chunk_reads, 150);
  EXPECT_LE(allocating, 1);
}

TEST_F(UploadTest, ChunksWithoutAnOpenUploadAreAcknowledgedAndDiscarded) {
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  const std::uint8_t data[20] = {1, 2, 3};
  EXPECT_TRUE(peer.session->SendUploadChunk(data));
  EXPECT_TRUE(peer.session->SendUploadEnd());
  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(env.alpha_root, entries);
  EXPECT_TRUE(entries.empty());
}

TEST_F(UploadTest, LogoutAbandonsTheUploadInProgress) {
  WriteFileBytes("src.txt", "after logout");
  ASSERT_TRUE(PackFile("u.zip", "src.txt", "src.txt"));
  const std::string archive = ReadFileBytes("u.zip");
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.connection.Request(
      PacketType::kUploadRequest, UploadRecord(peer, "RootFolder", "late.txt", kAnnounced, 12)));
  ASSERT_TRUE(peer.session->SendUploadChunk(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size())));
  ASSERT_TRUE(peer.session->Logout());
  ASSERT_TRUE(peer.LoginAnna());
  EXPECT_TRUE(peer.session->SendUploadEnd());
  EXPECT_FALSE(platform::Exists(env.AlphaFile("late.txt")));
}

// bob starts an upload (his archive lies complete in Temp), anna logs in on
// the same connection, announces her own file and sends a chunk, bob logs in
// again and ends the upload: nothing may be placed, least of all bob's
// content under anna's name.
TEST_F(UploadTest, ReloginPartWayThroughAnUploadPlacesNothing) {
  const std::string bob_archive = PackedText("bob's old content");
  const std::string anna_archive = PackedText(RandomBytes(3000, 31));
  ASSERT_GT(anna_archive.size(), 1280u);
  Peer peer(env);
  ASSERT_TRUE(peer.session->RequestSessionKey());
  ASSERT_TRUE(peer.session->Login("bob", "hunter2", "Alpha"));
  ASSERT_TRUE(peer.connection.Request(PacketType::kUploadRequest,
                                      UploadRecord(peer, "RootFolder", "bob.txt", kAnnounced, 17)));
  ASSERT_TRUE(SendChunk(peer, bob_archive));

  ASSERT_TRUE(peer.session->Login("anna", "secret", "Alpha"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\Alpha_bob_0.zip"));
  ASSERT_TRUE(peer.connection.Request(
      PacketType::kUploadRequest, UploadRecord(peer, "RootFolder", "anna.bin", kAnnounced, 3000)));
  ASSERT_TRUE(SendChunk(peer, std::string_view(anna_archive).substr(0, 1280)));

  ASSERT_TRUE(peer.session->Login("bob", "hunter2", "Alpha"));
  EXPECT_TRUE(peer.session->SendUploadEnd());
  EXPECT_FALSE(platform::Exists(env.AlphaFile("anna.bin")));
  EXPECT_FALSE(platform::Exists(env.AlphaFile("bob.txt")));
  EXPECT_FALSE(platform::Exists(".\\Temp\\Alpha_anna_0.zip"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\Alpha_bob_0.zip"));
  ExpectNoFilePlaced(env);
}

TEST_F(UploadTest, ArchivesGoWhenTheirLoginOrTheConnectionEnds) {
  WriteFileBytes(env.AlphaFile("doc.txt"), "a document");
  auto peer = std::make_unique<Peer>(env);
  ASSERT_TRUE(peer->LoginAnna());
  ASSERT_TRUE(peer->session->DownloadFile("RootFolder", "doc.txt", "d.zip", "d.txt"));
  ASSERT_TRUE(platform::Exists(".\\Temp\\Alpha_anna_0.zip"));
  ASSERT_TRUE(peer->session->Login("bob", "hunter2", "Alpha"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\Alpha_anna_0.zip"));  // the earlier login's
  ASSERT_TRUE(peer->connection.Request(
      PacketType::kUploadRequest, UploadRecord(*peer, "RootFolder", "late.txt", kAnnounced, 12)));
  ASSERT_TRUE(platform::Exists(".\\Temp\\Alpha_bob_0.zip"));
  WriteFileBytes("Temp/XMLConfig_0.zip", "a remote upload's archive");
  peer->connection.Close();
  ASSERT_TRUE(peer->served->WaitEnded());
  EXPECT_FALSE(platform::Exists(".\\Temp\\Alpha_bob_0.zip"));
  EXPECT_FALSE(platform::Exists(".\\Temp\\XMLConfig_0.zip"));
  EXPECT_FALSE(platform::Exists(env.AlphaFile("late.txt")));
}

TEST_F(UploadTest, ChunkSplitOverTwoReadsIsStillTakenWhole) {
  const std::string content = RandomBytes(1000, 8);
  WriteFileBytes("src.bin", content);
  ASSERT_TRUE(PackFile("u.zip", "src.bin", "src.bin"));
  const std::string archive = ReadFileBytes("u.zip");
  ASSERT_LE(archive.size(), 1280u);
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.connection.Request(
      PacketType::kUploadRequest, UploadRecord(peer, "RootFolder", "split.bin", kAnnounced, 1000)));
  CRijndael cipher;
  cipher.MakeKey(peer.session->session_key());
  Bytes block(1280, 0);
  const std::size_t n = archive.size(), c = (n + 15) / 16 * 16;
  EncryptBuffer(cipher, reinterpret_cast<const std::uint8_t*>(archive.data()), n, block.data());
  const std::uint8_t header[5] = {std::uint8_t(c >> 8), std::uint8_t(c), std::uint8_t(n >> 8),
                                  std::uint8_t(n), 0xCC};
  Bytes frame(1290);
  frame.resize(BuildBulkRequest(PacketType::kUploadChunk, header, block, frame));
  const int reads_before = peer.served->reads();
  ASSERT_TRUE(peer.connection.SendRaw(std::span<const std::uint8_t>(frame.data(), 700)));
  ASSERT_TRUE(WaitUntil([&] { return peer.served->reads() == reads_before + 1; }));
  ASSERT_TRUE(peer.connection.SendRaw(std::span<const std::uint8_t>(frame.data() + 700, 590)));
  const auto ack = peer.connection.ReceiveReply(std::chrono::seconds(5));
  ASSERT_TRUE(ack.has_value());
  EXPECT_EQ(ack->payload, (Bytes{0x55, 0x33}));
  ASSERT_TRUE(peer.session->SendUploadEnd());
  EXPECT_EQ(ReadFileBytes(env.AlphaFile("split.bin")), content);
  EXPECT_EQ(env.log_window.CountLog("network handling: corrupt packet", kLogWarning), 0);
}

TEST_F(UploadTest, ParallelUploadsNeverSwapOrMixContents) {
  constexpr int kPeers = 8;
  for (int i = 0; i < kPeers; ++i) {
    WriteFileBytes("src" + std::to_string(i) + ".bin", RandomBytes(400000 + 997 * i, 100 + i));
  }
  std::vector<std::unique_ptr<Peer>> peers;
  for (int i = 0; i < kPeers; ++i) {
    peers.push_back(std::make_unique<Peer>(env, i));
    ASSERT_TRUE(peers.back()->LoginAnna());
  }
  for (int round = 0; round < 5; ++round) {
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    // Every upload ends at the same moment, so the extractions overlap.
    std::latch all_sent(kPeers);
    for (int i = 0; i < kPeers; ++i) {
      threads.emplace_back([&, i] {
        const std::string n = std::to_string(i);
        // Half the peers share one target, the other half have their own.
        const std::string target = i % 2 ? "shared.bin" : "own" + n + ".bin";
        client::ClientSession& s = *peers[i]->session;
        const std::string archive_path = "local" + n + ".zip";
        const std::int64_t size = 400000 + 997 * i;
        bool sent = PackFile(archive_path, "src" + n + ".bin", target) &&
                    peers[i]
                        ->connection
                        .Request(PacketType::kUploadRequest,
                                 UploadRecord(*peers[i], "Par\\Load", target, kAnnounced + i, size))
                        .has_value();
        const std::string archive = ReadFileBytes(archive_path);
        for (std::size_t at = 0; sent && at < archive.size(); at += 1280) {
          sent = s.SendUploadChunk(std::span<const std::uint8_t>(
              reinterpret_cast<const std::uint8_t*>(archive.data()) + at,
              std::min<std::size_t>(1280, archive.size() - at)));
        }
        all_sent.arrive_and_wait();
        if (sent && s.SendUploadEnd()) ++ok;
      });
    }
    for (std::thread& t : threads) t.join();
    ASSERT_EQ(ok.load(), kPeers);
    for (int i = 0; i < kPeers; i += 2) {
      const std::string n = std::to_string(i);
      EXPECT_EQ(ReadFileBytes(env.AlphaFile("Par/Load/own" + n + ".bin")),
                ReadFileBytes("src" + n + ".bin"));
      EXPECT_EQ(LastWrite(env.AlphaFile("Par/Load/own" + n + ".bin")), kAnnounced + i);
    }
    const std::string shared = ReadFileBytes(env.AlphaFile("Par/Load/shared.bin"));
    bool whole_one = false;
    for (int i = 1; i < kPeers; i += 2) {
      whole_one |= shared == ReadFileBytes("src" + std::to_string(i) + ".bin");
    }
    EXPECT_TRUE(whole_one) << "the shared target holds a mix or a stranger's file";
  }
  for (int i = 0; i < kPeers; ++i) {
    EXPECT_FALSE(platform::Exists(StagingFilePath(i))) << i;
  }
}

TEST_F(UploadTest, EachConnectionStagesUnderItsOwnNameAndLeavesNoStagingFile) {
  // Another connection's staged file lies in Temp while this one uploads.
  WriteFileBytes("Temp/transfer_1.dat", "a stranger's file");
  WriteFileBytes("Temp/transfer.dat", "left over from an earlier version");
  WriteFileBytes("src.txt", "mine");
  Peer peer(env, 2);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->UploadFile("RootFolder", "mine.txt", "src.txt", kAnnounced, "u.zip"));
  EXPECT_EQ(ReadFileBytes(env.AlphaFile("mine.txt")), "mine");
  EXPECT_EQ(ReadFileBytes("Temp/transfer_1.dat"), "a stranger's file");
  EXPECT_FALSE(platform::Exists(".\\Temp\\transfer_2.dat"));
}

TEST_F(UploadTest, StaleStagingFileIsNeverPlacedByAFailedUpload) {
  WriteFileBytes("Temp/transfer_0.dat", "left over from another upload");
  WriteFileBytes("junk.zip", RandomBytes(2000, 9));
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  EXPECT_TRUE(peer.session->UploadArchive("RootFolder", "new.txt", "junk.zip", kAnnounced, 2000));
  EXPECT_FALSE(platform::Exists(env.AlphaFile("new.txt")));
  EXPECT_FALSE(platform::Exists(".\\Temp\\transfer_0.dat"));
}

}  // namespace
}  // namespace kestrel::test
