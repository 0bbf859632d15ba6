// simtracker: the simulated tracker server as a program, for running the
// extension against by hand or from scripts. It listens on 127.0.0.1 only and
// ends by itself when its lifetime or idle limit runs out. With --mouse
// (Windows) the gaze follows the mouse cursor.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simtracker/scenario.h"
#include "simtracker/sim_server.h"
#include "tools/command_line/command_line.h"
#ifdef _WIN32
#include "simtracker/screen_cursor.h"
#endif

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

void PrintUsage() {
    std::printf(
        "usage: simtracker [--mouse] [--scenario FILE] [--SETTING VALUE ...]\n"
        "A simulated eye-tracker server on 127.0.0.1, to try Okulon without a tracker; hosts reach it\n"
        "through the stand-in tet.dll and ttime.dll. It ends by itself (see lifetime and idle_exit).\n"
        "  --mouse            the gaze follows the mouse cursor (both eyes, steady pupils; Windows only)\n"
        "  --scenario FILE    settings from a file, one \"setting = value\" per line, '#' starts a comment;\n"
        "                     options before and after it apply in order, later ones win\n"
        "  --help, --version\n"
        "Settings (default in brackets):\n"
        "  --port N           TCP port on 127.0.0.1, 0: any free one [4455]\n"
        "  --seed N           gaze model seed: the same seed gives the same samples [1]\n"
        "  --rate N|max       samples per second, 60..2000, or max for flat out [1000]\n"
        "  --csv FILE         replay the gaze samples of this file instead of the gaze model [none]\n"
        "  --replay_loop 0|1  start the file again at its end [0]\n"
        "  --sample_limit N   end each connection's stream after N samples, 0: never [0]\n"
        "  --system_check C[,C...]  answer the n-th system check with the n-th code, the last repeating [0]\n"
        "  --start_fail C     answer every start with failure code C, 0: start normally [0]\n"
        "  --calib_fail C     answer the calibration's calculation with code C (11: failed) [0]\n"
        "  --refuse N         close the next N new connections at once, -1: all [0]\n"
        "  --drop_after N     close a connection after sending it N samples, 0: never [0]\n"
        "  --stall_after N    after N samples of a connection, send nothing for stall_ms [0]\n"
        "  --stall_ms MS      [0]\n"
        "  --lifetime S       end after S seconds, 0: never [1800]\n"
        "  --idle_exit S      end after S seconds without a client, 0: never [60]\n"
        "  --clock_offset_us US  the tracker clock's lead on the PC's clock at the start, microseconds [0]\n"
        "  --clock_drift_ppm P   how many microseconds per second the tracker clock gains (negative:\n"
        "                     loses) on the PC's, -1000..1000 [0]: tracker time = PC time + offset\n"
        "                     + drift x (PC time since the start); samples and time replies carry it\n"
        "Options take \"--name value\" or \"--name=value\"; a '-' in a name stands for '_'\n"
        "(--clock-offset-us). Exit code: 0 ended normally, 1 could not start (the port is taken,\n"
        "say), 2 bad arguments.\n");
}

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    return true;
}

// --clock-offset-us and --clock_offset_us name the same setting.
std::string SettingName(std::string option) {
    for (char& c : option) {
        if (c == '-') c = '_';
    }
    return option;
}

}  // namespace

