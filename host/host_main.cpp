// The host substitute's program: creates the extension object the way the
// experiment host does and runs one session with it — settings, calibration,
// then gaze, pupil and eye events polled at the display's 60 Hz for a few
// seconds. It is the main job.
//   okulon_host [--host NAME] [--port N] [--seconds S] [--csv FILE] [--svg FILE]
//               [--calibrate window|headless|no] [--dll PATH]
// Exits 0 when gaze records arrived, 1 when the session failed, 2 on bad
// arguments, 3 when the session ran but no gaze record arrived (it says why),
// 4 when gaze records arrived but the gaze stream stopped before the session
// ended (or paused for over a second with no eyes lost).
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/com_support.h"
#include "eye_tracker_host.h"
#include "host/calibration_display_window.h"
#include "host/session_report.h"
#include "host/tracker_explain.h"
#include "host/tracker_library_location.h"
#include "host/tracker_probe.h"
#include "okulon.h"
#include "okulon_identity.h"  // OKULON_PROG_ID
#include "tools/command_line/command_line.h"

namespace {

using okulon::ComApartment;
using okulon::ComPtr;
using okulon::EnterApartment;
using okulon::UniqueBstr;
using okulon::UniqueTaskMemString;
using okulon::host::SessionRecords;
using okulon::host::TrackerLibraryLocation;

constexpr int kExitGaze = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoGaze = 3;
constexpr int kExitGazeStopped = 4;
constexpr wchar_t kProgId[] = L"" OKULON_PROG_ID;

struct Options {
    std::wstring host = L"127.0.0.1";
    long long port = 4455;
    double seconds = 4;
    std::wstring csvPath;
    std::wstring svgPath;
    std::wstring recordPath;
    std::wstring calibrate = L"window";
    std::wstring dllPath;  // empty: by ProgID, as a host does
    bool help = false;
    bool version = false;
};

void PrintUsage(FILE* to) {
    std::fprintf(to,
                 "usage: okulon_host [--host NAME] [--port N] [--seconds S] [--csv FILE] [--svg FILE]\n"
                 "                   [--record FILE] [--calibrate window|headless|no] [--dll PATH]\n"
                 "Runs one session with Okulon as an experiment host does: creates it by its ProgID,\n"
                 "sends the settings, calibrates, streams gaze, pupil and eye events polled at 60 Hz.\n"
                 "  --host NAME       tracker server's host name (default 127.0.0.1)\n"
                 "  --port N          tracker server's port, 1..65535 (default 4455)\n"
                 "  --seconds S       how long to stream, 0..3600 (default 4)\n"
                 "  --csv FILE        write every record to FILE\n"
                 "  --svg FILE        draw the gaze trace to FILE\n"
                 "  --record FILE     let Okulon record every sample to FILE (a new file), with a mark\n"
                 "                    each second\n"
                 "  --calibrate MODE  window: targets in a window (default); headless: targets logged; no: none\n"
                 "  --dll PATH        create the object through the class factory of the Okulon.dll at PATH,\n"
                 "                    unregistered (no real host does this; for trying a build)\n"
                 "  --help, --version\n"
                 "Options take \"--name value\" or \"--name=value\".\n"
                 "Exit code: 0 gaze records arrived, 1 the session failed, 2 bad arguments,\n"
                 "3 the session ran but no gaze record arrived (the reason follows the report),\n"
                 "4 gaze records arrived, but the gaze stream stopped before the session ended\n"
                 "(or brought no records for over 1 s with no \"both eyes lost\" event).\n");
}

bool ParseOptions(int argc, wchar_t** argv, Options& options, std::string& error) {
    using okulon::cli::ValueKind;
    std::vector<okulon::cli::Argument<wchar_t>> arguments;
    const auto kindOf = [](const std::string& name, ValueKind& kind) {
        kind = (name == "help" || name == "version") ? ValueKind::kNone : ValueKind::kRequired;
        for (const char* known :
             {"host", "port", "seconds", "csv", "svg", "record", "calibrate", "dll", "help", "version"})
            if (name == known) return true;
        return false;
    };
    if (!okulon::cli::SplitArguments<wchar_t>(argc, argv, kindOf, arguments, error)) return false;
    for (const auto& argument : arguments) {
        const std::string shown = "--" + argument.name + " " + okulon::cli::Printable(argument.value);
        if (argument.hasValue && argument.value.empty()) return error = "--" + argument.name + " needs a value", false;
        if (argument.name == "host") {
            options.host = argument.value;
        } else if (argument.name == "port") {
            if (!okulon::cli::ToInteger(argument.value, 1, 65535, options.port))
                return error = shown + ": expected a port number from 1 to 65535", false;
        } else if (argument.name == "seconds") {
            if (!okulon::cli::ToNumber(argument.value, 0.0, 3600.0, options.seconds))
                return error = shown + ": expected seconds from 0 to 3600", false;
        } else if (argument.name == "csv") {
            options.csvPath = argument.value;
        } else if (argument.name == "svg") {
            options.svgPath = argument.value;
        } else if (argument.name == "record") {
            options.recordPath = argument.value;
        } else if (argument.name == "calibrate") {
            if (argument.value != L"window" && argument.value != L"headless" && argument.value != L"no")
                return error = shown + ": expected window, headless or no", false;
            options.calibrate = argument.value;
        } else if (argument.name == "dll") {
            options.dllPath = argument.value;
        } else if (argument.name == "help") {
            options.help = true;
        } else if (argument.name == "version") {
            options.version = true;
        }
    }
    return true;
}

std::wstring FolderOf(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/") + 1); }

std::wstring ProgramPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

// The host's type library describes IEyeTracker for late-bound callers; the
// package keeps it one folder above the programs. Loaded to show it is
// sound, never registered: this program is no installer and leaves no keys.
void LoadHostLibrary() {
    const std::wstring folder = FolderOf(ProgramPath());
    for (const std::wstring& path :
         {folder + L"EyeTrackerLib.tlb", FolderOf(folder.substr(0, folder.size() - 1)) + L"EyeTrackerLib.tlb"}) {
        if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        ComPtr<ITypeLib> library;
        const HRESULT result = LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.put());
        std::printf("host type library: %ls: %s\n", path.c_str(),
                    SUCCEEDED(result) ? "loaded (not registered)" : "cannot be loaded");
        return;
    }
    std::printf(
        "host type library: EyeTrackerLib.tlb is neither beside the program nor one folder up "
        "(only late-bound callers need it)\n");
}

// As a host does: by ProgID. With --dll, through the class factory of the
// DLL at that path, said plainly, since no host works that way.
HRESULT CreateTracker(ComPtr<IEyeTracker>& tracker, const std::wstring& dllPath) {
    if (dllPath.empty()) {
        CLSID clsid;
        HRESULT result = CLSIDFromProgID(kProgId, &clsid);
        if (FAILED(result)) {
            std::printf(
                "created through CoCreateInstance(\"%ls\"): 0x%08lx, the ProgID is not registered for %d-bit "
                "programs (run install.cmd, or okulon_check to see why)\n",
                kProgId, result, static_cast<int>(sizeof(void*) * 8));
            return result;
        }
        result = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IEyeTracker, tracker.put_void());
        std::printf("created through CoCreateInstance(\"%ls\"): 0x%08lx\n", kProgId, result);
        if (FAILED(result))
            std::printf(
                "  the registered component cannot be created; okulon_check tells why "
                "(a moved or deleted Okulon.dll, or one of the wrong architecture)\n");
        return result;
    }
    std::printf("using the Okulon.dll at %ls by path (--dll), not the registered one\n", dllPath.c_str());
    HMODULE dll = LoadLibraryW(dllPath.c_str());
    if (dll == nullptr) {
        const HRESULT result = HRESULT_FROM_WIN32(GetLastError());
        std::printf("  it cannot be loaded: 0x%08lx\n", result);
        return result;
    }
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto getClassObject =
        reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        std::printf("  it exports no DllGetClassObject: not a COM component\n");
        return E_NOINTERFACE;
    }
    ComPtr<IClassFactory> factory;
    HRESULT result = getClassObject(CLSID_CEyeTrackerImpl, IID_IClassFactory, factory.put_void());
    if (SUCCEEDED(result)) result = factory->CreateInstance(nullptr, IID_IEyeTracker, tracker.put_void());
    std::printf("created through DllGetClassObject and IClassFactory::CreateInstance: 0x%08lx\n", result);
    return result;
}

