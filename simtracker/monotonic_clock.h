// Microseconds of the process's monotonic clock: the simulated tracker's own
// time base, which clients map onto theirs when they connect.
#pragma once

#include <chrono>
#include <cstdint>

namespace okulon::sim {

inline int64_t MonotonicMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace okulon::sim
