#include <time.h>

#include "backup/schedule.h"

bool PlatformLocalTime(std::int64_t timeValue, std::tm& local) {
  const auto asTimeT = static_cast<time_t>(timeValue);
  if (static_cast<std::int64_t>(asTimeT) != timeValue) return false;
  return localtime_r(&asTimeT, &local) != nullptr;
}