// The folder of the DLL that implements the object; empty when unknown.
std::wstring ComponentFolder(IEyeTracker* tracker) {
    HMODULE component = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(*reinterpret_cast<void**>(tracker)), &component))
        return {};
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(component, path, MAX_PATH);
    return FolderOf(std::wstring(path, length));
}

// The tracker libraries that the loaded component will use, found as it
// finds them; what they mean for the data is said before anything else.
void WarnOfSimulatedData(const TrackerLibraryLocation& tet, const TrackerLibraryLocation& ttime) {
    if (tet.IsSimulatorStandIn())
        std::printf(
            "SIMULATED DATA: the tracker library %ls is Okulon's stand-in for the simulated tracker;\n"
            "every gaze sample of this session is simulated, not recorded from an eye tracker.\n",
            tet.Path().c_str());
    if (!ttime.Found())
        std::printf(
            "CLOCKS DIFFER: no ttime.dll would be loaded, so GetTimestamp reads this computer's performance\n"
            "counter while record times are on the tracker's clock. A host that maps record times to its own\n"
            "clock through GetTimestamp is off by whatever lies between the two clocks (seconds, or more).\n");
}

std::wstring LastError(IEyeTracker* tracker) {
    UniqueTaskMemString text;
    std::wstring copy;
    if (SUCCEEDED(tracker->GetLastErrorText(text.put())) && text) copy = text.get();
    return copy;
}

