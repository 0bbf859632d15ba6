// Gaze that follows a pointer, for the simulated tracker's mouse mode: every
// sample has both eyes valid at the pointer's position (screen fractions,
// 0 = left or top edge) with steady pupils, so anyone can try an experiment
// by moving the mouse. The reader is asked once per sample; when it cannot
// tell (the desktop is locked, say), the last position is kept. Owned and
// driven by one thread (a server session or a test); the reader may be shared
// by several of them and must be thread-safe.
#pragma once

#include <functional>

#include "simtracker/sim_sample.h"

namespace okulon::sim {

// Writes the pointer's position as fractions of the screen; false when unknown.
using PointerReader = std::function<bool(double& fractionX, double& fractionY)>;

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
