#include "support/ZipArchive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "support/StreamingPacker.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

// Builds and inspects archives with python3's zipfile, independent of minizip.
constexpr const char* kHelperScript = R"PY(
import struct, sys, zipfile, zlib, time

def make(path, entries):
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            info = zipfile.ZipInfo(name, date_time=(2020, 5, 6, 7, 8, 10))
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)

def set_sizes(path, usize=None, crc=None):
    b = bytearray(open(path, 'rb').read())
    cd = struct.unpack_from('<I', b, len(b) - 22 + 16)[0]
    if usize is not None:
        struct.pack_into('<I', b, 22, usize)
        struct.pack_into('<I', b, cd + 24, usize)
    if crc is not None:
        struct.pack_into('<I', b, 14, crc)
        struct.pack_into('<I', b, cd + 16, crc)
    open(path, 'wb').write(bytes(b))

def huge(path):
    # Many small stored entries whose directory declares almost 4 GiB each
    # (compressed and not).
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_STORED) as z:
        for i in range(2000):
            z.writestr('part%d.dat' % i, b'hello')
    b = bytearray(open(path, 'rb').read())
    pos = struct.unpack_from('<I', b, len(b) - 22 + 16)[0]
    for i in range(2000):
        struct.pack_into('<II', b, pos + 20, 0xFFFFFFF0, 0xFFFFFFF0)
        n, e, c = struct.unpack_from('<HHH', b, pos + 28)
        pos += 46 + n + e + c
    open(path, 'wb').write(bytes(b))

def raw(path, method, comp, usize, crc):
    # One entry with exactly these bytes and header fields.
    lh = struct.pack('<IHHHHHIIIHH', 0x04034b50, 20, 0, method, 0, 0x5021, crc, len(comp), usize,
                     1, 0) + b'x'
    cd = struct.pack('<IHHHHHHIIIHHHHHII', 0x02014b50, 20, 20, 0, method, 0, 0x5021, crc,
                     len(comp), usize, 1, 0, 0, 0, 0, 0, 0) + b'x'
    end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 1, 1, len(cd), len(lh) + len(comp), 0)
    open(path, 'wb').write(lh + comp + cd + end)

def deflated(data):
    c = zlib.compressobj(1, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()

class Unseekable:
    # A pipe: zipfile then leaves CRC and sizes to a data descriptor.
    def __init__(self, f): self.f = f
    def write(self, b): return self.f.write(b)
    def flush(self): self.f.flush()

def streamed(path, data, method, zip64):
    with open(path, 'wb') as f, zipfile.ZipFile(Unseekable(f), 'w', method) as z:
        info = zipfile.ZipInfo('transfer.dat', date_time=(2020, 5, 6, 7, 8, 10))
        info.compress_type = method
        with z.open(info, 'w', force_zip64=zip64) as w:
            w.write(data)

def damage(path, what):
    # Changes a streamed archive's descriptor (dd) and directory entry (cd).
    b = bytearray(open(path, 'rb').read())
    end = len(b) - 22
    cd = struct.unpack_from('<I', b, end + 16)[0]
    wide = struct.unpack_from('<H', b, 28)[0] > 0  # zip64: 8-byte descriptor sizes
    dd, size, w = (cd - 24, '<Q', 8) if wide else (cd - 16, '<I', 4)
    def add(at, fmt, n):
        struct.pack_into(fmt, b, at, struct.unpack_from(fmt, b, at)[0] + n)
    if what == 'descriptor crc': add(dd + 4, '<I', 1)
    elif what == 'crc': add(dd + 4, '<I', 1); add(cd + 16, '<I', 1)
    elif what == 'directory crc': add(cd + 16, '<I', 1)
    elif what == 'directory plain': add(cd + 24, '<I', 1)
    elif what.startswith('plain'):  # plain+N, plain-N
        add(dd + 8 + w, size, int(what[5:])); add(cd + 24, '<I', int(what[5:]))
    elif what.startswith('packed'):
        add(dd + 8, size, int(what[6:])); add(cd + 20, '<I', int(what[6:]))
    elif what == 'unsigned': del b[dd:dd + 4]; add(end - 4 + 16, '<I', -4)
    elif what == 'no descriptor': del b[dd:cd]; add(end - (cd - dd) + 16, '<I', dd - cd)
    else: raise ValueError(what)
    open(path, 'wb').write(bytes(b))

cmd = sys.argv[1]
text = b''.join(b'line %d of the log\n' % (i * 7919) for i in range(20000))
path = sys.argv[2]
if cmd == 'two':
    make(path, [('first.txt', b'first entry'), ('second.txt', b'second entry')])
elif cmd == 'names':
    make(path, [('../../evil.txt', b'a'), ('/abs/evil.txt', b'b'), ('C:\\win\\evil.txt', b'c'),
                ('dir/sub/', b''), ('dir/sub/last.txt', b'the last one')])
elif cmd == 'bomb':
    make(path, [('x.dat', b'A' * 200000)])
    set_sizes(path, usize=1000)
elif cmd == 'ratio':
    make(path, [('x.dat', bytes(1 << 20))])
    set_sizes(path, usize=1 << 30)
elif cmd == 'badcrc':
    make(path, [('x.dat', b'some data here')])
    set_sizes(path, crc=0x12345678)
elif cmd == 'empty':
    zipfile.ZipFile(path, 'w').close()
elif cmd == 'huge':
    huge(path)
elif cmd == 'cut':
    raw(path, 8, deflated(text)[:5000], len(text), zlib.crc32(text))
elif cmd == 'early':
    raw(path, 8, deflated(text), len(text) + 1, zlib.crc32(text))
elif cmd == 'storedshort':
    raw(path, 0, text[:-1], len(text), zlib.crc32(text))
elif cmd == 'prefix':
    # Garbage after the first 2000 bytes of a stream declared as 1000 bytes.
    comp = deflated(text)
    raw(path, 8, comp[:2000] + bytes(range(256)) * 40, 1000, zlib.crc32(text[:1000]))
elif cmd == 'streamed':
    # streamed ARCHIVE SOURCE ZIP64 [DAMAGE]
    streamed(path, open(sys.argv[3], 'rb').read(), zipfile.ZIP_DEFLATED, sys.argv[4] == '1')
    if len(sys.argv) > 5: damage(path, sys.argv[5])
elif cmd == 'streamedstored':
    streamed(path, text, zipfile.ZIP_STORED, False)
elif cmd == 'comment':
    # A valid archive whose end record carries the longest comment.
    with zipfile.ZipFile(path, 'w', zipfile.ZIP_DEFLATED) as z:
        z.comment = b'c' * 65535
        z.writestr('x.dat', b'data')
elif cmd == 'check':
    want_name, want_file = sys.argv[3], sys.argv[4]
    with zipfile.ZipFile(path) as z:
        infos = z.infolist()
        assert [i.filename for i in infos] == [want_name], [i.filename for i in infos]
        assert infos[0].compress_type == zipfile.ZIP_DEFLATED
        assert z.testzip() is None
        assert z.read(want_name) == open(want_file, 'rb').read()
        st = time.localtime(int(sys.argv[5]))
        want = (st.tm_year, st.tm_mon, st.tm_mday, st.tm_hour, st.tm_min, st.tm_sec & ~1)
        assert infos[0].date_time == want, (infos[0].date_time, want)
elif cmd == 'count':
    with zipfile.ZipFile(path) as z:
        assert z.testzip() is None
        print(len(z.infolist()))
)PY";

