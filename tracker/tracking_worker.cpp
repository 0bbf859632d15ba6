// StartTracking and StopTracking: the host's switch for the tracking worker.
// Neither waits for the tracker server.
#include <algorithm>
#include <new>

#include "extension/eye_tracker_impl.h"
#include "tracker/tracking_session.h"

namespace okulon {

STDMETHODIMP CEyeTrackerImpl::StartTracking() OKULON_COM_TRY
    if (m_trackingThread) {
        m_threadRunning = 0;
        m_trackingSession->CutOff();
        m_trackingSession.reset();
        m_trackingThread.reset();
    }
    ForgetEndedTrackingSessions();
    // The queues take one producer at a time: a detached worker's last
    // callback finishes its pushes before the new worker can deliver.
    for (const auto& detached : m_detachedTrackingSessions) detached->WaitUntilCallbackLeft();

    m_threadRunning = 1;
    std::shared_ptr<TrackingSession> session;
    try {
        session = std::make_shared<TrackingSession>(this, SnapshotEndpoint());
        m_detachedTrackingSessions.reserve(m_detachedTrackingSessions.size() + 1);  // StopTracking cannot fail later
        m_trackingThread = TrackingSession::StartWorker(session);
    } catch (const std::bad_alloc&) {
        // Out of memory is one more way in which the worker cannot be started.
    }
    if (!m_trackingThread) {
        m_threadRunning = 0;
        return Fail(E_FAIL, L"StartTracking: Failed to create tracking thread");
    }
    m_trackingSession = std::move(session);

    if (IsTrackerConnected() == 0) return Fail(E_FAIL, L"StartTracking: Tracker not connected");
    if (IsStreamingBlocked() == 0) m_streaming = 1;
    return S_OK;
OKULON_COM_CATCH

STDMETHODIMP CEyeTrackerImpl::StopTracking() OKULON_COM_TRY
    if (IsTrackerConnected() == 0) return Fail(E_FAIL, L"StopTracking: Tracker not connected");
    if (!m_trackingThread)
        return Fail(E_FAIL, L"StopTracking: Tracking thread not created, maybe tracking was not started");
    m_threadRunning = 0;
    m_trackingSession->Detach();
    m_detachedTrackingSessions.push_back(std::move(m_trackingSession));  // capacity reserved at start
    m_trackingSession.reset();
    m_trackingThread.reset();
    m_streaming = 0;
    return S_OK;
OKULON_COM_CATCH

void CEyeTrackerImpl::ForgetEndedTrackingSessions() noexcept {
    auto ended = [](const std::shared_ptr<TrackingSession>& session) { return session->HasEnded(); };
    m_detachedTrackingSessions.erase(
        std::remove_if(m_detachedTrackingSessions.begin(), m_detachedTrackingSessions.end(), ended),
        m_detachedTrackingSessions.end());
}

void CEyeTrackerImpl::EndTrackingWorkers() noexcept {
    if (m_trackingSession) m_trackingSession->CutOff();
    for (const auto& session : m_detachedTrackingSessions) session->CutOff();
    m_trackingSession.reset();
    m_detachedTrackingSessions.clear();
    m_trackingThread.reset();
}

}  // namespace okulon
