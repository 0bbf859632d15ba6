// Helpers of the reliability runs: the simulated tracker in this process, a
// replay file whose every sample yields one record for any eye type, host
// calls that the runs repeat, and bounded waits.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dll_test_support.h"
#include "simtracker/sim_server.h"
#include "simulated_tracker.h"
#include "wait_until.h"

namespace okulon::reliability {

using test::StartSimulator;

using okulon::ComPtr;
using test::WaitUntil;

// A replay file in the temporary folder, removed again at the end of its scope.
// Both eyes are usable in every row, so every sample the simulator sends gives
// exactly one gaze record whatever the eye type, and one pupil record.
class ReplayFile {
public:
    explicit ReplayFile(int rows) {
        char folder[MAX_PATH] = {};
        char path[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, folder);
        GetTempFileNameA(folder, "okr", 0, path);
        m_path = path;
        if (FILE* file = std::fopen(path, "w")) {
            for (int row = 0; row < rows; ++row) {
                const double x = 0.1 + 0.8 * row / rows;
                std::fprintf(file, "%.5f,0.4,3.0,0,%.5f,0.6,3.1,0\n", x, x);
            }
            std::fclose(file);
        }
    }
    ~ReplayFile() { DeleteFileA(m_path.c_str()); }
    ReplayFile(const ReplayFile&) = delete;
    ReplayFile& operator=(const ReplayFile&) = delete;

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

inline bool AllConnectionsClosed(const sim::SimServer& server) {
    for (const auto& connection : server.Connections())
        if (connection.open) return false;
    return true;
}

inline uint64_t SamplesSentSince(const sim::SimServer& server, size_t firstConnection) {
    uint64_t sent = 0;
    const auto connections = server.Connections();
    for (size_t i = firstConnection; i < connections.size(); ++i) sent += connections[i].samplesSent;
    return sent;
}

inline HRESULT SendSetting(IEyeTracker* tracker, const std::wstring& command, LONG* result = nullptr) {
    const UniqueBstr text(SysAllocString(command.c_str()));
    LONG ignored = 0;
    const HRESULT hr = tracker->SendCommand(text.get(), result != nullptr ? result : &ignored);
    return hr;
}

inline std::wstring LastErrorText(IEyeTracker* tracker) {
    UniqueTaskMemString text;
    if (FAILED(tracker->GetLastErrorText(text.put())) || !text) return L"<none>";
    return text.get();
}

inline std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A new object through the DLL's class factory, as a host makes it; the
// factory reference is given back at once.
inline ComPtr<IEyeTracker> CreateThroughFactory(const test::OkulonDll& dll) {
    ComPtr<IEyeTracker> tracker;
    ComPtr<IClassFactory> factory;
    if (dll.GetClassObject(CLSID_CEyeTrackerImpl, IID_IClassFactory, factory.put_void()) != S_OK) return tracker;
    factory->CreateInstance(nullptr, IID_IEyeTracker, tracker.put_void());
    return tracker;
}

// Everything queued in a gaze queue, oldest first.
inline std::vector<::GazeRecord> FetchAllGaze(IEyeTracker* tracker, LONG eyeType) {
    LONG count = 0;
    if (tracker->GetGazeDataCount(&count, eyeType) != S_OK || count <= 0) return {};
    std::vector<::GazeRecord> records(static_cast<size_t>(count) + 16);
    LONG wanted = static_cast<LONG>(records.size());
    if (tracker->GetGazeData(&wanted, records.data(), eyeType) != S_OK) return {};
    records.resize(static_cast<size_t>(wanted));
    return records;
}

inline std::vector<::PupilRecord> FetchAllPupil(IEyeTracker* tracker) {
    LONG count = 0;
    if (tracker->GetPupilDataCount(&count) != S_OK || count <= 0) return {};
    std::vector<::PupilRecord> records(static_cast<size_t>(count) + 16);
    LONG wanted = static_cast<LONG>(records.size());
    if (tracker->GetPupilData(&wanted, records.data(), 0) != S_OK) return {};
    records.resize(static_cast<size_t>(wanted));
    return records;
}

// "--name=value" from the command line, or `fallback`.
inline long long NumberArgument(int argc, char** argv, const std::string& name, long long fallback) {
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind(prefix, 0) == 0) return std::stoll(argument.substr(prefix.size()));
    }
    return fallback;
}

}  // namespace okulon::reliability
