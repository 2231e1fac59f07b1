#include "platform/Clock.h"

#include <time.h>

#include <algorithm>

namespace kestrel::platform {
namespace {

constexpr std::int64_t kTicksPerSecond = 10'000'000;  // 100 ns units

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
  std::int64_t q = a / b;
  return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

// Seconds since 1970 of a LocalTime read as UTC.
std::int64_t UnixFromLocal(const LocalTime& t) {
  std::int64_t days =
      DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
  return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

LocalTime LocalFromUnix(std::int64_t seconds) {
  LocalTime t;
  std::int64_t days = FloorDiv(seconds, 86400);
  std::int64_t rest = seconds - days * 86400;
  CivilFromDays(days, t.year, t.month, t.day);
  t.hour = static_cast<int>(rest / 3600);
  t.minute = static_cast<int>(rest / 60 % 60);
  t.second = static_cast<int>(rest % 60);
  // 1970-01-01 was a Thursday.
  t.weekday = static_cast<int>(((days % 7) + 7 + 4) % 7);
  return t;
}

FileTime FileTimeFromUnixClamped(std::int64_t seconds) {
  return FileTimeFromUnix(seconds, 0);
}

}  // namespace

FileTime FileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
  // Dates before 1601 have no FILETIME; they read as its zero.
  const std::int64_t min_seconds = -static_cast<std::int64_t>(kFileTimeUnixEpoch / kTicksPerSecond);
  if (seconds < min_seconds) return 0;
  __int128 ticks = static_cast<__int128>(kFileTimeUnixEpoch) +
                   static_cast<__int128>(seconds) * kTicksPerSecond + nanoseconds / 100;
  if (ticks < 0) return 0;
  return static_cast<FileTime>(ticks);
}

void UnixFromFileTime(FileTime ft, std::int64_t& seconds, std::int64_t& nanoseconds) {
  const auto rel = static_cast<__int128>(ft) - static_cast<__int128>(kFileTimeUnixEpoch);
  auto secs = static_cast<std::int64_t>(rel / kTicksPerSecond);
  auto rest = static_cast<std::int64_t>(rel % kTicksPerSecond);
  if (rest < 0) {
    rest += kTicksPerSecond;
    --secs;
  }
  seconds = secs;
  nanoseconds = rest * 100;
}

// The calendar fields of t (no weekday, day of year or daylight flag).
struct tm CalendarFields(const LocalTime& t) {
  struct tm tm {};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  return tm;
}

std::string FormatLocalTime(const LocalTime& t, const char* format) {
  struct tm tm = CalendarFields(t);
  tm.tm_wday = t.weekday;
  if (t.month >= 1 && t.month <= 12) {
    tm.tm_yday = static_cast<int>(
        DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) -
        DaysFromCivil(t.year, 1, 1));
  }
  tm.tm_isdst = 0;
  char buffer[256];
  std::size_t n = std::strftime(buffer, sizeof buffer, format, &tm);
  return std::string(buffer, n);
}

// ---- Clock: advance listeners ----

int Clock::Subscribe(std::function<void()> on_advance) {
  std::lock_guard<std::mutex> lock(mu_);
  int token = next_token_++;
  listeners_.emplace_back(token, std::move(on_advance));
  return token;
}

void Clock::Unsubscribe(int token) {
  // Waiting for call_mu_ means no notification of this listener is still running
  // once we return, so its owner may go away.
  std::lock_guard<std::recursive_mutex> calling(call_mu_);
  std::lock_guard<std::mutex> lock(mu_);
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [token](const auto& l) { return l.first == token; }),
                   listeners_.end());
}

void Clock::NotifyAdvanced() {
  std::lock_guard<std::recursive_mutex> calling(call_mu_);
  std::vector<std::pair<int, std::function<void()>>> copy;
  {
    std::lock_guard<std::mutex> lock(mu_);
    copy = listeners_;
  }
  for (auto& [token, fn] : copy) {
    bool still_there = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (const auto& l : listeners_) still_there = still_there || l.first == token;
    }
    if (still_there) fn();
  }
}