bool HaveTool(const char* probe) {
  return std::system(probe) == 0;
}

// The interpreter itself (not a launcher shim), found once: each run then
// starts in a few milliseconds.
const std::string& PythonPath() {
  static const std::string path = [] {
    std::string out;
    if (FILE* pipe = ::popen("python3 -c 'import sys; print(sys.executable)' 2>/dev/null", "r")) {
      char line[4096];
      if (std::fgets(line, sizeof line, pipe) != nullptr) out = line;
      ::pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
  }();
  return path;
}

std::string ReadNative(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteNative(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

// Pseudo-random but compressible-ish data of the given size.
std::string TestData(size_t size) {
  std::string data(size, '\0');
  std::uint32_t x = 12345;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1103515245u + 12345u;
    data[i] = static_cast<char>((x >> 16) % 61 + 32);
  }
  return data;
}

// Random bytes: packed into stored blocks.
std::string Noise(size_t size) {
  std::string noise(size, '\0');
  std::uint64_t x = 88172645463325252ull;
  for (char& c : noise) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    c = static_cast<char>(x >> 56);
  }
  return noise;
}

std::vector<std::string> Names(const std::string& folder) {
  std::vector<platform::DirEntry> entries;
  platform::ListDirectory(folder, entries);
  std::vector<std::string> names;
  for (const auto& e : entries) names.push_back(e.name);
  return names;
}

class ZipArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script_ = dir_.Sub("ziphelper.py");
    WriteNative(script_, kHelperScript);
    std::system(("mkdir -p " + dir_.Sub("out")).c_str());
  }

  bool Python(const std::string& args) {
    return std::system(
               (Quote(PythonPath()) + " " + Quote(script_) + " " + args + " >/dev/null 2>&1")
                   .c_str()) == 0;
  }
  void RequirePython() {
    if (PythonPath().empty()) GTEST_SKIP() << "no python3";
  }
  // Packs source as a pipe-writing zip library does (CRC and sizes in a data
  // descriptor, zip64 sizes or not), then damages it as named ("" for none).
  bool PackStreamed(const std::string& archive, const std::string& source, bool zip64,
                    const std::string& damage = "") {
    return Python("streamed " + Quote(archive) + " " + Quote(source) + (zip64 ? " 1" : " 0") +
                  (damage.empty() ? "" : " " + Quote(damage)));
  }
  // Packs bytes as the file name and checks the archive with Python's
  // zipfile; the archive's size, 0 when packing or the check failed.
  std::size_t PackAndCheck(const std::string& name, const std::string& bytes) {
    const std::string source = dir_.Sub(name);
    WriteNative(source, bytes);
    const std::string archive = dir_.Sub("a.zip");
    platform::DirEntry status;
    if (!PackFile(archive, source, "transfer.dat") || platform::Stat(source, status) != 0) return 0;
    std::int64_t seconds = 0, nanos = 0;
    platform::UnixFromFileTime(status.last_write, seconds, nanos);
    const bool read_back = Python("check " + Quote(archive) + " transfer.dat " + Quote(source) +
                                  " " + std::to_string(seconds));
    return read_back ? ReadNative(archive).size() : 0;
  }

  test::TempDir dir_;
  std::string script_;
};

