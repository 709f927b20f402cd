// A clock for the tests' deadlines.
#ifndef SUPPORT_CLOCK_H
#define SUPPORT_CLOCK_H

#include <chrono>

// Seconds on a clock that never goes back, from an arbitrary start.
inline double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

#endif  // SUPPORT_CLOCK_H