HRESULT Command(IEyeTracker* tracker, const std::wstring& command) {
    const UniqueBstr text(SysAllocString(command.c_str()));
    LONG result = -1;
    const HRESULT hr = tracker->SendCommand(text.get(), &result);
    std::printf("SendCommand(\"%ls\"): 0x%08lx, result %ld\n", command.c_str(), hr, result);
    return hr;
}

// Fetches everything waiting in one stream, as a display loop does each frame.
template <class Record, class CountFn, class FetchFn>
void Drain(std::vector<Record>& into, CountFn count, FetchFn fetch) {
    LONG waiting = 0;
    if (FAILED(count(&waiting)) || waiting <= 0) return;
    const size_t kept = into.size();
    into.resize(kept + static_cast<size_t>(waiting));
    LONG delivered = waiting;
    if (FAILED(fetch(&delivered, into.data() + kept)) || delivered < 0) delivered = 0;
    into.resize(kept + static_cast<size_t>(std::min(delivered, waiting)));
}

void PollFrame(IEyeTracker* tracker, SessionRecords& records) {
    Drain(
        records.gaze, [&](LONG* n) { return tracker->GetGazeDataCount(n, 0); },
        [&](LONG* n, GazeRecord* r) { return tracker->GetGazeData(n, r, 0); });
    Drain(
        records.pupil, [&](LONG* n) { return tracker->GetPupilDataCount(n); },
        [&](LONG* n, PupilRecord* r) { return tracker->GetPupilData(n, r, 0); });
    Drain(
        records.eyeEvents, [&](LONG* n) { return tracker->GetEyeEventCount(n); },
        [&](LONG* n, EyeEventRecord* r) { return tracker->GetEyeEvents(n, r); });
}

// The five-point calibration, with targets drawn in a window of the host's
// (or logged when there is no display).
void Calibrate(IEyeTracker* tracker, bool headless, int width, int height) {
    using okulon::host::WindowDisplay;
    auto display = ComPtr<WindowDisplay>::adopt(WindowDisplay::Create(
        headless ? WindowDisplay::Mode::kHeadless : WindowDisplay::Mode::kWindowIfPossible, width, height));
    std::printf("calibrating (%s)...\n", display->HasWindow() ? "targets in a window" : "headless, targets logged");
    std::fflush(stdout);
    display->AddRef();  // the reference a successful Calibrate consumes
    const HRESULT result = tracker->Calibrate(0, display.get(), 0, 0, 0, 0, 0, 0);
    if (result != S_OK) display->Release();
    if (result == S_OK) {
        std::printf("calibration: done, S_OK\n");
    } else {
        std::printf("calibration: 0x%08lx \"%ls\"\n", result, LastError(tracker).c_str());
    }
    if (display->HasWindow()) display->PumpMessages(300);
}