TEST_F(ZipArchiveTest, PackedArchivePassesUnzipTest) {
  if (!HaveTool("unzip -v >/dev/null 2>&1")) GTEST_SKIP() << "no unzip";
  const std::string source = dir_.Sub("source.bin");
  WriteNative(source, TestData(300000));
  const std::string archive = dir_.Sub("a.zip");
  ASSERT_TRUE(PackFile(archive, source, "transfer.dat"));
  EXPECT_EQ(std::system(("unzip -tq " + Quote(archive) + " >/dev/null").c_str()), 0);
}

TEST_F(ZipArchiveTest, PackedArchiveOpensInPythonWithDeflateNameAndTime) {
  RequirePython();
  const std::string source = dir_.Sub("source.bin");
  WriteNative(source, TestData(200000));
  const std::int64_t when = 1700000001;  // odd second: DOS dates keep even seconds
  ASSERT_EQ(platform::SetLastWriteTime(source, platform::FileTimeFromUnix(when, 0)), 0);
  const std::string archive = dir_.Sub("a.zip");
  ASSERT_TRUE(PackFile(archive, source, "transfer.dat"));
  EXPECT_TRUE(Python("check " + Quote(archive) + " transfer.dat " + Quote(source) + " " +
                     std::to_string(when)));
}

TEST_F(ZipArchiveTest, IncompressibleDataGoesIntoStoredBlocksReadableByPython) {
  RequirePython();
  const std::string noise = Noise(300000);
  const std::size_t packed = PackAndCheck("noise.bin", noise);
  ASSERT_NE(packed, 0u);
  // Stored blocks: five bytes of framing per 64 KiB block, no more.
  EXPECT_LT(packed, noise.size() + 200);
}

TEST_F(ZipArchiveTest, TextLikeDataIsPackedSmallerAndReadableByPython) {
  RequirePython();
  std::string text;
  for (int i = 0; text.size() < 300000; ++i)
    text += "line " + std::to_string(i * 7919) + " of the log\n";
  const std::size_t packed = PackAndCheck("text.txt", text);
  ASSERT_NE(packed, 0u);
  EXPECT_LT(packed, text.size() / 2);
}

TEST_F(ZipArchiveTest, EdgeSizesPackReadableByEveryReaderAndRoundTrip) {
  RequirePython();
  const bool have_unzip = HaveTool("unzip -v >/dev/null 2>&1");
  struct Case {
    size_t size;
    bool stored;
  };
  for (const Case c :
       {Case{0, false}, Case{1, false}, Case{1280, false}, Case{1281, false}, Case{1, true},
        Case{65535, true}, Case{65536, true}, Case{65537, true}, Case{3 << 20, true}}) {
    const size_t size = c.size;
    const std::string data = c.stored ? Noise(size) : TestData(size);
    const size_t packed = PackAndCheck("edge.txt", data);
    ASSERT_NE(packed, 0u) << size;
    // Stored blocks: five bytes of framing per 64 KiB, no more.
    if (c.stored) {
      EXPECT_LT(packed, size + size / 65535 * 5 + 200) << size;
    }
    const std::string archive = dir_.Sub("a.zip");
    if (have_unzip) {
      EXPECT_EQ(std::system(("unzip -tq " + Quote(archive) + " >/dev/null").c_str()), 0) << size;
    }
    const std::string target = dir_.Sub("out/edge.txt");
    ASSERT_TRUE(ExtractArchive(archive, target).ok) << size;
    EXPECT_EQ(ReadNative(target), data) << size;
  }
}

TEST_F(ZipArchiveTest, EntryNamedLikeACompressedFileIsStillDeflated) {
  RequirePython();
  const std::string source = dir_.Sub("source.txt");
  WriteNative(source, std::string(5000, 'z'));
  const std::string archive = dir_.Sub("a.zip");
  ASSERT_TRUE(PackFile(archive, source, "inner.zip"));
  platform::DirEntry status;
  ASSERT_EQ(platform::Stat(source, status), 0);
  std::int64_t seconds = 0;
  std::int64_t nanos = 0;
  platform::UnixFromFileTime(status.last_write, seconds, nanos);
  EXPECT_TRUE(Python("check " + Quote(archive) + " inner.zip " + Quote(source) + " " +
                     std::to_string(seconds)));
  EXPECT_LT(ReadNative(archive).size(), 1000u);
}

