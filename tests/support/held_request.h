// A tracker that is slow to answer one request, for the conformance tests:
// the simulator holds the answer to the first request of a kind until the
// test lets it go. The test lets it go from another thread, once the host's
// call under test has returned or after a grace time in which a sound call
// cannot return (it waits for the held one). A wrong build is caught when the
// host's call returns within the grace time; a sound one just takes it.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <thread>

#include "base/com_support.h"
#include "simtracker/sim_server.h"

namespace okulon::test {

constexpr DWORD kHeldRequestBoundMs = 30000;
constexpr DWORD kHeldRequestGraceMs = 1000;

class HeldRequest {
public:
    HeldRequest(sim::SimServer& server, sim::MessageType held) : m_server(server) {
        // Shared with the hook, which a session may still run after this object is gone.
        std::shared_ptr<State> state = m_state;
        m_server.SetRequestHook([state, held](uint32_t, sim::MessageType request) -> int32_t {
            if (request != held || state->seen.exchange(true)) return 0;
            SetEvent(state->held.get());
            WaitForSingleObject(state->release.get(), kHeldRequestBoundMs);
            return 0;
        });
    }
    ~HeldRequest() {
        SetEvent(m_state->release.get());
        if (m_releaser.joinable()) m_releaser.join();
        m_server.SetRequestHook(nullptr);
    }

    bool IsHeld() const { return WaitForSingleObject(m_state->held.get(), 0) == WAIT_OBJECT_0; }
    bool WaitUntilHeld() const {
        return WaitForSingleObject(m_state->held.get(), kHeldRequestBoundMs) == WAIT_OBJECT_0;
    }

    // Lets the request go once `hostReturned` is set, or after `graceMs`.
    void ReleaseLater(HANDLE hostReturned, DWORD graceMs) {
        std::shared_ptr<State> state = m_state;
        m_releaser = std::thread([state, hostReturned, graceMs] {
            if (WaitForSingleObject(state->held.get(), kHeldRequestBoundMs) != WAIT_OBJECT_0) return;
            state->hostReturnedWhileHeld = WaitForSingleObject(hostReturned, graceMs) == WAIT_OBJECT_0;
            SetEvent(state->release.get());
        });
    }
    void Join() { m_releaser.join(); }
    bool HostReturnedWhileHeld() const { return m_state->hostReturnedWhileHeld; }

private:
    struct State {
        UniqueHandle held{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        UniqueHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        std::atomic<bool> seen{false};
        std::atomic<bool> hostReturnedWhileHeld{false};
    };

    sim::SimServer& m_server;
    std::shared_ptr<State> m_state = std::make_shared<State>();
    std::thread m_releaser;
};

}  // namespace okulon::test
