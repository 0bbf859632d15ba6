#include "simtracker/gaze_model.h"

#include <algorithm>
#include <cmath>

namespace okulon::sim {
namespace {

constexpr int64_t kMargin = GazeModel::kPositionUnit / 10;      // targets stay 10 % inside the edges
constexpr int64_t kNoise = GazeModel::kPositionUnit / 1000;     // about 0.3 % of the screen at most
constexpr int64_t kEyeOffset = GazeModel::kPositionUnit / 250;  // the eyes do not meet exactly
constexpr int64_t kPupilMin = 2 * GazeModel::kPupilUnit;
constexpr int64_t kPupilMax = 7 * GazeModel::kPupilUnit;

float FromUnits(int64_t value, int exponent) {
    // Exact: |value| < 2^24 fits a float's mantissa and the scaling is a power of two.
    return std::ldexp(static_cast<float>(value), -exponent);
}

}  // namespace

GazeModel::GazeModel(uint64_t seed, int32_t rate) : m_random(seed), m_rate(rate > 0 ? rate : 1000) {
    m_pupilFirst = m_random.Uniform(3 * kPupilUnit, 4 * kPupilUnit);
    m_pupilSecond = m_pupilFirst + m_random.Uniform(-kPupilUnit / 8, kPupilUnit / 8);
    m_targetX = m_random.Uniform(kMargin, kPositionUnit - kMargin);
    m_targetY = m_random.Uniform(kMargin, kPositionUnit - kMargin);
    BeginPhase(GazePhase::kFixation, 0);
}

void GazeModel::BeginPhase(GazePhase phase, int64_t nowMicros) {
    m_phase = phase;
    m_phaseStart = nowMicros;
    int64_t duration = 0;
    switch (phase) {
    case GazePhase::kFixation:
        duration = m_random.Uniform(150000, 600000);
        break;
    case GazePhase::kSaccade:
        duration = m_random.Uniform(20000, 80000);
        break;
    case GazePhase::kBlink:
        duration = m_random.Uniform(100000, 300000);
        break;
    case GazePhase::kOneEyeLost:
        duration = m_random.Uniform(80000, 250000);
        m_firstEyeLost = m_random.Uniform(0, 1) == 0;
        break;
    case GazePhase::kReplay:
        break;
    }
    m_phaseEnd = nowMicros + duration;
}

void GazeModel::EndOfPhase(int64_t nowMicros) {
    if (m_phase != GazePhase::kFixation) {
        // After a saccade the eyes rest at the new target; after a blink or a
        // lost eye they go on looking where they looked.
        BeginPhase(GazePhase::kFixation, nowMicros);
        return;
    }
    const int64_t choice = m_random.Uniform(0, 99);
    if (choice < 10) {
        BeginPhase(GazePhase::kBlink, nowMicros);
    } else if (choice < 16) {
        BeginPhase(GazePhase::kOneEyeLost, nowMicros);
    } else {
        m_fromX = m_targetX;
        m_fromY = m_targetY;
        m_targetX = m_random.Uniform(kMargin, kPositionUnit - kMargin);
        m_targetY = m_random.Uniform(kMargin, kPositionUnit - kMargin);
        BeginPhase(GazePhase::kSaccade, nowMicros);
    }
}

TrackerEyeBlock GazeModel::TrackedEye(int64_t x, int64_t y, int64_t pupil, int64_t offsetX) {
    TrackerEyeBlock eye{};
    const int64_t gazeX = std::clamp<int64_t>(x + offsetX + m_random.Noise(kNoise), 0, kPositionUnit);
    const int64_t gazeY = std::clamp<int64_t>(y + m_random.Noise(kNoise), 0, kPositionUnit);
    eye.gazeX = FromUnits(gazeX, 20);
    eye.gazeY = FromUnits(gazeY, 20);
    // The eye as the camera sees it moves a little with the gaze.
    eye.cameraX = FromUnits(kPositionUnit / 2 + offsetX * 20 + (gazeX - kPositionUnit / 2) / 16, 20);
    eye.cameraY = FromUnits(kPositionUnit / 2 + (gazeY - kPositionUnit / 2) / 16, 20);
    eye.pupilSize = FromUnits(pupil + m_random.Noise(kPupilUnit / 200), 16);
    eye.distance = 600.0f;
    eye.validity = 0;
    return eye;
}

TrackerEyeBlock GazeModel::LostEye() {
    TrackerEyeBlock eye{};
    eye.validity = 4;
    return eye;
}

void GazeModel::DriftPupils() {
    m_pupilFirst =
        std::clamp<int64_t>(m_pupilFirst + m_random.Uniform(-kPupilUnit / 500, kPupilUnit / 500), kPupilMin, kPupilMax);
    m_pupilSecond = std::clamp<int64_t>(m_pupilSecond + m_random.Uniform(-kPupilUnit / 500, kPupilUnit / 500),
                                        kPupilMin, kPupilMax);
}

SimSample GazeModel::Next() {
    const int64_t now = m_index * 1000000 / m_rate;
    ++m_index;
    while (now >= m_phaseEnd) {
        EndOfPhase(now);
    }
    DriftPupils();

    int64_t x = m_targetX;
    int64_t y = m_targetY;
    if (m_phase == GazePhase::kSaccade) {
        const int64_t elapsed = now - m_phaseStart;
        const int64_t duration = m_phaseEnd - m_phaseStart;
        x = m_fromX + (m_targetX - m_fromX) * elapsed / duration;
        y = m_fromY + (m_targetY - m_fromY) * elapsed / duration;
    }

    SimSample sample;
    sample.phase = m_phase;
    switch (m_phase) {
    case GazePhase::kBlink:
        sample.first = LostEye();
        sample.second = LostEye();
        break;
    case GazePhase::kOneEyeLost:
        sample.first = m_firstEyeLost ? LostEye() : TrackedEye(x, y, m_pupilFirst, -kEyeOffset);
        sample.second = m_firstEyeLost ? TrackedEye(x, y, m_pupilSecond, kEyeOffset) : LostEye();
        break;
    default:
        sample.first = TrackedEye(x, y, m_pupilFirst, -kEyeOffset);
        sample.second = TrackedEye(x, y, m_pupilSecond, kEyeOffset);
        break;
    }
    return sample;
}

}  // namespace okulon::sim