// ---- SystemClock ----

SystemClock& SystemClock::Instance() {
  static SystemClock clock;
  return clock;
}

LocalTime SystemClock::Local() const {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  time_t secs = ts.tv_sec;
  struct tm tm {};
  ::localtime_r(&secs, &tm);
  LocalTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = std::min(tm.tm_sec, 59);  // leap second reads as :59
  t.weekday = tm.tm_wday;
  return t;
}

FileTime SystemClock::FromLocal(const LocalTime& t) const {
  struct tm tm = CalendarFields(t);
  tm.tm_isdst = -1;  // the zone's rule decides
  return FileTimeFromUnix(static_cast<std::int64_t>(::mktime(&tm)), 0);
}

FileTime SystemClock::Now() const {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return FileTimeFromUnix(ts.tv_sec, ts.tv_nsec);
}

Clock::SteadyTime SystemClock::Steady() const {
  return std::chrono::steady_clock::now();
}

// ---- TestClock ----

TestClock::TestClock(const LocalTime& start)
    : now_(FileTimeFromUnixClamped(UnixFromLocal(start))),
      steady_(SteadyTime(std::chrono::hours(24))) {}

LocalTime TestClock::Local() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::int64_t seconds = 0;
  std::int64_t nanoseconds = 0;
  UnixFromFileTime(now_, seconds, nanoseconds);
  return LocalFromUnix(seconds + OffsetAt(now_));
}

FileTime TestClock::FromLocal(const LocalTime& t) const {
  std::lock_guard<std::mutex> lock(mu_);
  return FromLocalLocked(t);
}

int TestClock::OffsetAt(FileTime utc) const {
  int offset = base_offset_;
  for (const OffsetChange& change : changes_) {
    if (utc >= change.at) offset = change.offset_seconds;
  }
  return offset;
}

FileTime TestClock::FromLocalLocked(const LocalTime& t) const {
  const std::int64_t local = UnixFromLocal(t);
  // Each span of one offset, in time order: the first span that shows t
  // holds the earlier instant.
  std::int64_t skipped = local - base_offset_;
  int offset = base_offset_;
  for (std::size_t i = 0; i <= changes_.size(); ++i) {
    const std::int64_t utc = local - offset;
    const FileTime at = FileTimeFromUnixClamped(utc);
    const bool after_start = i == 0 || at >= changes_[i - 1].at;
    const bool before_end = i == changes_.size() || at < changes_[i].at;
    if (after_start && before_end) return at;
    if (after_start) skipped = utc;  // shown only if this offset still held
    if (i < changes_.size()) offset = changes_[i].offset_seconds;
  }
  return FileTimeFromUnixClamped(skipped);
}

void TestClock::SetZone(int offset_seconds, std::vector<OffsetChange> changes) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    base_offset_ = offset_seconds;
    changes_ = std::move(changes);
  }
  NotifyAdvanced();
}

FileTime TestClock::Now() const {
  std::lock_guard<std::mutex> lock(mu_);
  return now_;
}

Clock::SteadyTime TestClock::Steady() const {
  std::lock_guard<std::mutex> lock(mu_);
  return steady_;
}

void TestClock::Advance(std::chrono::milliseconds by) {
  if (by.count() < 0) by = std::chrono::milliseconds(0);  // time only moves forward
  {
    std::lock_guard<std::mutex> lock(mu_);
    now_ += static_cast<FileTime>(by.count()) * 10'000;
    steady_ += by;
  }
  NotifyAdvanced();
}

void TestClock::SetLocal(const LocalTime& t) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    FileTime target = FromLocalLocked(t);
    // The wall clock may jump back; the steady clock never does.
    if (target > now_) {
      steady_ += std::chrono::duration_cast<SteadyTime::duration>(
          std::chrono::nanoseconds(static_cast<std::int64_t>(target - now_) * 100));
    }
    now_ = target;
  }
  NotifyAdvanced();
}

}  // namespace kestrel::platform