TEST_F(ZipArchiveTest, MissingSourceGivesArchiveWithoutEntries) {
  const std::string archive = dir_.Sub("a.zip");
  EXPECT_FALSE(PackFile(archive, dir_.Sub("missing.txt"), "transfer.dat"));
  EXPECT_EQ(CountEntries(archive), 0);
}

TEST_F(ZipArchiveTest, PackFileReplacesAnOldArchive) {
  const std::string archive = dir_.Sub("a.zip");
  WriteNative(archive, std::string(100000, 'o'));
  const std::string source = dir_.Sub("s.txt");
  WriteNative(source, "content");
  ASSERT_TRUE(PackFile(archive, source, "transfer.dat"));
  EXPECT_EQ(CountEntries(archive), 1);
  const std::string target = dir_.Sub("out/transfer.dat");
  const ExtractResult r = ExtractArchive(archive, target);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(ReadNative(target), "content");
}

TEST_F(ZipArchiveTest, CountEntriesOfMissingArchiveIsMinusOne) {
  EXPECT_EQ(CountEntries(dir_.Sub("none.zip")), -1);
}

TEST_F(ZipArchiveTest, WriterAddsSeveralEntriesUnderBareNames) {
  RequirePython();
  const std::string archive = dir_.Sub("serverlogs.zip");
  ZipWriter writer;
  ASSERT_TRUE(writer.Create(archive));
  for (int i = 0; i < 3; ++i) {
    const std::string source = dir_.Sub("log" + std::to_string(i) + ".log");
    WriteNative(source, TestData(1000 * (i + 1)));
    EXPECT_TRUE(writer.AddFile("log" + std::to_string(i) + ".log", source));
  }
  EXPECT_FALSE(writer.AddFile("gone.log", dir_.Sub("gone.log")));
  EXPECT_EQ(writer.EntryCount(), 3);
  ASSERT_TRUE(writer.Close());
  EXPECT_EQ(CountEntries(archive), 3);
  EXPECT_TRUE(Python("count " + Quote(archive)));
}

TEST_F(ZipArchiveTest, StopFlagEndsTheArchiveEarlyButValid) {
  const std::string archive = dir_.Sub("a.zip");
  const std::string source = dir_.Sub("s.bin");
  WriteNative(source, TestData(100000));
  std::atomic<bool> stop{false};
  ZipWriter writer;
  ASSERT_TRUE(writer.Create(archive));
  EXPECT_TRUE(writer.AddFile("one", source, &stop));
  stop = true;
  EXPECT_FALSE(writer.AddFile("two", source, &stop));
  EXPECT_TRUE(writer.Close());
  EXPECT_EQ(CountEntries(archive), 1);
  if (HaveTool("unzip -v >/dev/null 2>&1")) {
    EXPECT_EQ(std::system(("unzip -tq " + Quote(archive) + " >/dev/null").c_str()), 0);
  }
}

TEST_F(ZipArchiveTest, LargeFileRoundTripsThroughPackAndExtract) {
  const std::string source = dir_.Sub("big.bin");
  const std::string data = TestData(3 * 1024 * 1024 + 17);
  WriteNative(source, data);
  const std::string archive = dir_.Sub("a.zip");
  ASSERT_TRUE(PackFile(archive, source, "transfer.dat"));
  const std::string target = dir_.Sub("out/transfer.dat");
  const ExtractResult r = ExtractArchive(archive, target);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.entries, 1);
  EXPECT_EQ(ReadNative(target), data);
}

TEST_F(ZipArchiveTest, ExtractsArchiveMadeByZipToolWithItsTime) {
  if (!HaveTool("zip -v >/dev/null 2>&1")) GTEST_SKIP() << "no zip";
  const std::string source = dir_.Sub("doc.xml");
  WriteNative(source, "<a>zip tool</a>");
  const std::int64_t when = 1600000000;
  ASSERT_EQ(platform::SetLastWriteTime(source, platform::FileTimeFromUnix(when, 0)), 0);
  const std::string archive = dir_.Sub("tool.zip");
  ASSERT_EQ(std::system(("cd " + Quote(dir_.path()) + " && zip -q tool.zip doc.xml").c_str()), 0);
  const std::string target = dir_.Sub("out/transfer.dat");
  const ExtractResult r = ExtractArchive(archive, target);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(ReadNative(target), "<a>zip tool</a>");
  platform::DirEntry status;
  ASSERT_EQ(platform::Stat(target, status), 0);
  EXPECT_EQ(status.last_write, platform::FileTimeFromUnix(when, 0));
}

TEST_F(ZipArchiveTest, SecondOfTwoEntriesWins) {
  RequirePython();
  const std::string archive = dir_.Sub("two.zip");
  ASSERT_TRUE(Python("two " + Quote(archive)));
  const std::string target = dir_.Sub("out/transfer.dat");
  const ExtractResult r = ExtractArchive(archive, target);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.entries, 2);
  EXPECT_EQ(ReadNative(target), "second entry");
  // The entry's DOS time (local) becomes the file's time.
  std::tm local{};
  local.tm_year = 2020 - 1900;
  local.tm_mon = 4;
  local.tm_mday = 6;
  local.tm_hour = 7;
  local.tm_min = 8;
  local.tm_sec = 10;
  local.tm_isdst = -1;
  platform::DirEntry status;
  ASSERT_EQ(platform::Stat(target, status), 0);
  EXPECT_EQ(status.last_write, platform::FileTimeFromUnix(std::mktime(&local), 0));
}

