#pragma once
// Takes an upload's archive bytes in blocks: into the archive file, or into
// the extractor that unpacks the upload while it arrives. The extractor's
// bytes are not written to the archive file as well; where it declines the
// archive at its head, the file gets everything from the first byte and is
// extracted at the end as usual, and where it refuses data it had taken on
// (damage, limits), nothing of the upload can be placed. For a large upload
// from a pipelining peer the blocks go to a thread of the writer's own
// through a bounded queue, so the session acknowledges the next chunks while
// the disk and the inflater work; otherwise a full block is taken on the
// session's thread, as chunks come one at a time.
//
// Threads: every member function belongs to the session's thread. Between
// Begin and Finish or Abandon, the file and the extractor belong to the
// writer: the session does not touch them. The writer's thread shares only
// the queue (under mutex_) and the failure flags.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "support/FileNeu.h"
#include "support/ZipArchive.h"

namespace kestrel {

class UploadWriter {
 public:
  static constexpr std::size_t kBlock = 64 * 1024;  // archive bytes gathered before one write

  UploadWriter() = default;
  ~UploadWriter();  // abandons
  UploadWriter(const UploadWriter&) = delete;
  UploadWriter& operator=(const UploadWriter&) = delete;

  // Starts writing into file (open for writing) and unpacking into unpacking
  // (may be null), on a thread of its own when queued.
  void Begin(CFileNeu& file, StreamExtractor* unpacking, bool queued);
  // Room for up to `bytes` (at most kBlock) more archive bytes; a full block
  // is handed on first, which waits while the queue is full.
  std::uint8_t* Room(std::size_t bytes);
  // The first `bytes` of the room are archive bytes.
  void Add(std::size_t bytes);
  // Nothing of this upload can be placed any more: a write failed, or the
  // extractor refused data it had taken on. Nothing more is taken.
  bool failed() const { return failed_.load(); }

  struct Outcome {
    bool whole = false;     // every byte is in the file or, when unpacked, in the extractor
    bool unpacked = false;  // the extractor took every byte (Finish it next)
  };
  // Writes what is left and waits until every block is done.
  [[nodiscard]] Outcome Finish();
  // Drops what is not written yet and waits for the writer's thread. Nothing
  // to do when the writer has not begun or has finished.
  void Abandon();

 private:
  static constexpr std::size_t kQueued = 16;  // blocks: 1 MiB at most behind the session

  // Takes one block (on the writer's thread, when queued).
  void Take(std::span<const std::uint8_t> block);
  void Write(std::span<const std::uint8_t> bytes);
  // Hands the current block on and makes the next one current.
  void HandOn();
  void Run();
  void Join();

  // Set at Begin, used by whoever takes blocks.
  CFileNeu* file_ = nullptr;
  StreamExtractor* extractor_ = nullptr;
  bool queued_ = false;
  std::array<std::unique_ptr<std::uint8_t[]>, kQueued> blocks_;  // made when first needed
  std::array<std::size_t, kQueued> sizes_{};
  std::size_t filling_ = 0;  // bytes in the current block; session thread only
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t handed_ = 0;  // blocks handed on; guarded by mutex_
  std::uint64_t taken_ = 0;   // blocks taken by the thread; guarded by mutex_
  bool closing_ = false;      // no more blocks come; guarded by mutex_

  std::atomic<bool> failed_{false};
  std::atomic<bool> unpacking_{false};  // the extractor takes the bytes
  std::atomic<bool> dropping_{false};   // Abandon: blocks are skipped
};

}  // namespace kestrel
