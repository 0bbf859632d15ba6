// okulon_check: tells a researcher in plain words whether the extension can be
// used on this computer, and if not, why — registration, the tracker vendor's
// libraries, the tracker server, its sample rate and its clock.
//   okulon_check [--host NAME] [--port N] [--seconds S] [--libraries]
// Exits 0 when the component can be used, 1 when it cannot, 2 on a usage
// error, 3 when it works only with the simulator's stand-in libraries, 4 when
// it works but GetTimestamp is not on the clock of the record times.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/com_support.h"
#include "eye_tracker_host.h"
#include "host/clock_readings.h"
#include "okulon_identity.h"  // OKULON_PROG_ID
#include "host/component_registration.h"
#include "host/file_version.h"
#include "host/tracker_library_location.h"
#include "host/tracker_explain.h"
#include "host/tracker_probe.h"
#include "simtracker/time_library_extras.h"
#include "tools/command_line/command_line.h"
#include "tracker/contract/tracker_records.h"

namespace {

using okulon::ComApartment;
using okulon::ComPtr;
using okulon::EnterApartment;
using namespace okulon::host;

constexpr wchar_t kProgId[] = L"" OKULON_PROG_ID;

constexpr int kBits = static_cast<int>(sizeof(void*) * 8);  // of this program, and of the hosts it speaks for
constexpr int kExitUsable = 0;
constexpr int kExitNotUsable = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSimulatedOnly = 3;
constexpr int kExitClocksDiffer = 4;

struct Options {
    std::wstring host = L"localhost";  // the extension's own defaults
    int port = 4455;
    double seconds = 2;
    bool librariesOnly = false;
    bool help = false;
    bool version = false;
};

void PrintUsage(FILE* to) {
    std::fprintf(to,
                 "usage: okulon_check [--host NAME] [--port N] [--seconds S] [--libraries]\n"
                 "Tells whether Okulon can be used by %d-bit hosts on this computer: its registration,\n"
                 "the tracker libraries it would load, the tracker's answer, sample rate and clock.\n"
                 "  --host NAME    tracker server's host name (default localhost)\n"
                 "  --port N       tracker server's port, 1..65535 (default 4455)\n"
                 "  --seconds S    how long to receive gaze data and read the clock, 0..60 (default 2; 0: until\n"
                 "                 the first sample); 4 or more measures the clock's drift, 30 or more to a few ppm\n"
                 "  --libraries    only which tet.dll and ttime.dll Okulon.dll in this program's folder\n"
                 "                 would load, their architecture and whether they are the simulator's\n"
                 "                 stand-ins (no registration or tracker check)\n"
                 "  --help, --version\n"
                 "Options take \"--name value\" or \"--name=value\".\n"
                 "Exit code: 0 usable, 1 not usable, 2 bad arguments, 3 usable with SIMULATED data only,\n"
                 "4 usable but the CLOCKS DIFFER: GetTimestamp is not on the clock of the record times.\n",
                 kBits);
}

bool ParseOptions(int argc, wchar_t** argv, Options& options, std::string& error) {
    using okulon::cli::ValueKind;
    std::vector<okulon::cli::Argument<wchar_t>> arguments;
    const auto kindOf = [](const std::string& name, ValueKind& kind) {
        if (name == "host" || name == "port" || name == "seconds") {
            kind = ValueKind::kRequired;
            return true;
        }
        kind = ValueKind::kNone;
        return name == "libraries" || name == "help" || name == "version";
    };
    if (!okulon::cli::SplitArguments<wchar_t>(argc, argv, kindOf, arguments, error)) return false;
    for (const auto& argument : arguments) {
        const std::string shown = "--" + argument.name + " " + okulon::cli::Printable(argument.value);
        if (argument.name == "host") {
            if (argument.value.empty()) return error = "--host needs a host name", false;
            options.host = argument.value;
        } else if (argument.name == "port") {
            long long port = 0;
            if (!okulon::cli::ToInteger(argument.value, 1, 65535, port))
                return error = shown + ": expected a port number from 1 to 65535", false;
            options.port = static_cast<int>(port);
        } else if (argument.name == "seconds") {
            if (!okulon::cli::ToNumber(argument.value, 0.0, 60.0, options.seconds))
                return error = shown + ": expected seconds from 0 to 60", false;
        } else if (argument.name == "libraries") {
            options.librariesOnly = true;
        } else if (argument.name == "help") {
            options.help = true;
        } else if (argument.name == "version") {
            options.version = true;
        }
    }
    return true;
}

int64_t SystemMicroseconds() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<int64_t>(static_cast<double>(counter.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart));
}

