// Archives packed while they are read: every zip reader takes them, readers
// never see bytes before they are written, and stopping ends packing at once.
#include "support/StreamingPacker.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "support/RawDeflate.h"
#include "support/ZipArchive.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

// Python's zipfile: one deflated entry, flag bit 3, the bytes and the time.
constexpr const char* kCheck = R"PY(
import sys, time, zipfile
path, data, when = sys.argv[1], sys.argv[2], int(sys.argv[3])
with zipfile.ZipFile(path) as z:
    [info] = z.infolist()
    assert info.filename == 'transfer.dat' and info.compress_type == zipfile.ZIP_DEFLATED
    assert info.flag_bits & 8
    assert z.testzip() is None
    assert z.read(info) == open(data, 'rb').read()
    st = time.localtime(when)
    assert info.date_time == (st.tm_year, st.tm_mon, st.tm_mday, st.tm_hour, st.tm_min,
                              st.tm_sec & ~1), info.date_time
)PY";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::string Text(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i)
    text += "line " + std::to_string(i * 7919) + "\n";
  text.resize(size);
  return text;
}

std::string Noise(std::size_t size) {
  std::mt19937_64 random(7);
  std::string noise(size, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  return noise;
}

class StreamingPackerTest : public ::testing::Test {
 protected:
  // Packs bytes with a reader that follows the packer; what it read.
  std::string PackWhileReading(const std::string& bytes) {
    std::ofstream(source_, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_EQ(platform::SetLastWriteTime(source_, platform::FileTimeFromUnix(kWhen, 0)), 0);
    platform::File source;
    EXPECT_EQ(source.Open(source_, platform::File::kRead), 0);
    StreamingPacker packer;
    EXPECT_TRUE(packer.Start(archive_, "transfer.dat", std::move(source), nullptr));
    platform::File reader;
    EXPECT_EQ(reader.Open(archive_, platform::File::kRead), 0);
    std::string seen;
    char block[1280];
    for (;;) {
      const StreamingPacker::Progress progress = packer.WaitFor(seen.size() + sizeof block);
      const long n = reader.Read(block, sizeof block);
      EXPECT_GE(n, 0);
      if (n <= 0) {
        EXPECT_TRUE(progress.ended && progress.ok);
        EXPECT_EQ(progress.bytes, seen.size());
        break;
      }
      // Never past what the packer has written.
      EXPECT_LE(seen.size() + static_cast<std::size_t>(n), progress.bytes);
      seen.append(block, static_cast<std::size_t>(n));
    }
    packer.Stop();
    return seen;
  }

  static constexpr std::int64_t kWhen = 1700000001;
  test::TempDir dir_;
  const std::string source_ = dir_.Sub("source.bin");
  const std::string archive_ = dir_.Sub("a.zip");
};

TEST_F(StreamingPackerTest, ZipReadersTakeTheArchiveAsItWasRead) {
  const std::string script = dir_.Sub("check.py");
  std::ofstream(script) << kCheck;
  const bool python = std::system("python3 -c '' 2>/dev/null") == 0;
  const bool unzip = std::system("unzip -v >/dev/null 2>&1") == 0;
  for (const std::string& bytes :
       {std::string(), std::string("1"), Text(1280), Text(1281), Text(3 << 20), Noise(3 << 20)}) {
    const std::string seen = PackWhileReading(bytes);
    ASSERT_EQ(seen, ReadAll(archive_)) << bytes.size();
    const std::string target = dir_.Sub("out.bin");
    const ExtractResult result = ExtractArchive(archive_, target);
    ASSERT_TRUE(result.ok) << bytes.size();
    EXPECT_EQ(ReadAll(target), bytes);
    if (python) {
      EXPECT_EQ(std::system(("python3 '" + script + "' '" + archive_ + "' '" + source_ + "' " +
                             std::to_string(kWhen))
                                .c_str()),
                0)
          << bytes.size();
    }
    if (unzip) {
      EXPECT_EQ(std::system(("unzip -tq '" + archive_ + "' >/dev/null").c_str()), 0)
          << bytes.size();
    }
  }
  // Incompressible data goes into stored blocks: a few bytes of framing only.
  EXPECT_LT(ReadAll(archive_).size(), (3u << 20) + 400);
}

// Pieces for a waiting reader are stored, the others packed primed with the
// data before them: any order of the two is one deflate stream.
TEST(PieceStreamTest, StoredAndPackedPiecesInAnyOrderInflateToTheData) {
  const std::string text = Text(5 * 100000);
  const auto bytes = [&](std::size_t at, std::size_t n) {
    return std::span(reinterpret_cast<const std::uint8_t*>(text.data()) + at, n);
  };
  std::string stream;
  const RawDeflater::Sink sink = [&](std::span<const std::uint8_t> out) {
    stream.append(reinterpret_cast<const char*>(out.data()), out.size());
    return true;
  };
  PieceDeflater deflater;
  for (std::size_t i = 0; i < 5; ++i) {
    if (i == 1 || i == 2) {  // 100000 bytes: two stored blocks each
      ASSERT_TRUE(PutStoredPiece(bytes(i * 100000, 100000), sink));
    } else {
      ASSERT_TRUE(deflater.Deflate(bytes(0, i * 100000), bytes(i * 100000, 100000)));
      ASSERT_TRUE(sink(deflater.output()));
    }
  }
  ASSERT_TRUE(sink(kFinalEmptyBlock));
  EXPECT_LT(stream.size(), text.size());

  z_stream z{};
  ASSERT_EQ(inflateInit2(&z, -MAX_WBITS), Z_OK);
  std::string out(text.size() + 1, '\0');
  z.next_in = reinterpret_cast<Bytef*>(stream.data());
  z.avail_in = static_cast<uInt>(stream.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
  EXPECT_EQ(z.avail_in, 0u);
  out.resize(z.total_out);
  inflateEnd(&z);
  EXPECT_EQ(out, text);
}

TEST_F(StreamingPackerTest, StopEndsPackingAtOnceWithAnIncompleteArchive) {
  std::ofstream(source_, std::ios::binary) << Noise(8 << 20);
  platform::File source;
  ASSERT_EQ(source.Open(source_, platform::File::kRead), 0);
  std::atomic<bool> shutdown{true};
  StreamingPacker packer;
  ASSERT_TRUE(packer.Start(archive_, "transfer.dat", std::move(source), &shutdown));
  const StreamingPacker::Progress progress = packer.WaitFor(UINT64_MAX);
  EXPECT_TRUE(progress.ended);
  EXPECT_FALSE(progress.ok);
  packer.Stop();
  EXPECT_FALSE(packer.started());
  EXPECT_FALSE(ExtractArchive(archive_, dir_.Sub("out.bin")).ok);
}

}  // namespace
}  // namespace kestrel
