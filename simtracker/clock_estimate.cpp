#include "simtracker/clock_estimate.h"

#include <algorithm>
#include <cmath>

namespace okulon::sim {
namespace {

constexpr int64_t kHistoryMicros = 30 * 1000000;
constexpr int64_t kMinRateSpanMicros = 1000000;  // shorter spans make the slope mostly noise

}  // namespace

void ClockEstimate::Add(const SyncPoint& point) {
    // A local clock that went backwards would make the fit meaningless.
    if (!m_points.empty() && point.local <= m_points.back().local) m_points.clear();
    m_points.push_back(point);
    while (m_points.back().local - m_points.front().local > kHistoryMicros) m_points.pop_front();
    Fit();
}

void ClockEstimate::Clear() {
    m_points.clear();
    m_referenceLocal = 0;
    m_referenceOffset = 0;
    m_rate = 0;
}

void ClockEstimate::Fit() {
    const SyncPoint& newest = m_points.back();
    const int64_t newestOffset = newest.tracker - newest.local;
    m_referenceLocal = newest.local;
    m_referenceOffset = newestOffset;
    m_rate = 0;
    if (newest.local - m_points.front().local < kMinRateSpanMicros) return;
    // Least squares of offset over local time, both relative to the newest
    // exchange so that doubles keep every microsecond.
    double meanX = 0, meanY = 0;
    for (const SyncPoint& p : m_points) {
        meanX += static_cast<double>(p.local - newest.local);
        meanY += static_cast<double>((p.tracker - p.local) - newestOffset);
    }
    const double n = static_cast<double>(m_points.size());
    meanX /= n;
    meanY /= n;
    double sxx = 0, sxy = 0;
    for (const SyncPoint& p : m_points) {
        const double x = static_cast<double>(p.local - newest.local) - meanX;
        const double y = static_cast<double>((p.tracker - p.local) - newestOffset) - meanY;
        sxx += x * x;
        sxy += x * y;
    }
    if (sxx <= 0) return;
    m_rate = sxy / sxx;
    m_referenceOffset = newestOffset + std::llround(meanY - m_rate * meanX);
}

int64_t ClockEstimate::TrackerAt(int64_t local) const {
    if (m_points.empty()) return local;
    return local + m_referenceOffset + std::llround(m_rate * static_cast<double>(local - m_referenceLocal));
}

int64_t ClockEstimate::Uncertainty() const {
    int64_t longest = 0;
    for (const SyncPoint& p : m_points) longest = std::max(longest, p.roundTrip);
    return (longest + 1) / 2;
}

}  // namespace okulon::sim
