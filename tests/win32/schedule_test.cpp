#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

#include "backup/schedule.h"
#include "backup/time_value_win.h"

namespace {

constexpr int kHour = 3600;
constexpr int kMinute = 60;

int ControlTimeOfDay(std::int64_t timeValue) {
  const SYSTEMTIME local = LocalTimeFromValue(timeValue);
  return local.wHour * kHour + local.wMinute * kMinute + local.wSecond;
}

// The trigger must see the time of day the time control shows for the same value, also for the
// early hours of 1970-01-01 that lie before the epoch east of UTC.
TEST(WindowsLocalTime, AgreesWithTheTimeControl) {
  const std::int64_t values[] = {-14 * kHour, -9 * kHour + 1, -kHour,     -1,        0,
                                 21600,       86399,          1700000000, 1720000000};
  for (const std::int64_t value : values) {
    EXPECT_EQ(LocalTimeOfDay(value), ControlTimeOfDay(value)) << value;
  }
  const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  EXPECT_EQ(LocalTimeOfDay(now), ControlTimeOfDay(now));
}

TEST(WindowsLocalTime, EarlyHoursOf1970RoundTripThroughTheTimeControl) {
  SYSTEMTIME local = {};
  local.wYear = 1970;
  local.wMonth = 1;
  local.wDay = 1;
  local.wMinute = 30;
  for (WORD hour = 0; hour < 24; ++hour) {
    local.wHour = hour;
    EXPECT_EQ(LocalTimeOfDay(ValueFromLocalTime(local)), hour * kHour + 30 * kMinute) << hour;
  }
}

}  // namespace