// Record times and GetTimestamp against this computer's performance counter:
// the first two share the tracker's clock, which the third need not share.
// The newest record is as old as the time since it arrived (a blink or a
// stopped stream makes that long), plus the delivery's latency; what lies
// beyond is a difference between the record clock and GetTimestamp's.
void PrintClocks(IEyeTracker* tracker, const okulon::host::SessionRecords& records, double secondsSinceLastGaze,
                 const TrackerLibraryLocation& ttime) {
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&before);
    hyper trackerNow = 0;
    tracker->GetTimestamp(&trackerNow);
    QueryPerformanceCounter(&after);
    const double pcMicros =
        static_cast<double>(before.QuadPart + after.QuadPart) / 2 * 1e6 / static_cast<double>(frequency.QuadPart);
    const double callMicros =
        static_cast<double>(after.QuadPart - before.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
    std::printf(
        "clocks: GetTimestamp %lld us, performance counter %.0f us: tracker - PC = %+.6f s (the call took %.3f ms)\n",
        static_cast<long long>(trackerNow), pcMicros, (static_cast<double>(trackerNow) - pcMicros) / 1e6,
        callMicros / 1000.0);
    if (!records.gaze.empty()) {
        const int64_t last = records.gaze.back().time;
        const double beforeMs = static_cast<double>(trackerNow - last) / 1000.0;
        const double arrivedMs = secondsSinceLastGaze * 1000.0;
        std::printf("clocks: last gaze record at %lld us, %.1f ms before GetTimestamp; it arrived %.1f ms ago\n",
                    static_cast<long long>(last), beforeMs, arrivedMs);
        const double apartMs = beforeMs - arrivedMs;
        if (std::fabs(apartMs) > 100.0) {
            std::printf(
                "WARNING: record times and GetTimestamp are %.1f ms apart (record clock %s): record times are on\n"
                "the tracker's clock, while GetTimestamp reads %s.\n",
                std::fabs(apartMs), apartMs > 0 ? "behind" : "ahead",
                ttime.Found() ? "the tracker's clock as ttime.dll follows it"
                              : "this computer's performance counter (no ttime.dll)");
        }
    }
}