TEST_F(ZipArchiveTest, EntryNamesNeverPlaceFilesOutsideTheTarget) {
  RequirePython();
  const std::string archive = dir_.Sub("names.zip");
  ASSERT_TRUE(Python("names " + Quote(archive)));
  const std::string target = dir_.Sub("out/transfer.dat");
  const auto before = Names(dir_.path());
  const ExtractResult r = ExtractArchive(archive, target);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.entries, 4);  // the folder entry is skipped
  EXPECT_EQ(ReadNative(target), "the last one");
  EXPECT_EQ(Names(dir_.Sub("out")), std::vector<std::string>{"transfer.dat"});
  EXPECT_EQ(Names(dir_.path()), before);
  EXPECT_FALSE(platform::Exists("/abs/evil.txt"));
}

TEST_F(ZipArchiveTest, EntryInflatingBeyondDeclaredSizeFailsAndKeepsOldTarget) {
  RequirePython();
  const std::string archive = dir_.Sub("bomb.zip");
  ASSERT_TRUE(Python("bomb " + Quote(archive)));
  const std::string target = dir_.Sub("out/transfer.dat");
  WriteNative(target, "old contents");
  const ExtractResult r = ExtractArchive(archive, target);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.reason == ExtractFailure::kSizeMismatch ||
              r.reason == ExtractFailure::kCrcMismatch);
  EXPECT_EQ(ReadNative(target), "old contents");
  EXPECT_EQ(Names(dir_.Sub("out")), std::vector<std::string>{"transfer.dat"});
}

TEST_F(ZipArchiveTest, LimitsAndTheDeflateRatioRefuseBeforeAnythingIsWritten) {
  RequirePython();
  const std::string two = dir_.Sub("two.zip"), ratio = dir_.Sub("ratio.zip");
  ASSERT_TRUE(Python("two " + Quote(two)));
  ASSERT_TRUE(Python("ratio " + Quote(ratio)));
  const std::string target = dir_.Sub("out/transfer.dat");
  // "first entry" and "second entry": 23 bytes in two entries.
  EXPECT_EQ(ExtractArchive(two, target, {1, 23}).reason, ExtractFailure::kTooManyEntries);
  EXPECT_EQ(ExtractArchive(two, target, {2, 22}).reason, ExtractFailure::kTooLarge);
  EXPECT_EQ(ExtractArchive(ratio, target).reason, ExtractFailure::kRatio);
  EXPECT_TRUE(Names(dir_.Sub("out")).empty());
  EXPECT_TRUE(ExtractArchive(two, target, {2, 23}).ok);
}

TEST_F(ZipArchiveTest, CrcMismatchFailsAndLeavesNoPartialTarget) {
  RequirePython();
  const std::string archive = dir_.Sub("crc.zip");
  ASSERT_TRUE(Python("badcrc " + Quote(archive)));
  const std::string target = dir_.Sub("out/transfer.dat");
  const ExtractResult r = ExtractArchive(archive, target);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.reason, ExtractFailure::kCrcMismatch);
  EXPECT_TRUE(Names(dir_.Sub("out")).empty());
}

TEST_F(ZipArchiveTest, DeclaredSizeBeyondFreeSpaceIsRefused) {
  RequirePython();
  const auto free = platform::FreeSpace(dir_.path());
  if (!free || *free > (7000ull << 30)) GTEST_SKIP() << "free space unknown or too large";
  const std::string archive = dir_.Sub("huge.zip");
  ASSERT_TRUE(Python("huge " + Quote(archive)));
  const std::string target = dir_.Sub("out/transfer.dat");
  const ExtractResult r = ExtractArchive(archive, target);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.reason, ExtractFailure::kNoSpace);
  EXPECT_TRUE(Names(dir_.Sub("out")).empty());
}

TEST_F(ZipArchiveTest, ArchiveWithoutEntriesExtractsNothing) {
  RequirePython();
  const std::string archive = dir_.Sub("empty.zip");
  ASSERT_TRUE(Python("empty " + Quote(archive)));
  const ExtractResult r = ExtractArchive(archive, dir_.Sub("out/transfer.dat"));
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.entries, 0);
  EXPECT_TRUE(Names(dir_.Sub("out")).empty());
}

TEST_F(ZipArchiveTest, MissingOrGarbageArchiveExtractsNothing) {
  const std::string target = dir_.Sub("out/transfer.dat");
  WriteNative(target, "stale");
  EXPECT_EQ(ExtractArchive(dir_.Sub("none.zip"), target).reason, ExtractFailure::kCannotOpen);
  const std::string garbage = dir_.Sub("garbage.zip");
  WriteNative(garbage, TestData(5000));
  const ExtractResult r = ExtractArchive(garbage, target);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(ReadNative(target), "stale");
  EXPECT_EQ(Names(dir_.Sub("out")), std::vector<std::string>{"transfer.dat"});
}

