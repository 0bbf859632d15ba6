// The host substitute's program: creates the extension object the way the
// experiment host does and runs one session with it — settings, calibration,
// then gaze, pupil and eye events polled at the display's 60 Hz for a few
// seconds. It is the main job.
//   okulon_host [--port N] [--host NAME] [--seconds S] [--csv FILE] [--svg FILE]
//               [--calibrate window|headless|no] [--create progid|factory]
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "eye_tracker_host.h"
#include "host/calibration_display_window.h"
#include "host/session_report.h"
#include "okulon.h"
#include "server/com_support.h"

namespace {

using okulon::ComPtr;
using okulon::ComApartment;
using okulon::EnterApartment;
using okulon::UniqueBstr;
using okulon::UniqueTaskMemString;
using okulon::host::SessionRecords;

struct Options {
    std::wstring host = L"127.0.0.1";
    std::wstring port = L"4455";
    double seconds = 4;
    std::wstring csvPath;
    std::wstring svgPath;
    std::wstring calibrate = L"window";
    bool byProgId = true;  // else straight through the class factory of the DLL beside the program
};

Options ParseOptions(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring key = argv[i], value = argv[i + 1];
        if (key == L"--port") options.port = value;
        else if (key == L"--host") options.host = value;
        else if (key == L"--seconds") options.seconds = _wtof(value.c_str());
        else if (key == L"--csv") options.csvPath = value;
        else if (key == L"--svg") options.svgPath = value;
        else if (key == L"--calibrate") options.calibrate = value;
        else if (key == L"--create") options.byProgId = value != L"factory";
        else std::fwprintf(stderr, L"okulon_host: unknown option %ls\n", key.c_str());
    }
    return options;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

// The host's installer registers its type library; late-bound callers need it.
void RegisterHostLibrary() {
    const std::wstring path = ProgramFolder() + L"EyeTrackerLib.tlb";
    ComPtr<ITypeLib> library;
    HRESULT result = LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, library.put());
    std::printf("host type library registered: 0x%08lx\n", result);
}

// As a host does: by ProgID when the component is registered, otherwise
// through the DLL's class factory, loaded by path.
HRESULT CreateTracker(ComPtr<IEyeTracker>& tracker, bool byProgId) {
    CLSID clsid;
    if (byProgId && SUCCEEDED(CLSIDFromProgID(L"Okulon.EyeTrackerImpl", &clsid))) {
        HRESULT result = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IEyeTracker, tracker.put_void());
        std::printf("created through CoCreateInstance(\"Okulon.EyeTrackerImpl\"): 0x%08lx\n", result);
        if (SUCCEEDED(result)) return result;
    }
    HMODULE dll = LoadLibraryW((ProgramFolder() + L"Okulon.dll").c_str());
    if (dll == nullptr) return HRESULT_FROM_WIN32(GetLastError());
    using GetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
    if (getClassObject == nullptr) return E_NOINTERFACE;
    ComPtr<IClassFactory> factory;
    HRESULT result = getClassObject(CLSID_CEyeTrackerImpl, IID_IClassFactory, factory.put_void());
    if (SUCCEEDED(result)) result = factory->CreateInstance(nullptr, IID_IEyeTracker, tracker.put_void());
    std::printf("created through DllGetClassObject and IClassFactory::CreateInstance: 0x%08lx\n", result);
    return result;
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
template <class HostRecord, class Record, class CountFn, class FetchFn>
void Drain(std::vector<Record>& into, CountFn count, FetchFn fetch) {
    LONG waiting = 0;
    if (FAILED(count(&waiting)) || waiting <= 0) return;
    std::vector<HostRecord> buffer(waiting);
    LONG delivered = waiting;
    if (FAILED(fetch(&delivered, buffer.data()))) return;
    const auto* records = reinterpret_cast<const Record*>(buffer.data());
    into.insert(into.end(), records, records + delivered);
}

void PollFrame(IEyeTracker* tracker, SessionRecords& records) {
    Drain<GazeRecord>(records.gaze, [&](LONG* n) { return tracker->GetGazeDataCount(n, 0); },
                      [&](LONG* n, GazeRecord* r) { return tracker->GetGazeData(n, r, 0); });
    Drain<PupilRecord>(records.pupil, [&](LONG* n) { return tracker->GetPupilDataCount(n); },
                       [&](LONG* n, PupilRecord* r) { return tracker->GetPupilData(n, r, 0); });
    Drain<EyeEventRecord>(records.eyeEvents, [&](LONG* n) { return tracker->GetEyeEventCount(n); },
                          [&](LONG* n, EyeEventRecord* r) { return tracker->GetEyeEvents(n, r); });
}

// The five-point calibration, with targets drawn in a window of the host's
// (or logged when there is no display).
void Calibrate(IEyeTracker* tracker, bool headless, int width, int height) {
    using okulon::host::WindowDisplay;
    auto display = ComPtr<WindowDisplay>::Attach(WindowDisplay::Create(
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

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const Options options = ParseOptions(argc, argv);
    const ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    if (!apartment) return 1;
    RegisterHostLibrary();

    ComPtr<IEyeTracker> tracker;
    if (FAILED(CreateTracker(tracker, options.byProgId))) {
        std::fprintf(stderr, "okulon_host: no extension object\n");
        return 1;
    }
    LONG version = 0;
    tracker->GetInterfaceVersion(&version);
    std::printf("interface version: %ld\n", version);
    hyper now = 0;
    tracker->GetTimestamp(&now);
    std::printf("tracker clock: %lld us\n", static_cast<long long>(now));
    const HRESULT trigger = tracker->SendTrigger(1);
    const HRESULT string = tracker->SendString(0);
    std::printf("SendTrigger: 0x%08lx, SendString: 0x%08lx, last error \"%ls\"\n", trigger, string,
                LastError(tracker.get()).c_str());

    const int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    Command(tracker.get(), L"host " + options.host);
    Command(tracker.get(), L"port " + options.port);
    Command(tracker.get(), L"width " + std::to_wstring(width));
    Command(tracker.get(), L"height " + std::to_wstring(height));

    if (options.calibrate != L"no") Calibrate(tracker.get(), options.calibrate == L"headless", width, height);

    tracker->StartGazeData(VARIANT_TRUE, 0);
    tracker->StartPupilData(VARIANT_TRUE, 0);
    tracker->StartEyeEvents();
    HRESULT result = tracker->StartTracking();
    std::printf("StartTracking: 0x%08lx\n", result);
    if (FAILED(result)) std::printf("  \"%ls\"\n", LastError(tracker.get()).c_str());

    SessionRecords records;
    const DWORD frameMs = 1000 / 60;
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(options.seconds * 1000);
    while (GetTickCount64() < end) {
        Sleep(frameMs);
        PollFrame(tracker.get(), records);
    }
    result = tracker->StopTracking();
    std::printf("StopTracking: 0x%08lx\n", result);
    PollFrame(tracker.get(), records);
    tracker->StopEyeEvents();
    tracker->StopPupilData(0);
    tracker->StopGazeData(0);

    okulon::host::PrintReport(stdout, records);
    if (!options.csvPath.empty())
        std::printf("records written to %ls: %s\n", options.csvPath.c_str(),
                    okulon::host::WriteCsv(options.csvPath, records) ? "ok" : "FAILED");
    if (!options.svgPath.empty())
        std::printf("gaze trace drawn to %ls: %s\n", options.svgPath.c_str(),
                    okulon::host::WriteSvg(options.svgPath, records, width, height) ? "ok" : "FAILED");
    tracker.reset();
    return records.gaze.empty() ? 2 : 0;
}
