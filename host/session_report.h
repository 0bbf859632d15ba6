// What a host session received, summarised and written out for a person:
// records per stream, effective rate, gaps, eye events; the records as CSV and
// the gaze trace over the screen as an SVG picture.
// Used on the host program's one thread.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "eye_tracker_host.h"  // the records as the host receives them

namespace okulon::host {

using ::EyeEventRecord;
using ::GazeRecord;
using ::PupilRecord;

struct SessionRecords {
    std::vector<GazeRecord> gaze;
    std::vector<PupilRecord> pupil;
    std::vector<EyeEventRecord> eyeEvents;
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
void PrintReport(std::FILE* out, const SessionRecords& records);
bool WriteCsv(const std::wstring& path, const SessionRecords& records);
bool WriteSvg(const std::wstring& path, const SessionRecords& records, int screenWidth, int screenHeight);

}  // namespace okulon::host