// A drift that moves the tracker clock by a frame of a 60 Hz screen (about
// 17 ms) within an hour of session: 5 ppm is 18 ms an hour.
constexpr double kDriftThatMattersPpm = 5.0;

// One reading of the tracker clock (the component's GetTimestamp) against the
// system's performance counter: of a few tries, the one whose two
// system-clock reads lie closest together.
bool ReadClock(IEyeTracker* tracker, ClockReadings& readings) {
    int64_t shortestGap = INT64_MAX, system = 0, offset = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int64_t before = SystemMicroseconds();
        hyper trackerNow = 0;
        if (FAILED(tracker->GetTimestamp(&trackerNow))) return false;
        const int64_t after = SystemMicroseconds();
        if (after - before < shortestGap) {
            shortestGap = after - before;
            system = before + (after - before) / 2;
            offset = static_cast<int64_t>(trackerNow) - system;
        }
    }
    readings.AddReading(system, offset, (shortestGap + 1) / 2);
    return true;
}

// The time library's own figure for how well it follows the tracker clock,
// where it gives one (the simulator's stand-in does); 0 otherwise.
int64_t TimeLibraryUncertainty() {
    HMODULE ttime = GetModuleHandleW(L"ttime.dll");
    if (ttime == nullptr) return 0;
    const auto query = reinterpret_cast<PFN_TT_GetSyncUncertainty>(
        reinterpret_cast<void*>(GetProcAddress(ttime, "TT_GetSyncUncertainty")));
    int32_t microseconds = 0;
    return query != nullptr && query(&microseconds) == 0 ? microseconds : 0;
}

void PrintClock(const ClockFigures& clock, bool timeLibraryFound) {
    if (clock.readings == 0) return;
    if (!timeLibraryFound) {
        // GetTimestamp is this computer's own counter then: an offset and a
        // drift of zero would be true of it and say nothing of the tracker.
        std::printf(
            "  clock: GetTimestamp reads this computer's performance counter (no ttime.dll), not the tracker's\n"
            "  clock: its offset and drift against the tracker's clock cannot be measured\n");
        return;
    }
    std::printf("  clock offset: tracker clock - system clock = %+.3f ms +- %.3f ms (at the end of the check)\n",
                clock.offsetMicros / 1000.0, clock.offsetUncertaintyMicros / 1000.0);
    // The same figures unrounded, for programs that read this report.
    std::printf("  clock figures: offset_us=%.1f offset_uncertainty_us=%.1f span_s=%.3f", clock.offsetMicros,
                clock.offsetUncertaintyMicros, clock.spanSeconds);
    if (clock.haveDrift)
        std::printf(
            " drift_ppm=%.4f drift_standard_error_ppm=%.4f drift_degrees_of_freedom=%d drift_lag_bound_ppm=%.4f "
            "drift_interval_ppm=%.4f",
            clock.driftPpm, clock.driftStandardErrorPpm, clock.driftDegreesOfFreedom, clock.driftLagBoundPpm,
            clock.driftUncertaintyPpm);
    std::printf("\n");
    if (!clock.haveDrift) {
        std::printf("  clock drift: not measured (the check was too short; run with --seconds 30)\n");
        return;
    }
    std::printf("  clock drift: %+.1f ppm +- %.1f ppm (95 %% interval) over %.1f s (%+.0f ms an hour)\n",
                clock.driftPpm, clock.driftUncertaintyPpm, clock.spanSeconds, clock.driftPpm * 3.6);
    if (std::fabs(clock.driftPpm) - clock.driftUncertaintyPpm > kDriftThatMattersPpm) {
        std::printf(
            "  WARNING: the tracker clock drifts against this computer's by more than %.0f ppm; over a\n"
            "  session of an hour the two clocks part by %.0f ms. A host that maps tracker times to its own\n"
            "  clock once at the start is that far off by the end: read GetTimestamp at the start of every\n"
            "  trial and map that trial's record times from there (re-anchor per trial).\n",
            kDriftThatMattersPpm, std::fabs(clock.driftPpm) * 3.6);
    } else if (clock.driftUncertaintyPpm > kDriftThatMattersPpm) {
        std::printf(
            "  (the check was too short to tell a drift of %.0f ppm, which matters over an hour; run with\n"
            "  --seconds 30 or more)\n",
            kDriftThatMattersPpm);
    }
}

