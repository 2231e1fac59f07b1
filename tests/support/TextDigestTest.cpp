#include "support/TextDigest.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/MessageBox.h"
#include "support/Md5.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

class TextDigestTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetMessageBoxes(&boxes_); }
  void TearDown() override { platform::SetMessageBoxes(nullptr); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.Sub(name);
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  test::TempDir dir_;
  platform::CapturingMessageBox boxes_;
};

TEST_F(TextDigestTest, MissingFileGivesEmptyDigestWithoutBox) {
  EXPECT_EQ(DigestOfTextFile(dir_.Sub("none.xml")), "");
  EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(TextDigestTest, DigestCoversLinesJoinedWithoutLineEnds) {
  const std::string path = Write("a.txt", "abc\r\ndef\r\n");
  EXPECT_EQ(DigestOfTextFile(path), Md5Hex("abcdef"));
}

TEST_F(TextDigestTest, CrLfAndLfFilesHaveTheSameDigest) {
  EXPECT_EQ(DigestOfTextFile(Write("a.txt", "one\r\ntwo\r\n")),
            DigestOfTextFile(Write("b.txt", "one\ntwo\n")));
}

TEST_F(TextDigestTest, ChangedLineChangesTheDigest) {
  EXPECT_NE(DigestOfTextFile(Write("a.txt", "one\r\ntwo\r\n")),
            DigestOfTextFile(Write("b.txt", "one\r\ntwO\r\n")));
}

TEST_F(TextDigestTest, EmptyFileHasTheDigestOfNothing) {
  EXPECT_EQ(DigestOfTextFile(Write("a.txt", "")), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST_F(TextDigestTest, ReadingStopsAtALineOfJustLf) {
  // Line reading ends at a bare LF line, so what follows does not count.
  EXPECT_EQ(DigestOfTextFile(Write("a.txt", "a1\n\nb2\n")), Md5Hex("a1"));
}

TEST_F(TextDigestTest, FileDigestCoversEveryByteWhereTheTextDigestIgnoresLineEnds) {
  const std::string crlf = Write("a.txt", std::string("one\r\ntwo\0", 9));
  const std::string lf = Write("b.txt", std::string("one\ntwo\0", 8));
  EXPECT_EQ(DigestOfFile(crlf), Md5Hex(std::string("one\r\ntwo\0", 9)));
  EXPECT_NE(DigestOfFile(crlf), DigestOfFile(lf));
  EXPECT_EQ(DigestOfFile(dir_.Sub("missing")), "");
}

TEST_F(TextDigestTest, SameTextLinesAgreesWithTheDigestsOfTheFiles) {
  const std::vector<std::string> samples = {
      "", "a", "ab", "ab\n", "a\nb\n", "ab\r\n", "a\r\nb\r\n", "a\rb\n", "a\n\nc\n", "a\n\nd\n",
      "\n", "x\ny", "x\nyz", "\r\n\r\nab\n", "ab\r", "a\r\r\nb\n", "<a>\n  <b>\n", "<a>\n<b>\n",
      // Differences after equal leading lines, before and after a line that ends the text.
      "p\nq\n\nr\n", "p\nq\n\ns\n", "\nab\n", "\nac\n", "p\nq\r\nr\n", "p\nq\nr\r\n", "p\nqr\n"};
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const std::string digest_i = DigestOfTextFile(Write("i.txt", samples[i]));
    for (std::size_t j = 0; j < samples.size(); ++j) {
      const bool same_digest = digest_i == DigestOfTextFile(Write("j.txt", samples[j]));
      EXPECT_EQ(SameTextLines(samples[i], samples[j]), same_digest) << i << " vs " << j;
    }
  }
}

}  // namespace
}  // namespace kestrel
