// Calibrate: the host's side of a calibration. It starts the calibration
// worker (CalibrationSession) and, on the host's thread, polls the display
// object for Escape while it watches the worker until the worker ends.
#include <new>

#include "calibration/calibration_session.h"
#include "extension/eye_tracker_impl.h"
#include "tracker/tracker_records.h"

namespace okulon {
namespace {

constexpr LONG kCalibrationKindCalibrate = 0;
constexpr LONG kCalibrationKindDriftCorrection = 1;
constexpr LONG kKeyWaitMs = 100;
constexpr LONG kEscapeKey = 27;

bool CountsAsNotConnected(DWORD exitCode) noexcept {
    return exitCode == static_cast<DWORD>(kTrackerErrorNotConnected) ||
           exitCode == static_cast<DWORD>(kTrackerErrorConnectionLost);
}

}  // namespace

STDMETHODIMP CEyeTrackerImpl::Calibrate(LONG kind, ICalibrationDisplay* display, LONG, LONG, LONG, LONG, LONG,
                                        LONG) OKULON_COM_TRY
    if (kind == kCalibrationKindDriftCorrection) {
        return Fail(E_NOTIMPL, L"Calibrate: Drift Correction not implemented");
    }
    if (kind != kCalibrationKindCalibrate) {
        if (display != nullptr) display->Release();
        return S_OK;
    }
    if (display == nullptr) return E_POINTER;

    m_calibrationDisplay = display;
    EndCalibrationWorker();

    std::shared_ptr<CalibrationSession> session;
    UniqueHandle thread;
    try {
        session = CalibrationSession::Create(SnapshotEndpoint(), display);
        if (session) thread = CalibrationSession::StartWorker(session);
    } catch (const std::bad_alloc&) {
        // Out of memory is one more way in which the worker cannot be started.
    }
    if (!thread) {
        return Fail(E_FAIL, L"Calibrate: Failed to create calibration thread");
    }
    m_calibrationThread = std::move(thread);
    m_calibrationSession = session;

    // A calibration given up by the host must not go on drawing on a display
    // the host may tear down, nor activate a calibration nobody waits for.
    if (IsTrackerConnected() == 0) {
        session->Cancel();
        return Fail(E_FAIL, L"Calibrate: Tracker not connected");
    }

    LONG key = 0;
    for (;;) {
        display->WaitForKey(kKeyWaitMs, &key);
        if ((key & 0xFFFF) == kEscapeKey) {
            session->Cancel();
            return Fail(E_FAIL, L"Calibrate: Calibration canceled");
        }
        if (WaitForSingleObject(m_calibrationThread.get(), 0) == WAIT_TIMEOUT) continue;

        DWORD exitCode = 0;
        if (!GetExitCodeThread(m_calibrationThread.get(), &exitCode)) exitCode = static_cast<DWORD>(-1);
        if (exitCode == 0) {
            display->Release();
            return S_OK;
        }
        // Only a calibration the tracker library activated counts as success.
        // Code 11 means a failed calibration at whatever step it came.
        if (exitCode != static_cast<DWORD>(kTrackerErrorCalibrationFailed) &&
            (CountsAsNotConnected(exitCode) || session->FailedToConnect())) {
            return Fail(E_FAIL, L"Calibrate: Tracker not connected");
        }
        return Fail(E_FAIL, L"Calibrate: Calibration failed");
    }
OKULON_COM_CATCH

// No thread is ever killed: the worker is cut off (no further display or
// tracker call) and finishes a display call it is in on its own; the handle is
// closed without waiting for the thread, so neither the host's call nor
// destruction waits for a display that may need the host's thread. Only a
// tracker call in progress is waited for.
void CEyeTrackerImpl::EndCalibrationWorker() noexcept {
    if (m_calibrationSession) {
        m_calibrationSession->Cancel();
        m_calibrationSession.reset();
    }
    m_calibrationThread.reset();
}

}  // namespace okulon
