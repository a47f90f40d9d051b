#include "backup/schedule.h"

#include <cstdlib>

bool scheduleArmed = true;

namespace {

constexpr int kSecondsPerHour = 3600;
constexpr int kSecondsPerMinute = 60;

int TimeOfDay(const std::tm& broken) {
  return broken.tm_hour * kSecondsPerHour + broken.tm_min * kSecondsPerMinute + broken.tm_sec;
}

int UtcTimeOfDay(std::int64_t timeValue) {
  const std::int64_t rest = timeValue % kSecondsPerDay;
  return static_cast<int>(rest < 0 ? rest + kSecondsPerDay : rest);
}

}  // namespace

int LocalTimeOfDay(std::int64_t timeValue, LocalTimeConverter toLocal) {
  std::tm local{};
  if (toLocal(timeValue, local)) return TimeOfDay(local);
  if (timeValue < 0) {
    // Whole days later the clock shows the same time of day, as long as no zone or daylight-saving
    // change lies between. The time control keeps its date near 1970-01-01, so the values met here
    // lie less than a day early and move to the first days of January.
    const std::int64_t days = 1 - (timeValue + 1) / kSecondsPerDay;  // fewest days to reach 0
    if (toLocal(timeValue + days * kSecondsPerDay, local)) return TimeOfDay(local);
  }
  // No local time at all: the time of day in UTC still gives a daily schedule.
  return UtcTimeOfDay(timeValue);
}

int LocalTimeOfDay(std::int64_t timeValue) { return LocalTimeOfDay(timeValue, PlatformLocalTime); }

bool TakeScheduledRun(int nowTimeOfDay, int scheduledTimeOfDay, bool& armed) {
  const int diff = std::abs(nowTimeOfDay - scheduledTimeOfDay);
  if (diff > kScheduleWindowSeconds) {
    armed = true;
    return false;
  }
  if (!armed) return false;
  armed = false;
  return true;
}