// How old the newest delivered record is by GetTimestamp, read while records
// arrive: a few sample intervals and the delivery's latency when both are on
// one clock, whatever libraries are loaded. Readings taken while nothing new
// arrived are left out, so a stopped stream does not look like a clock fault.
class RecordAges {
public:
    void Read(IEyeTracker* tracker, const ProbeProgress& progress) {
        if (progress.samples == 0 || progress.samples == m_samplesSeen) return;
        m_samplesSeen = progress.samples;
        hyper now = 0;
        if (FAILED(tracker->GetTimestamp(&now))) return;
        m_ages.push_back(static_cast<int64_t>(now) - progress.newestRecordMicros);
    }
    bool Empty() const { return m_ages.empty(); }
    size_t Count() const { return m_ages.size(); }
    double MedianMillis() const {
        std::vector<int64_t> sorted = m_ages;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        return static_cast<double>(sorted[sorted.size() / 2]) / 1000.0;
    }

private:
    uint64_t m_samplesSeen = 0;
    std::vector<int64_t> m_ages;
};

// Farther than this from GetTimestamp, a new record is on another clock:
// delivery and a sample interval take milliseconds, not a tenth of a second.
constexpr double kRecordAgeThatMeansAnotherClockMs = 100.0;

// Prints the record times against GetTimestamp; false when they disagree.
bool PrintRecordAges(const RecordAges& ages, bool timeLibraryUsable) {
    if (ages.Empty()) return true;
    const double age = ages.MedianMillis();
    if (std::fabs(age) <= kRecordAgeThatMeansAnotherClockMs) {
        std::printf(
            "  record times: the newest record was %.1f ms old by GetTimestamp (median of %zu readings): one clock\n",
            age, ages.Count());
        return true;
    }
    std::printf(
        "  WARNING: CLOCKS DIFFER: by GetTimestamp the newest gaze record was %+.1f ms old (median of %zu\n"
        "  readings), where it should be a few sample intervals. Record times are on the tracker's clock and\n"
        "  GetTimestamp is on %s.\n"
        "  A host that maps record times through GetTimestamp, as the user guide's Timing chapter shows,\n"
        "  is %.0f ms off.\n",
        age, ages.Count(),
        timeLibraryUsable ? "another one: the time library follows another clock"
                          : "this computer's performance counter (no ttime.dll)",
        std::fabs(age));
    return false;
}

