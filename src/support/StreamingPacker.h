// Packs one file into a one-entry transfer archive on a thread of its own, so
// that the archive's first bytes can be sent while the rest is still being
// packed. The entry is deflated as ZipWriter deflates it (stored blocks or the
// fast level, chosen from its first block), except that pieces go out in
// stored blocks while the reader is close behind the packer. Its CRC and sizes are only known at
// the end: they follow the data in a data descriptor and stand in the central
// directory as usual, while the local header holds zeros (flag bit 3, the zip
// format's shape for streamed entries).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/FileSystem.h"

namespace kestrel {

// Files from this size on are worth packing while they are sent: below it
// packing takes milliseconds, and the archive stays larger than a pipelining
// peer's request window.
inline constexpr std::uint64_t kStreamedPackingFrom = 8ull << 20;

// Threads: Start, WaitFor and Stop belong to one owner thread; the packing
// runs on a thread of the packer's own, which shares only progress_ (under
// mutex_) and cancel_ with the owner.
class StreamingPacker {
 public:
  struct Progress {
    std::uint64_t bytes = 0;  // archive bytes written so far
    bool ended = false;       // packing is over: bytes is the archive's size
    bool ok = false;          // once ended: the archive is complete
  };

  StreamingPacker() = default;
  ~StreamingPacker();  // stops packing
  StreamingPacker(const StreamingPacker&) = delete;
  StreamingPacker& operator=(const StreamingPacker&) = delete;

  // Stops earlier packing, replaces archive_path with a new archive and
  // starts packing source (open, read from its position to its end) into it
  // as entry_name. False, with nothing started, when the archive cannot be
  // created. stop (borrowed, may be null) ends packing early when it becomes
  // true, as Stop does; both are checked between blocks.
  [[nodiscard]] bool Start(std::string_view archive_path, std::string_view entry_name,
                           platform::File source, const std::atomic<bool>* stop);
  // Waits until the archive holds at least `bytes` bytes or packing has ended.
  // Ask for no more than is needed now: how far the reader has asked tells
  // the packer whether copying would serve it better than packing.
  Progress WaitFor(std::uint64_t bytes);
  // Ends packing (early, when it still runs) and waits for its thread.
  void Stop();
  // Packing was started and not stopped since.
  bool started() const { return thread_.joinable(); }

 private:
  // From the packing thread: bytes written so far; the end of packing.
  void Publish(std::uint64_t bytes);
  void End(bool ok);

  std::thread thread_;
  std::atomic<bool> cancel_{false};
  std::atomic<std::uint64_t> reader_at_{0};  // the most WaitFor asked for
  std::mutex mutex_;
  std::condition_variable changed_;
  Progress progress_;  // guarded by mutex_
};

}  // namespace kestrel
