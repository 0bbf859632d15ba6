// Turns one recording into BIDS eye-tracking data (physio files with
// PhysioType "eyetrack"): per eye a headerless gzipped TSV of timestamp,
// x_coordinate, y_coordinate and pupil_size with its JSON sidecar, the marks,
// eye events and the recording's own events in _physioevents files, and the
// dataset's description, README and .bidsignore where the dataset has none
// yet. Platform-free; the program okulon_export is its command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace okulon::bids {

struct ExportOptions {
    std::string recording;  // the recording file
    std::string dataset;    // the dataset's root folder, made if missing
    std::string subject;    // labels: letters and digits only
    std::string session;    // empty: no ses- entity
    std::string task;
    int64_t run = 0;  // 0: no run- entity
    // The recording does not know which eye its first block is; the eye
    // tracker's manual does.
    bool firstEyeIsLeft = true;
    double screenWidthM = 0;  // 0: not given
    double screenHeightM = 0;
    double screenDistanceM = 0;
    std::string exporterVersion;
};

struct ExportOutcome {
    bool ok = false;
    std::string error;                  // why nothing was exported (ok false)
    std::vector<std::string> warnings;  // damage and gaps, said plainly
    std::vector<std::string> written;   // files, relative to the dataset
    uint64_t samples = 0;
    uint64_t segments = 0;  // start..stop stretches of tracking
    uint64_t events = 0;    // physioevents rows
    double samplingFrequency = 0;
};

// A BIDS label: one or more ASCII letters or digits.
bool IsLabel(const std::string& text);

ExportOutcome ExportRecording(const ExportOptions& options);

}  // namespace okulon::bids
