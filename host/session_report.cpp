#include "host/session_report.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace okulon::host {
namespace {

constexpr LONG kBothEyesLost = 0;  // EyeEventRecord::kind; 1 is both eyes found

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

UniqueFile OpenForWriting(const std::wstring& path) { return UniqueFile(_wfopen(path.c_str(), L"wb")); }

template <class Record>
std::vector<int64_t> Times(const std::vector<Record>& records) {
    std::vector<int64_t> times;
    times.reserve(records.size());
    for (const Record& record : records) times.push_back(record.time);
    return times;
}

std::vector<int64_t> LostEventTimes(const std::vector<EyeEventRecord>& events) {
    std::vector<int64_t> times;
    for (const EyeEventRecord& event : events)
        if (event.kind == kBothEyesLost) times.push_back(event.time);
    return times;
}

void PrintContinuity(std::FILE* out, const GazeContinuity& continuity, int64_t firstRecord) {
    std::fprintf(out, "  gaze gaps over %lld median intervals (%.1f ms): %zu\n",
                 static_cast<long long>(kGapMedianIntervals),
                 kGapMedianIntervals * continuity.medianIntervalMicros / 1000.0, continuity.gaps.size());
    for (const GazeGap& gap : continuity.gaps) {
        const char* what = gap.eyesLost ? "eyes lost (a \"both eyes lost\" event opened it: a blink)"
                           : gap.lengthMicros > kSilentStretchMicros
                               ? "NO RECORDS and no eyes lost for over 1 s: the data stopped"
                               : "no records (an eye not tracked, or data not delivered)";
        std::fprintf(out, "    at %.3f s for %.3f s: %s\n", (gap.startMicros - firstRecord) / 1e6,
                     gap.lengthMicros / 1e6, what);
    }
    const double silence = continuity.sessionSeconds - continuity.lastArrivalSeconds;
    if (continuity.lastArrivalSeconds < 0) {
        std::fprintf(out, "  gaze stream: records arrived only after the session's polling ended\n");
    } else if (!continuity.endedEarly) {
        std::fprintf(out, "  gaze stream: records arrived until %.2f s before the session's end\n",
                     silence > 0 ? silence : 0.0);
    } else {
        std::fprintf(out,
                     "  gaze stream: ENDED EARLY: no gaze record arrived in the last %.2f s of the %.2f s session "
                     "(at most %.2f s expected)\n",
                     silence, continuity.sessionSeconds, continuity.endSilenceBoundSeconds);
        if (continuity.eyesLostAtEnd)
            std::fprintf(out,
                         "    a \"both eyes lost\" event came after the last record: eyes closed to the end and "
                         "a data stop look alike\n");
    }
    if (continuity.endedEarly)
        std::fprintf(out, "WARNING: the gaze stream stopped before the session ended; its records do not cover it.\n");
    else if (continuity.silentStretches != 0)
        std::fprintf(out,
                     "WARNING: the gaze stream stopped for over 1 s with no eyes lost; its records do not cover the "
                     "session.\n");
}

void PrintSummary(std::FILE* out, const char* name, const StreamSummary& summary) {
    std::fprintf(out, "  %-10s %7zu records  %8.1f /s over %.2f s  median interval %.2f ms  gaps %zu (longest %.0f ms)",
                 name, summary.count, summary.ratePerSecond, summary.seconds, summary.medianIntervalMs, summary.gaps,
                 summary.longestGapMs);
    if (summary.outOfOrder != 0) std::fprintf(out, "  OUT OF ORDER %zu", summary.outOfOrder);
    std::fprintf(out, "\n");
}

}  // namespace

StreamSummary Summarise(const std::vector<int64_t>& times) {
    StreamSummary summary;
    summary.count = times.size();
    if (times.size() < 2) return summary;
    std::vector<int64_t> intervals;
    for (size_t i = 1; i < times.size(); ++i) {
        if (times[i] <= times[i - 1]) ++summary.outOfOrder;
        intervals.push_back(times[i] - times[i - 1]);
    }
    summary.seconds = (times.back() - times.front()) / 1e6;
    if (summary.seconds > 0) summary.ratePerSecond = (times.size() - 1) / summary.seconds;
    std::vector<int64_t> sorted = intervals;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const int64_t median = sorted[sorted.size() / 2];
    summary.medianIntervalMs = median / 1000.0;
    for (int64_t interval : intervals) {
        if (interval > 2 * median) {
            ++summary.gaps;
            summary.longestGapMs = std::max(summary.longestGapMs, interval / 1000.0);
        }
    }
    return summary;
}

GazeContinuity AssessGaze(const SessionRecords& records) {
    return AssessGazeContinuity(Times(records.gaze), LostEventTimes(records.eyeEvents), records.pollSeconds,
                                records.lastGazeArrivalSeconds);
}

