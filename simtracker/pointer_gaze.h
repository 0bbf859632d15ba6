// Gaze that follows a pointer, for the simulated tracker's mouse mode: every
// sample has both eyes valid at the pointer's position (screen fractions,
// 0 = left or top edge) with steady pupils, so anyone can try an experiment
// by moving the mouse. The reader is asked once per sample; when it cannot
// tell (the desktop is locked, say), the last position is kept. Owned and
// driven by one thread (a server session or a test); the reader may be shared
// by several of them and must be thread-safe.
#pragma once

#include <functional>
#include <memory>

#include "simtracker/sim_sample.h"

namespace okulon::sim {

// Writes the pointer's position as fractions of the screen; false when unknown.
using PointerReader = std::function<bool(double& fractionX, double& fractionY)>;

// The mouse cursor as mouse mode reads it, with both ways a desktop shows that
// it has none: a read that fails (a locked desktop), or one that answers the
// top-left corner (0, 0) from the start, every time (a desktop without a
// display, as under Wine). Such reads count as unknown, so the gaze stays
// where the cursor was last read, at first the screen's centre; `tell` is
// called once with the reason, at the first failed read or at the
// kCornerReadsToTell-th corner read in a row. Once the cursor has been
// anywhere else, the corner is a position like any other. Shared by every
// session: thread-safe if `read` is.
class WatchedCursor {
public:
    static constexpr int kCornerReadsToTell = 100;  // a tenth of a second at the default rate
    enum class Unreadable { kReadFails, kStuckInTheCorner };

    WatchedCursor(PointerReader read, std::function<void(Unreadable)> tell);
    PointerReader Reader() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

class PointerGaze {
public:
    static constexpr float kPupilFirstMm = 3.5f;
    static constexpr float kPupilSecondMm = 3.6f;

    explicit PointerGaze(PointerReader reader) : m_reader(std::move(reader)) {}

    SimSample Next();

private:
    PointerReader m_reader;
    double m_fractionX = 0.5;  // the screen's centre until the reader first answers
    double m_fractionY = 0.5;
};

}  // namespace okulon::sim
