// What tests and benchmarks may see inside the extension object, which
// offers them nothing of its own: the settings a worker would copy, and the
// link through which its tracking worker and gaze callback reach it.
#pragma once

#include "extension/eye_tracker_impl.h"

namespace okulon {

struct EyeTrackerImplTestAccess {
    static const CommandSettings& Settings(const CEyeTrackerImpl& object) noexcept { return object.m_settings; }
    static TrackingTarget& TrackingLink(CEyeTrackerImpl& object) noexcept { return object.m_trackingLink; }
};

}  // namespace okulon
