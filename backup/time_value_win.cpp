#include "backup/time_value_win.h"

namespace {
// FILETIME counts 100 ns steps from 1601-01-01; these convert to and from the 1970 epoch.
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kEpochTicks = 116444736000000000;
constexpr std::int64_t kFirstTimeValue = -kEpochTicks / kTicksPerSecond;

bool UtcSystemTime(std::int64_t value, SYSTEMTIME* utc) {
  if (value < kFirstTimeValue) return false;
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<ULONGLONG>(value * kTicksPerSecond + kEpochTicks);
  const FILETIME utcFile = {ticks.LowPart, ticks.HighPart};
  return ::FileTimeToSystemTime(&utcFile, utc) != FALSE;
}
}  // namespace

bool LocalSystemTime(std::int64_t value, SYSTEMTIME* local) {
  SYSTEMTIME utc = {};
  return UtcSystemTime(value, &utc) &&
         ::SystemTimeToTzSpecificLocalTime(nullptr, &utc, local) != FALSE;
}

SYSTEMTIME LocalTimeFromValue(std::int64_t value) {
  SYSTEMTIME local = {};
  if (!LocalSystemTime(value, &local)) UtcSystemTime(value, &local);
  return local;
}

std::int64_t ValueFromLocalTime(const SYSTEMTIME& local) {
  SYSTEMTIME utc = {};
  if (!::TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc)) utc = local;
  FILETIME utcFile = {};
  ::SystemTimeToFileTime(&utc, &utcFile);
  ULARGE_INTEGER ticks;
  ticks.LowPart = utcFile.dwLowDateTime;
  ticks.HighPart = utcFile.dwHighDateTime;
  std::int64_t sinceEpoch = static_cast<std::int64_t>(ticks.QuadPart) - kEpochTicks;
  // Floor division: a value just before the epoch is -1 s, not 0.
  std::int64_t seconds = sinceEpoch / kTicksPerSecond;
  if (sinceEpoch % kTicksPerSecond < 0) --seconds;
  return seconds;
}
