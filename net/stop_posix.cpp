#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "net/deadline.h"
#include "net/stop.h"

namespace net {

// An eventfd stays readable from the first raise until it is read back to zero.
StopSignal::StopSignal() : waitable_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (waitable_ >= 0) close(static_cast<int>(waitable_));
}

void StopSignal::Raise() {
  raised_ = true;
  const std::uint64_t one = 1;
  if (waitable_ >= 0) {
    [[maybe_unused]] const ssize_t written = write(static_cast<int>(waitable_), &one, sizeof one);
  }
}

void StopSignal::Reset() {
  raised_ = false;
  std::uint64_t count = 0;
  if (waitable_ >= 0) {
    [[maybe_unused]] const ssize_t got = read(static_cast<int>(waitable_), &count, sizeof count);
  }
}

bool StopSignal::Pause(int milliseconds) const {
  const Clock::time_point deadline = DeadlineAfter(milliseconds);
  while (!IsRaised()) {
    const int left = MillisecondsUntil(deadline);
    if (left <= 0) return true;
    pollfd entry{static_cast<int>(waitable_), POLLIN, 0};
    if (poll(&entry, 1, left) < 0 && errno != EINTR) return !IsRaised();
  }
  return false;
}

}  // namespace net
