// TrackingTarget: what the tracking worker and the gaze callback may reach of
// the object that started them: the gaze callback's part (GazeCallbackTarget:
// the settings it reads, its memory of the last validities, the producer side
// of the record queues) and the worker's loop. Nothing else of the object is
// theirs to use.
//
// Threads: the worker's thread and the thread the tracker library delivers
// on; each value is read or written whole, and no order between two of them
// is relied on. The session holds the pointer only while it is attached (see
// tracking_session.h).
// Ownership: implemented by the extension object, which outlives every use.
#pragma once

#include <cstdint>

#include "tracker/gaze_conversion.h"

namespace okulon {

class TrackingTarget : public GazeCallbackTarget {
public:
    // The worker's loop (it reads IsStreaming too).
    virtual int32_t IsThreadRunning() noexcept = 0;
    virtual void SetSystemCheckCode(int32_t code) noexcept = 0;
    // The worker's delivery ended on a failure of the tracker library (a lost
    // connection, say), for the recording file; the status is left as it is.
    virtual void RecordDeliveryFailure(int32_t code) noexcept = 0;

protected:
    ~TrackingTarget() = default;
};

}  // namespace okulon
