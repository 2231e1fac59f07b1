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
  SteadyTime Steady() const override;
  bool IsReal() const override { return true; }
};

// A clock that stands still until a test advances it. Local time is taken as
// the UTC reading of the same instant (no zone, no daylight saving).
class TestClock final : public Clock {
 public:
  explicit TestClock(const LocalTime& start);
  LocalTime Local() const override;
  FileTime Now() const override;
  SteadyTime Steady() const override;
  bool IsReal() const override { return false; }

  void Advance(std::chrono::milliseconds by);
  void SetLocal(const LocalTime& t);  // jumps wall time; steady time moves by the same amount

 private:
  mutable std::mutex mu_;
  FileTime now_;       // guarded by mu_
  SteadyTime steady_;  // guarded by mu_
};

}  // namespace kestrel::platform
