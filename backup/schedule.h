#pragma once

#include <cstdint>
#include <ctime>

// Process-wide: armed (true) lets the next tick inside the daily window start a run; the run spends
// it and the first tick outside the window arms it again. Starts armed, so a program started
// inside the window runs at its first tick.
extern bool scheduleArmed;

// A run starts at a tick whose time of day lies within this many seconds of the scheduled one,
// either side.
inline constexpr int kScheduleWindowSeconds = 9;

inline constexpr int kSecondsPerDay = 86400;

// The local broken-down time of a time value; false when there is none for it.
using LocalTimeConverter = bool (*)(std::int64_t timeValue, std::tm& local);

// The platform's conversion: on Windows the system time zone, which the time control uses too (the
// C library there may follow a TZ variable instead and has no answer before 1970); elsewhere the
// C library. Defined in schedule_win.cpp and schedule_posix.cpp.
bool PlatformLocalTime(std::int64_t timeValue, std::tm& local);

// Seconds since local midnight (hour * 3600 + minute * 60 + second) of a time value, including
// values before 1970 when the converter has no answer for them.
int LocalTimeOfDay(std::int64_t timeValue, LocalTimeConverter toLocal);
int LocalTimeOfDay(std::int64_t timeValue);

// One tick of the daily trigger: true when this tick starts the run, with armed already cleared so
// that ticks arriving during the run start no second one. The difference is taken on the plain
// times of day: it does not wrap around midnight.
bool TakeScheduledRun(int nowTimeOfDay, int scheduledTimeOfDay, bool& armed);