void PrintLibrary(const char* indent, const wchar_t* name, const TrackerLibraryLocation& library) {
    if (!library.Found()) {
        std::printf("%s%ls: none would be loaded (not beside Okulon.dll, not on the DLL search path or PATH)\n", indent,
                    name);
        return;
    }
    std::printf("%s%ls: %ls (file version %ls, %s), %s\n", indent, name, library.Path().c_str(),
                library.Version().empty() ? L"unknown" : library.Version().c_str(),
                library.Bits() == 0 ? "not a Windows DLL" : (library.Bits() == 32 ? "32-bit" : "64-bit"),
                library.BesideComponent() ? "beside Okulon.dll" : "found on the DLL search path");
    if (library.Found() && !library.FitsThisProcess())
        std::printf("%s  WRONG ARCHITECTURE: %d-bit hosts cannot load it; they need the %d-bit %ls\n", indent, kBits,
                    kBits, name);
    if (library.IsSimulatorStandIn())
        std::printf(
            "%s  SIMULATED: this is Okulon's stand-in for the simulated tracker, not the tracker vendor's\n"
            "%s  library; every gaze sample through it is simulated, never recorded from an eye tracker\n",
            indent, indent);
}

bool TimeLibraryUsable(const TrackerLibraryLocation& ttime) { return ttime.Found() && ttime.FitsThisProcess(); }

bool UsesStandIns(const TrackerLibraryLocation& tet, const TrackerLibraryLocation& ttime) {
    return tet.IsSimulatorStandIn() || (ttime.Found() && ttime.IsSimulatorStandIn());
}

constexpr char kNoTimeLibraryClocks[] =
    "no usable ttime.dll would be loaded, so GetTimestamp reads this computer's performance\n"
    "counter while record times are on the tracker's clock";

// Says what a missing time library does to a host's timing, under the libraries.
void WarnOfMissingTimeLibrary(const char* indent) {
    std::printf(
        "%sCLOCKS DIFFER: without ttime.dll GetTimestamp reads this computer's performance counter, while\n"
        "%srecord times are on the tracker's clock. A host that maps record times through GetTimestamp is\n"
        "%soff by the two clocks' difference (seconds, for most trackers). Put the tracker vendor's ttime.dll\n"
        "%sbeside tet.dll.\n",
        indent, indent, indent, indent);
}

// Whether the libraries let the component work: 0 yes, 1 no (tet.dll missing
// or of the wrong architecture), 4 without a time library, 3 only with
// simulated data.
int LibraryVerdict(const TrackerLibraryLocation& tet, const TrackerLibraryLocation& ttime) {
    if (!tet.Found() || !tet.FitsThisProcess()) return kExitNotUsable;
    if (!TimeLibraryUsable(ttime)) return kExitClocksDiffer;
    if (UsesStandIns(tet, ttime)) return kExitSimulatedOnly;
    return kExitUsable;
}

void PrintSimulatedVerdict(const char* opening) {
    std::printf(
        "%s ONLY WITH SIMULATED DATA: the tracker libraries it loads are the\n"
        "simulator's stand-ins. Put the tracker vendor's tet.dll and ttime.dll in their place (and take\n"
        "the stand-ins off PATH) before recording real data.\n",
        opening);
}

// The last line of the report; reason says why it cannot be used, or for
// kExitClocksDiffer why the clocks differ.
int Verdict(int verdict, const std::string& reason, bool simulated = false) {
    switch (verdict) {
    case kExitUsable:
        std::printf("Result: Okulon can be used.\n");
        break;
    case kExitSimulatedOnly:
        PrintSimulatedVerdict("Result: Okulon works, but");
        break;
    case kExitClocksDiffer:
        std::printf(
            "Result: Okulon works, but its CLOCKS DIFFER:\n%s.\n"
            "Record times are right; what a host maps through GetTimestamp is not.\n",
            reason.c_str());
        if (simulated) PrintSimulatedVerdict("It also works");
        break;
    default:
        std::printf("Result: Okulon cannot be used: %s.\n", reason.c_str());
        break;
    }
    return verdict;
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring file(path, length);
    return file.substr(0, file.find_last_of(L"\\/") + 1);
}

