// What a host session received, summarised and written out for a person:
// records per stream, effective rate, gaps, whether the gaze stream stopped
// early, eye events; the records as CSV (as delivered) and the gaze trace over
// the screen as an SVG picture, broken where the gaze was lost.
// Used on the host program's one thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "eye_tracker_host.h"  // the records as the host receives them
#include "host/gaze_continuity.h"

namespace okulon::host {

using ::EyeEventRecord;
using ::GazeRecord;
using ::PupilRecord;

struct SessionRecords {
    std::vector<GazeRecord> gaze;
    std::vector<PupilRecord> pupil;
    std::vector<EyeEventRecord> eyeEvents;
    // On the host's own clock, from the first poll: how long the session
    // polled, and when new gaze records last arrived (-1: none arrived).
    double pollSeconds = 0;
    double lastGazeArrivalSeconds = -1;
};

struct StreamSummary {
    size_t count = 0;
    double seconds = 0;        // first to last record
    double ratePerSecond = 0;  // effective rate
    double medianIntervalMs = 0;
    size_t gaps = 0;  // intervals over twice the median (blinks, lost eyes)
    double longestGapMs = 0;
    size_t outOfOrder = 0;  // records not later than their predecessor
};

StreamSummary Summarise(const std::vector<int64_t>& times);
GazeContinuity AssessGaze(const SessionRecords& records);
void PrintReport(std::FILE* out, const SessionRecords& records, const GazeContinuity& continuity);
bool WriteCsv(const std::wstring& path, const SessionRecords& records);
bool WriteSvg(const std::wstring& path, const SessionRecords& records, int screenWidth, int screenHeight);

}  // namespace okulon::host