TEST_F(ZipArchiveTest, TruncatedArchiveFailsWithoutPartialTarget) {
  const std::string source = dir_.Sub("s.bin");
  WriteNative(source, TestData(400000));
  const std::string archive = dir_.Sub("a.zip");
  ASSERT_TRUE(PackFile(archive, source, "transfer.dat"));
  std::string bytes = ReadNative(archive);
  // Damage the compressed data in the middle; the directory stays readable.
  for (size_t i = bytes.size() / 3; i < bytes.size() / 3 + 64; ++i) bytes[i] ^= 0x5A;
  WriteNative(archive, bytes);
  const std::string target = dir_.Sub("out/transfer.dat");
  const ExtractResult r = ExtractArchive(archive, target);
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(Names(dir_.Sub("out")).empty());
}

TEST_F(ZipArchiveTest, DamagedStreamsFailAndDataPastTheDeclaredSizeIsNeverRead) {
  RequirePython();
  const std::string target = dir_.Sub("out/transfer.dat");
  const struct {
    const char* cmd;
    ExtractFailure reason;
  } cases[] = {{"cut", ExtractFailure::kBadData},
               {"early", ExtractFailure::kSizeMismatch},
               {"storedshort", ExtractFailure::kSizeMismatch},
               {"prefix", ExtractFailure::kNone}};
  for (const auto& c : cases) {
    const std::string archive = dir_.Sub(std::string(c.cmd) + ".zip");
    ASSERT_TRUE(Python(std::string(c.cmd) + " " + Quote(archive))) << c.cmd;
    EXPECT_EQ(ExtractArchive(archive, target).reason, c.reason) << c.cmd;
  }
  EXPECT_EQ(ReadNative(target).size(), 1000u);  // the prefix case
  EXPECT_EQ(Names(dir_.Sub("out")), std::vector<std::string>{"transfer.dat"});
}

// Packs source as the server packs a download while it is sent.
bool PackWhileSent(const std::string& archive, const std::string& source) {
  platform::File in;
  if (in.Open(source, platform::File::kRead) != 0) return false;
  StreamingPacker packer;
  if (!packer.Start(archive, "transfer.dat", std::move(in), nullptr)) return false;
  const StreamingPacker::Progress progress =
      packer.WaitFor(std::numeric_limits<std::uint64_t>::max());
  packer.Stop();
  return progress.ended && progress.ok;
}

// Feeds archive to a StreamExtractor onto target in pieces of the given
// sizes, taken in turn.
ExtractResult Stream(const std::string& archive, const std::string& target,
                     const std::vector<size_t>& pieces = {1280}, const ExtractLimits& limits = {}) {
  StreamExtractor stream(target, limits);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(archive.data());
  for (size_t at = 0, i = 0; at < archive.size(); ++i) {
    const size_t n = std::min(pieces[i % pieces.size()], archive.size() - at);
    (void)stream.Feed(std::span(bytes + at, n));
    at += n;
  }
  return stream.Finish();
}

const std::vector<size_t> kOddPieces = {1, 3, 1000, 1281, 7, 65536, 29, 4093};
const std::vector<size_t> kOneSpan = {std::numeric_limits<size_t>::max()};

TEST_F(ZipArchiveTest, StreamingGivesTheSameFileAsExtractingTheArchive) {
  const bool python = !PythonPath().empty();
  const std::string source = dir_.Sub("s.bin");
  const std::string archive = dir_.Sub("a.zip");
  const std::string target = dir_.Sub("out/transfer.dat");
  const std::string from_file = dir_.Sub("file.dat");
  for (const size_t size : {size_t{0}, size_t{1}, size_t{1280}, size_t{1281}, size_t{3} << 20}) {
    for (const std::string& data : {TestData(size), Noise(size)}) {
      WriteNative(source, data);
      // Packed as this server packs a file, and while it sends one (a data
      // descriptor after the data); as a zip library writing to a pipe does,
      // without and with zip64 sizes.
      for (const int shape : {0, 1, 2, 3}) {
        if (shape == 0) {
          ASSERT_TRUE(PackFile(archive, source, "transfer.dat"));
        } else if (shape == 1) {
          ASSERT_TRUE(PackWhileSent(archive, source));
        } else if (!python) {
          continue;  // python3's zipfile writes those
        } else {
          ASSERT_TRUE(PackStreamed(archive, source, shape == 3));
        }
        const std::string bytes = ReadNative(archive);
        ASSERT_EQ((bytes[6] & 8) != 0, shape != 0);
        ASSERT_TRUE(ExtractArchive(archive, from_file).ok);
        for (const auto& pieces : {std::vector<size_t>{1}, kOddPieces, kOneSpan}) {
          const ExtractResult r = Stream(bytes, target, pieces);
          ASSERT_TRUE(r.ok) << size << " " << shape << " " << static_cast<int>(r.reason);
          EXPECT_EQ(r.entries, 1);
          EXPECT_EQ(ReadNative(target), data) << size;
          platform::DirEntry streamed, extracted;
          ASSERT_EQ(platform::Stat(target, streamed), 0);
          ASSERT_EQ(platform::Stat(from_file, extracted), 0);
          EXPECT_EQ(streamed.last_write, extracted.last_write) << size;
        }
      }
    }
  }
  EXPECT_EQ(Names(dir_.Sub("out")), std::vector<std::string>{"transfer.dat"});
}

