// What the tray tip says of a run: while it goes, after it ends, and when a daily time had to be
// skipped. Every text fits the tip's 64 bytes (63 characters and the end).
#pragma once

#include <string>

#include "backup/transfer_run.h"

// The share of the run's bytes sent, 0 to 100 (by files when there are no bytes).
int PercentDone(const RunProgress& progress);
// "Quillory: sending 3 of 12 (45 %)"
std::string SendingTip(const RunProgress& progress);
// After a run that started at startedAt ("02:00"): "Last backup 02:00: 12 of 12 sent", "...: 2 of
// 12 failed", "...: stopped, 3 of 12 sent", "...: failed: " and the failure that ended it.
std::string LastBackupTip(const std::string& startedAt, const RunCounts& counts);
// A daily time that came while a run, or one of its boxes, was going.
std::string SkippedTip(const std::string& dueAt);
