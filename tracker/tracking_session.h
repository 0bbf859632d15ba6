// TrackingSession: one tracking worker thread and everything it shares with
// the object that started it.
//
// The worker thread connects, keeps gaze delivery and system checks going and
// disconnects; the tracker library runs the gaze callback on that thread with
// the session as context. Neither holds a reference on the object: they reach
// it only through the session, under the session's lock, and only while the
// session is attached.
//
// Threads and ownership: the session is shared by the host's side (the
// tracking controller keeps it while it holds or has detached the worker) and
// by the worker thread, which keeps it until its last instruction. The host's
// thread calls Detach and CutOff; the worker and the callback call everything
// else.
//
// Ending a worker never kills its thread (a killed thread can leave the heap's
// lock or one inside the tracker library held, or a queue half written):
// - Detach (StopTracking) is the worker's own stop signal. The callback ends
//   delivery at its next call and never delivers again, even when a new worker
//   sets the object's flags again; the worker runs one last system check for
//   the object and disconnects.
// - WaitUntilCallbackLeft (a new StartTracking, for each detached worker)
//   waits at most for a detached worker's callback already inside the object
//   to leave it: the record queues take one producer at a time.
// - CutOff (a new StartTracking, or the object's destruction) also separates
//   the worker from the object: once CutOff returns, the worker and its callback
//   make no further use of the object, its queues or its settings, and the
//   worker starts no further system check or delivery. CutOff waits at most
//   for a callback already inside the object to leave it, or for a system
//   check in progress to be answered; never for a connect or a delivery. The
//   worker then winds its own connection down (the callback's stop, the
//   disconnect) and ends.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "base/com_support.h"
#include "commands/tracker_endpoint.h"
#include "tracker/contract/tracker_records.h"
#include "tracker/tracking_target.h"

namespace okulon {

class TrackingSession {
public:
    TrackingSession(TrackingTarget* object, TrackerEndpoint endpoint) noexcept
        : m_object(object), m_endpoint(std::move(endpoint)) {}
    TrackingSession(const TrackingSession&) = delete;
    TrackingSession& operator=(const TrackingSession&) = delete;

    // Starts the worker thread for this session; empty handle on failure.
    static UniqueHandle StartWorker(const std::shared_ptr<TrackingSession>& session) noexcept;

    void Detach() noexcept { m_stopped.store(true, std::memory_order_release); }
    void CutOff() noexcept;
    // After Detach: returns once no callback of this session can be inside
    // the object, so a successor's callbacks never push beside it.
    void WaitUntilCallbackLeft() noexcept;

    // True once the worker thread has left the object for good.
    bool HasEnded() const noexcept { return m_ended.load(std::memory_order_acquire); }

    // The gaze callback handed to Tet_Start; context is the session.
    static void WINAPI GazeCallback(int32_t reason, TrackerRecord* record, void* context) noexcept;

private:
    static DWORD WorkerMain(void* argument);
    DWORD Run() noexcept;
    bool IsStopped() const noexcept { return m_stopped.load(std::memory_order_acquire); }

    SrwLock m_lock;            // shared: worker or callback inside the object, or a system check
    TrackingTarget* m_object;  // null once cut off; guarded by m_lock
    std::atomic<bool> m_stopped{false};
    std::atomic<bool> m_ended{false};
    const TrackerEndpoint m_endpoint;
};

}  // namespace okulon
