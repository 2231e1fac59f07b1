#include "net/AuthPenalties.h"

#include <algorithm>
#include <cstring>

#include "net/SourceAddress.h"

namespace kestrel {

AuthPenalties::AuthPenalties(const platform::Clock& clock, std::size_t max_sources)
    : clock_(clock), max_sources_(std::max<std::size_t>(max_sources, 1)) {}

std::string AuthPenalties::SourceOf(std::string_view peer_address) {
  const SourceAddress source = SourceAddressOf(peer_address);
  if (source.key[0] == 0) return "?:" + std::string(peer_address);
  return std::string(reinterpret_cast<const char*>(source.key.data()), source.key.size());
}

bool AuthPenalties::Penalised(std::string_view peer_address) const {
  const Time now = clock_.Steady();
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = sources_.find(SourceOf(peer_address));
  return it != sources_.end() && now < it->second.penalty_end;
}

AuthPenalties::Failure AuthPenalties::RecordFailure(std::string_view peer_address) {
  const Time now = clock_.Steady();
  std::string source = SourceOf(peer_address);
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sources_.find(source);
  if (it != sources_.end() && Expired(it->second, now)) {
    sources_.erase(it);
    it = sources_.end();
  }
  if (it == sources_.end()) {
    MakeRoom(now);
    it = sources_.emplace(std::move(source), Entry{}).first;
  }
  Entry& entry = it->second;
  ++entry.failures;
  entry.last_failure = now;
  if (entry.failures >= kFreeFailures) {
    const int doublings = std::min(entry.failures - kFreeFailures, 16);
    const Seconds penalty = std::min<Seconds>(kFirstPenalty * (1LL << doublings), kMaxPenalty);
    entry.penalty_end = now + penalty;
  }
  ++entry.unreported;
  Failure failure;
  if (!entry.reported || now - entry.last_line >= kLogInterval) {
    failure.log_now = true;
    failure.count = entry.unreported;
    entry.reported = true;
    entry.last_line = now;
    entry.unreported = 0;
  }
  return failure;
}

void AuthPenalties::RecordSuccess(std::string_view peer_address) {
  const std::string source = SourceOf(peer_address);
  std::lock_guard<std::mutex> lock(mu_);
  sources_.erase(source);
}

std::size_t AuthPenalties::sources() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sources_.size();
}

bool AuthPenalties::Expired(const Entry& entry, Time now) const {
  // The window counts from the last failure, or from the end of its penalty,
  // so a source that waits out the longest penalty gets no fresh allowance.
  return now - std::max(entry.last_failure, entry.penalty_end) > kWindow;
}

void AuthPenalties::MakeRoom(Time now) {
  if (sources_.size() < max_sources_) return;
  std::erase_if(sources_, [&](const auto& item) { return Expired(item.second, now); });
  if (sources_.size() < max_sources_) return;
  auto quietest = sources_.begin();
  for (auto it = sources_.begin(); it != sources_.end(); ++it) {
    if (std::max(it->second.last_failure, it->second.penalty_end) <
        std::max(quietest->second.last_failure, quietest->second.penalty_end)) {
      quietest = it;
    }
  }
  sources_.erase(quietest);
}

}  // namespace kestrel
