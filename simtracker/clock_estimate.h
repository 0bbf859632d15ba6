// A time library's picture of the tracker clock: the offset found by the
// newest time exchange, carried forward on this computer's clock. Its owner
// exchanges again about once a second, so a drift of tens of ppm moves the
// picture by tens of microseconds at most before it is corrected. Not
// fitting a rate keeps each exchange's error its own: a reader that fits a
// line through readings over many exchanges sees independent errors.
// A plain value; its owner serialises access.
#pragma once

#include <cstdint>

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
    void Add(const SyncPoint& point) {
        m_newest = point;
        m_synchronised = true;
    }
    void Clear() { m_synchronised = false; }

    bool Synchronised() const { return m_synchronised; }
    // Tracker time at a moment of the local clock; the local time itself before any exchange.
    int64_t TrackerAt(int64_t local) const {
        return m_synchronised ? local + (m_newest.tracker - m_newest.local) : local;
    }
    // How far the newest exchange's offset may be off: half its round trip.
    int64_t Uncertainty() const { return (m_newest.roundTrip + 1) / 2; }

private:
    SyncPoint m_newest;
    bool m_synchronised = false;
};

}  // namespace okulon::sim
