// What the simulated tracker does: its data source, sampling rate, answers and
// injected faults, and when it stops by itself. Filled from "key=value"
// settings, given one per line in a scenario file or as --key=value on the
// command line. A plain value type; the server copies it.
//
// Scenario text: one setting per line, "key = value"; blank lines and lines
// starting with '#' are ignored; a later setting overrides an earlier one.
//
//   port=4455            TCP port on 127.0.0.1 (0: any free port)
//   seed=1               gaze model seed (same seed, same samples)
//   rate=1000            samples per second, 60..2000, or "max" for flat out
//   csv=path             replay this file instead of the gaze model
//   mouse=0              1: gaze follows the mouse cursor (the server needs a pointer reader)
//   replay_loop=0        1: start the file again at its end
//   sample_limit=0       end the stream of a connection after this many samples (0: no end)
//   system_check=0       status of system checks; a list "0,0,13" answers the
//                        n-th check of a connection with the n-th value, the last repeating
//   start_fail=0         answer every start with this failure code (0: start normally)
//   calib_fail=0         answer the calibration's calculation with this code (11: failed)
//   refuse=0             close this many new connections at once (-1: all)
//   drop_after=0         close a connection after sending it this many samples
//   stall_after=0        after this many samples of a connection, send nothing for stall_ms
//   stall_ms=0
//   lifetime=1800        the server ends after this many seconds (0: never)
//   idle_exit=60         the server ends after this many seconds without a client (0: never)
//   clock_offset_us=0    the tracker clock minus the PC clock when the server starts
//   clock_drift_ppm=0    how fast the tracker clock gains on the PC clock (negative: loses)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace okulon::sim {

struct Scenario {
    static constexpr int32_t kMinRate = 60;
    static constexpr int32_t kMaxRate = 2000;
    static constexpr int32_t kFlatOut = 0;  // rate value for "max"

    int32_t port = 4455;
    uint64_t seed = 1;
    int32_t rate = 1000;
    std::string csvPath;
    bool mouse = false;
    bool replayLoop = false;
    uint64_t sampleLimit = 0;
    std::vector<int32_t> systemCheck{0};
    int32_t startFail = 0;
    int32_t calibFail = 0;
    int32_t refuse = 0;
    uint64_t dropAfter = 0;
    uint64_t stallAfter = 0;
    int32_t stallMs = 0;
    int32_t lifetimeSeconds = 1800;
    int32_t idleExitSeconds = 60;
    // Fixed when the server starts, like the port: a tracker keeps its clock.
    int64_t clockOffsetMicros = 0;
    int32_t clockDriftPpm = 0;
};

// Applies one setting. On failure leaves the scenario unchanged and says why.
bool ApplyScenarioSetting(Scenario& scenario, const std::string& key, const std::string& value, std::string* error);

// Applies every setting of a scenario text; stops at the first bad line and
// names it ("line 3: ...").
bool ParseScenarioText(const std::string& text, Scenario& scenario, std::string* error);

}  // namespace okulon::sim
