#include "simtracker/scenario.h"

#include <limits>

namespace okulon::sim {
namespace {

std::string Trim(const std::string& text) {
    const char* spaces = " \t\r\n";
    const size_t begin = text.find_first_not_of(spaces);
    if (begin == std::string::npos) {
        return std::string();
    }
    const size_t end = text.find_last_not_of(spaces);
    return text.substr(begin, end - begin + 1);
}

// Whole-string decimal integer within [low, high]; no sign games, no trailing text.
bool ParseInteger(const std::string& text, int64_t low, int64_t high, int64_t* out) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    size_t position = 0;
    bool negative = false;
    if (text[0] == '-') {
        negative = true;
        position = 1;
    }
    if (position == text.size()) {
        return false;
    }
    uint64_t magnitude = 0;
    for (; position < text.size(); ++position) {
        const char c = text[position];
        if (c < '0' || c > '9') {
            return false;
        }
        if (magnitude > (std::numeric_limits<uint64_t>::max() - 9) / 10) {
            return false;
        }
        magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
    }
    if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return false;
    }
    const int64_t value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    if (value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

bool Fail(std::string* error, const std::string& message) {
    if (error != nullptr) {
        *error = message;
    }
    return false;
}

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kYearMicros = 366LL * 86400 * 1000000;

}  // namespace

bool ApplyScenarioSetting(Scenario& scenario, const std::string& rawKey, const std::string& rawValue,
                          std::string* error) {
    const std::string key = Trim(rawKey);
    const std::string value = Trim(rawValue);
    int64_t number = 0;
    const auto integer = [&](int64_t low, int64_t high) {
        if (ParseInteger(value, low, high, &number)) {
            return true;
        }
        return Fail(error, "bad value for " + key + ": \"" + value + "\" (expected a whole number from " +
                               std::to_string(low) + " to " + std::to_string(high) + ")");
    };

    if (key == "port") {
        if (!integer(0, 65535)) return false;
        scenario.port = static_cast<int32_t>(number);
    } else if (key == "seed") {
        if (!integer(0, kInt64Max)) return false;
        scenario.seed = static_cast<uint64_t>(number);
    } else if (key == "rate") {
        if (value == "max") {
            scenario.rate = Scenario::kFlatOut;
            return true;
        }
        if (!integer(Scenario::kMinRate, Scenario::kMaxRate)) return false;
        scenario.rate = static_cast<int32_t>(number);
    } else if (key == "csv") {
        if (value.empty()) return Fail(error, "csv needs a file name");
        scenario.csvPath = value;
    } else if (key == "mouse") {
        if (!integer(0, 1)) return false;
        scenario.mouse = number != 0;
    } else if (key == "replay_loop") {
        if (!integer(0, 1)) return false;
        scenario.replayLoop = number != 0;
    } else if (key == "sample_limit") {
        if (!integer(0, kInt64Max)) return false;
        scenario.sampleLimit = static_cast<uint64_t>(number);
    } else if (key == "system_check") {
        std::vector<int32_t> codes;
        size_t begin = 0;
        while (true) {
            const size_t comma = value.find(',', begin);
            const std::string item =
                Trim(value.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
            if (!ParseInteger(item, 0, kInt32Max, &number)) {
                return Fail(
                    error, "bad value for system_check: \"" + value + "\" (expected status codes separated by commas)");
            }
            codes.push_back(static_cast<int32_t>(number));
            if (comma == std::string::npos) break;
            begin = comma + 1;
        }
        scenario.systemCheck = codes;
    } else if (key == "start_fail") {
        if (!integer(0, kInt32Max)) return false;
        scenario.startFail = static_cast<int32_t>(number);
    } else if (key == "calib_fail") {
        if (!integer(0, kInt32Max)) return false;
        scenario.calibFail = static_cast<int32_t>(number);
    } else if (key == "refuse") {
        if (!integer(-1, kInt32Max)) return false;
        scenario.refuse = static_cast<int32_t>(number);
    } else if (key == "drop_after") {
        if (!integer(0, kInt64Max)) return false;
        scenario.dropAfter = static_cast<uint64_t>(number);
    } else if (key == "stall_after") {
        if (!integer(0, kInt64Max)) return false;
        scenario.stallAfter = static_cast<uint64_t>(number);
    } else if (key == "stall_ms") {
        if (!integer(0, 3600000)) return false;
        scenario.stallMs = static_cast<int32_t>(number);
    } else if (key == "lifetime") {
        if (!integer(0, 7 * 86400)) return false;
        scenario.lifetimeSeconds = static_cast<int32_t>(number);
    } else if (key == "idle_exit") {
        if (!integer(0, 7 * 86400)) return false;
        scenario.idleExitSeconds = static_cast<int32_t>(number);
    } else if (key == "clock_offset_us") {
        // A year either way: the time stamp record's seconds stay far inside 32 bits.
        if (!integer(-kYearMicros, kYearMicros)) return false;
        scenario.clockOffsetMicros = number;
    } else if (key == "clock_drift_ppm") {
        if (!integer(-1000, 1000)) return false;
        scenario.clockDriftPpm = static_cast<int32_t>(number);
    } else {
        return Fail(error, "unknown setting \"" + key + "\"");
    }
    return true;
}

bool ParseScenarioText(const std::string& text, Scenario& scenario, std::string* error) {
    Scenario updated = scenario;
    size_t begin = 0;
    int lineNumber = 0;
    while (begin <= text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        ++lineNumber;
        const std::string line = Trim(text.substr(begin, end - begin));
        begin = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            return Fail(error, "line " + std::to_string(lineNumber) + ": expected key=value");
        }
        std::string why;
        if (!ApplyScenarioSetting(updated, line.substr(0, equals), line.substr(equals + 1), &why)) {
            return Fail(error, "line " + std::to_string(lineNumber) + ": " + why);
        }
    }
    scenario = updated;
    return true;
}

}  // namespace okulon::sim
