#include "host/clock_readings.h"

#include <algorithm>
#include <cmath>

namespace okulon::host {
namespace {

struct Line {
    double slope = 0;
    double valueAtReference = 0;  // relative to the reference point's offset
    double slopeStandardError = 0;
    double valueStandardError = 0;  // of the line's value at the reference point
};

// Least squares of y over x, both relative to the reference point so that
// doubles keep every microsecond.
Line Fit(const std::vector<std::pair<double, double>>& points) {
    Line line;
    const double n = static_cast<double>(points.size());
    double meanX = 0, meanY = 0;
    for (const auto& [x, y] : points) {
        meanX += x;
        meanY += y;
    }
    meanX /= n;
    meanY /= n;
    double sxx = 0, sxy = 0;
    for (const auto& [x, y] : points) {
        sxx += (x - meanX) * (x - meanX);
        sxy += (x - meanX) * (y - meanY);
    }
    if (sxx <= 0) {
        line.valueAtReference = meanY;
        return line;
    }
    line.slope = sxy / sxx;
    line.valueAtReference = meanY - line.slope * meanX;
    if (points.size() > 2) {
        double squares = 0;
        for (const auto& [x, y] : points) {
            const double residual = y - (line.valueAtReference + line.slope * x);
            squares += residual * residual;
        }
        const double variance = squares / (n - 2);
        line.slopeStandardError = std::sqrt(variance / sxx);
        line.valueStandardError = std::sqrt(variance * (1 / n + meanX * meanX / sxx));
    }
    return line;
}

// How far apart a time library's exchanges with the tracker lie, at most
// (the stand-in's is a second).
constexpr double kExchangeIntervalSeconds = 1.0;
// Readings are averaged over slices of two exchange intervals: slices of one
// share an exchange with their neighbours, and the scatter of their means
// then understates the line's error (measured: a 95 % interval held 84 %).
constexpr int64_t kSliceMicros = 2'000'000;

}  // namespace

double StudentT95(int degreesOfFreedom) {
    static constexpr double kTable[] = {12.7062, 4.3027, 3.1824, 2.7764, 2.5706, 2.4469, 2.3646, 2.3060,
                                        2.2622,  2.2281, 2.2010, 2.1788, 2.1604, 2.1448, 2.1314, 2.1199,
                                        2.1098,  2.1009, 2.0930, 2.0860, 2.0796, 2.0739, 2.0687, 2.0639,
                                        2.0595,  2.0555, 2.0518, 2.0484, 2.0452, 2.0423};
    const int size = static_cast<int>(sizeof kTable / sizeof kTable[0]);
    if (degreesOfFreedom <= size) return kTable[std::max(degreesOfFreedom, 1) - 1];
    // Beyond the table, the first terms of the Cornish-Fisher expansion about
    // the normal's 1.96 (off by less than 0.001 from 30 on).
    const double z = 1.959964, v = degreesOfFreedom;
    return z + (z * z * z + z) / (4 * v) + (5 * std::pow(z, 5) + 16 * z * z * z + 3 * z) / (96 * v * v);
}

void ClockReadings::AddReading(int64_t systemMicros, int64_t offsetMicros, int64_t halfGapMicros) {
    m_readings.push_back({systemMicros, offsetMicros, halfGapMicros});
}

ClockFigures ClockReadings::Summarise(int64_t syncUncertaintyMicros) const {
    ClockFigures figures;
    if (m_readings.empty()) return figures;
    figures.readings = static_cast<int>(m_readings.size());
    const Point& first = m_readings.front();
    const Point& last = m_readings.back();
    std::vector<std::pair<double, double>> points;
    for (const Point& r : m_readings) {
        points.emplace_back(static_cast<double>(r.system - last.system), static_cast<double>(r.offset - last.offset));
    }
    // The offset is the last reading's: the time library's picture at that
    // moment, which its newest exchange puts within that exchange's own
    // uncertainty of the tracker clock, less what the clock drifted since
    // (up to an exchange interval's drift), read within the reading's half
    // gap. Until a drift is measured, the readings' slope stands for it.
    const Line line = Fit(points);
    figures.offsetMicros = static_cast<double>(last.offset);
    const double bound = static_cast<double>(last.halfGap + syncUncertaintyMicros);
    figures.offsetUncertaintyMicros = bound + std::fabs(line.slope) * 1e6 * kExchangeIntervalSeconds;
    figures.spanSeconds = static_cast<double>(last.system - first.system) / 1e6;

    // One point a slice: the mean of that slice's readings.
    std::vector<std::pair<double, double>> slices;
    int64_t slice = -1;
    double sumX = 0, sumY = 0, count = 0;
    const auto close = [&] {
        if (count > 0) slices.emplace_back(sumX / count, sumY / count);
        sumX = sumY = count = 0;
    };
    for (size_t i = 0; i < m_readings.size(); ++i) {
        const int64_t at = (m_readings[i].system - first.system) / kSliceMicros;
        if (at != slice) close();
        slice = at;
        sumX += points[i].first;
        sumY += points[i].second;
        count += 1;
    }
    close();
    if (slices.size() < 3) return figures;
    const Line perSlice = Fit(slices);
    figures.haveDrift = true;
    figures.driftPpm = perSlice.slope * 1e6;
    figures.driftStandardErrorPpm = perSlice.slopeStandardError * 1e6;
    figures.driftDegreesOfFreedom = static_cast<int>(slices.size()) - 2;
    const double t = StudentT95(figures.driftDegreesOfFreedom);
    // Between its exchanges the time library's picture lags the tracker clock
    // by up to a second's drift; where in each second the readings fall
    // changes slowly, and that lag can tilt the line by at most 1.5 times
    // its range over the span (its whole range on the later half).
    figures.driftLagBoundPpm =
        1.5 * std::fabs(figures.driftPpm) * kExchangeIntervalSeconds / std::max(figures.spanSeconds, 1.0);
    figures.driftUncertaintyPpm = t * figures.driftStandardErrorPpm + figures.driftLagBoundPpm;
    // A time library that does not state its uncertainty is held to the
    // scatter of the readings about their line instead (95 %).
    figures.offsetUncertaintyMicros = bound + std::fabs(figures.driftPpm) * kExchangeIntervalSeconds +
                                      (syncUncertaintyMicros > 0 ? 0.0 : t * perSlice.valueStandardError);
    return figures;
}

}  // namespace okulon::host