void PrintReport(std::FILE* out, const SessionRecords& records, const GazeContinuity& continuity) {
    std::fprintf(out, "received:\n");
    PrintSummary(out, "gaze", Summarise(Times(records.gaze)));
    PrintSummary(out, "pupil", Summarise(Times(records.pupil)));
    size_t lost = 0, found = 0;
    for (const EyeEventRecord& event : records.eyeEvents) (event.kind == kBothEyesLost ? lost : found)++;
    std::fprintf(out, "  eye events %zu: both eyes lost %zu, both eyes found %zu\n", records.eyeEvents.size(), lost,
                 found);
    if (!records.gaze.empty()) PrintContinuity(out, continuity, records.gaze.front().time);
}

bool WriteCsv(const std::wstring& path, const SessionRecords& records) {
    UniqueFile file = OpenForWriting(path);
    if (!file) return false;
    std::fprintf(file.get(), "stream,time_us,x_px,y_px,first_pupil,second_pupil,event_kind\n");
    for (const GazeRecord& r : records.gaze)
        std::fprintf(file.get(), "gaze,%lld,%.3f,%.3f,,,\n", static_cast<long long>(r.time), r.x, r.y);
    for (const PupilRecord& r : records.pupil)
        std::fprintf(file.get(), "pupil,%lld,,,%.4f,%.4f,\n", static_cast<long long>(r.time), r.firstPupil,
                     r.secondPupil);
    for (const EyeEventRecord& r : records.eyeEvents)
        std::fprintf(file.get(), "eye_event,%lld,%.3f,%.3f,,,%d\n", static_cast<long long>(r.time), r.x, r.y,
                     static_cast<int>(r.kind));
    return std::ferror(file.get()) == 0;
}

// Host coordinates (centre origin, y up) drawn in screen orientation.
bool WriteSvg(const std::wstring& path, const SessionRecords& records, int screenWidth, int screenHeight) {
    UniqueFile file = OpenForWriting(path);
    if (!file) return false;
    const double w = screenWidth > 0 ? screenWidth : 1024, h = screenHeight > 0 ? screenHeight : 768;
    std::FILE* f = file.get();
    std::fprintf(
        f, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\">\n", w,
        h, w, h);
    std::fprintf(f, "<rect width=\"100%%\" height=\"100%%\" fill=\"#101418\"/>\n");
    std::fprintf(f, "<line x1=\"%.0f\" y1=\"0\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#333\"/>\n", w / 2, w / 2, h);
    std::fprintf(f, "<line x1=\"0\" y1=\"%.0f\" x2=\"%.0f\" y2=\"%.0f\" stroke=\"#333\"/>\n", h / 2, w, h / 2);
    // One line per stretch of tracked gaze: a blink or a data stop drawn as
    // a line would look like a saccade. A "both eyes lost" event carries the
    // lost eyes' values (for most trackers the top-left corner), no gaze: not drawn.
    const GazeContinuity continuity = AssessGaze(records);
    std::vector<bool> breakBefore(records.gaze.size(), false);
    for (const GazeGap& gap : continuity.gaps) breakBefore[gap.resumeIndex] = true;
    for (const EyeEventRecord& event : records.eyeEvents) {
        if (event.kind != kBothEyesLost) continue;
        const auto after = std::upper_bound(records.gaze.begin(), records.gaze.end(), event.time,
                                            [](int64_t time, const GazeRecord& r) { return time < r.time; });
        if (after != records.gaze.begin() && after != records.gaze.end())
            breakBefore[after - records.gaze.begin()] = true;
    }
    size_t lines = 0;
    for (size_t i = 0; i < records.gaze.size(); ++i) {
        if (i == 0 || breakBefore[i]) {
            if (i != 0) std::fprintf(f, "\"/>\n");
            std::fprintf(f,
                         "<polyline fill=\"none\" stroke=\"#4fc3f7\" stroke-width=\"1\" stroke-opacity=\"0.7\" "
                         "points=\"");
            ++lines;
        }
        std::fprintf(f, "%.1f,%.1f ", w / 2 + records.gaze[i].x, h / 2 - records.gaze[i].y);
    }
    if (lines != 0) std::fprintf(f, "\"/>\n");
    for (const EyeEventRecord& r : records.eyeEvents)
        if (r.kind != kBothEyesLost)
            std::fprintf(f, "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"6\" fill=\"#66bb6a\"/>\n", w / 2 + r.x, h / 2 - r.y);
    std::fprintf(f,
                 "<text x=\"10\" y=\"20\" fill=\"#ccc\" font-family=\"sans-serif\" font-size=\"14\">"
                 "gaze %zu samples in %zu lines, broken where the eyes were lost or no records came; "
                 "green: both eyes found again</text>\n",
                 records.gaze.size(), lines);
    std::fprintf(f, "</svg>\n");
    return std::ferror(f) == 0;
}

}  // namespace okulon::host
