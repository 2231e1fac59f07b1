// CFileNeu: the server's one file class. Byte I/O, 8-bit text lines ended by
// CR LF, appending, and static helpers to test, delete and rename files and to
// create a folder path. No failure escapes: every operation turns the system
// error into a German cause text, reports it (message box unless switched off)
// and returns a failure value (false, 0, empty text).
//
// When to use which: CFileNeu for the files the server reads and writes as
// documents and logs (configuration, logbooks, rights and scan-result texts,
// digests), where a failure has its German text and may show a box. The
// platform calls (platform/FileSystem.h, platform/Directory.h,
// platform/SideFile.h) for the server's own machinery where nobody is shown
// anything: staging and transfer archives, side files and renames, walks of
// project trees beneath a Directory, and clean-ups (platform::RemoveIfExists).
//
// Threads: an object belongs to the thread that created it; objects are
// short-lived locals and never shared. Reports go through
// platform::MessageBoxes(), whose headless sink returns at once, so a worker
// thread never blocks on a box unless a front end installs a modal sink.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"

namespace kestrel {

class CFileNeu {
 public:
  // Cause codes of file errors (the German texts are CauseText's).
  enum Cause : int {
    kNone = 0,
    kGeneric = 1,
    kFileNotFound = 2,
    kBadPath = 3,
    kTooManyOpenFiles = 4,
    kAccessDenied = 5,
    kInvalidFile = 6,
    kRemoveCurrentDir = 7,
    kDirectoryFull = 8,
    kBadSeek = 9,
    kHardIO = 10,
    kSharingViolation = 11,
    kLockViolation = 12,
    kDiskFull = 13,
    kEndOfFile = 14,
  };

  // Open flags (platform::File::Flags).
  static constexpr unsigned kRead = platform::File::kRead;
  static constexpr unsigned kWrite = platform::File::kWrite;
  static constexpr unsigned kReadWrite = platform::File::kReadWrite;
  static constexpr unsigned kCreate = platform::File::kCreate;
  static constexpr unsigned kNoTruncate = platform::File::kNoTruncate;

  CFileNeu();
  ~CFileNeu();  // closes an open file; a close error is reported
  CFileNeu(const CFileNeu&) = delete;
  CFileNeu& operator=(const CFileNeu&) = delete;

  // True on success. On failure the error is reported and the object stays closed.
  [[nodiscard]] bool Open(std::string_view path, unsigned flags);
  // Only when open; a second Close does nothing.
  void Close();

  // Up to count bytes; 0 at end of file, on error or when not open.
  [[nodiscard]] size_t Read(void* buffer, size_t count);
  // All bytes or false (also false when not open).
  [[nodiscard]] bool Write(const void* data, size_t count);
  // 8-bit text written as its bytes.
  [[nodiscard]] bool WriteText(std::string_view text);
  // Text followed by CR LF, in one write.
  [[nodiscard]] bool WriteLine(std::string_view text);

  // Reads up to and including the line end: with stop_at_lf, after the first
  // LF; without, after an LF that directly follows a CR. The line end stays in
  // the result. Empty at end of file or when not open.
  std::string ReadText(bool stop_at_lf);
  // The rest of the file.
  std::string ReadAll();
  // ReadText(true); when the result has more than one byte, strips one LF,
  // then one CR, stores it in out and returns true. Otherwise false (end of
  // file, a line of just LF, a last line of one byte without line end).
  [[nodiscard]] bool ReadLine(std::string& out);
  // Moves to the end of the file (for appending).
  void SeekToEnd();

  // Stores the path shown in reports, nothing else.
  void SetFilePath(std::string_view path) { path_ = path; }
  const std::string& GetFilePath() const { return path_; }
  void SetShowErrors(bool show) { show_errors_ = show; }
  bool ShowErrors() const { return show_errors_; }
  bool IsOpen() const { return is_open_; }
  // Cause code of the last reported error of this object (kNone if none).
  int LastCause() const { return last_cause_; }

  // True when the file or folder exists. Never reports.
  static bool Exists(std::string_view path);
  // Deletes the file when it exists; a missing file is no error. True when
  // the file is gone afterwards.
  [[nodiscard]] static bool Remove(std::string_view path, bool show_errors = true);
  // Renames an existing file; fails (and reports "Zugriff verweigert") when the
  // new name already exists. True when renamed; false also when from is missing.
  [[nodiscard]] static bool Rename(std::string_view from, std::string_view to,
                                   bool show_errors = true);
  // Creates every missing folder along path, component by component from the
  // first one after the first separator. Failures are not reported. True when
  // the folder exists afterwards.
  [[nodiscard]] static bool CreatePath(std::string_view path);

  // German text of a cause code as Latin-1 bytes; empty for unknown codes.
  static std::string CauseText(int cause);
  // Cause code for an errno value (0 -> kNone).
  static int CauseFromErrno(int error);
  // "'" + cause text + "' beim Zugriff auf die Datei '" + path + "'".
  static std::string ReportText(int cause, std::string_view path);
  // Shows ReportText(CauseFromErrno(error), path) when show is set. Never logs.
  static void Report(int error, std::string_view path, bool show);

 private:
  static constexpr size_t kBufferSize = 32 * 1024;
  // Reads of fewer bytes go through the read-ahead buffer.
  static constexpr size_t kSmallRead = 4 * 1024;

  void ReportError(int error);
  // Refills the read-ahead buffer; false at end of file or on error.
  bool Fill();
  // Gives back unread read-ahead bytes so the descriptor's position is the
  // caller's position again (before writes and seeks).
  void DropReadAhead();

  platform::File file_;
  std::string path_;
  bool show_errors_ = true;
  bool is_open_ = false;
  int last_cause_ = kNone;
  std::unique_ptr<char[]> buffer_;  // read-ahead, allocated on first text or small read
  size_t buffer_pos_ = 0;
  size_t buffer_len_ = 0;
};

}  // namespace kestrel
