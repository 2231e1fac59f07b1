// Scan-result request, download request and the chunk loop.
#include <gtest/gtest.h>

#include <mutex>
#include <shared_mutex>

#include "logging/LogRecord.h"
#include "platform/FileSystem.h"
#include "session/SessionHarness.h"
#include "support/Rijndael.h"
#include "support/ZipArchive.h"

namespace kestrel::test {
namespace {

const Bytes kEndMarker = {0xCC, 0x33, 0x31, 0x00, 0xCE};

std::size_t FileSize(const std::string& path) {
  platform::DirEntry e;
  return platform::Stat(path, e) == 0 ? static_cast<std::size_t>(e.size) : 0;
}

// A source file content whose download archive is exactly archive_size bytes.
std::string ContentForArchiveSize(std::size_t archive_size) {
  for (std::size_t size = archive_size - 200; size < archive_size; ++size) {
    const std::string content = RandomBytes(size, 7);
    WriteFileBytes("probe.bin", content);
    PackFile(".\\Temp\\probe.zip", "probe.bin", "transfer.dat");
    if (FileSize("Temp/probe.zip") == archive_size) return content;
  }
  return {};
}

class DownloadTest : public ::testing::Test {
 protected:
  // Every chunk until the end marker, each frame checked; the decrypted archive.
  std::string FetchChecked(Peer& peer, int* chunks = nullptr) {
    std::string archive;
    CRijndael cipher;
    cipher.MakeKey(peer.session->session_key());
    int count = 0;
    bool short_seen = false;
    for (;;) {
      const auto reply = peer.connection.Request(PacketType::kNextDownloadChunk);
      EXPECT_TRUE(reply.has_value());
      if (!reply || reply->payload.empty()) break;
      ++count;
      EXPECT_FALSE(short_seen) << "only the last chunk may be short";
      EXPECT_EQ(reply->payload.size(), 2u);
      EXPECT_EQ(reply->block.size(), 1280u);
      const std::size_t n = reply->payload[0] << 8 | reply->payload[1];
      EXPECT_GE(n, 1u);
      EXPECT_LE(n, 1280u);
      short_seen = n < 1280;
      const std::size_t sealed = (n + 15) / 16 * 16;
      for (std::size_t i = sealed; i < 1280; ++i) {
        EXPECT_EQ(reply->block[i], 0) << "filler at " << i;
        if (reply->block[i] != 0) break;
      }
      std::uint8_t plain[1280];
      DecryptBuffer(cipher, reply->block.data(), sealed, plain);
      archive.append(reinterpret_cast<const char*>(plain), n);
    }
    if (chunks != nullptr) *chunks = count;
    return archive;
  }

