#pragma once
// What one whole-file transfer reports: its progress while it runs (to a
// TransferObserver the caller supplies, which draws or ignores it) and its
// outcome at the end (a TransferResult).
#include <cstdint>
#include <span>
#include <string>

#include "client/ArchiveSize.h"
#include "platform/Clock.h"
#include "support/ZipArchive.h"

namespace kestrel::client {

enum class TransferPhase {
  kPacking,    // uploads: the local file is packed into the archive to send
  kPreparing,  // the request is acknowledged; the server builds the archive
  kMoving,     // archive chunks travel
  kFinishing,  // the server places the upload, or the archive is unpacked here
  kEnded,      // over, whatever the outcome
};

struct TransferProgress {
  TransferPhase phase = TransferPhase::kPreparing;
  std::uint64_t done = 0;   // archive bytes moved so far
  std::uint64_t total = 0;  // archive bytes to move; 0 while unknown
};

// Receives the progress of one transfer on the transferring thread.
class TransferObserver {
 public:
  virtual ~TransferObserver() = default;
  virtual void OnProgress(const TransferProgress& progress) = 0;
};

// Tells an observer (which may be null) one transfer's progress, and kEnded
// when it goes out of scope.
class ProgressReporter {
 public:
  explicit ProgressReporter(TransferObserver* observer) : observer_(observer) {}
  ~ProgressReporter() { Phase(TransferPhase::kEnded); }
  ProgressReporter(const ProgressReporter&) = delete;
  ProgressReporter& operator=(const ProgressReporter&) = delete;

  void Phase(TransferPhase phase, std::uint64_t total = 0) {
    progress_.phase = phase;
    if (total != 0) progress_.total = total;
    Tell();
  }
  void Add(std::uint64_t bytes) {
    progress_.done += bytes;
    Tell();
  }
  // Downloads of one file: the archive's first bytes also tell its total.
  void SizeFromArchiveHead() { size_from_head_ = true; }
  void AddArchiveBytes(std::span<const std::uint8_t> bytes) {
    if (size_from_head_ && progress_.done == 0) progress_.total = ArchiveSizeFromHead(bytes);
    Add(bytes.size());
  }

 private:
  void Tell() {
    if (observer_ != nullptr) observer_->OnProgress(progress_);
  }

  TransferObserver* observer_;  // borrowed, may be null, outlives the reporter
  TransferProgress progress_;
  bool size_from_head_ = false;
};

enum class TransferStatus {
  kDone,
  kNotFound,  // the server's archive held no file
  kRefused,   // the server did not answer the request but answers a ping
  kNoReply,   // no reply in time, or the connection was lost
  kNotReady,  // the server did not finish preparing the archive in time
  kTooLong,   // the names do not fit one request record
  kLocal,     // a local file could not be read or written
  kDamaged,   // the archive did not unpack
  kChanged,   // the local file changed while it was being packed
};

// Where a transfer stopped.
enum class TransferStep { kNone, kRequest, kPrepare, kChunks, kEnd, kUnpack, kLocalFile };

struct TransferResult {
  TransferStatus status = TransferStatus::kDone;
  TransferStep step = TransferStep::kNone;
  ExtractFailure unpack = ExtractFailure::kNone;  // step kUnpack
  std::string local_path;                         // the local file concerned (system path)
  platform::FileTime sent_time = 0;               // uploads: the last-write time announced
  std::string message;  // what went wrong, for the user (client::Transfers fills it)

  bool ok() const { return status == TransferStatus::kDone; }
  explicit operator bool() const { return ok(); }
};

}  // namespace kestrel::client
