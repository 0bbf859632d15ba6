// The host program (okulon_host.exe) as a researcher runs it against the
// simulated tracker: its exit code and report when the gaze stream stops
// before the session ends, and when no tracker server answers at all. It
// creates the build's Okulon.dll by path, so nothing is registered.
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dll_test_support.h"
#include "program_run.h"
#include "simtracker/sim_server.h"
#include "simulated_tracker.h"

namespace {

using okulon::sim::Scenario;
using okulon::sim::SimServer;
using okulon::test::ExecutableFolder;
using okulon::test::ProgramRun;
using okulon::test::RunProgram;
using okulon::test::StartSimulator;
using okulon::test::UnusedPort;

ProgramRun RunHost(uint16_t port, const wchar_t* seconds) {
    return RunProgram(ExecutableFolder() + L"okulon_host.exe", L"--dll \"" + ExecutableFolder() +
                                                                   L"Okulon.dll\" --calibrate no --port " +
                                                                   std::to_wstring(port) + L" --seconds " + seconds);
}

TEST(HostProgram, ExitsZeroWhenGazeArrivesToTheSessionsEndThroughBlinks) {
    Scenario scenario;
    scenario.rate = 300;
    auto server = StartSimulator(scenario);
    ASSERT_TRUE(server);
    const ProgramRun run = RunHost(server->Port(), L"2.5");
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("gaze stream: records arrived until")) << run.output;
}

// The simulator closes the connection after a second's samples of a session
// of four: the records seem fine, only their end is early.
TEST(HostProgram, ReportsAGazeStreamThatEndedBeforeTheSessionAndExitsFour) {
    Scenario scenario;
    scenario.rate = 300;
    scenario.dropAfter = 300;
    auto server = StartSimulator(scenario);
    ASSERT_TRUE(server);
    const ProgramRun run = RunHost(server->Port(), L"4");
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(4u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("gaze stream: ENDED EARLY: no gaze record arrived in the last"))
        << run.output;
    EXPECT_NE(std::string::npos, run.output.find("WARNING: the gaze stream stopped before the session ended"))
        << run.output;
    // A stream that stopped is no clock difference: the stand-in time library follows the tracker.
    EXPECT_EQ(std::string::npos, run.output.find("WARNING: record times and GetTimestamp")) << run.output;
}

TEST(HostProgram, SaysWhyNoGazeArrivedWhenNoServerListensOnThePort) {
    const uint16_t freePort = UnusedPort();
    const ProgramRun run = RunHost(freePort, L"0.5");
    ASSERT_TRUE(run.ended) << run.output;
    EXPECT_EQ(3u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("why no gaze record arrived:")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("failed: no tracker server answered there")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("port " + std::to_string(freePort) + "?")) << run.output;
}

}  // namespace
