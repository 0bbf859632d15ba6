#include "simtracker/pointer_gaze.h"

#include <atomic>

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

struct WatchedCursor::State {
    PointerReader read;
    std::function<void(Unreadable)> tell;
    std::atomic<bool> movedFromTheCorner{false};
    std::atomic<int> cornerReads{0};
    std::atomic<bool> told{false};

    void Tell(Unreadable why) {
        if (!told.exchange(true)) tell(why);
    }
};

WatchedCursor::WatchedCursor(PointerReader read, std::function<void(Unreadable)> tell)
    : m_state(std::make_shared<State>()) {
    m_state->read = std::move(read);
    m_state->tell = std::move(tell);
}

PointerReader WatchedCursor::Reader() const {
    return [state = m_state](double& fractionX, double& fractionY) {
        double x = 0;
        double y = 0;
        if (!state->read(x, y)) {
            state->Tell(Unreadable::kReadFails);
            return false;
        }
        if (!state->movedFromTheCorner.load()) {
            if (x == 0 && y == 0) {
                if (state->cornerReads.fetch_add(1) + 1 >= kCornerReadsToTell) {
                    state->Tell(Unreadable::kStuckInTheCorner);
                }
                return false;
            }
            state->movedFromTheCorner = true;
        }
        fractionX = x;
        fractionY = y;
        return true;
    };
}

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
