#pragma once
// How many chunk requests (downloads) or unacknowledged chunks (uploads) a
// pipelined transfer keeps in flight. Like a congestion window it starts
// small and doubles after each window's worth of replies (a round, timed
// from the end of the round before) while the throughput of that round has
// not fallen below the best seen; it never
// exceeds its bound, so the server's and the client's buffers stay small
// (the default bound holds about 2.6 MB).
//
// Threads: one transfer, one thread.
#include <chrono>
#include <cstddef>

namespace kestrel::client {

class TransferWindow {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kStart = 8;
  static constexpr std::size_t kMax = 2048;  // × 1280 bytes: about 2.6 MB

  // Construct it when the first request goes out.
  explicit TransferWindow(std::size_t start = kStart, std::size_t max = kMax);

  std::size_t size() const { return size_; }
  // One reply arrived at now.
  void OnReply(Clock::time_point now);

 private:
  std::size_t size_;
  const std::size_t max_;
  std::size_t replies_ = 0;        // in the current round
  Clock::time_point round_start_;  // end of the round before (or construction)
  double best_rate_ = 0;           // replies per second, best round so far
};

}  // namespace kestrel::client
