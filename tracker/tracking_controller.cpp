#include "tracker/tracking_controller.h"

#include <algorithm>
#include <new>

#include "commands/command_settings.h"
#include "tracker/contract/tracker_records.h"
#include "tracker/tracking_session.h"

namespace okulon {

bool TrackingController::StartWorker(TrackingTarget* object, const CommandSettings& settings) noexcept {
    if (m_trackingThread) {
        m_threadRunning = 0;
        m_trackingSession->CutOff();
        m_trackingSession.reset();
        m_trackingThread.reset();
    }
    ForgetEndedSessions();
    // The queues take one producer at a time: a detached worker's last
    // callback finishes its pushes before the new worker can deliver.
    for (const auto& detached : m_detachedTrackingSessions) detached->WaitUntilCallbackLeft();

    m_threadRunning = 1;
    std::shared_ptr<TrackingSession> session;
    try {
        session = std::make_shared<TrackingSession>(object, settings.SnapshotEndpoint());
        m_detachedTrackingSessions.reserve(m_detachedTrackingSessions.size() + 1);  // StopWorker cannot fail later
        m_trackingThread = TrackingSession::StartWorker(session);
    } catch (const std::bad_alloc&) {
        // Out of memory is one more way in which the worker cannot be started.
    }
    if (!m_trackingThread) {
        m_threadRunning = 0;
        return false;
    }
    m_trackingSession = std::move(session);
    return true;
}

void TrackingController::StartStreamingUnlessBlocked() noexcept {
    if (IsStreamingBlocked() == 0) m_streaming = 1;
}

void TrackingController::StopWorker() noexcept {
    m_threadRunning = 0;
    m_trackingSession->Detach();
    m_detachedTrackingSessions.push_back(std::move(m_trackingSession));  // capacity reserved at start
    m_trackingSession.reset();
    m_trackingThread.reset();
    m_streaming = 0;
}

void TrackingController::EndWorkers() noexcept {
    m_threadRunning = 0;
    if (m_trackingSession) m_trackingSession->CutOff();
    for (const auto& session : m_detachedTrackingSessions) session->CutOff();
    m_trackingSession.reset();
    m_detachedTrackingSessions.clear();
    m_trackingThread.reset();
}

LONG TrackingController::IsTrackerConnected() const noexcept {
    const LONG code = m_systemCheckCode;
    return (code == kTrackerErrorNotConnected || code == kTrackerErrorConnectionLost) ? 0 : 1;
}

LONG TrackingController::IsStreamingBlocked() const noexcept {
    const LONG code = GetSystemCheckCode();
    return (IsTrackerConnected() != 0 && code == kTrackerErrorStreamingOff) ? 1 : 0;
}

void TrackingController::ForgetEndedSessions() noexcept {
    auto ended = [](const std::shared_ptr<TrackingSession>& session) { return session->HasEnded(); };
    m_detachedTrackingSessions.erase(
        std::remove_if(m_detachedTrackingSessions.begin(), m_detachedTrackingSessions.end(), ended),
        m_detachedTrackingSessions.end());
}

}  // namespace okulon
