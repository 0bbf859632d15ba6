// One sample of the simulated tracker before it is stamped with a clock time:
// what the gaze model or a replayed file produces for the server to send.
#pragma once

#include <cstdint>

#include "tracker/contract/tracker_records.h"

namespace okulon::sim {

enum class GazePhase : int32_t {
    kFixation = 0,
    kSaccade = 1,
    kBlink = 2,       // both eyes lost
    kOneEyeLost = 3,  // one eye lost, the other fixating
    kReplay = 4,      // from a replayed file, phase unknown
};

struct SimSample {
    GazePhase phase = GazePhase::kFixation;
    TrackerEyeBlock first{};
    TrackerEyeBlock second{};
};

}  // namespace okulon::sim
