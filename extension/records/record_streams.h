// RecordStreams: the host's record streams. One queue per stream (gaze per
// eye type, pupil sizes, eye events, and the streams this tracker never
// fills), the data mask of the streams that are on, the eye type the gaze
// stream was started for, the count of clients that started a stream, and
// keep-all (whether pushes keep every record or only the latest).
//
// Threads: the host's thread starts and stops streams and counts and fetches
// records; the gaze callback's thread (one at a time) reads the settings and
// pushes. Each setting is one whole atomic value; no order between two of
// them is relied on. The queues state their own contract (record_queue.h).
// Ownership: a member of the extension object. Platform-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "extension/records/record_queue.h"
#include "extension/records/records.h"

namespace okulon {

class RecordStreams {
public:
    RecordStreams();
    RecordStreams(const RecordStreams&) = delete;
    RecordStreams& operator=(const RecordStreams&) = delete;

    static bool IsValidEyeType(int32_t eyeType) noexcept { return eyeType >= 0 && eyeType < kEyeTypeCount; }

    // Settings as the gaze callback reads them.
    uint32_t DataMask() const noexcept { return m_dataMask.load(std::memory_order_relaxed); }
    int32_t ClientCount() const noexcept { return m_clientCount.load(std::memory_order_relaxed); }
    int32_t EyeSelection() const noexcept { return m_eyeSelection.load(std::memory_order_relaxed); }

    // The new count. A remove never goes below zero.
    int32_t AddClient() noexcept { return ++m_clientCount; }
    int32_t RemoveClient() noexcept;

    // Host's thread. A start counts a client, turns the stream on and empties
    // its queue; a stop takes the client off, turns the stream off and empties
    // its queue too. Eye types must be valid.
    void StartGaze(int32_t eyeType, bool keepAll) noexcept;
    void StopGaze(int32_t eyeType) noexcept;
    void StartPupil(bool keepAll) noexcept;
    void StopPupil() noexcept;
    void StartEyeEvents() noexcept;
    void StopEyeEvents() noexcept;

    // Producer side: the gaze callback's thread. Invalid eye types are dropped.
    void PushGaze(const GazeRecord& record, int32_t eyeType) noexcept;
    void PushPupil(const PupilRecord& record) noexcept;
    void PushEyeEvent(const EyeEventRecord& record) noexcept;

    // Consumer side: the host's thread counts and fetches through these.
    RecordQueue<GazeRecord>& Gaze(int32_t eyeType) noexcept { return m_gazeQueues[eyeType]; }
    RecordQueue<PupilRecord>& Pupil() noexcept { return m_pupilQueue; }
    RecordQueue<EyeEventRecord>& EyeEvents() noexcept { return m_eyeEventQueue; }
    RecordQueue<SaccadeEventRecord>& SaccadeEvents() noexcept { return m_saccadeEventQueue; }
    RecordQueue<FixationEventRecord>& FixationEvents() noexcept { return m_fixationEventQueue; }
    RecordQueue<AoiEventRecord>& AoiEvents() noexcept { return m_aoiEventQueue; }
    RecordQueue<SpareRecord>& Spares() noexcept { return m_spareQueue; }

private:
    bool KeepAll() const noexcept { return m_keepAll.load(std::memory_order_relaxed); }

    RecordQueue<EyeEventRecord> m_eyeEventQueue;
    RecordQueue<AoiEventRecord> m_aoiEventQueue;
    RecordQueue<FixationEventRecord> m_fixationEventQueue;
    RecordQueue<SaccadeEventRecord> m_saccadeEventQueue;
    RecordQueue<SpareRecord> m_spareQueue;
    RecordQueue<PupilRecord> m_pupilQueue;
    std::vector<RecordQueue<GazeRecord>> m_gazeQueues;

    std::atomic<uint32_t> m_dataMask{0};
    std::atomic<int32_t> m_eyeSelection{0};
    std::atomic<bool> m_keepAll{false};
    std::atomic<int32_t> m_clientCount{0};
};

}  // namespace okulon
