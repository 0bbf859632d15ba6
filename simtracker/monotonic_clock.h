// Microseconds of the process's monotonic clock: the PC clock that the
// simulated tracker's own clock is built on. On Linux it is the raw monotonic
// clock, which is what Wine gives Windows programs as the performance
// counter: a native simulator and programs under Wine then read one PC clock,
// and a tracker clock offset shows as configured.
#pragma once

#include <chrono>
#include <cstdint>
#ifdef __linux__
#include <time.h>
#endif

namespace okulon::sim {

inline int64_t MonotonicMicros() {
#ifdef __linux__
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
#else
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
#endif
}

}  // namespace okulon::sim
