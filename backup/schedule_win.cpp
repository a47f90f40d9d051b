#include <windows.h>

#include "backup/schedule.h"

namespace {
// FILETIME counts 100 ns steps from 1601-01-01.
constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kEpochTicks = 116444736000000000;
constexpr std::int64_t kFirstTimeValue = -kEpochTicks / kTicksPerSecond;
constexpr int kFirstTmYear = 1900;
}  // namespace

bool PlatformLocalTime(std::int64_t timeValue, std::tm& local) {
  if (timeValue < kFirstTimeValue) return false;
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<ULONGLONG>(timeValue * kTicksPerSecond + kEpochTicks);
  const FILETIME utcFile = {ticks.LowPart, ticks.HighPart};
  SYSTEMTIME utc = {};
  SYSTEMTIME clock = {};
  if (!FileTimeToSystemTime(&utcFile, &utc)) return false;
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &clock)) return false;
  local = std::tm{};
  local.tm_year = clock.wYear - kFirstTmYear;
  local.tm_mon = clock.wMonth - 1;
  local.tm_mday = clock.wDay;
  local.tm_wday = clock.wDayOfWeek;
  local.tm_hour = clock.wHour;
  local.tm_min = clock.wMinute;
  local.tm_sec = clock.wSecond;
  local.tm_isdst = -1;
  return true;
}
