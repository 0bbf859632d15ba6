// Recorder: the recording that `record PATH` opens, on the object's side.
// Owns the file's writer thread and what it shares with the gaze callback
// and the host (docs/user-guide.md, "Recording and export").
//
// Threads:
// - Open, Close, Mark, NoteStart, NoteStop, TakeFailure and End run on the
//   host's thread.
// - NoteDisconnect runs on the tracking worker (a delivery that failed, or a
//   system check that found the tracker gone).
// - PushSample runs on the gaze callback's thread and never waits: a full
//   hand-off drops the record and counts it.
// - The writer thread writes, flushes at least once a second, and ends the
//   file. Every wait for it is bounded: a disk that hangs holds up nobody.
//   A writer that does not end in time is never killed; it keeps its share
//   of the state, finishes the file once the disk answers, and a new
//   recording is refused until it has.
// Ownership: a member of the extension object. The channel to the writers
// lives as long as the object (a callback that saw a recording open may
// still push after it closed) or its last writer; everything else of one
// recording as long as its writer needs it. The host's thread alone changes
// which recording is open; the other threads see only its generation.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "base/com_support.h"
#include "recording/recording_writer.h"
#include "recording/sample_handoff.h"
#include "recording/system_clock.h"

namespace okulon {

struct RecordingSession;

class Recorder {
public:
    // 2 kHz for about four seconds: the writer wakes ten times a second.
    static constexpr std::size_t kHandoffCapacity = 8192;
    static constexpr DWORD kWriterWakeMs = 100;
    static constexpr DWORD kStopWaitMs = 2000;

    Recorder() noexcept;
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Creates the file (never over an existing one) and starts its writer.
    // On failure returns false with the reason in `message`. Throws std::bad_alloc.
    bool Open(const std::wstring& path, RecordingHeader header, bool tracking, std::wstring& message);
    // Finishes the file and ends the writer, within kStopWaitMs.
    bool Close(std::wstring& message) noexcept;
    // The text as the host gave it; the file holds it as UTF-8.
    bool Mark(const std::wstring& text, std::wstring& message);
    bool IsOpen() const noexcept { return m_session != nullptr; }

    void NoteStart() noexcept;
    // Waits, within kStopWaitMs, until everything up to the stop is on disk.
    void NoteStop() noexcept;
    void NoteDisconnect(int32_t code) noexcept;

    void PushSample(const TrackerRecord& record, int32_t width, int32_t height) noexcept {
        const uint32_t generation = m_liveGeneration.load(std::memory_order_acquire);
        if (generation != 0) m_channel->samples.TryPush(record, width, height, generation);
    }

    // A writer that ended on a disk failure since the last call: its reason.
    bool TakeFailure(std::wstring& text);
    // At the object's destruction, after the tracking workers were cut off.
    void End() noexcept;

    // The seams of the tests: a slow or failing disk.
    using SinkFactory = std::unique_ptr<RecordingSink> (*)(HANDLE file);
    static void SetSinkFactoryForTesting(SinkFactory factory) noexcept;

private:
    // Any thread; false when no recording is on or no memory was left.
    bool Post(ControlKind kind, int32_t code, std::string text) noexcept;
    void Wake() noexcept;
    bool EndSession(std::wstring& message) noexcept;

    // Set before the first recording's generation is published, then kept.
    std::shared_ptr<RecordingChannel> m_channel;
    SystemClock m_clock;
    std::atomic<uint32_t> m_liveGeneration{0};
    uint32_t m_lastGeneration = 0;
    std::shared_ptr<RecordingSession> m_session;
    UniqueHandle m_writerThread;
    // A writer that did not end within the wait; the next Open waits for it.
    std::shared_ptr<RecordingSession> m_lingering;
    UniqueHandle m_lingeringThread;
    bool m_failureReported = false;
};

}  // namespace okulon