int main(int argc, char** argv) {
    using okulon::cli::ValueKind;
    okulon::sim::Scenario scenario;
    std::vector<okulon::cli::Argument<char>> arguments;
    std::string error;
    // Every setting takes a value; the scenario names the unknown ones.
    const auto kindOf = [](const std::string& name, ValueKind& kind) {
        kind = name == "mouse"                         ? ValueKind::kOptional
               : (name == "help" || name == "version") ? ValueKind::kNone
                                                       : ValueKind::kRequired;
        return !name.empty();
    };
    if (!okulon::cli::SplitArguments<char>(argc, argv, kindOf, arguments, error)) {
        std::fprintf(stderr, "simtracker: %s\nRun \"simtracker --help\" for its options.\n", error.c_str());
        return 2;
    }
    for (const auto& argument : arguments) {
        if (argument.name == "help") {
            PrintUsage();
            return 0;
        }
        if (argument.name == "version") {
            std::printf("simtracker %s\n", OKULON_VERSION_TEXT);
            return 0;
        }
    }
    for (const auto& argument : arguments) {
        const std::string value = argument.hasValue ? argument.value : "1";  // a bare --mouse
        if (argument.name == "scenario") {
            std::string text;
            if (!ReadFile(value, text)) {
                std::fprintf(stderr, "simtracker: --scenario %s: the file cannot be read\n", value.c_str());
                return 2;
            }
            if (!okulon::sim::ParseScenarioText(text, scenario, &error)) {
                std::fprintf(stderr, "simtracker: --scenario %s: %s\n", value.c_str(), error.c_str());
                return 2;
            }
        } else if (!okulon::sim::ApplyScenarioSetting(scenario, SettingName(argument.name), value, &error)) {
            std::fprintf(stderr, "simtracker: --%s %s: %s\n", argument.name.c_str(), value.c_str(), error.c_str());
            return 2;
        }
    }

    okulon::sim::SimServer server(scenario);
#ifdef _WIN32
    // Without a readable cursor the gaze stays put: say so once rather than
    // stream a fixed point in silence.
    using okulon::sim::WatchedCursor;
    const WatchedCursor cursor(&okulon::sim::ReadScreenCursor, [](WatchedCursor::Unreadable why) {
        if (why == WatchedCursor::Unreadable::kReadFails) {
            std::printf(
                "simtracker: the mouse cursor cannot be read (no desktop, or a locked one); the gaze stays\n"
                "where the cursor was last read, at first the screen's centre\n");
        } else {
            std::printf(
                "simtracker: the mouse cursor has read as the screen's top-left corner at each of the first %d\n"
                "samples, so it seems unreadable on this desktop (one without a display, as under Wine); the\n"
                "gaze stays at the screen's centre until the cursor reads anywhere else\n",
                WatchedCursor::kCornerReadsToTell);
        }
        std::fflush(stdout);
    });
    server.SetPointerReader(cursor.Reader());
#endif
    error.clear();
    if (!server.Start(&error)) {
        std::fprintf(stderr, "simtracker: %s\n", error.c_str());
        if (server.PortInUse()) {
            // The usual holder is an earlier simtracker waiting out its idle
            // limit, and hosts started now would stream from that one.
            const int idleExit = okulon::sim::Scenario{}.idleExitSeconds;
            std::fprintf(stderr,
                         "An earlier simtracker may hold it: by default one ends %d s after its last client left,\n"
                         "and until then hosts reach that one, not this one. Wait up to %d s, stop the earlier\n"
                         "simtracker (Ctrl+C in its window, or the Task Manager), or start this one with --port N,\n"
                         "another port, and send the host \"port N\".\n",
                         idleExit, idleExit);
        }
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("simtracker listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
    if (scenario.clockOffsetMicros != 0 || scenario.clockDriftPpm != 0) {
        std::printf("tracker clock = PC clock %+.6f s at the start, drifting %+d ppm\n",
                    static_cast<double>(scenario.clockOffsetMicros) / 1e6, static_cast<int>(scenario.clockDriftPpm));
    }
    if (scenario.mouse) {
        std::printf("gaze follows the mouse cursor, %s\n",
                    scenario.rate == okulon::sim::Scenario::kFlatOut
                        ? "flat out"
                        : (std::to_string(scenario.rate) + " samples per second").c_str());
    }
    std::fflush(stdout);
    while (!server.WaitForEnd(100)) {
        if (g_interrupted) server.Stop();
    }
    server.Stop();
    uint64_t samples = 0;
    const auto connections = server.Connections();
    for (const auto& connection : connections) samples += connection.samplesSent;
    std::printf("simtracker ended: %zu connections, %llu samples sent\n", connections.size(),
                static_cast<unsigned long long>(samples));
    return 0;
}
