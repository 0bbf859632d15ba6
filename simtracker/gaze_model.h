// Deterministic model of a viewer's eyes for the simulated tracker: fixations
// of a few hundred milliseconds at points on the screen, saccades between them,
// blinks (both eyes lost for 100-300 ms), moments in which one eye is lost,
// slowly drifting pupil sizes and measurement noise. All arithmetic is integer
// (positions in 2^-20 screen fractions, pupils in 2^-16 mm) and the floats are
// made by exact power-of-two scaling, so a seed gives bit-identical samples on
// every platform and compiler. Owned and driven by one thread (a server session
// or a test).
#pragma once

#include <cstdint>

#include "simtracker/sim_random.h"
#include "simtracker/sim_sample.h"

namespace okulon::sim {

class GazeModel {
public:
    static constexpr int64_t kPositionUnit = 1 << 20;  // one screen width or height
    static constexpr int64_t kPupilUnit = 1 << 16;     // one millimetre

    // rate: samples per second of model time (the phases' durations are in real
    // time, so a higher rate gives more samples per fixation).
    GazeModel(uint64_t seed, int32_t rate);

    SimSample Next();

    int64_t SampleIndex() const { return m_index; }

private:
    void BeginPhase(GazePhase phase, int64_t nowMicros);
    void EndOfPhase(int64_t nowMicros);
    TrackerEyeBlock TrackedEye(int64_t x, int64_t y, int64_t pupil, int64_t offsetX);
    static TrackerEyeBlock LostEye();
    void DriftPupils();

    SimRandom m_random;
    int32_t m_rate;
    int64_t m_index = 0;
    GazePhase m_phase = GazePhase::kFixation;
    int64_t m_phaseStart = 0;  // model microseconds
    int64_t m_phaseEnd = 0;
    int64_t m_targetX = kPositionUnit / 2;
    int64_t m_targetY = kPositionUnit / 2;
    int64_t m_fromX = kPositionUnit / 2;
    int64_t m_fromY = kPositionUnit / 2;
    bool m_firstEyeLost = false;  // which eye kOneEyeLost hides
    int64_t m_pupilFirst = 0;
    int64_t m_pupilSecond = 0;
};

}  // namespace okulon::sim
