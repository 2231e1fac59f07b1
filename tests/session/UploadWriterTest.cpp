// The upload writer: queued blocks reach the archive file and the extractor
// whole and in order, and a failed write is reported without losing track.
#include "session/UploadWriter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/ZipArchive.h"
#include "testsupport/ServerProcess.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

// Hands bytes to the writer in chunk-sized, uneven pieces, as the session does.
void Feed(UploadWriter& writer, const std::string& bytes) {
  for (std::size_t at = 0, piece = 1; at < bytes.size(); at += piece, piece = piece % 1280 + 97) {
    piece = std::min(piece, bytes.size() - at);
    std::copy_n(bytes.data() + at, piece, writer.Room(piece));
    writer.Add(piece);
  }
}

TEST(UploadWriterTest, QueuedBlocksReachTheFileAndTheExtractorWholeAndInOrder) {
  test::TempDir dir;
  std::string text;
  for (int i = 0; text.size() < (3u << 20); ++i) text += "row " + std::to_string(i * 31) + "\n";
  std::ofstream(dir.Sub("source.txt"), std::ios::binary) << text;
  ASSERT_TRUE(PackFile(dir.Sub("packed.zip"), dir.Sub("source.txt"), "transfer.dat"));
  const std::string archive = test::ReadFile(dir.Sub("packed.zip"));

  for (const bool queued : {true, false}) {
    CFileNeu file;
    ASSERT_TRUE(file.Open(dir.Sub("received.zip"), CFileNeu::kWrite | CFileNeu::kCreate));
    StreamExtractor unpacking(dir.Sub("target.txt"));
    UploadWriter writer;
    writer.Begin(file, &unpacking, queued);
    Feed(writer, archive);
    const UploadWriter::Outcome outcome = writer.Finish();
    file.Close();
    EXPECT_TRUE(outcome.written);
    EXPECT_TRUE(outcome.unpacked);
    EXPECT_EQ(test::ReadFile(dir.Sub("received.zip")), archive);
    ASSERT_TRUE(unpacking.Finish().ok);
    EXPECT_EQ(test::ReadFile(dir.Sub("target.txt")), text);
  }
}

TEST(UploadWriterTest, AFailedWriteIsReportedAndAbandonStopsTheThread) {
  CFileNeu file;
  file.SetShowErrors(false);
  ASSERT_TRUE(file.Open("/dev/full", CFileNeu::kWrite));
  UploadWriter writer;
  writer.Begin(file, nullptr, true);
  const std::string block(UploadWriter::kBlock, 'x');
  Feed(writer, block);
  Feed(writer, block);  // hands the first block on
  EXPECT_TRUE(test::WaitFor([&] { return writer.failed(); }));
  writer.Abandon();
  EXPECT_FALSE(writer.Finish().written);  // nothing left to finish
}

}  // namespace
}  // namespace kestrel
