// CalibrationController: the host's side of a calibration. It starts the calibration
// worker (CalibrationSession) and, on the host's thread, polls the display
// object for Escape while it watches the worker until the worker ends. Owns
// the worker's handle and its session until the next run or the object's end.
//
// Threads: the host's thread only.
// Ownership: a member of the extension object.
#pragma once

#include <windows.h>

#include <memory>

#include "base/com_support.h"
#include "eye_tracker_host.h"

namespace okulon {

class CalibrationSession;
class CommandSettings;
class TrackingController;

// The kinds of Calibrate the host asks for.
constexpr LONG kCalibrationKindCalibrate = 0;
constexpr LONG kCalibrationKindDriftCorrection = 1;

enum class CalibrationOutcome {
    kActivated,  // the tracker library activated the new calibration
    kWorkerNotStarted,
    kTrackerNotConnected,
    kCancelled,  // the host pressed Escape
    kFailed,
};

class CalibrationController {
public:
    CalibrationController() = default;
    CalibrationController(const CalibrationController&) = delete;
    CalibrationController& operator=(const CalibrationController&) = delete;

    // Ends the previous run's worker, starts a new one on the display and
    // waits on the host's thread until it ends or the host cancels.
    CalibrationOutcome Run(const CommandSettings& settings, const TrackingController& tracking,
                           ICalibrationDisplay* display);

    // No thread is ever killed: the worker is cut off (no further display or
    // tracker call) and finishes a display call it is in on its own; the
    // handle is closed without waiting for the thread, so neither the host's
    // call nor destruction waits for a display that may need the host's
    // thread. Only a tracker call in progress is waited for.
    void EndWorker() noexcept;

private:
    UniqueHandle m_calibrationThread;
    std::shared_ptr<CalibrationSession> m_calibrationSession;
};

}  // namespace okulon
