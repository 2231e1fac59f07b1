#include "support/FileNeu.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/MessageBox.h"
#include "testsupport/TempDir.h"

namespace kestrel {
namespace {

std::string ReadNative(const std::string& native_path) {
  std::ifstream in(native_path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteNative(const std::string& native_path, const std::string& bytes) {
  std::ofstream out(native_path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class FileNeuTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetMessageBoxes(&boxes_); }
  void TearDown() override { platform::SetMessageBoxes(nullptr); }

  std::string WriteFile(const std::string& name, const std::string& bytes) {
    const std::string path = dir_.Sub(name);
    WriteNative(path, bytes);
    return path;
  }

  std::vector<std::string> Lines(const std::string& bytes) {
    const std::string path = WriteFile("lines.txt", bytes);
    CFileNeu file;
    EXPECT_TRUE(file.Open(path, CFileNeu::kRead));
    std::vector<std::string> lines;
    std::string line;
    while (file.ReadLine(line)) lines.push_back(line);
    return lines;
  }

  test::TempDir dir_;
  platform::CapturingMessageBox boxes_;
};

TEST_F(FileNeuTest, CauseTextsAreTheExactLatin1Bytes) {
  EXPECT_EQ(CFileNeu::CauseText(0), "Kein Fehler");
  EXPECT_EQ(CFileNeu::CauseText(1), "Unbekannter Fehler");
  EXPECT_EQ(CFileNeu::CauseText(2), "Datei nicht gefunden");
  EXPECT_EQ(CFileNeu::CauseText(3), "Ung\xFCltiger Pfad");
  EXPECT_EQ(CFileNeu::CauseText(4), "Zu viele offene Dateien");
  EXPECT_EQ(CFileNeu::CauseText(5), "Zugriff verweigert");
  EXPECT_EQ(CFileNeu::CauseText(6), "Ung\xFCltiger File-Handler");
  EXPECT_EQ(CFileNeu::CauseText(7), "Aktuelles Verzeichnis kann nicht gel\xF6scht werden");
  EXPECT_EQ(CFileNeu::CauseText(8), "Keine weiteren Directory-Eintr\xE4ge m\xF6glich");
  EXPECT_EQ(CFileNeu::CauseText(9), "File-Pointer kann nicht gesetzt werden");
  EXPECT_EQ(CFileNeu::CauseText(10), "Hardware Fehler");
  EXPECT_EQ(CFileNeu::CauseText(11), "SHARE-Verletzung");
  EXPECT_EQ(CFileNeu::CauseText(12), "Gelockte Datei erneut gelockt");
  EXPECT_EQ(CFileNeu::CauseText(13), "Speichermedium voll");
  EXPECT_EQ(CFileNeu::CauseText(14), "Datei-Ende erreicht");
  EXPECT_EQ(CFileNeu::CauseText(15), "");
  EXPECT_EQ(CFileNeu::CauseText(-1), "");
}

TEST_F(FileNeuTest, ErrnoValuesMapToTheirCauses) {
  EXPECT_EQ(CFileNeu::CauseFromErrno(0), CFileNeu::kNone);
  EXPECT_EQ(CFileNeu::CauseFromErrno(ENOENT), CFileNeu::kFileNotFound);
  EXPECT_EQ(CFileNeu::CauseFromErrno(ENOTDIR), CFileNeu::kBadPath);
  EXPECT_EQ(CFileNeu::CauseFromErrno(ENAMETOOLONG), CFileNeu::kBadPath);
  EXPECT_EQ(CFileNeu::CauseFromErrno(EMFILE), CFileNeu::kTooManyOpenFiles);
  EXPECT_EQ(CFileNeu::CauseFromErrno(EACCES), CFileNeu::kAccessDenied);
  EXPECT_EQ(CFileNeu::CauseFromErrno(EROFS), CFileNeu::kAccessDenied);
  EXPECT_EQ(CFileNeu::CauseFromErrno(EBADF), CFileNeu::kInvalidFile);
  EXPECT_EQ(CFileNeu::CauseFromErrno(EIO), CFileNeu::kHardIO);
  EXPECT_EQ(CFileNeu::CauseFromErrno(ENOSPC), CFileNeu::kDiskFull);
  EXPECT_EQ(CFileNeu::CauseFromErrno(EDQUOT), CFileNeu::kDiskFull);
  EXPECT_EQ(CFileNeu::CauseFromErrno(ECONNRESET), CFileNeu::kGeneric);
}

TEST_F(FileNeuTest, OpeningMissingFileShowsGermanTextWithPath) {
  const std::string path = dir_.Sub("missing.txt");
  CFileNeu file;
  EXPECT_FALSE(file.Open(path, CFileNeu::kRead));
  EXPECT_FALSE(file.IsOpen());
  ASSERT_EQ(boxes_.Shown().size(), 1u);
  EXPECT_EQ(boxes_.Shown()[0], "'Datei nicht gefunden' beim Zugriff auf die Datei '" + path + "'");
  EXPECT_EQ(file.GetFilePath(), path);
  EXPECT_EQ(file.LastCause(), CFileNeu::kFileNotFound);
}

TEST_F(FileNeuTest, ShowErrorsOffKeepsTheBoxAway) {
  CFileNeu file;
  file.SetShowErrors(false);
  EXPECT_FALSE(file.Open(dir_.Sub("missing.txt"), CFileNeu::kRead));
  EXPECT_TRUE(boxes_.Shown().empty());
  EXPECT_EQ(file.LastCause(), CFileNeu::kFileNotFound);
}

TEST_F(FileNeuTest, OpeningAFolderAsFileIsAccessDenied) {
  CFileNeu file;
  EXPECT_FALSE(file.Open(dir_.path(), CFileNeu::kRead));
  ASSERT_EQ(boxes_.Shown().size(), 1u);
  EXPECT_EQ(boxes_.Shown()[0],
            "'Zugriff verweigert' beim Zugriff auf die Datei '" + dir_.path() + "'");
}

TEST_F(FileNeuTest, ReadLineSplitsCrLfLines) {
  EXPECT_EQ(Lines("ab\r\ncd"), (std::vector<std::string>{"ab", "cd"}));
}

TEST_F(FileNeuTest, ReadLineAcceptsBareLf) {
  EXPECT_EQ(Lines("ab\ncd\n"), (std::vector<std::string>{"ab", "cd"}));
}

TEST_F(FileNeuTest, ReadLineStopsAtALineOfJustLf) {
  EXPECT_EQ(Lines("ab\n\ncd\r\n"), (std::vector<std::string>{"ab"}));
}

TEST_F(FileNeuTest, ReadLineStopsAtOneByteLastLine) {
  EXPECT_EQ(Lines("ab\r\nx"), (std::vector<std::string>{"ab"}));
}

TEST_F(FileNeuTest, ReadLineGivesEmptyLinesForCrLfCrLf) {
  EXPECT_EQ(Lines("\r\n\r\n"), (std::vector<std::string>{"", ""}));
}

TEST_F(FileNeuTest, ReadLineStripsOnlyOneCr) {
  EXPECT_EQ(Lines("a\r\r\nb\r"), (std::vector<std::string>{"a\r", "b"}));
}

TEST_F(FileNeuTest, ReadLineHandlesLinesLongerThanTheReadAhead) {
  const std::string long_line(100000, 'x');
  EXPECT_EQ(Lines(long_line + "\r\nab\r\n" + long_line),
            (std::vector<std::string>{long_line, "ab", long_line}));
}

TEST_F(FileNeuTest, ReadTextWithoutStopAtLfEndsOnlyAfterCrLf) {
  const std::string path = WriteFile("t.txt", "a\nb\r\nc");
  CFileNeu file;
  ASSERT_TRUE(file.Open(path, CFileNeu::kRead));
  EXPECT_EQ(file.ReadText(false), "a\nb\r\n");
  EXPECT_EQ(file.ReadText(false), "c");
  EXPECT_EQ(file.ReadText(false), "");
}

TEST_F(FileNeuTest, ReadTextFindsCrLfSplitAcrossReadAheadBlocks) {
  // CR as the last byte of the first 32 KiB block, LF as the first of the next.
  std::string bytes(32 * 1024 - 1, 'a');
  bytes += "\r\nrest";
  const std::string path = WriteFile("t.txt", bytes);
  CFileNeu file;
  ASSERT_TRUE(file.Open(path, CFileNeu::kRead));
  EXPECT_EQ(file.ReadText(false), bytes.substr(0, 32 * 1024 + 1));
  EXPECT_EQ(file.ReadText(false), "rest");
}

TEST_F(FileNeuTest, ReadAllReturnsEveryByte) {
  std::string bytes = "one\r\ntwo\nthree\r\n";
  bytes += std::string("\0\xFF\x80 end", 8);
  const std::string path = WriteFile("t.bin", bytes);
  CFileNeu file;
  ASSERT_TRUE(file.Open(path, CFileNeu::kRead));
  EXPECT_EQ(file.ReadAll(), bytes);
}

TEST_F(FileNeuTest, ReadAfterReadLineContinuesAtTheNextLine) {
  const std::string path = WriteFile("t.txt", "first\r\nsecond");
  CFileNeu file;
  ASSERT_TRUE(file.Open(path, CFileNeu::kRead));
  std::string line;
  ASSERT_TRUE(file.ReadLine(line));
  char buffer[16] = {};
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 6u);
  EXPECT_EQ(std::string(buffer, 6), "second");
}

TEST_F(FileNeuTest, WriteAfterReadLineWritesAtTheReadPosition) {
  const std::string path = WriteFile("t.txt", "aa\r\nbb\r\ncc\r\n");
  {
    CFileNeu file;
    ASSERT_TRUE(file.Open(path, CFileNeu::kReadWrite));
    std::string line;
    ASSERT_TRUE(file.ReadLine(line));
    EXPECT_TRUE(file.WriteText("XX"));
  }
  EXPECT_EQ(ReadNative(path), "aa\r\nXX\r\ncc\r\n");
}

TEST_F(FileNeuTest, SmallAndLargeReadsTakeEveryByteInOrderAndWritesFollowTheReadPosition) {
  std::string bytes(100000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  const std::string path = WriteFile("data.bin", bytes);
  std::string read;
  {
    CFileNeu file;
    ASSERT_TRUE(file.Open(path, CFileNeu::kRead));
    std::vector<char> buffer(40000);
    for (int i = 0; i < 30; ++i) {  // past the read-ahead's end
      read.append(buffer.data(), file.Read(buffer.data(), 1280));
    }
    read.append(buffer.data(), file.Read(buffer.data(), buffer.size()));
    for (std::size_t n; (n = file.Read(buffer.data(), 1280)) > 0;) read.append(buffer.data(), n);
  }
  EXPECT_EQ(read, bytes);
  {
    CFileNeu file;
    ASSERT_TRUE(file.Open(path, CFileNeu::kReadWrite));
    char chunk[1280];
    ASSERT_EQ(file.Read(chunk, sizeof chunk), sizeof chunk);
    EXPECT_TRUE(file.WriteText("XX"));
  }
  EXPECT_EQ(ReadNative(path), bytes.substr(0, 1280) + "XX" + bytes.substr(1282));
}

TEST_F(FileNeuTest, WriteLineAppendsCrLfAndSeekToEndAppends) {
  const std::string path = dir_.Sub("log.txt");
  {
    CFileNeu file;
    ASSERT_TRUE(file.Open(path, CFileNeu::kWrite | CFileNeu::kCreate));
    EXPECT_TRUE(file.WriteLine("first"));
  }
  {
    CFileNeu file;
    ASSERT_TRUE(file.Open(path, CFileNeu::kWrite | CFileNeu::kCreate | CFileNeu::kNoTruncate));
    file.SeekToEnd();
    EXPECT_TRUE(file.WriteLine("zweite \xFC"));
  }
  EXPECT_EQ(ReadNative(path), "first\r\nzweite \xFC\r\n");
}

TEST_F(FileNeuTest, WriteTextKeepsEachByteAsOneByte) {
  const std::string path = dir_.Sub("t.txt");
  {
    CFileNeu file;
    ASSERT_TRUE(file.Open(path, CFileNeu::kWrite | CFileNeu::kCreate));
    EXPECT_TRUE(file.WriteText("\xE4\xF6\xFC\xDF"));
  }
  EXPECT_EQ(ReadNative(path), "\xE4\xF6\xFC\xDF");
}

TEST_F(FileNeuTest, OperationsOnAClosedObjectFailQuietly) {
  CFileNeu file;
  file.Close();
  file.Close();
  char buffer[4];
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0u);
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_EQ(file.ReadText(true), "");
  std::string line;
  EXPECT_FALSE(file.ReadLine(line));
  file.SeekToEnd();
  EXPECT_TRUE(boxes_.Shown().empty());
  EXPECT_EQ(file.GetFilePath(), "");
}

TEST_F(FileNeuTest, WriteOnReadOnlyFileReportsAndFails) {
  const std::string path = WriteFile("t.txt", "x");
  CFileNeu file;
  ASSERT_TRUE(file.Open(path, CFileNeu::kRead));
  EXPECT_FALSE(file.Write("y", 1));
  ASSERT_EQ(boxes_.Shown().size(), 1u);
  EXPECT_NE(boxes_.Shown()[0].find("' beim Zugriff auf die Datei '" + path + "'"),
            std::string::npos);
}

TEST_F(FileNeuTest, RemoveOfMissingFileIsSilent) {
  EXPECT_TRUE(CFileNeu::Remove(dir_.Sub("nothing.txt")));
  EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(FileNeuTest, RemoveDeletesAnExistingFile) {
  const std::string path = WriteFile("t.txt", "x");
  EXPECT_TRUE(CFileNeu::Remove(path));
  EXPECT_FALSE(CFileNeu::Exists(path));
}

TEST_F(FileNeuTest, RenameMovesAFileAndIgnoresAMissingOne) {
  const std::string from = WriteFile("a.txt", "x");
  EXPECT_TRUE(CFileNeu::Rename(from, dir_.Sub("b.txt")));
  EXPECT_FALSE(CFileNeu::Exists(from));
  EXPECT_EQ(ReadNative(dir_.Sub("b.txt")), "x");
  EXPECT_FALSE(CFileNeu::Rename(dir_.Sub("none.txt"), dir_.Sub("c.txt")));
  EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(FileNeuTest, RenameDoesNotReplaceAnExistingTarget) {
  const std::string from = WriteFile("a.txt", "new");
  const std::string to = WriteFile("b.txt", "old");
  EXPECT_FALSE(CFileNeu::Rename(from, to));
  EXPECT_EQ(ReadNative(to), "old");
  ASSERT_EQ(boxes_.Shown().size(), 1u);
  EXPECT_EQ(boxes_.Shown()[0], "'Zugriff verweigert' beim Zugriff auf die Datei '" + from + "'");
  EXPECT_FALSE(CFileNeu::Rename(from, to, false));
  EXPECT_EQ(boxes_.Shown().size(), 1u);
}

TEST_F(FileNeuTest, CreatePathMakesEveryMissingFolder) {
  const std::string path = dir_.path() + "\\a\\b\\c";
  EXPECT_TRUE(CFileNeu::CreatePath(path));
  EXPECT_TRUE(platform::IsFolder(dir_.Sub("a/b/c")));
  EXPECT_TRUE(CFileNeu::CreatePath(path));
  EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(FileNeuTest, CreatePathReportsFailureInsteadOfSuccess) {
  WriteFile("file", "x");
  EXPECT_FALSE(CFileNeu::CreatePath(dir_.path() + "\\file\\sub"));
  EXPECT_TRUE(boxes_.Shown().empty());
}

TEST_F(FileNeuTest, UmlautNamesAreStoredAsUtf8OnDisk) {
  const std::string system_path = dir_.path() + "\\M\xFCller \xC4rger.txt";
  {
    CFileNeu file;
    ASSERT_TRUE(file.Open(system_path, CFileNeu::kWrite | CFileNeu::kCreate));
    EXPECT_TRUE(file.WriteLine("x"));
  }
  struct stat st;
  EXPECT_EQ(::stat(dir_.Sub("M\xC3\xBCller \xC3\x84rger.txt").c_str(), &st), 0);
  EXPECT_TRUE(CFileNeu::Exists(system_path));
  CFileNeu reader;
  ASSERT_TRUE(reader.Open(system_path, CFileNeu::kRead));
  std::string line;
  EXPECT_TRUE(reader.ReadLine(line));
  EXPECT_EQ(line, "x");
}

TEST_F(FileNeuTest, DestructorClosesTheFile) {
  const std::string path = dir_.Sub("t.txt");
  {
    CFileNeu file;
    ASSERT_TRUE(file.Open(path, CFileNeu::kWrite | CFileNeu::kCreate));
    file.WriteText("abc");
  }
  // A second writer with truncation sees no leftover state.
  CFileNeu again;
  ASSERT_TRUE(again.Open(path, CFileNeu::kRead));
  EXPECT_EQ(again.ReadAll(), "abc");
  EXPECT_TRUE(boxes_.Shown().empty());
}

}  // namespace
}  // namespace kestrel
