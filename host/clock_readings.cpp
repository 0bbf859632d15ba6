#include "host/clock_readings.h"

#include <algorithm>
#include <cmath>

namespace okulon::host {
namespace {

struct Line {
    double slope = 0;
    double valueAtReference = 0;  // relative to the reference point's offset
    double slopeStandardError = 0;
};

// Least squares of offset over system time, both relative to `reference`
// so that doubles keep every microsecond.
Line Fit(const std::vector<std::pair<int64_t, int64_t>>& points, int64_t referenceSystem, int64_t referenceOffset) {
    Line line;
    const double n = static_cast<double>(points.size());
    double meanX = 0, meanY = 0;
    for (const auto& [system, offset] : points) {
        meanX += static_cast<double>(system - referenceSystem);
        meanY += static_cast<double>(offset - referenceOffset);
    }
    meanX /= n;
    meanY /= n;
    double sxx = 0, sxy = 0;
    for (const auto& [system, offset] : points) {
        const double x = static_cast<double>(system - referenceSystem) - meanX;
        sxx += x * x;
        sxy += x * (static_cast<double>(offset - referenceOffset) - meanY);
    }
    if (sxx <= 0) {
        line.valueAtReference = meanY;
        return line;
    }
    line.slope = sxy / sxx;
    line.valueAtReference = meanY - line.slope * meanX;
    if (points.size() > 2) {
        double squares = 0;
        for (const auto& [system, offset] : points) {
            const double x = static_cast<double>(system - referenceSystem);
            const double residual =
                static_cast<double>(offset - referenceOffset) - (line.valueAtReference + line.slope * x);
            squares += residual * residual;
        }
        line.slopeStandardError = std::sqrt(squares / (n - 2) / sxx);
    }
    return line;
}

}  // namespace

void ClockReadings::AddReading(int64_t systemMicros, int64_t offsetMicros, int64_t halfGapMicros) {
    m_readings.push_back({systemMicros, offsetMicros, halfGapMicros});
}

ClockFigures ClockReadings::Summarise(int64_t syncUncertaintyMicros) const {
    ClockFigures figures;
    if (!m_readings.empty()) {
        figures.readings = static_cast<int>(m_readings.size());
        int64_t widestGap = 0;
        std::vector<std::pair<int64_t, int64_t>> points;
        for (const Point& r : m_readings) {
            widestGap = std::max(widestGap, r.halfGap);
            points.emplace_back(r.system, r.offset);
        }
        const Point& last = m_readings.back();
        // The fitted line at the last reading: steadier than that reading alone.
        figures.offsetMicros =
            static_cast<double>(last.offset) + Fit(points, last.system, last.offset).valueAtReference;
        figures.offsetUncertaintyMicros = static_cast<double>(widestGap + syncUncertaintyMicros);
    }

    if (m_readings.size() < 3) return figures;
    std::vector<std::pair<int64_t, int64_t>> points;
    for (const Point& r : m_readings) points.emplace_back(r.system, r.offset);
    const Line line = Fit(points, m_readings.back().system, m_readings.back().offset);
    figures.spanSeconds = static_cast<double>(m_readings.back().system - m_readings.front().system) / 1e6;
    if (figures.spanSeconds < 1) return figures;
    // Readings between two of the time library's exchanges share its error:
    // count one independent reading a second (the scatter of the rest says
    // less than their number suggests).
    const double n = static_cast<double>(points.size());
    const double independent = std::min(n, std::max(3.0, figures.spanSeconds));
    figures.haveDrift = true;
    figures.driftPpm = line.slope * 1e6;
    figures.driftUncertaintyPpm = 2 * line.slopeStandardError * std::sqrt(n / independent) * 1e6;
    return figures;
}

}  // namespace okulon::host
