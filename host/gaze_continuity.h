// Whether a session's gaze stream ran to the session's end without stopping:
// the gaps between gaze records that a researcher should know of, each told
// apart by the eye events that came with it (a blink stops gaze records too),
// and whether records still arrived at the end. Record times are on whatever
// clock the records carry; the arrivals are on the host's own clock, so the
// end is judged right even when the two clocks differ.
// Platform-free; used on the host program's one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace okulon::host {

// Gaps longer than this many median sample intervals are reported: beyond any
// jitter of the tracker's stamps, within the shortest blink at 60 Hz or more.
constexpr int64_t kGapMedianIntervals = 10;
// A gap that no "both eyes lost" event opened and that lasts this long is a
// data stop: a lost eye (one eye tracked) lasts a few hundred milliseconds.
constexpr int64_t kSilentStretchMicros = 1'000'000;
// Records must have arrived within the last max(10 intervals, this) of the
// session. A blink (up to 300-400 ms) at the session's end, plus a 60 Hz poll
// and the host clock's 16 ms ticks, stays below it.
constexpr double kEndSilenceSeconds = 0.5;

struct GazeGap {
    size_t resumeIndex = 0;    // the first record after the gap
    int64_t startMicros = 0;   // the last record before it
    int64_t lengthMicros = 0;  // from that record to the next
    bool eyesLost = false;     // a "both eyes lost" event opened it: a blink
};

struct GazeContinuity {
    int64_t medianIntervalMicros = 0;
    std::vector<GazeGap> gaps;   // over kGapMedianIntervals median intervals
    size_t silentStretches = 0;  // gaps without lost eyes over kSilentStretchMicros
    // Host clock, seconds from the first poll.
    double sessionSeconds = 0;
    double lastArrivalSeconds = -1;  // -1: no gaze record arrived
    double endSilenceBoundSeconds = 0;
    bool endedEarly = false;     // nothing arrived in the last endSilenceBoundSeconds
    bool eyesLostAtEnd = false;  // a "both eyes lost" event came after the last record

    bool Stopped() const { return endedEarly || silentStretches > 0; }
};

// 0 with fewer than two times.
int64_t MedianInterval(const std::vector<int64_t>& times);

// gazeTimes and lostEventTimes in delivery order, on the records' clock.
GazeContinuity AssessGazeContinuity(const std::vector<int64_t>& gazeTimes, const std::vector<int64_t>& lostEventTimes,
                                    double sessionSeconds, double lastArrivalSeconds);

}  // namespace okulon::host
