#include <windows.h>

#include "net/stop.h"

namespace net {

namespace {

HANDLE EventOf(std::intptr_t waitable) { return reinterpret_cast<HANDLE>(waitable); }

}  // namespace

// Manual reset: every wait sees a raised signal, not only the first.
StopSignal::StopSignal()
    : waitable_(reinterpret_cast<std::intptr_t>(CreateEventA(nullptr, TRUE, FALSE, nullptr))) {}

StopSignal::~StopSignal() {
  if (waitable_ != 0) CloseHandle(EventOf(waitable_));
}

void StopSignal::Raise() {
  raised_ = true;
  if (waitable_ != 0) SetEvent(EventOf(waitable_));
}

void StopSignal::Reset() {
  raised_ = false;
  if (waitable_ != 0) ResetEvent(EventOf(waitable_));
}

bool StopSignal::Pause(int milliseconds) const {
  if (IsRaised()) return false;
  const DWORD limit = static_cast<DWORD>(milliseconds > 0 ? milliseconds : 0);
  if (waitable_ == 0) {
    Sleep(limit);
  } else {
    WaitForSingleObject(EventOf(waitable_), limit);
  }
  return !IsRaised();
}

}  // namespace net