// Seconds on this computer's performance counter: the host's own clock.
double HostSeconds() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// No gaze record at all: what the component said, then a connection of this
// program's own through the component's tet.dll, as the check tool makes it,
// until its first sample.
void ExplainNoGaze(const std::wstring& componentError, const TrackerLibraryLocation& tet, const Options& options) {
    using namespace okulon::host;
    std::printf("why no gaze record arrived:\n");
    if (!componentError.empty()) std::printf("  the component's last error: \"%ls\"\n", componentError.c_str());
    if (!tet.Found()) {
        std::printf(
            "  tet.dll would not be found (not beside Okulon.dll, not on the DLL search path or PATH), so the\n"
            "  component cannot reach a tracker: put the tracker vendor's tet.dll and ttime.dll next to Okulon.dll\n");
        return;
    }
    const TrackerProbeResult probe =
        TrackerProbe(tet.Path()).Run(options.host, static_cast<int32_t>(options.port), 0, nullptr);
    if (!probe.libraryUsable) {
        std::printf("  %ls cannot be loaded or lacks functions the extension calls (wrong file or architecture)\n",
                    tet.Path().c_str());
    } else if (!probe.finishedInTime) {
        std::printf("  through %ls the tracker did not finish connecting and delivering in time\n", tet.Path().c_str());
    } else if (!probe.connected) {
        std::printf("  connect through %ls: failed: %s (tracker-library code %d)\n", tet.Path().c_str(),
                    ExplainConnectFailure(probe.connectErrorCode, tet.IsSimulatorStandIn()).c_str(),
                    probe.connectErrorCode);
        std::printf("  Is the tracker server running at %ls, port %lld? Set both with --host and --port.\n",
                    options.host.c_str(), options.port);
    } else if (probe.systemCheckCode != 0) {
        std::printf("  connect: yes; system check: FAILED, code %d (%s)\n", probe.systemCheckCode,
                    ExplainTrackerCode(probe.systemCheckCode));
    } else if (!probe.streamed) {
        std::printf("  connect: yes; the tracker refused to start delivering, code %d (%s)\n", probe.startErrorCode,
                    ExplainTrackerCode(probe.startErrorCode));
    } else {
        std::printf(
            "  connect: yes, system check passed, and the tracker delivers to a connection of its own: the\n"
            "  participant's eyes were not tracked (gaze needs both eyes), the session was too short for a\n"
            "  record (--seconds), or a call above failed\n");
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "okulon_host: %s\n", error.c_str());
        std::fprintf(stderr, "Run \"%s --help\" for its options.\n", "okulon_host");
        return kExitUsage;
    }
    if (options.help) {
        PrintUsage(stdout);
        return kExitGaze;
    }
    if (options.version) {
        std::printf("okulon_host %s (%d-bit)\n", OKULON_VERSION_TEXT, static_cast<int>(sizeof(void*) * 8));
        return kExitGaze;
    }
    const ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    if (!apartment) return kExitFailed;
    LoadHostLibrary();

    ComPtr<IEyeTracker> tracker;
    if (FAILED(CreateTracker(tracker, options.dllPath))) {
        std::fprintf(stderr, "okulon_host: no extension object; the session cannot run\n");
        return kExitFailed;
    }
    const std::wstring componentFolder = ComponentFolder(tracker.get());
    const auto tet = TrackerLibraryLocation::Find(componentFolder, L"tet.dll");
    const auto ttime = TrackerLibraryLocation::Find(componentFolder, L"ttime.dll");
    WarnOfSimulatedData(tet, ttime);
    LONG version = 0;
    tracker->GetInterfaceVersion(&version);
    std::printf("interface version: %ld\n", version);
    hyper now = 0;
    tracker->GetTimestamp(&now);
    std::printf("tracker clock: %lld us (GetTimestamp before any connection to the tracker)\n",
                static_cast<long long>(now));
    const HRESULT trigger = tracker->SendTrigger(1);
    const HRESULT string = tracker->SendString(0);
    const std::wstring errorBeforeSession = LastError(tracker.get());
    std::printf("SendTrigger: 0x%08lx, SendString: 0x%08lx, last error \"%ls\"\n", trigger, string,
                errorBeforeSession.c_str());

    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    Command(tracker.get(), L"host " + options.host);
    Command(tracker.get(), L"port " + std::to_wstring(options.port));
    Command(tracker.get(), L"width " + std::to_wstring(width));
    Command(tracker.get(), L"height " + std::to_wstring(height));

    if (options.calibrate != L"no") Calibrate(tracker.get(), options.calibrate == L"headless", width, height);

    if (!options.recordPath.empty() && FAILED(Command(tracker.get(), L"record " + options.recordPath))) {
        std::fprintf(stderr, "okulon_host: %ls\n", LastError(tracker.get()).c_str());
        return kExitFailed;
    }
    tracker->StartGazeData(VARIANT_TRUE, 0);
    tracker->StartPupilData(VARIANT_TRUE, 0);
    tracker->StartEyeEvents();
    HRESULT result = tracker->StartTracking();
    std::printf("StartTracking: 0x%08lx\n", result);
    if (FAILED(result)) std::printf("  \"%ls\"\n", LastError(tracker.get()).c_str());

    SessionRecords records;
    const DWORD frameMs = 1000 / 60;
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG end = start + static_cast<ULONGLONG>(options.seconds * 1000);
    ULONGLONG marked = 0;
    const double pollStart = HostSeconds();
    while (GetTickCount64() < end) {
        Sleep(frameMs);
        const size_t gazeBefore = records.gaze.size();
        PollFrame(tracker.get(), records);
        if (records.gaze.size() > gazeBefore) records.lastGazeArrivalSeconds = HostSeconds() - pollStart;
        // A mark a second, as an experiment marks its trials.
        const ULONGLONG second = (GetTickCount64() - start) / 1000;
        if (!options.recordPath.empty() && second > marked) {
            marked = second;
            Command(tracker.get(), L"mark second " + std::to_wstring(second));
        }
    }
    records.pollSeconds = HostSeconds() - pollStart;
    PrintClocks(tracker.get(), records, records.pollSeconds - records.lastGazeArrivalSeconds, ttime);
    result = tracker->StopTracking();
    std::printf("StopTracking: 0x%08lx\n", result);
    if (!options.recordPath.empty() && FAILED(Command(tracker.get(), L"record off")))
        std::printf("  \"%ls\"\n", LastError(tracker.get()).c_str());
    PollFrame(tracker.get(), records);
    tracker->StopEyeEvents();
    tracker->StopPupilData(0);
    tracker->StopGazeData(0);

    const okulon::host::GazeContinuity continuity = okulon::host::AssessGaze(records);
    okulon::host::PrintReport(stdout, records, continuity);
    if (!options.csvPath.empty())
        std::printf("records written to %ls: %s\n", options.csvPath.c_str(),
                    okulon::host::WriteCsv(options.csvPath, records) ? "ok" : "FAILED");
    if (!options.svgPath.empty())
        std::printf("gaze trace drawn to %ls: %s\n", options.svgPath.c_str(),
                    okulon::host::WriteSvg(options.svgPath, records, width, height) ? "ok" : "FAILED");
    if (records.gaze.empty()) {
        const std::wstring error = LastError(tracker.get());
        ExplainNoGaze(error != errorBeforeSession ? error : std::wstring(), tet, options);
    }
    tracker.reset();
    if (records.gaze.empty()) return kExitNoGaze;
    return continuity.Stopped() ? kExitGazeStopped : kExitGaze;
}
