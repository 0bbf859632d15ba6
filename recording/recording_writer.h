// RecordingWriter: turns what the gaze callback and the host hand over into
// the lines of a recording file (docs/user-guide.md, "The recording file")
// and writes them in batches.
//
// Threads: everything here runs on the recording's writer thread, except
// construction. Platform-free: the file, the clocks and the thread are the
// caller's (recorder.h on Windows; tests bring their own sink and clock).
// Ownership: refers to the hand-off, the control queue, the sink and the
// clock, which outlive it.
#pragma once

#include <cstdint>
#include <string>

#include "recording/control_queue.h"
#include "recording/sample_handoff.h"

namespace okulon {

// Where the lines go. Each call writes everything or fails with a reason.
class RecordingSink {
public:
    virtual ~RecordingSink() = default;
    virtual bool Write(const char* data, std::size_t size, std::string& failure) noexcept = 0;
    // Makes what was written durable.
    virtual bool Flush(std::string& failure) noexcept = 0;
};

// One reading of the tracker's clock between two readings of the PC's.
struct ClockReading {
    int64_t pcBeforeUs = 0;
    int64_t trackerUs = 0;
    int64_t pcAfterUs = 0;
};

class RecordingClock {
public:
    virtual int64_t PcMicroseconds() noexcept = 0;
    virtual int64_t TrackerMicroseconds() noexcept = 0;
    ClockReading Read() noexcept {
        ClockReading reading;
        reading.pcBeforeUs = PcMicroseconds();
        reading.trackerUs = TrackerMicroseconds();
        reading.pcAfterUs = PcMicroseconds();
        return reading;
    }

protected:
    ~RecordingClock() = default;
};

struct RecordingHeader {
    std::string componentVersion;
    std::string trackerHost;
    int32_t trackerPort = 0;
    int32_t screenWidth = 0;
    int32_t screenHeight = 0;
    int64_t startTrackerUs = 0;
    int64_t startPcUs = 0;
    std::string startUtc;  // ISO 8601
};

class RecordingWriter {
public:
    static constexpr int64_t kFlushIntervalUs = 1000000;  // a crash loses at most this much
    static constexpr int64_t kClockIntervalUs = 2000000;

    RecordingWriter(SampleHandoff& samples, ControlQueue& controls, RecordingSink& sink, RecordingClock& clock,
                    uint32_t generation) noexcept;
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // The first lines; flushed at once, so that even an empty recording can be read.
    bool Begin(const RecordingHeader& header) noexcept;
    // Writes what was handed over since the last call, a clock entry when one
    // is due, and flushes when the last flush is a second old or `flush` asks.
    bool Pump(bool flush = false) noexcept;
    // The rest, the count of records lost at the end, the end line; flushed.
    bool Finish() noexcept;

    bool Failed() const noexcept { return m_failed; }
    // Why the recording ended early ("" while it has not).
    const std::string& Failure() const noexcept { return m_failure; }
    uint64_t SamplesWritten() const noexcept { return m_samplesWritten; }
    uint64_t DroppedCount() const noexcept { return m_dropped; }

private:
    void AppendSample(const RecordedSample& sample);
    void AppendControl(const ControlEntry& entry);
    void AppendClock(const ClockReading& reading);
    bool WriteBuffer() noexcept;
    bool FlushSink() noexcept;
    void Fail(const char* what, const std::string& reason) noexcept;

    SampleHandoff& m_samples;
    ControlQueue& m_controls;
    RecordingSink& m_sink;
    RecordingClock& m_clock;
    const uint32_t m_generation;

    std::string m_buffer;
    bool m_failed = false;
    std::string m_failure;
    uint64_t m_samplesWritten = 0;
    uint64_t m_dropped = 0;
    int64_t m_lastFlushPcUs = 0;
    int64_t m_lastClockPcUs = 0;
    int32_t m_screenWidth = 0;
    int32_t m_screenHeight = 0;
    int32_t m_lastValidityFirst = -1;
    int32_t m_lastValiditySecond = -1;
};

}  // namespace okulon
