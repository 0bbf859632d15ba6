#include "tracker/tracking_session.h"

#include <memory>
#include <new>

#include "base/worker_thread.h"
#include "tracker/gaze_conversion.h"
#include "tracker/tracker_library.h"

namespace okulon {

UniqueHandle TrackingSession::StartWorker(const std::shared_ptr<TrackingSession>& session) noexcept {
    std::unique_ptr<std::shared_ptr<TrackingSession>> argument(new (std::nothrow)
                                                                   std::shared_ptr<TrackingSession>(session));
    if (!argument) return UniqueHandle();
    UniqueHandle thread = CreateWorkerThread(&TrackingSession::WorkerMain, argument.get());
    if (thread) static_cast<void>(argument.release());  // the worker's now
    return thread;
}

void TrackingSession::CutOff() noexcept {
    m_stopped.store(true, std::memory_order_release);
    ExclusiveGuard guard(m_lock);  // a callback inside the object leaves first
    m_object = nullptr;
}

void TrackingSession::WaitUntilCallbackLeft() noexcept {
    // A callback enters only under the shared lock and only while not
    // stopped; once the exclusive lock is had, any later one sees the stop.
    m_stopped.store(true, std::memory_order_release);
    ExclusiveGuard guard(m_lock);
}

DWORD TrackingSession::WorkerMain(void* argument) {
    // The worker's share of the session ends with the thread, not with the object.
    const std::unique_ptr<std::shared_ptr<TrackingSession>> handedOver(
        static_cast<std::shared_ptr<TrackingSession>*>(argument));
    const std::shared_ptr<TrackingSession> session = std::move(*handedOver);
    const DWORD exitCode = session->Run();
    session->m_ended.store(true, std::memory_order_release);
    return exitCode;
}

DWORD TrackingSession::Run() noexcept {
    const TrackerLibrary& tracker = TrackerLibrary::Instance();
    {
        // A worker replaced before it ever ran does not connect at all.
        SharedGuard guard(m_lock);
        if (m_object == nullptr) return 0;
    }
    if (tracker.Connect(m_endpoint.host.c_str(), m_endpoint.port, kTrackerConnectMode) == -1)
        return static_cast<DWORD>(tracker.GetLastError());

    for (;;) {
        LONG streaming = 0;
        {
            SharedGuard guard(m_lock);
            if (m_object == nullptr || IsStopped() || m_object->IsThreadRunning() == 0) break;
            streaming = m_object->IsStreaming();
        }
        if (streaming != 0) {
            // Returns once the callback has called Tet_Stop.
            if (tracker.Start(&TrackingSession::GazeCallback, this, 0) == -1) {
                const int32_t code = tracker.GetLastError();
                SharedGuard guard(m_lock);
                if (m_object != nullptr) m_object->RecordDeliveryFailure(code);
                return static_cast<DWORD>(code);
            }
        }
        // The look and the check are one step for CutOff, which waits for a
        // check in progress: a worker cut off while it delivered, or at any
        // other moment, starts no check on behalf of an object it has left.
        SharedGuard guard(m_lock);
        if (m_object == nullptr) break;
        const LONG code = tracker.PerformSystemCheck() == -1 ? tracker.GetLastError() : 0;
        m_object->SetSystemCheckCode(code);
    }
    tracker.Disconnect();
    return 0;
}

void WINAPI TrackingSession::GazeCallback(int32_t reason, TrackerRecord* record, void* context) noexcept {
    auto* session = static_cast<TrackingSession*>(context);
    GazeCallbackAction action = GazeCallbackAction::kStopDelivery;
    {
        SharedGuard guard(session->m_lock);
        if (session->m_object != nullptr && !session->IsStopped())
            action = HandleGazeCallback(reason, record, *session->m_object);
    }
    // Outside the lock: nothing calls into the tracker library while holding it.
    if (action == GazeCallbackAction::kStopDelivery) TrackerLibrary::Instance().Stop();
}

}  // namespace okulon
