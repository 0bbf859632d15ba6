// CalibrationSession: one run of the calibration worker. It carries what the
// worker needs (a copy of the tracker endpoint and a reference of its own on
// the host's display object), runs the five-target procedure on the worker
// thread, and lets the host's thread cut the worker off at any moment.
//
// Threads: created and cut off on the host's thread; Run executes on the
// calibration worker thread. CutOff never waits for a display call: many
// displays paint through a window of the host's thread and wait, inside the
// call, until that thread takes their message. A display call in progress at
// the cut-off finishes on its own with the worker's reference; none starts
// after the cut-off. Tracker-library calls are made under the session lock
// (shared) after a look at the cut-off flag, and CutOff takes it
// exclusively: a cut-off waits for the tracker call in progress (the library
// never waits for the host), and no call that adds a point or activates a
// calibration starts after it. The dwell between targets waits on the cut-off
// event.
//
// Ownership: shared by the calibration controller (while it holds the worker) and the
// worker thread (for its whole run). It holds no pointer to the object, so the
// object may be destroyed while a worker cut off finishes its current call.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "base/com_support.h"
#include "commands/tracker_endpoint.h"
#include "eye_tracker_host.h"

namespace okulon {

// Exit code of a worker that was cut off before it could finish; nobody waits
// for it, it only makes the thread's end recognisable in a debugger.
constexpr DWORD kCalibrationCutOffExitCode = ERROR_CANCELLED;

class CalibrationSession {
public:
    // Takes a reference on the display for the worker. Null when the cut-off
    // event cannot be made; std::bad_alloc when memory runs out.
    static std::shared_ptr<CalibrationSession> Create(const TrackerEndpoint& endpoint, ICalibrationDisplay* display);

    CalibrationSession(const CalibrationSession&) = delete;
    CalibrationSession& operator=(const CalibrationSession&) = delete;
    ~CalibrationSession() = default;

    // Starts the worker thread (module-pinned) running this session. Empty on
    // failure, with the thread's error in GetLastError.
    static UniqueHandle StartWorker(const std::shared_ptr<CalibrationSession>& session) noexcept;

    // From the moment this returns, the worker starts no further call on the
    // display object and no tracker-library call other than disconnecting its
    // own connection; a tracker call in progress has ended. Waits for nothing
    // else. Gives up the worker's display reference here, on the caller's
    // thread, unless a display call still uses it. Idempotent.
    void CutOff() noexcept;

    // Read after the worker has ended: true when it ended because the
    // connection to the tracker server could not be made.
    bool FailedToConnect() const noexcept { return m_failedToConnect.load(); }

private:
    CalibrationSession(const TrackerEndpoint& endpoint, ICalibrationDisplay* display, UniqueHandle cutOffEvent);

    static DWORD WorkerMain(void* argument);
    DWORD Run() noexcept;
    DWORD RunConnected() noexcept;
    DWORD FailureCode() const noexcept;
    bool IsCutOff() const noexcept { return m_cutOff.load(); }
    bool Dwell() const noexcept;
    void ReleaseDisplay() noexcept;

    // Runs `call` on the display unless the session is cut off; false when
    // it was cut off and nothing was called. No lock is held during the
    // call, and the worker holds a reference of its own for it.
    template <class Call>
    bool CallDisplay(Call call) {
        ComPtr<ICalibrationDisplay> display;
        {
            SharedGuard guard(m_lock);  // CutOff cannot give the reference up meanwhile
            if (IsCutOff() || !m_display) return false;
            display = m_display;
        }
        call(display.get());
        return true;
    }

    // Runs `call` on the tracker library under the shared lock unless the
    // session is cut off; false when it was cut off and nothing was
    // called. The look and the call are one step for CutOff. `failureCode`
    // receives 0, or the library's code when the call answered -1.
    template <class Call>
    bool CallTracker(Call call, DWORD* failureCode) {
        SharedGuard guard(m_lock);
        if (IsCutOff()) return false;
        *failureCode = call() == -1 ? FailureCode() : 0;
        return true;
    }

    const TrackerEndpoint m_endpoint;
    SrwLock m_lock;
    ComPtr<ICalibrationDisplay> m_display;  // guarded by m_lock
    std::atomic<bool> m_cutOff{false};      // written under m_lock (exclusive)
    std::atomic<bool> m_failedToConnect{false};
    UniqueHandle m_cutOffEvent;  // manual reset, set by CutOff
};

}  // namespace okulon
