// The tray tip's texts about a run: what they say and that each fits the tip.
#include "backup/run_status.h"

#include <gtest/gtest.h>

namespace {

constexpr std::size_t kTipCharacters = 63;

TEST(RunStatus, TipsSayWhereTheRunStandsWithinTheTip) {
  constexpr std::uint64_t kHuge = 5000000000000ULL;
  const struct {
    std::string tip;
    std::string expected;
  } cases[] = {
      {SendingTip({3, 12, 45, 100}), "Quillory: sending 3 of 12 (45 %)"},
      {SendingTip({1, 1, kHuge - 1, kHuge}), "Quillory: sending 1 of 1 (99 %)"},
      {SendingTip({2, 4, 0, 0}), "Quillory: sending 2 of 4 (50 %)"},
      {LastBackupTip("02:00", {12, 12, 0, false, ""}), "Last backup 02:00: 12 of 12 sent"},
      {LastBackupTip("02:00", {12, 10, 2, false, ""}), "Last backup 02:00: 2 of 12 failed"},
      {LastBackupTip("02:00", {12, 3, 9, true, ""}), "Last backup 02:00: stopped, 3 of 12 sent"},
      {LastBackupTip("23:59",
                     {0, 0, 0, false, "Could not connect to a server whose name is far too long"}),
       "Last backup 23:59: failed: Could not connect to a server whose "},
      {SkippedTip("02:00"), "Quillory: the 02:00 backup was skipped, one was running"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.tip, c.expected);
    EXPECT_LE(c.tip.size(), kTipCharacters) << c.tip;
  }
  EXPECT_LE(SendingTip({2000000000, 2000000000, kHuge, kHuge}).size(), kTipCharacters);
}

}  // namespace
