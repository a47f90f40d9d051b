#include "backup/run_status.h"

namespace {

// The tip holds 64 bytes with its terminating zero.
constexpr std::size_t kTipCharacters = 63;

std::string Fitted(std::string text) {
  if (text.size() > kTipCharacters) text.resize(kTipCharacters);
  return text;
}

std::string OfFiles(int count, int total) {
  return std::to_string(count) + " of " + std::to_string(total);
}

}  // namespace

int PercentDone(const RunProgress& progress) {
  if (progress.bytesTotal == 0) {
    return progress.files > 0 ? progress.file * 100 / progress.files : 0;
  }
  const std::uint64_t done =
      progress.bytesDone < progress.bytesTotal ? progress.bytesDone : progress.bytesTotal;
  // Split so that a run of many terabytes cannot overflow the product.
  return static_cast<int>(done / progress.bytesTotal * 100 +
                          done % progress.bytesTotal * 100 / progress.bytesTotal);
}

std::string SendingTip(const RunProgress& progress) {
  return Fitted("Quillory: sending " + OfFiles(progress.file, progress.files) + " (" +
                std::to_string(PercentDone(progress)) + " %)");
}

std::string LastBackupTip(const std::string& startedAt, const RunCounts& counts) {
  std::string outcome;
  if (counts.stopped) {
    outcome = "stopped, " + OfFiles(counts.sent, counts.files) + " sent";
  } else if (!counts.failure.empty()) {
    outcome = "failed: " + counts.failure;
  } else if (counts.failed > 0) {
    outcome = OfFiles(counts.failed, counts.files) + " failed";
  } else {
    outcome = OfFiles(counts.sent, counts.files) + " sent";
  }
  return Fitted("Last backup " + startedAt + ": " + outcome);
}

std::string SkippedTip(const std::string& dueAt) {
  return Fitted("Quillory: the " + dueAt + " backup was skipped, one was running");
}
