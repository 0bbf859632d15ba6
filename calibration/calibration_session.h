// CalibrationSession: one run of the calibration worker. It carries what the
// worker needs (a copy of the tracker endpoint and a reference of its own on
// the host's display object), runs the five-target procedure on the worker
// thread, and lets the host's thread cut the worker off at any moment.
//
// Threads: created and cancelled on the host's thread; Run executes on the
// calibration worker thread. The worker makes its display calls under the
// session lock (shared), and Cancel takes it exclusively, so a cancel waits at
// most for one display call in progress and no display call starts after it.
// Tracker-library calls are made outside the lock, each after a look at the
// cancelled flag; the dwell between targets waits on the cancel event.
//
// Ownership: shared by the object (while it holds the worker) and the worker
// thread (for its whole run). It holds no pointer to the object, so the object
// may be destroyed while a cancelled worker finishes its current call.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "eye_tracker_host.h"
#include "extension/tracker_endpoint.h"
#include "server/com_support.h"

namespace okulon {

// Exit code of a worker that was cut off before it could finish; nobody waits
// for it, it only makes the thread's end recognisable in a debugger.
constexpr DWORD kCalibrationCancelledExitCode = ERROR_CANCELLED;

class CalibrationSession {
public:
    // Takes a reference on the display for the worker. Null with the cause in
    // `result` when the cancel event cannot be made.
    static std::shared_ptr<CalibrationSession> Create(TrackerEndpoint endpoint, ICalibrationDisplay* display,
                                                      HRESULT* result);

    CalibrationSession(const CalibrationSession&) = delete;
    CalibrationSession& operator=(const CalibrationSession&) = delete;
    ~CalibrationSession() = default;

    // Starts the worker thread (module-pinned) running this session. Empty on
    // failure, with the thread's error in GetLastError.
    static UniqueHandle StartWorker(const std::shared_ptr<CalibrationSession>& session) noexcept;

    // From the moment this returns, the worker makes no further call on the
    // display object and no tracker-library call other than disconnecting its
    // own connection. Gives up the worker's display reference here, on the
    // caller's thread. Idempotent.
    void Cancel() noexcept;

    // Read after the worker has ended: true when it ended because the
    // connection to the tracker server could not be made.
    bool FailedToConnect() const noexcept { return m_failedToConnect.load(); }

private:
    struct Target {
        float x;  // fraction of the width from the left edge
        float y;  // fraction of the height from the top edge
    };

    CalibrationSession(TrackerEndpoint endpoint, ICalibrationDisplay* display, UniqueHandle cancelEvent) noexcept;

    static DWORD ThreadMain(void* argument);
    DWORD Run() noexcept;
    DWORD RunConnected() noexcept;
    DWORD FailureCode() const noexcept;
    bool IsCancelled() const noexcept { return m_cancelled.load(); }
    bool Dwell() const noexcept;
    void ReleaseDisplay() noexcept;

    // Runs `call` on the display under the shared lock unless the session is
    // cancelled; false when it was cancelled and nothing was called.
    template <class Call>
    bool CallDisplay(Call call) {
        SharedGuard guard(m_lock);
        if (IsCancelled() || !m_display) return false;
        call(m_display.get());
        return true;
    }

    const TrackerEndpoint m_endpoint;
    SrwLock m_lock;
    ComPtr<ICalibrationDisplay> m_display;  // guarded by m_lock
    std::atomic<bool> m_cancelled{false};   // written under m_lock
    std::atomic<bool> m_failedToConnect{false};
    UniqueHandle m_cancelEvent;             // manual reset, set by Cancel
};

}  // namespace okulon
