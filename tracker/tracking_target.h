// TrackingTarget: what the tracking worker and the gaze callback may reach of
// the object that started them: its status flags, the settings the callback
// reads, the callback's memory of the last validities, and the producer side
// of its record queues. Nothing else of the object is theirs to use.
//
// Threads: the worker's thread and the thread the tracker library delivers
// on; each value is read or written whole, and no order between two of them
// is relied on. The session holds the pointer only while it is attached (see
// tracking_session.h).
// Ownership: implemented by the extension object, which outlives every use.
#pragma once

#include <windows.h>

#include <cstdint>

#include "extension/records/records.h"
#include "tracker/contract/tracker_records.h"

namespace okulon {

class TrackingTarget {
public:
    // The worker's loop.
    virtual LONG IsThreadRunning() noexcept = 0;
    virtual LONG IsStreaming() noexcept = 0;
    virtual void SetSystemCheckCode(LONG code) noexcept = 0;

    // The gaze callback (see gaze_conversion.h for what it does with them).
    virtual LONG GetClientCount() noexcept = 0;
    virtual uint32_t GetDataMask() noexcept = 0;
    virtual int32_t GetEyeSelection() noexcept = 0;
    virtual int32_t GetScreenWidth() noexcept = 0;
    virtual int32_t GetScreenHeight() noexcept = 0;
    virtual LONG GetLastValidityFirst() noexcept = 0;
    virtual void SetLastValidityFirst(LONG validity) noexcept = 0;
    virtual LONG GetLastValiditySecond() noexcept = 0;
    virtual void SetLastValiditySecond(LONG validity) noexcept = 0;
    virtual void PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept = 0;
    virtual void PushPupilSample(const PupilRecord& record) noexcept = 0;
    virtual void PushEyeEvent(const EyeEventRecord& record) noexcept = 0;
    // Every record the library delivers while streaming, for the recording
    // file; never waits.
    virtual void RecordSample(const TrackerRecord& record, int32_t width, int32_t height) noexcept = 0;
    // The worker's delivery ended on a failure of the tracker library (a lost
    // connection, say), for the recording file; the status is left as it is.
    virtual void RecordDeliveryFailure(int32_t code) noexcept = 0;

protected:
    ~TrackingTarget() = default;
};

}  // namespace okulon
