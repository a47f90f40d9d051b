// Deadlines: a wait made of several system waits (a connect over a name's addresses, a handshake,
// a reply read in pieces) keeps one deadline and gives each wait what is left of it.
// Includes nothing of the program's own.
#pragma once

#include <algorithm>
#include <chrono>

namespace net {

using Clock = std::chrono::steady_clock;

inline Clock::time_point DeadlineAfter(int timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
}

// What is left until deadline, as the system's waits take it: 0 once it passed.
inline int MillisecondsUntil(Clock::time_point deadline) {
  const long long left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(std::min<long long>(left, 0x7fffffff)) : 0;
}

}  // namespace net
