#include "simtracker/pointer_gaze.h"

namespace okulon::sim {
namespace {

TrackerEyeBlock EyeAt(double fractionX, double fractionY, float pupil, float cameraX) {
    TrackerEyeBlock eye{};
    eye.gazeX = static_cast<float>(fractionX);
    eye.gazeY = static_cast<float>(fractionY);
    eye.cameraX = cameraX;
    eye.cameraY = 0.5f;
    eye.pupilSize = pupil;
    eye.distance = 600.0f;
    eye.validity = 0;
    return eye;
}

}  // namespace

SimSample PointerGaze::Next() {
    double x = 0;
    double y = 0;
    if (m_reader && m_reader(x, y)) {
        m_fractionX = x;
        m_fractionY = y;
    }
    SimSample sample;
    sample.phase = GazePhase::kFixation;
    sample.first = EyeAt(m_fractionX, m_fractionY, kPupilFirstMm, 0.45f);
    sample.second = EyeAt(m_fractionX, m_fractionY, kPupilSecondMm, 0.55f);
    return sample;
}

}  // namespace okulon::sim
