#include "support/FileNeu.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/MessageBox.h"

namespace kestrel {

namespace {

// Latin-1 bytes: \xFC = u umlaut, \xF6 = o umlaut.
constexpr const char* kCauseTexts[] = {
    "Kein Fehler",
    "Unbekannter Fehler",
    "Datei nicht gefunden",
    "Ung\xFCltiger Pfad",
    "Zu viele offene Dateien",
    "Zugriff verweigert",
    "Ung\xFCltiger File-Handler",
    "Aktuelles Verzeichnis kann nicht gel\xF6scht werden",
    "Keine weiteren Directory-Eintr\xE4ge m\xF6glich",
    "File-Pointer kann nicht gesetzt werden",
    "Hardware Fehler",
    "SHARE-Verletzung",
    "Gelockte Datei erneut gelockt",
    "Speichermedium voll",
    "Datei-Ende erreicht",
};

constexpr char kLineEnd[] = "\r\n";

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

}  // namespace

CFileNeu::CFileNeu() = default;

CFileNeu::~CFileNeu() {
  Close();
}

std::string CFileNeu::CauseText(int cause) {
  if (cause < 0 || cause >= static_cast<int>(std::size(kCauseTexts))) return std::string();
  return kCauseTexts[cause];
}

int CFileNeu::CauseFromErrno(int error) {
  switch (error) {
    case 0:
      return kNone;
    case ENOENT:
      return kFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
    case ELOOP:
    case EXDEV:
      return kBadPath;
    case EMFILE:
    case ENFILE:
      return kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EEXIST:
    case EISDIR:
    case ENOTEMPTY:
      return kAccessDenied;
    case EBADF:
      return kInvalidFile;
    case EMLINK:
      return kDirectoryFull;
    case ESPIPE:
    case EOVERFLOW:
      return kBadSeek;
    case EIO:
    case ENXIO:
    case ENODEV:
      return kHardIO;
    case EBUSY:
    case ETXTBSY:
      return kSharingViolation;
    case EDEADLK:
    case ENOLCK:
      return kLockViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kDiskFull;
    default:
      return kGeneric;
  }
}

std::string CFileNeu::ReportText(int cause, std::string_view path) {
  std::string text = "'";
  text += CauseText(cause);
  text += "' beim Zugriff auf die Datei '";
  text += path;
  text += "'";
  return text;
}

void CFileNeu::Report(int error, std::string_view path, bool show) {
  // The report is shown, never logged. It goes through the process-wide sink:
  // headless, that returns at once, so no worker thread waits on a box; only a
  // front end's modal sink makes the calling thread wait for the user.
  if (show) platform::MessageBoxes().Show(ReportText(CauseFromErrno(error), path));
}

void CFileNeu::ReportError(int error) {
  last_cause_ = CauseFromErrno(error);
  Report(error, path_, show_errors_);
}

bool CFileNeu::Open(std::string_view path, unsigned flags) {
  if (is_open_) Close();
  path_ = path;
  buffer_pos_ = buffer_len_ = 0;
  const int error = file_.Open(path, flags);
  if (error != 0) {
    is_open_ = false;
    ReportError(error);
    return false;
  }
  is_open_ = true;
  return true;
}

void CFileNeu::Close() {
  if (!is_open_) return;
  is_open_ = false;
  buffer_pos_ = buffer_len_ = 0;
  const int error = file_.Close();
  if (error != 0) ReportError(error);
}

bool CFileNeu::Fill() {
  if (!buffer_) buffer_ = std::make_unique<char[]>(kBufferSize);
  buffer_pos_ = buffer_len_ = 0;
  const long n = file_.Read(buffer_.get(), kBufferSize);
  if (n < 0) {
    ReportError(static_cast<int>(-n));
    return false;
  }
  buffer_len_ = static_cast<size_t>(n);
  return n > 0;
}

void CFileNeu::DropReadAhead() {
  const size_t unread = buffer_len_ - buffer_pos_;
  buffer_pos_ = buffer_len_ = 0;
  if (unread == 0) return;
  // Step the descriptor back over the bytes read ahead but not yet delivered.
  if (::lseek(file_.fd(), -static_cast<off_t>(unread), SEEK_CUR) < 0) ReportError(errno);
}

size_t CFileNeu::Read(void* buffer, size_t count) {
  if (!is_open_ || count == 0) return 0;
  char* out = static_cast<char*>(buffer);
  size_t done = 0;
  // Bytes already read ahead by the text reader come first.
  if (buffer_pos_ < buffer_len_) {
    done = std::min(count, buffer_len_ - buffer_pos_);
    std::memcpy(out, buffer_.get() + buffer_pos_, done);
    buffer_pos_ += done;
    if (done == count) return done;
  }
  while (done < count) {
    if (count - done < kSmallRead) {
      // Small reads (a download chunk at a time) come from the read-ahead:
      // one system call per buffer instead of one per read.
      if (!Fill()) break;
      const size_t taken = std::min(count - done, buffer_len_);
      std::memcpy(out + done, buffer_.get(), taken);
      buffer_pos_ = taken;
      done += taken;
      continue;
    }
    const long n = file_.Read(out + done, count - done);
    if (n < 0) {
      ReportError(static_cast<int>(-n));
      return done;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool CFileNeu::Write(const void* data, size_t count) {
  if (!is_open_) return false;
  DropReadAhead();
  const int error = file_.Write(data, count);
  if (error != 0) {
    ReportError(error);
    return false;
  }
  return true;
}

bool CFileNeu::WriteText(std::string_view text) {
  return Write(text.data(), text.size());
}

bool CFileNeu::WriteLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text);
  line.append(kLineEnd);
  return Write(line.data(), line.size());
}

std::string CFileNeu::ReadText(bool stop_at_lf) {
  std::string out;
  if (!is_open_) return out;
  for (;;) {
    if (buffer_pos_ == buffer_len_ && !Fill()) return out;
    // Scan the buffered bytes for the next LF that ends the text.
    const char* begin = buffer_.get() + buffer_pos_;
    const size_t available = buffer_len_ - buffer_pos_;
    size_t taken = available;
    bool done = false;
    for (size_t i = 0; i < available; ++i) {
      if (begin[i] != '\n') continue;
      const bool after_cr = i > 0 ? begin[i - 1] == '\r' : (!out.empty() && out.back() == '\r');
      if (stop_at_lf || after_cr) {
        taken = i + 1;
        done = true;
        break;
      }
    }
    out.append(begin, taken);
    buffer_pos_ += taken;
    if (done) return out;
  }
}

std::string CFileNeu::ReadAll() {
  std::string all;
  for (;;) {
    std::string part = ReadText(false);
    if (part.empty()) return all;
    all += part;
  }
}

bool CFileNeu::ReadLine(std::string& out) {
  std::string line = ReadText(true);
  if (line.size() <= 1) return false;
  if (line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  out = std::move(line);
  return true;
}

void CFileNeu::SeekToEnd() {
  if (!is_open_) return;
  buffer_pos_ = buffer_len_ = 0;
  const int error = file_.SeekToEnd();
  if (error != 0) ReportError(error);
}

bool CFileNeu::Exists(std::string_view path) {
  return platform::Exists(path);
}

bool CFileNeu::Remove(std::string_view path, bool show_errors) {
  if (!platform::Exists(path)) return true;
  const int error = platform::DeleteFile(path);
  if (error != 0) {
    Report(error, path, show_errors);
    return false;
  }
  return true;
}

bool CFileNeu::Rename(std::string_view from, std::string_view to, bool show_errors) {
  if (!platform::Exists(from)) return false;
  // Renaming never replaces another file.
  if (platform::Exists(to)) {
    Report(EEXIST, from, show_errors);
    return false;
  }
  const int error = platform::RenameFile(from, to);
  if (error != 0) {
    Report(error, from, show_errors);
    return false;
  }
  return true;
}

bool CFileNeu::CreatePath(std::string_view path) {
  if (path.empty()) return false;
  if (platform::IsFolder(path)) return true;
  size_t first = 0;
  while (first < path.size() && !IsSeparator(path[first])) ++first;
  // Each prefix ending before a separator, after the first separator.
  for (size_t i = first + 1; i < path.size(); ++i) {
    if (IsSeparator(path[i]) && !IsSeparator(path[i - 1])) {
      (void)platform::CreateFolder(path.substr(0, i));
    }
  }
  (void)platform::CreateFolder(path);
  return platform::IsFolder(path);
}

}  // namespace kestrel
