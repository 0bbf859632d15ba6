#include "extension/records/record_streams.h"

namespace okulon {

RecordStreams::RecordStreams() : m_gazeQueues(kEyeTypeCount) {}

// An unmatched stop ("stop everything first") must not leave a negative count
// that would make the next start count as zero and silently deliver nothing.
int32_t RecordStreams::RemoveClient() noexcept {
    int32_t count = m_clientCount.load();
    while (count > 0 && !m_clientCount.compare_exchange_weak(count, count - 1)) {
    }
    return count > 0 ? count - 1 : count;
}

void RecordStreams::StartGaze(int32_t eyeType, bool keepAll) noexcept {
    AddClient();
    m_dataMask |= kStreamGaze;
    m_eyeSelection = eyeType;
    m_gazeQueues[eyeType].Clear();
    m_keepAll = keepAll;
}

void RecordStreams::StopGaze(int32_t eyeType) noexcept {
    RemoveClient();
    m_dataMask &= ~kStreamGaze;
    m_gazeQueues[eyeType].Clear();
}

void RecordStreams::StartPupil(bool keepAll) noexcept {
    AddClient();
    m_dataMask |= kStreamPupil;
    m_eyeSelection = 0;
    m_pupilQueue.Clear();
    m_keepAll = keepAll;
}

void RecordStreams::StopPupil() noexcept {
    RemoveClient();
    m_dataMask &= ~kStreamPupil;
    m_pupilQueue.Clear();
}

void RecordStreams::StartEyeEvents() noexcept {
    AddClient();
    m_dataMask |= kStreamEyeEvents;
    m_eyeEventQueue.Clear();
}

void RecordStreams::StopEyeEvents() noexcept {
    RemoveClient();
    m_dataMask &= ~kStreamEyeEvents;
    m_eyeEventQueue.Clear();
}

void RecordStreams::PushGaze(const GazeRecord& record, int32_t eyeType) noexcept {
    if (!IsValidEyeType(eyeType)) return;
    m_gazeQueues[eyeType].Push(record, KeepAll());
}

void RecordStreams::PushPupil(const PupilRecord& record) noexcept { m_pupilQueue.Push(record, KeepAll()); }

void RecordStreams::PushEyeEvent(const EyeEventRecord& record) noexcept { m_eyeEventQueue.Push(record, KeepAll()); }

}  // namespace okulon
