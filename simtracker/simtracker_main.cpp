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

#include "simtracker/scenario.h"
#include "simtracker/sim_server.h"
#ifdef _WIN32
#include "simtracker/screen_cursor.h"
#endif

namespace {

std::atomic<bool> g_interrupted{false};

void OnSignal(int) { g_interrupted = true; }

void PrintUsage() {
    std::printf(
        "usage: simtracker [--mouse] [--scenario=FILE] [--key=value ...]\n"
        "--mouse: the gaze follows the mouse cursor (both eyes, steady pupils; Windows only),\n"
        "         the same as --mouse=1.\n"
        "Settings are applied in order; later ones win. Keys:\n"
        "  port=4455 seed=1 rate=60..2000|max csv=FILE replay_loop=0|1 sample_limit=N\n"
        "  system_check=CODE[,CODE...] start_fail=CODE calib_fail=CODE refuse=N|-1\n"
        "  drop_after=N stall_after=N stall_ms=MS lifetime=SECONDS idle_exit=SECONDS\n");
}

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    okulon::sim::Scenario scenario;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            PrintUsage();
            return 0;
        }
        if (argument == "--mouse") {
            scenario.mouse = true;
            continue;
        }
        if (argument.rfind("--", 0) != 0 || argument.find('=') == std::string::npos) {
            std::fprintf(stderr, "simtracker: unexpected argument \"%s\"\n", argument.c_str());
            PrintUsage();
            return 2;
        }
        const size_t equals = argument.find('=');
        const std::string key = argument.substr(2, equals - 2);
        const std::string value = argument.substr(equals + 1);
        std::string error;
        if (key == "scenario") {
            std::string text;
            if (!ReadFile(value, text)) {
                std::fprintf(stderr, "simtracker: cannot read %s\n", value.c_str());
                return 2;
            }
            if (!okulon::sim::ParseScenarioText(text, scenario, &error)) {
                std::fprintf(stderr, "simtracker: %s: %s\n", value.c_str(), error.c_str());
                return 2;
            }
        } else if (!okulon::sim::ApplyScenarioSetting(scenario, key, value, &error)) {
            std::fprintf(stderr, "simtracker: %s\n", error.c_str());
            return 2;
        }
    }

    okulon::sim::SimServer server(scenario);
#ifdef _WIN32
    server.SetPointerReader(&okulon::sim::ReadScreenCursor);
#endif
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "simtracker: %s\n", error.c_str());
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("simtracker listening on 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
    if (scenario.mouse) {
        std::printf("gaze follows the mouse cursor, %s\n",
                    scenario.rate == okulon::sim::Scenario::kFlatOut ? "flat out" : (std::to_string(scenario.rate) + " samples per second").c_str());
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
