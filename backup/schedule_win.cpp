#include "backup/schedule.h"
#include "backup/time_value_win.h"

namespace {
constexpr int kFirstTmYear = 1900;
}  // namespace

bool PlatformLocalTime(std::int64_t timeValue, std::tm& local) {
  SYSTEMTIME clock = {};
  if (!LocalSystemTime(timeValue, &clock)) return false;
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