TEST_F(ZipArchiveTest, StreamingFailsLikeTheArchiveFileAndKeepsTheTarget) {
  RequirePython();
  const std::string target = dir_.Sub("out/transfer.dat");
  const std::string file_target = dir_.Sub("file.dat");
  WriteNative(target, "old");
  std::vector<std::pair<std::string, std::string>> cases;
  for (const char* cmd : {"cut", "early", "storedshort", "badcrc", "bomb", "ratio"}) {
    const std::string archive = dir_.Sub(std::string(cmd) + ".zip");
    ASSERT_TRUE(Python(std::string(cmd) + " " + Quote(archive))) << cmd;
    cases.emplace_back(cmd, ReadNative(archive));
  }
  const std::string source = dir_.Sub("s.bin");
  WriteNative(source, TestData(400000));
  const std::string packed = dir_.Sub("a.zip");
  ASSERT_TRUE(PackFile(packed, source, "transfer.dat"));
  const std::string good = ReadNative(packed);
  std::string flipped = good;
  flipped[good.size() / 2] ^= 0x10;
  cases.emplace_back("flipped", flipped);
  std::string local_crc = good;  // the local header's CRC only
  local_crc[14] ^= 1;
  cases.emplace_back("local crc", local_crc);
  for (const size_t cut : {size_t{2}, size_t{20}, size_t{45}, good.size() / 2, good.size() - 30}) {
    cases.emplace_back("truncated at " + std::to_string(cut), good.substr(0, cut));
  }
  for (const auto& [name, bytes] : cases) {
    WriteNative(packed, bytes);
    const ExtractFailure want = ExtractArchive(packed, file_target).reason;
    EXPECT_NE(want, ExtractFailure::kNone) << name;
    EXPECT_EQ(Stream(bytes, target).reason, want) << name;
    EXPECT_EQ(Stream(bytes, target, kOddPieces).reason, want) << name;
  }
  // The zip library takes an end record without its last byte; a stream is
  // whole or refused.
  EXPECT_EQ(Stream(good.substr(0, good.size() - 1), target).reason, ExtractFailure::kCannotOpen);
  EXPECT_EQ(ReadNative(target), "old");
  EXPECT_EQ(Names(dir_.Sub("out")), std::vector<std::string>{"transfer.dat"});
}

TEST_F(ZipArchiveTest, StreamingTakesOnlyAnArchiveOfExactlyOneAgreeingEntry) {
  RequirePython();
  const std::string target = dir_.Sub("out/transfer.dat");
  WriteNative(target, "old");
  const std::string archive = dir_.Sub("two.zip");
  ASSERT_TRUE(Python("two " + Quote(archive)));
  EXPECT_EQ(Stream(ReadNative(archive), target).reason, ExtractFailure::kBadData);

  const std::string source = dir_.Sub("s.bin");
  WriteNative(source, TestData(5000));
  ASSERT_TRUE(PackFile(archive, source, "transfer.dat"));
  const std::string good = ReadNative(archive);
  const size_t central = good.size() - 22 - 46 - std::string("transfer.dat").size();
  ASSERT_EQ(good.substr(central, 4), std::string("PK\1\2"));
  std::string renamed = good;  // the directory names another entry
  renamed[central + 46] = 'T';
  std::string moved = good;  // its local header elsewhere
  moved[central + 42] = 1;
  std::string counted = good;  // the end record counts two entries
  counted[good.size() - 12] = 2;
  std::string oversize = good;  // more tail than any directory of one entry needs
  oversize += std::string(200000, 'x');
  for (const std::string& bytes : {renamed, moved, counted, oversize}) {
    EXPECT_EQ(Stream(bytes, target).reason, ExtractFailure::kBadData);
  }
  ASSERT_TRUE(Python("comment " + Quote(archive)));
  EXPECT_TRUE(Stream(ReadNative(archive), dir_.Sub("comment.dat")).ok);
  EXPECT_EQ(ReadNative(target), "old");
  EXPECT_EQ(Names(dir_.Sub("out")), std::vector<std::string>{"transfer.dat"});
}

