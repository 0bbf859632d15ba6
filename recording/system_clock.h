// The two clocks of a recording: the PC's performance counter and the
// tracker's time as GetTimestamp reads it, both in microseconds.
// Threads: any; holds only the counter's frequency.
#pragma once

#include <windows.h>

#include "recording/recording_writer.h"
#include "tracker/tracker_library.h"

namespace okulon {

class SystemClock final : public RecordingClock {
public:
    SystemClock() noexcept { QueryPerformanceFrequency(&m_frequency); }
    int64_t PcMicroseconds() noexcept override {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        const int64_t ticks = counter.QuadPart;
        const int64_t frequency = m_frequency.QuadPart;
        return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
    }
    int64_t TrackerMicroseconds() noexcept override {
        TrackerTimeStamp stamp{};
        TrackerLibrary::Instance().GetLocalTimeStamp(&stamp);
        return TimeInMicroseconds(stamp.seconds, stamp.microseconds);
    }

private:
    LARGE_INTEGER m_frequency{};
};

}  // namespace okulon
