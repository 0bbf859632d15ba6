// A time library's picture of the tracker clock: tracker time as a line over
// this computer's clock, fitted to the time exchanges of the last half minute.
// The offset follows each new exchange; the rate (the drift) needs exchanges
// a second or more apart. A plain value; its owner serialises access.
#pragma once

#include <cstdint>
#include <deque>

namespace okulon::sim {

// One time exchange: the tracker's reply, read on the tracker's clock at some
// moment between our send and our receipt; local is their midpoint.
struct SyncPoint {
    int64_t local = 0;
    int64_t tracker = 0;
    int64_t roundTrip = 0;
};

class ClockEstimate {
public:
    void Add(const SyncPoint& point);
    void Clear();

    bool Synchronised() const { return !m_points.empty(); }
    // Tracker time at a moment of the local clock; the local time itself before any exchange.
    int64_t TrackerAt(int64_t local) const;
    // How far the tracker time of the exchanges may be off: half the longest kept round trip.
    int64_t Uncertainty() const;
    double DriftPpm() const { return m_rate * 1e6; }
    int64_t LastExchange() const { return m_points.empty() ? 0 : m_points.back().local; }

private:
    void Fit();

    std::deque<SyncPoint> m_points;
    int64_t m_referenceLocal = 0;   // the newest exchange's local time
    int64_t m_referenceOffset = 0;  // fitted tracker - local there
    double m_rate = 0;              // d(tracker - local) / d(local)
};

}  // namespace okulon::sim
