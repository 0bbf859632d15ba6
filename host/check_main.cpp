// okulon_check: tells a researcher in plain words whether the extension can be
// used on this computer, and if not, why — registration, the tracker vendor's
// libraries, the tracker server, its sample rate and its clock.
//   okulon_check [--host NAME] [--port N] [--seconds S]
// Exits 0 when the component can be used, 1 when it cannot, 2 on a usage error.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "eye_tracker_host.h"
#include "host/component_registration.h"
#include "host/file_version.h"
#include "host/tracker_library_location.h"
#include "host/tracker_probe.h"
#include "server/com_support.h"
#include "tracker/tracker_records.h"

namespace {

using okulon::ComPtr;
using okulon::ComApartment;
using okulon::EnterApartment;
using namespace okulon::host;

constexpr wchar_t kProgId[] = L"Okulon.EyeTrackerImpl";

struct Options {
    std::wstring host = L"localhost";  // the extension's own defaults
    int port = 4455;
    double seconds = 2;
};

bool ParseOptions(int argc, wchar_t** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring key = argv[i];
        if (key == L"--help" || key == L"-h" || i + 1 >= argc) return false;
        const std::wstring value = argv[++i];
        if (key == L"--host") {
            options.host = value;
        } else if (key == L"--port") {
            options.port = _wtoi(value.c_str());
        } else if (key == L"--seconds") {
            options.seconds = _wtof(value.c_str());
            if (options.seconds <= 0 || options.seconds > 60) return false;
        } else {
            return false;
        }
    }
    return true;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? size - 1 : 0, '\0');
    if (size > 1) WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    return narrow;
}

// What a tracker-library code means to the extension.
const char* ExplainTrackerCode(int32_t code) {
    switch (code) {
    case 0: return "the tracker is ready";
    case okulon::kTrackerErrorNotConnected:
        return "not connected: the tracker server does not answer; hosts see \"Tracker not connected\"";
    case okulon::kTrackerErrorConnectionLost:
        return "connection lost: the tracker server went away; hosts see \"Tracker not connected\"";
    case okulon::kTrackerErrorCalibrationFailed: return "calibration failed";
    case okulon::kTrackerErrorStreamingOff:
        return "streaming is switched off at the tracker server: StartTracking succeeds but no gaze data arrives";
    default: return "a code of the tracker library that has no special meaning to Okulon (see the tracker's manual)";
    }
}

int64_t SystemMicroseconds() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<int64_t>(static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart));
}

// Tracker clock (the component's GetTimestamp) minus the system's
// performance-counter clock, in microseconds: of a few readings taken between
// two system-clock readings, the one with the shortest gap.
bool ClockOffset(IEyeTracker* tracker, int64_t& offset) {
    int64_t shortestGap = INT64_MAX;
    for (int reading = 0; reading < 5; ++reading) {
        const int64_t before = SystemMicroseconds();
        hyper trackerNow = 0;
        if (FAILED(tracker->GetTimestamp(&trackerNow))) return false;
        const int64_t after = SystemMicroseconds();
        if (after - before < shortestGap) {
            shortestGap = after - before;
            offset = static_cast<int64_t>(trackerNow) - (before + after) / 2;
        }
    }
    return true;
}

void PrintLibrary(const wchar_t* name, const TrackerLibraryLocation& library) {
    if (!library.Found()) {
        std::printf("  %ls: none would be loaded (not beside Okulon.dll, not on the DLL search path or PATH)\n", name);
        return;
    }
    std::printf("  %ls: %ls (file version %ls), %s\n", name, library.Path().c_str(),
                library.Version().empty() ? L"unknown" : library.Version().c_str(),
                library.BesideComponent() ? "beside Okulon.dll" : "found on the DLL search path");
}

