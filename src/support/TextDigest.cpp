#include "support/TextDigest.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/FileSystem.h"
#include "support/FileNeu.h"
#include "support/Md5.h"

namespace kestrel {

std::string DigestOfTextFile(std::string_view path) {
  CFileNeu file;
  file.SetShowErrors(false);
  if (!file.Open(path, CFileNeu::kRead)) return std::string();
  Md5 md5;
  std::string line;
  while (file.ReadLine(line)) md5.Update(line);
  return md5.FinalHex();
}

namespace {

// The line texts of bytes as CFileNeu::ReadLine gives them, one piece at a
// time: a line ends after LF or at the end; a line of at most one byte
// (an empty line, or one last byte without LF) ends the text; LF and then
// CR are cut off the end of each line.
class LineTexts {
 public:
  explicit LineTexts(std::string_view bytes) : rest_(bytes) {}
  // The next non-empty piece of text; empty at the end.
  std::string_view Next() {
    while (!rest_.empty()) {
      const std::size_t lf = rest_.find('\n');
      const std::size_t raw = lf == std::string_view::npos ? rest_.size() : lf + 1;
      std::string_view line = rest_.substr(0, raw);
      rest_.remove_prefix(raw);
      if (line.size() <= 1) break;
      if (line.back() == '\n') line.remove_suffix(1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (!line.empty()) return line;
    }
    rest_ = {};
    return {};
  }

 private:
  std::string_view rest_;
};

// Bytes both texts begin with.
std::size_t CommonPrefix(std::string_view a, std::string_view b) {
  constexpr std::size_t kBlock = 4096;
  const std::size_t limit = std::min(a.size(), b.size());
  std::size_t at = 0;
  while (at + kBlock <= limit && std::memcmp(a.data() + at, b.data() + at, kBlock) == 0) {
    at += kBlock;
  }
  while (at < limit && a[at] == b[at]) ++at;
  return at;
}

}  // namespace

bool SameTextLines(std::string_view a, std::string_view b) {
  // Equal leading bytes give equal lines: the comparison starts at the line
  // in which the bytes first differ, unless a line before it (an empty one,
  // or one of just LF) already ended both texts.
  const std::size_t same = CommonPrefix(a, b);
  if (same == a.size() && same == b.size()) return true;
  const std::size_t last_lf = same == 0 ? std::string_view::npos : a.rfind('\n', same - 1);
  const std::size_t line = last_lf == std::string_view::npos ? 0 : last_lf + 1;
  if (line > 0 && (a.front() == '\n' || ::memmem(a.data(), line, "\n\n", 2) != nullptr)) {
    return true;
  }
  LineTexts lines_a(a.substr(line)), lines_b(b.substr(line));
  std::string_view piece_a, piece_b;
  for (;;) {
    if (piece_a.empty()) piece_a = lines_a.Next();
    if (piece_b.empty()) piece_b = lines_b.Next();
    if (piece_a.empty() || piece_b.empty()) return piece_a.empty() && piece_b.empty();
    const std::size_t n = std::min(piece_a.size(), piece_b.size());
    if (piece_a.substr(0, n) != piece_b.substr(0, n)) return false;
    piece_a.remove_prefix(n);
    piece_b.remove_prefix(n);
  }
}

std::string DigestOfFile(std::string_view path) {
  constexpr std::size_t kBlock = 64 * 1024;
  platform::File file;
  if (file.Open(path, platform::File::kRead) != 0) return std::string();
  Md5 md5;
  std::vector<char> block(kBlock);
  for (;;) {
    const long n = file.Read(block.data(), block.size());
    if (n < 0) return std::string();
    if (n == 0) return md5.FinalHex();
    md5.Update(block.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace kestrel
