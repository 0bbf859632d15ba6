// The check tool's measurement of the tracker clock against this computer's:
// readings of GetTimestamp over the check's window, each taken between two
// system-clock reads. The offset's uncertainty is a bound: the widest half
// gap between those reads plus the time library's own uncertainty. The drift
// is the slope of a straight line through the readings; its uncertainty is
// twice the fit's standard error, counting one independent reading a second,
// since readings between two of the time library's exchanges share its error.
// Platform-free; used on the check tool's main thread.
#pragma once

#include <cstdint>
#include <vector>

namespace okulon::host {

struct ClockFigures {
    int readings = 0;
    double offsetMicros = 0;  // tracker - system at the last reading
    double offsetUncertaintyMicros = 0;
    bool haveDrift = false;  // readings over a second or more
    double spanSeconds = 0;
    double driftPpm = 0;
    double driftUncertaintyPpm = 0;
};

class ClockReadings {
public:
    void AddReading(int64_t systemMicros, int64_t offsetMicros, int64_t halfGapMicros);

    // syncUncertaintyMicros: how far the time library's own picture of the
    // tracker clock may be off (0 when it does not say).
    ClockFigures Summarise(int64_t syncUncertaintyMicros) const;

private:
    struct Point {
        int64_t system;
        int64_t offset;
        int64_t halfGap;
    };
    std::vector<Point> m_readings;
};

}  // namespace okulon::host
