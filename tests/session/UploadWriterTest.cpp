// The upload writer: blocks reach the extractor or the archive file whole and
// in order, and what cannot be placed is reported.
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

class UploadWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; text_.size() < (3u << 20); ++i) text_ += "row " + std::to_string(i * 31) + "\n";
    std::ofstream(dir_.Sub("source.txt"), std::ios::binary) << text_;
    ASSERT_TRUE(PackFile(dir_.Sub("packed.zip"), dir_.Sub("source.txt"), "transfer.dat"));
    archive_ = test::ReadFile(dir_.Sub("packed.zip"));
  }
  // Hands bytes to a writer with an extractor; the outcome.
  UploadWriter::Outcome Receive(const std::string& bytes, bool queued,
                                const ExtractLimits& limits = {}) {
    CFileNeu file;
    EXPECT_TRUE(file.Open(received_, CFileNeu::kWrite | CFileNeu::kCreate));
    StreamExtractor unpacking(target_, limits);
    UploadWriter writer;
    writer.Begin(file, &unpacking, queued);
    Feed(writer, bytes);
    const UploadWriter::Outcome outcome = writer.Finish();
    file.Close();
    if (outcome.unpacked) {
      EXPECT_TRUE(unpacking.Finish().ok);
    }
    return outcome;
  }

  test::TempDir dir_;
  std::string text_, archive_;
  const std::string received_ = dir_.Sub("received.zip");
  const std::string target_ = dir_.Sub("target.txt");
};

TEST_F(UploadWriterTest, QueuedOrNotTheExtractorGetsEveryByteInOrderAndTheFileNone) {
  for (const bool queued : {true, false}) {
    const UploadWriter::Outcome outcome = Receive(archive_, queued);
    EXPECT_TRUE(outcome.whole && outcome.unpacked);
    EXPECT_EQ(test::ReadFile(target_), text_);
    EXPECT_EQ(test::ReadFile(received_), "");
  }
}

TEST_F(UploadWriterTest, AHeadTheExtractorDeclinesSendsEveryByteToTheFile) {
  const std::string bytes = "not a local header" + archive_;
  const UploadWriter::Outcome outcome = Receive(bytes, true);
  EXPECT_TRUE(outcome.whole);
  EXPECT_FALSE(outcome.unpacked);
  EXPECT_EQ(test::ReadFile(received_), bytes);
}

TEST_F(UploadWriterTest, DataTheExtractorRefusesLeavesNothingToPlace) {
  ExtractLimits small;
  small.max_total_bytes = 1000;
  const UploadWriter::Outcome outcome = Receive(archive_, true, small);
  EXPECT_FALSE(outcome.whole);
  EXPECT_FALSE(outcome.unpacked);
}

TEST_F(UploadWriterTest, AFailedWriteIsReportedAndAbandonStopsTheThread) {
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
  EXPECT_FALSE(writer.Finish().whole);  // nothing left to finish
}

}  // namespace
}  // namespace kestrel
