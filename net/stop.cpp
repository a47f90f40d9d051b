#include "net/stop.h"

#include <chrono>
#include <thread>

namespace net {

const char* const kStoppedText = "The backup was stopped";

namespace {

thread_local const StopSignal* boundSignal = nullptr;

}  // namespace

StopScope::StopScope(const StopSignal* signal) : previous_(boundSignal) { boundSignal = signal; }

StopScope::~StopScope() { boundSignal = previous_; }

const StopSignal* ThreadStopSignal() { return boundSignal; }

bool StopRequested() { return boundSignal != nullptr && boundSignal->IsRaised(); }

bool PauseUnlessStopped(int milliseconds) {
  if (boundSignal != nullptr) return boundSignal->Pause(milliseconds);
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  return true;
}

}  // namespace net