// --libraries: what Okulon.dll beside this program would load, for install.cmd.
int CheckLibrariesOnly() {
    const auto tet = TrackerLibraryLocation::Find(ProgramFolder(), L"tet.dll");
    const auto ttime = TrackerLibraryLocation::Find(ProgramFolder(), L"ttime.dll");
    PrintLibrary("", L"tet.dll", tet);
    PrintLibrary("", L"ttime.dll", ttime);
    if (tet.Found() && !TimeLibraryUsable(ttime)) WarnOfMissingTimeLibrary("");
    return LibraryVerdict(tet, ttime);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "okulon_check: %s\n", error.c_str());
        std::fprintf(stderr, "Run \"%s --help\" for its options.\n", "okulon_check");
        return kExitUsage;
    }
    if (options.help) {
        PrintUsage(stdout);
        return kExitUsable;
    }
    if (options.version) {
        std::printf("okulon_check %s (%d-bit)\n", OKULON_VERSION_TEXT, kBits);
        return kExitUsable;
    }
    if (options.librariesOnly) return CheckLibrariesOnly();
    const ComApartment apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    std::printf("Okulon check (%d-bit), tracker server %ls:%d\n", kBits, options.host.c_str(), options.port);

    std::printf("Component\n");
    const ComponentRegistration registration = ComponentRegistration::Read(kProgId);
    if (!registration.HasProgId()) {
        std::printf("  registered: no, \"%ls\" is not registered for %d-bit programs (run install.cmd)\n", kProgId,
                    kBits);
        return Verdict(kExitNotUsable, "the component is not registered");
    }
    std::printf("  registered: yes, \"%ls\" is class %ls\n", kProgId, registration.ClassId().c_str());
    if (!registration.HasServerPath()) {
        // The ProgID is shared by both registry views on 64-bit Windows; the class is not.
        std::printf(
            "  file: the class names no file for %d-bit programs: Okulon is registered for the other\n"
            "  architecture only, or the registration is damaged (run install.cmd %s)\n",
            kBits, kBits == 32 ? "x86" : "x64");
        return Verdict(kExitNotUsable, "the component is not registered for these hosts");
    }
    const std::wstring componentVersion = FileVersionText(registration.ServerPath());
    std::printf("  file: %ls (file version %ls)%s\n", registration.ServerPath().c_str(),
                componentVersion.empty() ? L"unknown" : componentVersion.c_str(),
                registration.ServerFileExists() ? "" : " -- MISSING: the file was moved or deleted; run install.cmd");
    if (!registration.ServerFileExists()) return Verdict(kExitNotUsable, "the registered file does not exist");

    ComPtr<IEyeTracker> tracker;
    CLSID classId{};
    HRESULT result = CLSIDFromProgID(kProgId, &classId);
    if (SUCCEEDED(result))
        result = CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IEyeTracker, tracker.put_void());
    if (FAILED(result)) {
        std::printf("  created by ProgID: no, error 0x%08lx\n", static_cast<unsigned long>(result));
        return Verdict(kExitNotUsable, "the component cannot be created");
    }
    LONG interfaceVersion = 0;
    tracker->GetInterfaceVersion(&interfaceVersion);
    std::printf("  created by ProgID: yes (interface version %ld)\n", static_cast<long>(interfaceVersion));

    std::printf("Tracker libraries\n");
    const auto tet = TrackerLibraryLocation::Find(registration.ServerFolder(), L"tet.dll");
    const auto ttime = TrackerLibraryLocation::Find(registration.ServerFolder(), L"ttime.dll");
    PrintLibrary("  ", L"tet.dll", tet);
    PrintLibrary("  ", L"ttime.dll", ttime);
    const int libraryVerdict = LibraryVerdict(tet, ttime);
    if (libraryVerdict == kExitNotUsable) {
        std::printf(
            "  Put the tracker vendor's tet.dll and ttime.dll (%d-bit) next to Okulon.dll or in a folder on PATH.\n",
            kBits);
        return Verdict(kExitNotUsable,
                       tet.Found()
                           ? "tet.dll is of the wrong architecture, so every host sees \"Tracker not connected\""
                           : "tet.dll would not be found, so every host sees \"Tracker not connected\"");
    }
    if (!TimeLibraryUsable(ttime)) WarnOfMissingTimeLibrary("  ");

    std::printf("Tracker\n");
    // The clock is read while the probe is connected: a time library
    // follows the tracker that the process has connected to. A first reading
    // loads the component's libraries, as a host's first call does, so that
    // its time library is there to learn of the probe's connection.
    hyper unused = 0;
    tracker->GetTimestamp(&unused);
    ClockReadings clockReadings;
    RecordAges recordAges;
    const TrackerProbeResult probe =
        TrackerProbe(tet.Path()).Run(options.host, options.port, options.seconds, [&](const ProbeProgress& progress) {
            recordAges.Read(tracker.get(), progress);
            ReadClock(tracker.get(), clockReadings);
        });
    const ClockFigures clock = clockReadings.Summarise(TimeLibraryUncertainty());
    if (!probe.libraryUsable) {
        std::printf(
            "  tet.dll cannot be loaded or lacks functions the extension calls (wrong file or wrong architecture)\n");
        return Verdict(kExitNotUsable, "tet.dll is not a usable tracker library");
    }
    if (!probe.finishedInTime) {
        std::printf("  the tracker library did not finish connecting and delivering in time; stopped waiting\n");
        return Verdict(kExitNotUsable, "the tracker does not answer in time");
    }
    if (!probe.connected) {
        std::printf("  connect: failed: %s (tracker-library code %d)\n",
                    ExplainConnectFailure(probe.connectErrorCode, tet.IsSimulatorStandIn()).c_str(),
                    probe.connectErrorCode);
        std::printf(
            "  Is the tracker server running at %ls, port %d? Hosts set both with SendCommand \"host ...\" and \"port "
            "...\".\n",
            options.host.c_str(), options.port);
        return Verdict(kExitNotUsable, "the tracker does not answer");
    }
    std::printf("  connect: yes\n");
    std::printf("  system check: %s, code %d (%s)\n", probe.systemCheckCode == 0 ? "passed" : "FAILED",
                probe.systemCheckCode, ExplainTrackerCode(probe.systemCheckCode));
    if (!probe.streamed && probe.samples > 0) {
        std::printf("  gaze data: delivered %llu samples in %.2f s, then STOPPED: code %d (%s)\n",
                    static_cast<unsigned long long>(probe.samples), probe.deliverySeconds, probe.startErrorCode,
                    ExplainTrackerCode(probe.startErrorCode));
    } else if (!probe.streamed) {
        std::printf("  gaze data: the tracker refused to start delivering, code %d (%s)\n", probe.startErrorCode,
                    ExplainTrackerCode(probe.startErrorCode));
    } else {
        std::printf("  gaze data: %llu samples in %.2f s, sample rate %.1f Hz (from the tracker's time stamps)\n",
                    static_cast<unsigned long long>(probe.samples), probe.deliverySeconds, probe.SampleRate());
    }
    const bool oneClock = PrintRecordAges(recordAges, TimeLibraryUsable(ttime));
    PrintClock(clock, TimeLibraryUsable(ttime));
    if (probe.systemCheckCode == okulon::kTrackerErrorNotConnected ||
        probe.systemCheckCode == okulon::kTrackerErrorConnectionLost)
        return Verdict(kExitNotUsable, "the tracker's system check reports no connection");
    if (!probe.streamed && probe.samples > 0)
        return Verdict(kExitNotUsable,
                       "gaze data stopped arriving after " + std::to_string(probe.samples) + " samples");
    if (!probe.streamed || probe.samples == 0) return Verdict(kExitNotUsable, "no gaze data arrives from the tracker");
    const bool simulated = UsesStandIns(tet, ttime);
    if (!TimeLibraryUsable(ttime)) return Verdict(kExitClocksDiffer, kNoTimeLibraryClocks, simulated);
    if (!oneClock)
        return Verdict(kExitClocksDiffer, "record times and GetTimestamp disagree by more than a delivery can take",
                       simulated);
    return Verdict(libraryVerdict, "");
}
