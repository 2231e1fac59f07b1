#include "net/AuthPenalties.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace kestrel {

AuthPenalties::AuthPenalties(const platform::Clock& clock, std::size_t max_sources)
    : clock_(clock), max_sources_(std::max<std::size_t>(max_sources, 1)) {}

std::string AuthPenalties::SourceOf(std::string_view peer_address) {
  const std::string text(peer_address);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    return "4:" + std::string(reinterpret_cast<const char*>(&v4), sizeof v4);
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    const auto* bytes = reinterpret_cast<const char*>(v6.s6_addr);
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return "4:" + std::string(bytes + 12, 4);
    return "6:" + std::string(bytes, 8);  // the /64 network
  }
  return "?:" + text;
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
