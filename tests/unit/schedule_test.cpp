#include "backup/schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kHour = 3600;
constexpr int kMinute = 60;

constexpr int Clock(int h, int m, int s) { return h * kHour + m * kMinute + s; }

constexpr std::int64_t kSixInTheMorningUtc = 21600;

// Ticks once a second on the plain time of day, from `from` for `count` ticks, wrapping at
// midnight as a clock does. Returns the times of day at which a run started.
std::vector<int> TickThrough(int from, int count, int scheduled, bool& armed) {
  std::vector<int> runs;
  for (int i = 0; i < count; ++i) {
    const int now = (from + i) % kSecondsPerDay;
    if (TakeScheduledRun(now, scheduled, armed)) runs.push_back(now);
  }
  return runs;
}

// One tick each, scheduled at 02:00: whether it starts a run, and the flag it leaves.
TEST(ScheduleDecision, WindowReachesNineSecondsEitherSideOncePerArming) {
  const struct {
    const char* name;
    int now;
    bool armed;
    bool runs;
    bool armedAfter;
  } cases[] = {
      {"a new process, first tick inside", Clock(1, 59, 55), scheduleArmed, true, false},
      {"nine seconds before", Clock(1, 59, 51), true, true, false},
      {"on time", Clock(2, 0, 0), true, true, false},
      {"nine seconds after", Clock(2, 0, 9), true, true, false},
      {"ten seconds before", Clock(1, 59, 50), true, false, true},
      {"ten seconds after", Clock(2, 0, 10), true, false, true},
      {"spent, inside", Clock(2, 0, 0), false, false, false},
      {"spent, outside: armed again", Clock(2, 0, 10), false, false, true},
  };
  for (const auto& c : cases) {
    bool armed = c.armed;
    EXPECT_EQ(TakeScheduledRun(c.now, Clock(2, 0, 0), armed), c.runs) << c.name;
    EXPECT_EQ(armed, c.armedAfter) << c.name;
  }
}

// Ticks in phases (a clock set back, or a thread busy between two phases), each with the runs it
// must start; the flag carries from one phase to the next.
TEST(ScheduleDecision, TickSequences) {
  struct Phase {
    int from;
    int count;
    std::vector<int> runs;
  };
  const int two = Clock(2, 0, 0);
  const int twoRun = Clock(1, 59, 51);
  const struct {
    const char* name;
    int scheduled;
    std::vector<Phase> phases;
  } cases[] = {
      {"one run a day, nine seconds before", two, {{0, kSecondsPerDay, {twoRun}}}},
      {"a late evening window does not reach past midnight",
       Clock(23, 59, 55),
       {{Clock(23, 59, 30), 60, {Clock(23, 59, 46)}}}},
      {"an early morning window does not reach before midnight",
       Clock(0, 0, 5),
       {{Clock(23, 59, 40), 60, {Clock(0, 0, 0)}}}},
      {"a clock set back past the schedule runs again",
       two,
       {{Clock(1, 59, 0), 5 * kMinute, {twoRun}}, {Clock(1, 50, 0), 15 * kMinute, {twoRun}}}},
      {"a clock set back within the window does not run again",
       two,
       {{Clock(1, 59, 45), 15, {twoRun}}, {Clock(1, 59, 52), 5, {}}}},
      // The run keeps the thread for two minutes; ticks resume after it.
      {"a run longer than the window is not repeated",
       two,
       {{Clock(1, 59, 40), 12, {twoRun}},
        {Clock(2, 1, 51), kSecondsPerDay - 2 * kMinute - 12, {}},
        {Clock(1, 59, 40), 12, {twoRun}}}},
      // No tick is handled from 01:59:50 to 02:00:10.
      {"a thread busy across the whole window skips that day",
       two,
       {{Clock(1, 59, 30), 20, {}},
        {Clock(2, 0, 11), kMinute, {}},
        {Clock(1, 59, 40), 12, {twoRun}}}},
      {"a thread busy until inside the window runs at the next tick",
       two,
       {{Clock(1, 59, 30), 10, {}}, {Clock(1, 59, 56), 30, {Clock(1, 59, 56)}}}},
  };
  for (const auto& c : cases) {
    bool armed = true;
    for (const Phase& phase : c.phases) {
      EXPECT_EQ(TickThrough(phase.from, phase.count, c.scheduled, armed), phase.runs)
          << c.name << ", from " << phase.from;
    }
  }
}

// Converters that behave like the Windows C library: no answer for times before 1970.
bool LocalTimeFrom1970(std::int64_t timeValue, std::tm& local) {
  return timeValue >= 0 && PlatformLocalTime(timeValue, local);
}

bool NoLocalTime(std::int64_t, std::tm&) { return false; }

class LocalTimeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (savedTz_) {
      setenv("TZ", savedTz_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

  void UseZone(const char* zone) {
    if (!zoneSet_) {
      const char* current = std::getenv("TZ");
      if (current != nullptr) savedTz_ = current;
      zoneSet_ = true;
    }
    setenv("TZ", zone, 1);
    tzset();
  }

  static std::int64_t At(int year, int month, int day, int h, int m, int s) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = day;
    local.tm_hour = h;
    local.tm_min = m;
    local.tm_sec = s;
    local.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&local));
  }

  // Ticks once a second over real time values; returns the time values at which runs started.
  static std::vector<std::int64_t> TickThrough(std::int64_t from, std::int64_t to,
                                               std::int64_t sendTime) {
    const int scheduled = LocalTimeOfDay(sendTime);
    bool armed = true;
    std::vector<std::int64_t> runs;
    for (std::int64_t t = from; t <= to; ++t) {
      if (TakeScheduledRun(LocalTimeOfDay(t), scheduled, armed)) runs.push_back(t);
    }
    return runs;
  }

 private:
  bool zoneSet_ = false;
  std::optional<std::string> savedTz_;
};

TEST_F(LocalTimeTest, TimeOfDayIsLocal) {
  UseZone("Europe/Berlin");
  EXPECT_EQ(LocalTimeOfDay(kSixInTheMorningUtc), Clock(7, 0, 0));
  EXPECT_EQ(LocalTimeOfDay(At(2024, 7, 1, 13, 45, 30)), Clock(13, 45, 30));
}

TEST_F(LocalTimeTest, TimesBefore1970HaveTheirLocalTimeOfDay) {
  UseZone("Asia/Tokyo");  // UTC+9: 02:00 on 1970-01-01 is 17:00 UTC the day before
  const std::int64_t twoAm = -7 * kHour;
  EXPECT_EQ(LocalTimeOfDay(twoAm, LocalTimeFrom1970), Clock(2, 0, 0));
  EXPECT_EQ(LocalTimeOfDay(twoAm), Clock(2, 0, 0));
  EXPECT_EQ(LocalTimeOfDay(-1, LocalTimeFrom1970), Clock(8, 59, 59));
  EXPECT_EQ(LocalTimeOfDay(INT32_MIN, LocalTimeFrom1970), LocalTimeOfDay(INT32_MIN));

  UseZone("Europe/Berlin");
  EXPECT_EQ(LocalTimeOfDay(-kHour, LocalTimeFrom1970), Clock(0, 0, 0));
  EXPECT_EQ(LocalTimeOfDay(-1, LocalTimeFrom1970), Clock(0, 59, 59));
}

TEST_F(LocalTimeTest, NoLocalTimeAtAllFallsBackToUtc) {
  EXPECT_EQ(LocalTimeOfDay(-kHour, NoLocalTime), Clock(23, 0, 0));
  EXPECT_EQ(LocalTimeOfDay(Clock(6, 0, 0), NoLocalTime), Clock(6, 0, 0));
}

TEST_F(LocalTimeTest, ScheduleBefore1970FiresAtItsTimeOfDay) {
  UseZone("Asia/Tokyo");
  const std::int64_t sendTime = -7 * kHour;  // 02:00 local
  const std::int64_t day = At(2024, 5, 10, 0, 0, 0);
  EXPECT_EQ(TickThrough(day, day + kSecondsPerDay - 1, sendTime),
            std::vector<std::int64_t>{At(2024, 5, 10, 1, 59, 51)});
}

TEST_F(LocalTimeTest, ScheduleInTheSkippedHourDoesNotRunThatDay) {
  UseZone("Europe/Berlin");  // 2024-03-31: 02:00 CET jumps to 03:00 CEST
  const std::int64_t sendTime = At(1970, 1, 1, 2, 30, 0);
  EXPECT_TRUE(TickThrough(At(2024, 3, 31, 0, 0, 0), At(2024, 3, 31, 23, 59, 59), sendTime).empty());
  EXPECT_EQ(TickThrough(At(2024, 3, 30, 0, 0, 0), At(2024, 3, 30, 23, 59, 59), sendTime).size(),
            1u);
}

TEST_F(LocalTimeTest, ScheduleInTheRepeatedHourRunsOnEachPass) {
  UseZone("Europe/Berlin");  // 2024-10-27: 03:00 CEST goes back to 02:00 CET
  const std::int64_t sendTime = At(1970, 1, 1, 2, 30, 0);
  const std::int64_t start = At(2024, 10, 27, 0, 0, 0);
  const std::vector<std::int64_t> runs = TickThrough(start, start + 25 * kHour - 1, sendTime);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[1] - runs[0], kHour);
  EXPECT_EQ(LocalTimeOfDay(runs[0]), Clock(2, 29, 51));
  EXPECT_EQ(LocalTimeOfDay(runs[1]), Clock(2, 29, 51));
}

TEST_F(LocalTimeTest, ScheduleNearTheChangeRunsOnceOnChangeDays) {
  UseZone("Europe/Berlin");
  const std::int64_t sendTime = At(1970, 1, 1, 3, 30, 0);
  EXPECT_EQ(TickThrough(At(2024, 3, 31, 0, 0, 0), At(2024, 3, 31, 23, 59, 59), sendTime),
            std::vector<std::int64_t>{At(2024, 3, 31, 3, 29, 51)});
  const std::int64_t autumn = At(2024, 10, 27, 0, 0, 0);
  EXPECT_EQ(TickThrough(autumn, autumn + 25 * kHour - 1, sendTime).size(), 1u);
}

}  // namespace
