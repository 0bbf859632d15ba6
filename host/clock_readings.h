// The check tool's measurement of the tracker clock against this computer's:
// readings of GetTimestamp over the check's window, each taken between two
// system-clock reads. The offset is the last reading's, and its uncertainty a
// bound: that reading's half gap between its reads, the time library's own
// uncertainty, and the drift over an exchange interval. The drift
// is the slope of a straight line through the readings. Readings between two
// of the time library's exchanges (about one a second) share its error, so
// they are not independent: the drift's standard error comes from a line
// through the mean of the readings of each two seconds, and its interval is
// that standard error times Student's t for 95 % at the number of those
// slices less two, plus the most that the picture's lag between exchanges
// can tilt the line.
// Platform-free; used on the check tool's main thread.
#pragma once

#include <cstdint>
#include <vector>

namespace okulon::host {

struct ClockFigures {
    int readings = 0;
    double offsetMicros = 0;  // tracker - system at the last reading
    double offsetUncertaintyMicros = 0;
    bool haveDrift = false;  // readings in three slices of two seconds or more
    double spanSeconds = 0;
    double driftPpm = 0;
    double driftStandardErrorPpm = 0;
    int driftDegreesOfFreedom = 0;
    double driftLagBoundPpm = 0;     // the most the time library's lag can tilt the line
    double driftUncertaintyPpm = 0;  // half-width of the interval: 95 % of the scatter plus the lag's bound
};

// Student's t that two-sided 95 % of the distribution lies within, for
// degreesOfFreedom of 1 or more.
double StudentT95(int degreesOfFreedom);

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
