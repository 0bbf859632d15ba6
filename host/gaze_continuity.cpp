#include "host/gaze_continuity.h"

#include <algorithm>

namespace okulon::host {

int64_t MedianInterval(const std::vector<int64_t>& times) {
    if (times.size() < 2) return 0;
    std::vector<int64_t> intervals;
    intervals.reserve(times.size() - 1);
    for (size_t i = 1; i < times.size(); ++i) intervals.push_back(times[i] - times[i - 1]);
    std::nth_element(intervals.begin(), intervals.begin() + intervals.size() / 2, intervals.end());
    return intervals[intervals.size() / 2];
}

GazeContinuity AssessGazeContinuity(const std::vector<int64_t>& gazeTimes, const std::vector<int64_t>& lostEventTimes,
                                    double sessionSeconds, double lastArrivalSeconds) {
    GazeContinuity continuity;
    continuity.sessionSeconds = sessionSeconds;
    continuity.lastArrivalSeconds = lastArrivalSeconds;
    continuity.medianIntervalMicros = MedianInterval(gazeTimes);
    const int64_t gapThreshold = kGapMedianIntervals * continuity.medianIntervalMicros;
    if (continuity.medianIntervalMicros > 0) {
        for (size_t i = 1; i < gazeTimes.size(); ++i) {
            const int64_t length = gazeTimes[i] - gazeTimes[i - 1];
            if (length <= gapThreshold) continue;
            GazeGap gap;
            gap.resumeIndex = i;
            gap.startMicros = gazeTimes[i - 1];
            gap.lengthMicros = length;
            gap.eyesLost = std::any_of(lostEventTimes.begin(), lostEventTimes.end(),
                                       [&](int64_t lost) { return lost > gazeTimes[i - 1] && lost < gazeTimes[i]; });
            if (!gap.eyesLost && length > kSilentStretchMicros) ++continuity.silentStretches;
            continuity.gaps.push_back(gap);
        }
    }
    if (!gazeTimes.empty()) {
        const int64_t last = gazeTimes.back();
        continuity.eyesLostAtEnd =
            std::any_of(lostEventTimes.begin(), lostEventTimes.end(), [&](int64_t lost) { return lost > last; });
    }
    continuity.endSilenceBoundSeconds = std::max(kEndSilenceSeconds, static_cast<double>(gapThreshold) / 1e6);
    continuity.endedEarly =
        lastArrivalSeconds >= 0 && sessionSeconds - lastArrivalSeconds > continuity.endSilenceBoundSeconds;
    return continuity;
}

}  // namespace okulon::host