  SessionEnv env;
};

TEST_F(DownloadTest, ScanResultIsAcknowledgedPackedAndDownloaded) {
  const std::string xml = "<?xml version=\"1.0\"?>\r\n<Scanresult><A>1</A></Scanresult>\r\n";
  WriteFileBytes("Config/Scanresult_Alpha_anna.xml", xml);
  RawPeer raw(env);
  ASSERT_TRUE(raw.ExchangeKey(SessionEnv::kGlobalKey));
  ASSERT_EQ(raw.Exchange(ClientFrame(0x11, raw.Seal({"anna", "secret", "Alpha", "pc"}, {},
                                                    std::string(32, '0'))),
                         7)
                .size(),
            7u);
  EXPECT_EQ(raw.Exchange(ClientFrame(0x20), 7), (Bytes{0xCC, 0x33, 0x20, 0x02, 0x55, 0x33, 0xBB}));
  EXPECT_EQ(raw.Exchange(ClientFrame(0x30), 6), (Bytes{0xCC, 0x33, 0x30, 0x01, 0xAA, 0x64}));
  EXPECT_TRUE(env.WaitForLog("User anna prepared XML result on project Alpha", kLogInfo));
  raw.Send(ClientFrame(0x20, {0x00}));
  EXPECT_TRUE(raw.Silent());
  raw.Close();

  Peer peer(env, 1);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->DownloadScanResult("mine.zip", "mine.xml"));
  EXPECT_EQ(ReadFileBytes("mine.xml"), xml);
  EXPECT_TRUE(platform::Exists(".\\Temp\\Alpha_anna_1.zip"));
  EXPECT_TRUE(env.WaitForLog("project Alpha, user anna file transmitted to client", kLogInfo));
}

TEST_F(DownloadTest, ScanResultIsPackedOnlyAfterTheWriterLetGo) {
  WriteFileBytes("Config/Scanresult_Alpha_anna.xml", "old");
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  std::unique_lock<std::shared_mutex> writing(env.Anna().scan_result_guard);
  ASSERT_TRUE(peer.session->RequestScanResult());  // acknowledged at once
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(platform::Exists(".\\Temp\\Alpha_anna_0.zip"));
  WriteFileBytes("Config/Scanresult_Alpha_anna.xml", "new and complete");
  writing.unlock();
  ASSERT_TRUE(peer.session->WaitTransferReady());
  std::string archive;
  ASSERT_TRUE(peer.session->FetchChunks([&](std::span<const std::uint8_t> b) {
    archive.append(reinterpret_cast<const char*>(b.data()), b.size());
    return true;
  }));
  WriteFileBytes("got.zip", archive);
  ASSERT_TRUE(ExtractArchive("got.zip", "got.xml").ok);
  EXPECT_EQ(ReadFileBytes("got.xml"), "new and complete");
}

TEST_F(DownloadTest, SecondScanResultRequestRestartsTheDownloadFromTheFirstChunk) {
  WriteFileBytes("Config/Scanresult_Alpha_anna.xml", RandomBytes(5000, 3));
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->RequestScanResult());
  ASSERT_TRUE(peer.connection.Request(PacketType::kNextDownloadChunk).has_value());
  ASSERT_TRUE(peer.session->RequestScanResult());
  const std::string archive = FetchChecked(peer);
  EXPECT_EQ(archive, ReadFileBytes("Temp/Alpha_anna_0.zip"));
}

TEST_F(DownloadTest, ArchiveOf1280BytesIsOneFullChunkThenTheEndMarker) {
  const std::string content = ContentForArchiveSize(1280);
  ASSERT_FALSE(content.empty());
  WriteFileBytes(env.AlphaFile("f1280.bin"), content);
  RawPeer peer(env);
  ASSERT_TRUE(peer.ExchangeKey(SessionEnv::kGlobalKey));
  peer.Exchange(
      ClientFrame(0x11, peer.Seal({"anna", "secret", "Alpha", "pc"}, {}, std::string(32, '0'))), 7);
  EXPECT_EQ(peer.Exchange(ClientFrame(0x22, peer.Seal({"RootFolder", "f1280.bin"})), 7),
            (Bytes{0xCC, 0x33, 0x22, 0x02, 0x55, 0x33, 0xB9}));
  const Bytes chunk = peer.Exchange(ClientFrame(0x31), 1287);
  ASSERT_EQ(chunk.size(), 1287u);
  EXPECT_EQ(Bytes(chunk.begin(), chunk.begin() + 7),
            (Bytes{0xCC, 0x33, 0x31, 0x02, 0x05, 0x00, 0xC9}));
  CRijndael cipher;
  cipher.MakeKey(peer.key);
  std::string plain(1280, '\0');
  DecryptBuffer(cipher, chunk.data() + 7, 1280, reinterpret_cast<std::uint8_t*>(plain.data()));
  EXPECT_EQ(plain, ReadFileBytes("Temp/Alpha_anna_0.zip"));
  EXPECT_EQ(peer.Exchange(ClientFrame(0x31), 5), kEndMarker);
  // After the end marker the same archive starts again from its first byte.
  const Bytes again = peer.Exchange(ClientFrame(0x31), 1287);
  EXPECT_EQ(again, chunk);
  EXPECT_TRUE(
      env.WaitForLog("File RootFolder\\f1280.bin prepared for TX on project Alpha", kLogInfo));
}

