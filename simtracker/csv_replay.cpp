#include "simtracker/csv_replay.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>

namespace okulon::sim {
namespace {

bool ParseFloat(const std::string& field, float* out) {
    if (field.empty()) return false;
    const char* begin = field.c_str();
    char* end = nullptr;
    const double value = std::strtod(begin, &end);
    if (end != begin + field.size() || !std::isfinite(value) || std::fabs(value) > std::numeric_limits<float>::max()) {
        return false;
    }
    *out = static_cast<float>(value);
    return true;
}

bool ParseValidity(const std::string& field, int32_t* out) {
    if (field.empty() || field.size() > 10) return false;
    size_t position = field[0] == '-' ? 1 : 0;
    if (position == field.size()) return false;
    int64_t value = 0;
    for (; position < field.size(); ++position) {
        if (field[position] < '0' || field[position] > '9') return false;
        value = value * 10 + (field[position] - '0');
    }
    if (field[0] == '-') value = -value;
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) return false;
    *out = static_cast<int32_t>(value);
    return true;
}

std::string Trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) return std::string();
    const size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

}  // namespace

bool CsvReplay::Parse(const std::string& text, CsvReplay& replay, std::string* error) {
    std::vector<SimSample> samples;
    size_t begin = 0;
    int lineNumber = 0;
    bool sawContent = false;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        ++lineNumber;
        const std::string line = Trim(text.substr(begin, end - begin));
        begin = end + 1;
        if (line.empty() || line[0] == '#') continue;
        const bool firstContent = !sawContent;
        sawContent = true;
        const char lead = line[0];
        if (firstContent && !(lead == '-' || lead == '+' || lead == '.' || (lead >= '0' && lead <= '9'))) {
            continue;  // header
        }
        std::vector<std::string> fields;
        size_t fieldBegin = 0;
        while (true) {
            const size_t comma = line.find(',', fieldBegin);
            fields.push_back(
                Trim(line.substr(fieldBegin, comma == std::string::npos ? std::string::npos : comma - fieldBegin)));
            if (comma == std::string::npos) break;
            fieldBegin = comma + 1;
        }
        if (fields.size() != 8) {
            if (error != nullptr) {
                *error = "line " + std::to_string(lineNumber) + ": expected 8 fields, found " +
                         std::to_string(fields.size());
            }
            return false;
        }
        SimSample sample;
        sample.phase = GazePhase::kReplay;
        TrackerEyeBlock* eyes[2] = {&sample.first, &sample.second};
        for (int eye = 0; eye < 2; ++eye) {
            const std::string* f = &fields[static_cast<size_t>(eye) * 4];
            if (!ParseFloat(f[0], &eyes[eye]->gazeX) || !ParseFloat(f[1], &eyes[eye]->gazeY) ||
                !ParseFloat(f[2], &eyes[eye]->pupilSize) || !ParseValidity(f[3], &eyes[eye]->validity)) {
                if (error != nullptr) {
                    *error = "line " + std::to_string(lineNumber) + ": bad number";
                }
                return false;
            }
            eyes[eye]->distance = 600.0f;
        }
        samples.push_back(sample);
    }
    if (samples.empty()) {
        if (error != nullptr) *error = "no samples";
        return false;
    }
    replay.m_samples = std::move(samples);
    return true;
}

bool CsvReplay::Load(const std::string& path, CsvReplay& replay, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        if (error != nullptr) *error = "cannot open " + path;
        return false;
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::string why;
    if (!Parse(text.str(), replay, &why)) {
        if (error != nullptr) *error = path + ": " + why;
        return false;
    }
    return true;
}

}  // namespace okulon::sim
