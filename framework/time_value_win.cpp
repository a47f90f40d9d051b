#include "framework/time_value.h"

namespace {
// FILETIME counts 100 ns steps from 1601-01-01; these convert to and from the 1970 epoch.
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kEpochTicks = 116444736000000000;
}  // namespace

SYSTEMTIME LocalTimeFromValue(std::int64_t value) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<ULONGLONG>(value * kTicksPerSecond + kEpochTicks);
  FILETIME utcFile = {ticks.LowPart, ticks.HighPart};
  SYSTEMTIME utc = {};
  SYSTEMTIME local = {};
  ::FileTimeToSystemTime(&utcFile, &utc);
  if (!::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
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
