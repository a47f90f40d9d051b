// Stopping a transfer from another thread. A StopSignal is raised by whoever wants the transfer to
// end (the window, when the user presses Stop); the thread that transfers binds it with a
// StopScope, and from then on every wait in net/ on that thread (connecting, sending, receiving,
// TLS, the pauses between tries) ends at once when it is raised, failing with kStoppedText.
// Includes nothing of the program's own outside net/.
#pragma once

#include <atomic>
#include <cstdint>

namespace net {

// Why a wait failed when its thread's signal was raised.
extern const char* const kStoppedText;

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Safe from any thread; stays raised until Reset.
  void Raise();
  void Reset();
  bool IsRaised() const { return raised_.load(); }
  // Waits up to milliseconds; false (at once) when the signal is or gets raised.
  bool Pause(int milliseconds) const;
  // What the system's waits can wait on: an event (Windows) or a descriptor that becomes
  // readable (POSIX).
  std::intptr_t Waitable() const { return waitable_; }

 private:
  std::intptr_t waitable_;
  std::atomic<bool> raised_{false};
};

// Binds a signal (or none, for a short wait that must finish even after a stop) to the calling
// thread's waits for the scope's life; the binding before it comes back after.
class StopScope {
 public:
  explicit StopScope(const StopSignal* signal);
  ~StopScope();
  StopScope(const StopScope&) = delete;
  StopScope& operator=(const StopScope&) = delete;

 private:
  const StopSignal* previous_;
};

// The signal bound to the calling thread, or null.
const StopSignal* ThreadStopSignal();
// The calling thread's signal is raised.
bool StopRequested();
// Waits up to milliseconds unless the calling thread's signal is raised: true when the whole
// pause passed.
bool PauseUnlessStopped(int milliseconds);

}  // namespace net
