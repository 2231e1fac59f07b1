#pragma once
// Wall clock, FILETIME and a monotonic time source behind one interface, so the
// one-second timer, the day change and multi-day retention can be driven by
// tests (TestClock) without waiting.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel::platform {

// Local calendar time, as the Windows SYSTEMTIME of the local zone.
struct LocalTime {
  int year = 1601;  // four digits
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int hour = 0;     // 0..23
  int minute = 0;   // 0..59
  int second = 0;   // 0..59
  int weekday = 0;  // 0 = Sunday
};

// FILETIME: 100 ns units since 1 January 1601 UTC.
using FileTime = std::uint64_t;
inline constexpr FileTime kFileTimeUnixEpoch = 116444736000000000ULL;
FileTime FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds);
void UnixFromFileTime(FileTime ft, std::int64_t& seconds, std::int64_t& nanoseconds);

// strftime over a LocalTime ("%d.%m.%y %H:%M:%S" and friends).
std::string FormatLocalTime(const LocalTime& t, const char* format);

class Clock {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual LocalTime Local() const = 0;
  virtual FileTime Now() const = 0;
  // The instant at which the local clock shows t, in the local zone with its
  // daylight-saving rule; a day past the end of its month counts into the
  // next month. A time shown twice (clocks going back) gives the earlier
  // instant; one skipped (clocks going forward) is taken with the offset in
  // force before the change.
  virtual FileTime FromLocal(const LocalTime& t) const = 0;
  virtual SteadyTime Steady() const = 0;
  // True for a clock that moves by itself; waiters then use real time-outs.
  virtual bool IsReal() const = 0;

  // Called after a manual advance (TestClock only); returns a token for Unsubscribe.
  int Subscribe(std::function<void()> on_advance);
  void Unsubscribe(int token);

 protected:
  void NotifyAdvanced();

 private:
  std::recursive_mutex call_mu_;  // held while listeners run, so Unsubscribe waits for them
  std::mutex mu_;
  int next_token_ = 1;
  std::vector<std::pair<int, std::function<void()>>> listeners_;  // guarded by mu_
};

// The machine's clock; one shared instance.
class SystemClock final : public Clock {
 public:
  static SystemClock& Instance();
  LocalTime Local() const override;
  FileTime Now() const override;
  FileTime FromLocal(const LocalTime& t) const override;
  SteadyTime Steady() const override;
  bool IsReal() const override { return true; }
};

// A clock that stands still until a test advances it. Local time is the UTC
// reading of the same instant plus the zone's offset; without SetZone the
// offset is 0 (no zone, no daylight saving).
class TestClock final : public Clock {
 public:
  // From the instant `at` (UTC) on, local time is UTC + offset_seconds.
  struct OffsetChange {
    FileTime at;
    int offset_seconds;
  };

  explicit TestClock(const LocalTime& start);
  LocalTime Local() const override;
  FileTime Now() const override;
  FileTime FromLocal(const LocalTime& t) const override;
  SteadyTime Steady() const override;
  bool IsReal() const override { return false; }

  void Advance(std::chrono::milliseconds by);
  void SetLocal(const LocalTime& t);  // jumps wall time; steady time moves by the same amount
  // The zone: offset_seconds east of UTC before the first change, then each
  // change (in ascending order of `at`). The instant stays; local time moves.
  void SetZone(int offset_seconds, std::vector<OffsetChange> changes = {});

 private:
  int OffsetAt(FileTime utc) const;                    // requires mu_
  FileTime FromLocalLocked(const LocalTime& t) const;  // requires mu_

  mutable std::mutex mu_;
  FileTime now_;                       // guarded by mu_
  SteadyTime steady_;                  // guarded by mu_
  int base_offset_ = 0;                // guarded by mu_
  std::vector<OffsetChange> changes_;  // guarded by mu_
};

}  // namespace kestrel::platform
