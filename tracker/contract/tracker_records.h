// Binary layouts that the tracker library hands over: the time stamp record of
// the time library and the per-sample tracker record. Platform-free so that the
// gaze conversion and the simulated tracker share them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace okulon {

// TT_GetLocalTimeStamp fills this; time = seconds * 1e6 + microseconds.
struct TrackerTimeStamp {
    int32_t seconds;
    int32_t microseconds;
};
static_assert(sizeof(TrackerTimeStamp) == 8);
static_assert(offsetof(TrackerTimeStamp, seconds) == 0);
static_assert(offsetof(TrackerTimeStamp, microseconds) == 4);

// One eye's block inside a tracker record (28 bytes).
struct TrackerEyeBlock {
    float gazeX;       // fraction of the screen width, 0 = left edge
    float gazeY;       // fraction of the screen height, 0 = top edge
    float cameraX;     // eye position in the camera image (not read)
    float cameraY;     // (not read)
    float pupilSize;   // tracker's unit
    float distance;    // eye to screen, millimetres (not read)
    int32_t validity;  // 0 usable, 4 eye lost, anything else not usable
};
static_assert(sizeof(TrackerEyeBlock) == 28);

// The record that the tracker library passes to the gaze callback.
struct TrackerRecord {
    int32_t timeSeconds;
    int32_t timeMicroseconds;
    TrackerEyeBlock first;
    TrackerEyeBlock second;
};
static_assert(sizeof(TrackerRecord) == 64);
static_assert(offsetof(TrackerRecord, timeSeconds) == 0);
static_assert(offsetof(TrackerRecord, timeMicroseconds) == 4);
static_assert(offsetof(TrackerRecord, first) + offsetof(TrackerEyeBlock, gazeX) == 8);
static_assert(offsetof(TrackerRecord, first) + offsetof(TrackerEyeBlock, gazeY) == 12);
static_assert(offsetof(TrackerRecord, first) + offsetof(TrackerEyeBlock, pupilSize) == 24);
static_assert(offsetof(TrackerRecord, first) + offsetof(TrackerEyeBlock, validity) == 32);
static_assert(offsetof(TrackerRecord, second) + offsetof(TrackerEyeBlock, gazeX) == 36);
static_assert(offsetof(TrackerRecord, second) + offsetof(TrackerEyeBlock, gazeY) == 40);
static_assert(offsetof(TrackerRecord, second) + offsetof(TrackerEyeBlock, pupilSize) == 52);
static_assert(offsetof(TrackerRecord, second) + offsetof(TrackerEyeBlock, validity) == 60);

// Callback reason codes. Reason 2 carries no record: the library calls back
// with it while no sample arrives, so that a stop is noticed on a silent tracker.
constexpr int32_t kTrackerReasonSample = 1;
constexpr int32_t kTrackerReasonIdle = 2;

// Failure codes of the tracker library that carry a meaning here.
constexpr int32_t kTrackerErrorNotConnected = 1;
constexpr int32_t kTrackerErrorConnectionLost = 2;
constexpr int32_t kTrackerErrorCalibrationFailed = 11;
constexpr int32_t kTrackerErrorStreamingOff = 13;

// Arguments that the extension passes as the vendor's interface requires.
constexpr int32_t kTrackerConnectMode = 3;
constexpr int32_t kTrackerCalibPointMode = 6;

constexpr int64_t TimeInMicroseconds(int32_t seconds, int32_t microseconds) {
    return static_cast<int64_t>(seconds) * 1000000 + static_cast<int64_t>(microseconds);
}

}  // namespace okulon
