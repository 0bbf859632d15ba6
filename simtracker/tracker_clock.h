// The simulated tracker's own clock: the PC's monotonic clock moved by an
// offset and running fast or slow by a drift, as a real tracker's crystal
// does. The drift counts from the moment the clock was made (the server's
// start), so the offset is what the two clocks differ by at that moment.
// Immutable after construction; any thread may read it.
#pragma once

#include <cstdint>

namespace okulon::sim {

class TrackerClock {
public:
    TrackerClock(int64_t pcOrigin, int64_t offsetMicros, int32_t driftPpm)
        : m_pcOrigin(pcOrigin), m_offset(offsetMicros), m_driftPpm(driftPpm) {}

    // Tracker time at a moment of the PC clock (both in microseconds).
    int64_t At(int64_t pcMicros) const {
        const int64_t elapsed = pcMicros - m_pcOrigin;
        // Whole ppm times elapsed microseconds: exact in 64 bits for centuries.
        return pcMicros + m_offset + elapsed * m_driftPpm / 1000000;
    }

private:
    int64_t m_pcOrigin;
    int64_t m_offset;
    int32_t m_driftPpm;
};

}  // namespace okulon::sim