TEST_F(DownloadTest, ArchiveOf1281BytesIsAFullChunkAndAOneByteChunk) {
  const std::string content = ContentForArchiveSize(1281);
  ASSERT_FALSE(content.empty());
  platform::CreateFolder(env.AlphaFile("Docs"));
  platform::CreateFolder(env.AlphaFile("Docs/2020"));
  WriteFileBytes(env.AlphaFile("Docs/2020/f1281.bin"), content);
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->RequestDownload("Docs\\2020", "f1281.bin"));
  auto first = peer.connection.Request(PacketType::kNextDownloadChunk);
  auto second = peer.connection.Request(PacketType::kNextDownloadChunk);
  auto end = peer.connection.Request(PacketType::kNextDownloadChunk);
  ASSERT_TRUE(first && second && end);
  EXPECT_EQ(first->payload, (Bytes{0x05, 0x00}));
  EXPECT_EQ(second->payload, (Bytes{0x00, 0x01}));
  EXPECT_EQ(Bytes(second->block.begin() + 16, second->block.end()), Bytes(1264, 0));
  EXPECT_TRUE(end->payload.empty());
  EXPECT_TRUE(peer.session->DownloadFile("Docs\\2020", "f1281.bin", "d.zip", "d.bin"));
  EXPECT_EQ(ReadFileBytes("d.bin"), content);
}

TEST_F(DownloadTest, MultiMegabyteFileArrivesByteExactInFullChunks) {
  const std::string content = RandomBytes(3 * 1024 * 1024 + 77, 11);
  platform::CreateFolder(env.AlphaFile("Docs"));
  platform::CreateFolder(env.AlphaFile("Docs/2020"));
  WriteFileBytes(env.AlphaFile("Docs/2020/big.bin"), content);
  Peer peer(env, 3);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->RequestDownload("Docs\\2020", "big.bin"));
  ASSERT_TRUE(peer.session->WaitTransferReady());
  int chunks = 0;
  const std::string archive = FetchChecked(peer, &chunks);
  EXPECT_EQ(archive, ReadFileBytes("Temp/Alpha_anna_3.zip"));
  EXPECT_EQ(static_cast<std::size_t>(chunks), (archive.size() + 1279) / 1280);
  WriteFileBytes("big.zip", archive);
  const ExtractResult r = ExtractArchive("big.zip", "big.bin");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(ReadFileBytes("big.bin"), content);
}

TEST_F(DownloadTest, ChunksAreServedWithoutAnyAllocation) {
  WriteFileBytes(env.AlphaFile("mid.bin"), RandomBytes(200000, 12));
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->DownloadFile("RootFolder", "mid.bin", "m.zip", "m.bin"));
  const auto reads = peer.served->ReadAllocations();
  int chunk_reads = 0;
  bool first = true;
  for (std::size_t i = 0; i < reads.size(); ++i) {
    if (reads[i].first != 0x31) continue;
    const bool last = i + 1 == reads.size() || reads[i + 1].first != 0x31;
    // The first chunk opens the archive, the end marker closes and logs.
    if (!first && !last) {
      EXPECT_EQ(reads[i].second, 0) << "chunk read " << i;
      ++chunk_reads;
    }
    first = false;
  }
  EXPECT_GT(chunk_reads, 100);
}

