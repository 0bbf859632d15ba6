#include "calibration/calibration_controller.h"

#include <new>

#include "calibration/calibration_session.h"
#include "commands/command_settings.h"
#include "tracker/contract/tracker_records.h"
#include "tracker/tracking_controller.h"

namespace okulon {
namespace {

constexpr LONG kKeyWaitMs = 100;
constexpr LONG kEscapeKey = 27;

bool CountsAsNotConnected(DWORD exitCode) noexcept {
    return exitCode == static_cast<DWORD>(kTrackerErrorNotConnected) ||
           exitCode == static_cast<DWORD>(kTrackerErrorConnectionLost);
}

}  // namespace

CalibrationOutcome CalibrationController::Run(const CommandSettings& settings, const TrackingController& tracking,
                                              ICalibrationDisplay* display) {
    EndWorker();

    std::shared_ptr<CalibrationSession> session;
    UniqueHandle thread;
    try {
        session = CalibrationSession::Create(settings.SnapshotEndpoint(), display);
        if (session) thread = CalibrationSession::StartWorker(session);
    } catch (const std::bad_alloc&) {
        // Out of memory is one more way in which the worker cannot be started.
    }
    if (!thread) return CalibrationOutcome::kWorkerNotStarted;
    m_calibrationThread = std::move(thread);
    m_calibrationSession = session;

    // A calibration given up by the host must not go on drawing on a display
    // the host may tear down, nor activate a calibration nobody waits for.
    if (tracking.IsTrackerConnected() == 0) {
        session->CutOff();
        return CalibrationOutcome::kTrackerNotConnected;
    }

    LONG key = 0;
    for (;;) {
        display->WaitForKey(kKeyWaitMs, &key);
        if ((key & 0xFFFF) == kEscapeKey) {
            session->CutOff();
            return CalibrationOutcome::kCancelled;
        }
        if (WaitForSingleObject(m_calibrationThread.get(), 0) == WAIT_TIMEOUT) continue;

        DWORD exitCode = 0;
        if (!GetExitCodeThread(m_calibrationThread.get(), &exitCode)) exitCode = static_cast<DWORD>(-1);
        if (exitCode == 0) return CalibrationOutcome::kActivated;
        // Only a calibration the tracker library activated counts as success.
        // Code 11 means a failed calibration at whatever step it came.
        if (exitCode != static_cast<DWORD>(kTrackerErrorCalibrationFailed) &&
            (CountsAsNotConnected(exitCode) || session->FailedToConnect())) {
            return CalibrationOutcome::kTrackerNotConnected;
        }
        return CalibrationOutcome::kFailed;
    }
}

void CalibrationController::EndWorker() noexcept {
    if (m_calibrationSession) {
        m_calibrationSession->CutOff();
        m_calibrationSession.reset();
    }
    m_calibrationThread.reset();
}

}  // namespace okulon
