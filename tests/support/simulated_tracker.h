// The simulated tracker inside the test's own process, for the tests that run
// programs or the DLL against it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "simtracker/sim_server.h"

namespace okulon::test {

// The simulator on a free port of 127.0.0.1. It ends with its owner, and by
// itself after `lifetimeSeconds` in any case. One that did not start is a
// test failure, and the caller gets null.
inline std::unique_ptr<sim::SimServer> StartSimulator(sim::Scenario scenario, int32_t lifetimeSeconds = 120) {
    scenario.port = 0;
    scenario.idleExitSeconds = 0;
    scenario.lifetimeSeconds = lifetimeSeconds;
    auto server = std::make_unique<sim::SimServer>(scenario);
    std::string error;
    if (!server->Start(&error)) {
        ADD_FAILURE() << "simulator did not start: " << error;
        return nullptr;
    }
    return server;
}

// A port of 127.0.0.1 where nothing listens: one a simulator had a moment ago.
inline uint16_t UnusedPort() {
    auto server = StartSimulator(sim::Scenario{});
    return server ? server->Port() : 1;
}

}  // namespace okulon::test