// More chunk replies than one gathered send holds, and a last frame of the
// read that gets no reply: every reply arrives whole, in order, equal to the
// one a strict request/response peer gets for the same chunk, and gathering
// them allocates nothing.
TEST_F(DownloadTest, CoalescedChunkRequestsAreAnsweredLikeSingleOnes) {
  constexpr std::size_t kCoalesced = 120;  // 120 × 1287 bytes: more than 64 KiB
  WriteFileBytes(env.AlphaFile("mid.bin"), RandomBytes(200000, 13));
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->RequestDownload("RootFolder", "mid.bin"));
  ASSERT_TRUE(peer.session->WaitTransferReady());
  // The first chunk alone: it opens the archive.
  std::vector<Bytes> chunks;
  const auto first = peer.connection.Request(PacketType::kNextDownloadChunk);
  ASSERT_TRUE(first.has_value());
  chunks.push_back(first->block);
  Bytes stream;
  for (std::size_t i = 0; i < kCoalesced; ++i) {
    const Bytes request = ClientFrame(0x31);
    stream.insert(stream.end(), request.begin(), request.end());
  }
  const Bytes unanswered = ClientFrame(0x31, Bytes{1});
  stream.insert(stream.end(), unanswered.begin(), unanswered.end());
  // A read's allocations are counted after its replies went out.
  const auto all_reads_counted = [&] {
    return peer.served->ReadAllocations().size() == static_cast<std::size_t>(peer.served->reads());
  };
  ASSERT_TRUE(WaitUntil(all_reads_counted));
  const std::size_t reads_before = peer.served->ReadAllocations().size();
  ASSERT_TRUE(peer.connection.SendRaw(stream));
  for (std::size_t i = 0; i < kCoalesced; ++i) {
    const auto reply = peer.connection.ReceiveReply(std::chrono::seconds(5));
    ASSERT_TRUE(reply.has_value()) << i;
    ASSERT_EQ(reply->type, PacketType::kNextDownloadChunk);
    chunks.push_back(reply->block);
  }
  ASSERT_TRUE(WaitUntil(all_reads_counted));
  const auto reads = peer.served->ReadAllocations();
  EXPECT_GT(reads.size(), reads_before);
  for (std::size_t i = reads_before; i < reads.size(); ++i) EXPECT_EQ(reads[i].second, 0) << i;
  FetchChecked(peer);  // the rest, up to the end marker; the archive starts again
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const auto reply = peer.connection.Request(PacketType::kNextDownloadChunk);
    ASSERT_TRUE(reply.has_value()) << i;
    EXPECT_EQ(reply->block, chunks[i]) << i;
  }
}

TEST_F(DownloadTest, MissingFileGivesAnArchiveWithoutEntries) {
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  ASSERT_TRUE(peer.session->RequestDownload("RootFolder", "absent.txt"));
  ASSERT_TRUE(peer.session->WaitTransferReady());
  const std::string archive = FetchChecked(peer);
  WriteFileBytes("none.zip", archive);
  EXPECT_EQ(CountEntries("none.zip"), 0);
}

TEST_F(DownloadTest, ChunkRequestWithoutAnArchiveGetsNoReply) {
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  peer.connection.set_reply_timeout(std::chrono::milliseconds(250));
  EXPECT_FALSE(peer.connection.Request(PacketType::kNextDownloadChunk).has_value());
  EXPECT_FALSE(peer.connection.Request(PacketType::kNextDownloadChunk, Bytes{1}).has_value());
}

TEST_F(DownloadTest, DownloadRequestWithAnEmptyNameGetsNoReply) {
  Peer peer(env);
  ASSERT_TRUE(peer.LoginAnna());
  peer.connection.set_reply_timeout(std::chrono::milliseconds(250));
  EXPECT_FALSE(peer.session->RequestDownload("", "a.txt"));
  EXPECT_FALSE(peer.session->RequestDownload("RootFolder", ""));
}

TEST_F(DownloadTest, LargeFilesArePackedWhileSentOnlyToPipeliningPeers) {
  // Text packs far below the request window: the surplus requests run
  // through the archive again, and its end is still logged once.
  std::string text;
  for (int i = 0; text.size() < (9u << 20); ++i) text += "entry " + std::to_string(i % 97) + "\n";
  WriteFileBytes(env.AlphaFile("log.txt"), text);
  for (const bool pipelined : {true, false}) {
    Peer peer(env);
    if (pipelined) {
      ASSERT_TRUE(peer.connection.ProbePipelining());
    }
    ASSERT_TRUE(peer.LoginAnna());
    peer.session->set_pipeline({.start_window = 2048, .max_window = 2048});
    ASSERT_TRUE(peer.session->DownloadFile("RootFolder", "log.txt", "l.zip", "l.txt"));
    EXPECT_TRUE(ReadFileBytes("l.txt") == text);
    // Packed while sent: sizes and CRC follow the data (flag bit 3).
    const std::string archive = ReadFileBytes("Temp/Alpha_anna_0.zip");
    ASSERT_GT(archive.size(), 6u);
    EXPECT_EQ((archive[6] & 8) != 0, pipelined);
    EXPECT_TRUE(env.WaitForLog("project Alpha, user anna file transmitted to client", kLogInfo,
                               pipelined ? 1 : 2));
  }
  EXPECT_EQ(
      env.log_window.CountLog("project Alpha, user anna file transmitted to client", kLogInfo), 2);
}

}  // namespace
}  // namespace kestrel::test