TEST_F(ZipArchiveTest, StreamingDeclinesOtherShapesAndHoldsEveryByteFed) {
  const std::string source = dir_.Sub("s.bin");
  const std::string data = TestData(100000);
  WriteNative(source, data);
  const std::string archive = dir_.Sub("a.zip");
  ASSERT_TRUE(PackFile(archive, source, "transfer.dat"));
  std::string described = ReadNative(archive);  // sizes in the header, flagged as in a descriptor
  described[6] |= 8;
  described[described.size() - 22 - 46 - 12 + 8] |= 8;
  const std::string target = dir_.Sub("out/transfer.dat");
  std::vector<std::string> shapes = {described, std::string("PK\5\6") + std::string(18, '\0')};
  const std::string stored = dir_.Sub("stored.zip");  // stored, sizes in a data descriptor
  if (!PythonPath().empty()) {
    ASSERT_TRUE(Python("streamedstored " + Quote(stored)));
    shapes.push_back(ReadNative(stored));
    ASSERT_EQ(shapes.back()[6] & 8, 8);
    EXPECT_TRUE(ExtractArchive(stored, target).ok);
  }
  for (const std::string& bytes : shapes) {
    StreamExtractor stream(target);
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    EXPECT_FALSE(stream.Feed(std::span(p, 1280 < bytes.size() ? 1280 : bytes.size())));
    EXPECT_TRUE(stream.declined());
    const std::span<const std::uint8_t> held = stream.held();
    EXPECT_EQ(std::string(held.begin(), held.end()), bytes.substr(0, 1280));
  }
  WriteNative(archive, described);
  EXPECT_TRUE(ExtractArchive(archive, target).ok);
  EXPECT_EQ(ReadNative(target), data);
}

TEST_F(ZipArchiveTest, StreamingDescribedDataFailsLikeTheArchiveFileAndKeepsTheTarget) {
  RequirePython();
  const std::string source = dir_.Sub("s.bin");
  WriteNative(source, TestData(400000));
  const std::string archive = dir_.Sub("a.zip");
  const std::string target = dir_.Sub("out/transfer.dat");
  const std::string file_target = dir_.Sub("file.dat");
  WriteNative(target, "old");
  // What the archive file's extraction, which reads only the directory,
  // makes of each damage; where it finds none, the stream gives kBadData.
  const struct {
    const char* damage;
    ExtractFailure file;
  } damages[] = {{"descriptor crc", ExtractFailure::kNone},
                 {"crc", ExtractFailure::kCrcMismatch},
                 {"directory crc", ExtractFailure::kCrcMismatch},
                 {"plain+1", ExtractFailure::kSizeMismatch},
                 {"plain-1", ExtractFailure::kCrcMismatch},
                 {"directory plain", ExtractFailure::kSizeMismatch},
                 {"packed+1", ExtractFailure::kNone},
                 {"packed-100", ExtractFailure::kBadData},
                 {"no descriptor", ExtractFailure::kNone},
                 {"unsigned", ExtractFailure::kNone}};
  for (const bool zip64 : {false, true}) {
    std::vector<std::pair<std::string, std::string>> cases;
    for (const auto& d : damages) {
      ASSERT_TRUE(PackStreamed(archive, source, zip64, d.damage)) << d.damage;
      EXPECT_EQ(ExtractArchive(archive, file_target).reason, d.file) << d.damage;
      if (std::string(d.damage) != "unsigned") cases.emplace_back(d.damage, ReadNative(archive));
    }
    EXPECT_TRUE(Stream(ReadNative(archive), dir_.Sub("unsigned.dat"), kOddPieces).ok);
    ASSERT_TRUE(PackStreamed(archive, source, zip64));
    const std::string good = ReadNative(archive);
    const size_t data_end = good.rfind("PK\7\10");
    ASSERT_NE(data_end, std::string::npos);
    for (const size_t cut : {size_t{45}, data_end - 1, data_end, data_end + 10, good.size() - 9}) {
      cases.emplace_back("truncated at " + std::to_string(cut), good.substr(0, cut));
    }
    cases.emplace_back("bytes past the end", good + "PK");
    for (const auto& [name, bytes] : cases) {
      WriteNative(archive, bytes);
      ExtractFailure want = ExtractArchive(archive, file_target).reason;
      if (want == ExtractFailure::kNone) want = ExtractFailure::kBadData;
      for (const auto& pieces : {std::vector<size_t>{1280}, kOddPieces, kOneSpan}) {
        EXPECT_EQ(Stream(bytes, target, pieces).reason, want) << name << " " << zip64;
      }
    }
    // Limits, checked while the data grows: 400000 bytes.
    for (const ExtractLimits limits : {ExtractLimits{0, 400000}, ExtractLimits{1, 399999}}) {
      WriteNative(archive, good);
      const ExtractFailure want = ExtractArchive(archive, file_target, limits).reason;
      EXPECT_NE(want, ExtractFailure::kNone);
      EXPECT_EQ(Stream(good, target, kOneSpan, limits).reason, want);
    }
    EXPECT_TRUE(Stream(good, target, kOneSpan, {1, 400000}).ok);
    WriteNative(target, "old");
  }
  EXPECT_EQ(ReadNative(target), "old");
  EXPECT_EQ(Names(dir_.Sub("out")), std::vector<std::string>{"transfer.dat"});
}

TEST_F(ZipArchiveTest, ReserveKeepsSixtyFourMebibytesAndOnePercent) {
  EXPECT_EQ(ExtractReserve(0), 64ull << 20);
  EXPECT_EQ(ExtractReserve(1000ull << 20), (64ull << 20) + (10ull << 20));
}

}  // namespace
}  // namespace kestrel
