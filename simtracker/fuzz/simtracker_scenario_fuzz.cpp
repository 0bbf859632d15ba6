// Scenario texts and replay files from anywhere: parsing must never crash, and
// whatever it accepts must be a scenario the server can run.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "simtracker/csv_replay.h"
#include "simtracker/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    okulon::sim::Scenario scenario;
    const okulon::sim::Scenario before = scenario;
    std::string error;
    if (okulon::sim::ParseScenarioText(text, scenario, &error)) {
        const bool rateOk =
            scenario.rate == okulon::sim::Scenario::kFlatOut ||
            (scenario.rate >= okulon::sim::Scenario::kMinRate && scenario.rate <= okulon::sim::Scenario::kMaxRate);
        if (!rateOk || scenario.port < 0 || scenario.port > 65535 || scenario.systemCheck.empty() ||
            scenario.refuse < -1 || scenario.stallMs < 0 || scenario.lifetimeSeconds < 0 ||
            scenario.idleExitSeconds < 0 || scenario.clockDriftPpm < -1000 || scenario.clockDriftPpm > 1000 ||
            scenario.clockOffsetMicros < -366LL * 86400 * 1000000 ||
            scenario.clockOffsetMicros > 366LL * 86400 * 1000000) {
            std::abort();
        }
    } else {
        // A refused text changes nothing and says why.
        if (error.empty() || scenario.port != before.port || scenario.seed != before.seed ||
            scenario.rate != before.rate || scenario.systemCheck != before.systemCheck) {
            std::abort();
        }
    }

    okulon::sim::CsvReplay replay;
    if (okulon::sim::CsvReplay::Parse(text, replay, &error) && replay.Samples().empty()) std::abort();
    return 0;
}
