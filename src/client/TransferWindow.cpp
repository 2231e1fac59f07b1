#include "client/TransferWindow.h"

#include <algorithm>

namespace kestrel::client {
namespace {

// A round whose throughput stays within this share of the best still grows
// the window: on a busy machine rounds vary widely, and a window larger than
// needed costs no more than its bounded buffers.
constexpr double kKeepShare = 0.75;

}  // namespace

TransferWindow::TransferWindow(std::size_t start, std::size_t max)
    : size_(std::clamp<std::size_t>(start, 1, std::max<std::size_t>(max, 1))),
      max_(std::max<std::size_t>(max, 1)),
      round_start_(Clock::now()) {}

void TransferWindow::OnReply(Clock::time_point now) {
  if (++replies_ < size_) return;
  // A round is one window's worth of replies, timed from the end of the
  // round before: replies arrive in bursts, so the time inside one burst
  // says nothing.
  const double seconds = std::chrono::duration<double>(now - round_start_).count();
  const double rate = seconds > 0 ? static_cast<double>(replies_) / seconds : best_rate_;
  if (rate >= kKeepShare * best_rate_) size_ = std::min(size_ * 2, max_);
  best_rate_ = std::max(best_rate_, rate);
  replies_ = 0;
  round_start_ = now;
}

}  // namespace kestrel::client
