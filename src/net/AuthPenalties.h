#pragma once
// Failed authentication, counted per source address for the whole server:
// client logins, remote tool logins and refused password changes. After
// kFreeFailures failures within kWindow a source is penalised for
// kFirstPenalty, doubling with each further failure up to kMaxPenalty; while
// the penalty runs, its login and password-change requests are ignored
// unchecked. A success forgets the source. Failures are reported at most once
// per kLogInterval per source, the first at once.
//
// A source is an IPv4 address, or the first 64 bits of an IPv6 address
// (IPv4-mapped IPv6 counts as IPv4). The table holds at most kMaxSources
// sources; a source quiet for kWindow after its last failure and penalty is
// forgotten, and when the table is full the longest-quiet source leaves.
//
// Threads: any thread (one lock). The clock is borrowed and must outlive the table.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/Clock.h"

namespace kestrel {

class AuthPenalties {
 public:
  using Seconds = std::chrono::seconds;
  static constexpr int kFreeFailures = 5;
  static constexpr Seconds kWindow{600};
  static constexpr Seconds kFirstPenalty{5};
  static constexpr Seconds kMaxPenalty{600};
  static constexpr Seconds kLogInterval{10};
  static constexpr std::size_t kMaxSources = 4096;

  // What a failure asks the caller to report.
  struct Failure {
    bool log_now = false;     // write one line for this source now
    std::uint64_t count = 0;  // failures since the source's previous line, this one included
  };

  explicit AuthPenalties(const platform::Clock& clock, std::size_t max_sources = kMaxSources);
  AuthPenalties(const AuthPenalties&) = delete;
  AuthPenalties& operator=(const AuthPenalties&) = delete;

  // The source of a peer address as GetPeerAddress writes it; the text itself
  // when it is not a numeric address.
  static std::string SourceOf(std::string_view peer_address);

  // True while a penalty runs for the peer's source.
  bool Penalised(std::string_view peer_address) const;
  Failure RecordFailure(std::string_view peer_address);
  void RecordSuccess(std::string_view peer_address);

  std::size_t sources() const;

 private:
  using Time = platform::Clock::SteadyTime;
  struct Entry {
    int failures = 0;       // within the current window
    Time last_failure{};    // the window runs from here
    Time penalty_end{};     // requests are ignored before this
    Time last_line{};       // when the source was last reported
    bool reported = false;  // a line was written for this source
    std::uint64_t unreported = 0;
  };
  bool Expired(const Entry& entry, Time now) const;
  void MakeRoom(Time now);  // requires mu_

  const platform::Clock& clock_;  // borrowed, see the header comment
  const std::size_t max_sources_;
  mutable std::mutex mu_;
  std::unordered_map<std::string, Entry> sources_;  // guarded by mu_
};

}  // namespace kestrel
