// Samples read from a CSV text for the simulated tracker to replay instead of
// the gaze model. One sample per line:
//   x1,y1,pupil1,validity1,x2,y2,pupil2,validity2
// (gaze as screen fractions, pupil size, validity 0 usable / 4 lost / other
// not usable; first eye block, then second). Blank lines, lines starting with
// '#' and a first line that does not start with a number (a header) are
// skipped. Parsed once; the result is read-only and shared by the server's
// sessions.
#pragma once

#include <string>
#include <vector>

#include "simtracker/sim_sample.h"

namespace okulon::sim {

class CsvReplay {
public:
    // Fails with the line number and reason on the first bad line, or when the
    // text holds no sample.
    static bool Parse(const std::string& text, CsvReplay& replay, std::string* error);
    static bool Load(const std::string& path, CsvReplay& replay, std::string* error);

    const std::vector<SimSample>& Samples() const { return m_samples; }

private:
    std::vector<SimSample> m_samples;
};

}  // namespace okulon::sim