int Verdict(bool usable, const char* reason) {
    if (usable) {
        std::printf("Result: Okulon can be used.\n");
        return 0;
    }
    std::printf("Result: Okulon cannot be used: %s.\n", reason);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: okulon_check [--host NAME] [--port N] [--seconds S (0..60, default 2)]\n");
        return 2;
    }
    const ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    std::printf("Okulon check (%d-bit), tracker server %ls:%d\n", static_cast<int>(sizeof(void*) * 8),
                options.host.c_str(), options.port);

    std::printf("Component\n");
    const ComponentRegistration registration = ComponentRegistration::Read(kProgId);
    if (!registration.HasProgId()) {
        std::printf("  registered: no, \"%ls\" is not registered for %d-bit programs (run install.cmd)\n", kProgId,
                    static_cast<int>(sizeof(void*) * 8));
        return Verdict(false, "the component is not registered");
    }
    std::printf("  registered: yes, \"%ls\" is class %ls\n", kProgId, registration.ClassId().c_str());
    if (!registration.HasServerPath()) {
        std::printf("  file: the class names no file (the registration is damaged; run install.cmd again)\n");
        return Verdict(false, "the registration names no file");
    }
    const std::wstring componentVersion = FileVersionText(registration.ServerPath());
    std::printf("  file: %ls (file version %ls)%s\n", registration.ServerPath().c_str(),
                componentVersion.empty() ? L"unknown" : componentVersion.c_str(),
                registration.ServerFileExists() ? "" : " -- MISSING: the file was moved or deleted; run install.cmd");
    if (!registration.ServerFileExists()) return Verdict(false, "the registered file does not exist");

    ComPtr<IEyeTracker> tracker;
    CLSID classId{};
    HRESULT result = CLSIDFromProgID(kProgId, &classId);
    if (SUCCEEDED(result))
        result = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IEyeTracker, tracker.put_void());
    if (FAILED(result)) {
        std::printf("  created by ProgID: no, error 0x%08lx\n", static_cast<unsigned long>(result));
        return Verdict(false, "the component cannot be created");
    }
    LONG interfaceVersion = 0;
    tracker->GetInterfaceVersion(&interfaceVersion);
    std::printf("  created by ProgID: yes (interface version %ld)\n", static_cast<long>(interfaceVersion));

    std::printf("Tracker libraries\n");
    const auto tet = TrackerLibraryLocation::Find(registration.ServerFolder(), L"tet.dll");
    const auto ttime = TrackerLibraryLocation::Find(registration.ServerFolder(), L"ttime.dll");
    PrintLibrary(L"tet.dll", tet);
    PrintLibrary(L"ttime.dll", ttime);
    if (!tet.Found()) {
        std::printf("  Put the tracker vendor's tet.dll and ttime.dll (%d-bit) next to Okulon.dll or in a folder on PATH.\n",
                    static_cast<int>(sizeof(void*) * 8));
        return Verdict(false, "tet.dll would not be found, so every host sees \"Tracker not connected\"");
    }
    if (!ttime.Found()) std::printf("  Without ttime.dll time stamps come from the system's performance counter.\n");

    std::printf("Tracker\n");
    int64_t offsetBefore = 0;
    const bool haveOffsetBefore = ClockOffset(tracker.get(), offsetBefore);
    const TrackerProbeResult probe = TrackerProbe(tet.Path()).Run(Narrow(options.host), options.port, options.seconds);
    if (!probe.libraryUsable) {
        std::printf("  tet.dll cannot be loaded or lacks functions the extension calls (wrong file or wrong architecture)\n");
        return Verdict(false, "tet.dll is not a usable tracker library");
    }
    if (!probe.finishedInTime) {
        std::printf("  the tracker library did not finish connecting and delivering in time; stopped waiting\n");
        return Verdict(false, "the tracker does not answer in time");
    }
    if (!probe.connected) {
        std::printf("  connect: failed, code %d (%s)\n", probe.connectErrorCode, ExplainTrackerCode(probe.connectErrorCode));
        std::printf("  Is the tracker server running at %ls, port %d? Hosts set both with SendCommand \"host ...\" and \"port ...\".\n",
                    options.host.c_str(), options.port);
        return Verdict(false, "the tracker does not answer");
    }
    std::printf("  connect: yes\n");
    std::printf("  system check: %s, code %d (%s)\n", probe.systemCheckCode == 0 ? "passed" : "FAILED",
                probe.systemCheckCode, ExplainTrackerCode(probe.systemCheckCode));
    if (!probe.streamed) {
        std::printf("  gaze data: the tracker refused to start delivering, code %d (%s)\n", probe.startErrorCode,
                    ExplainTrackerCode(probe.startErrorCode));
    } else {
        std::printf("  gaze data: %llu samples in %.2f s, sample rate %.1f Hz (from the tracker's time stamps)\n",
                    static_cast<unsigned long long>(probe.samples), probe.deliverySeconds, probe.SampleRate());
    }
    int64_t offsetAfter = 0;
    if (haveOffsetBefore && ClockOffset(tracker.get(), offsetAfter)) {
        std::printf("  clock offset: tracker clock - system clock = %+.3f ms (drift %+.3f ms over the check)%s\n",
                    static_cast<double>(offsetAfter) / 1000.0, static_cast<double>(offsetAfter - offsetBefore) / 1000.0,
                    ttime.Found() ? "" : "; no ttime.dll: both are the performance counter");
    }
    if (probe.systemCheckCode == okulon::kTrackerErrorNotConnected ||
        probe.systemCheckCode == okulon::kTrackerErrorConnectionLost)
        return Verdict(false, "the tracker's system check reports no connection");
    if (!probe.streamed || probe.samples == 0) return Verdict(false, "no gaze data arrives from the tracker");
    return Verdict(true, "");
}
