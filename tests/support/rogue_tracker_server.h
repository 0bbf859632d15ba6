// A tracker server that breaks its protocol on purpose, for the faults the
// simulator does not offer: it speaks the simulator's wire format correctly up
// to one chosen request, and there it answers with a malformed frame, with
// silence, or by closing the connection.
//
// Threads: the owner constructs, reads the port and destroys; one thread
// accepts and serves every connection in turn on 127.0.0.1. The destructor
// ends that thread within a poll slice; the server also ends by itself after
// its lifetime.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "simtracker/tcp_listener.h"

namespace okulon::reliability {

class RogueTrackerServer {
public:
    enum class Fault { kGarbage, kSilence, kClose };
    enum class Where {
        kConnect,      // at the client's hello
        kCalibration,  // at the first calibration request
        kStreaming,    // after a few samples of a started stream
    };

    RogueTrackerServer(Fault fault, Where where, int lifetimeSeconds = 120);
    ~RogueTrackerServer();
    RogueTrackerServer(const RogueTrackerServer&) = delete;
    RogueTrackerServer& operator=(const RogueTrackerServer&) = delete;

    bool IsListening() const { return m_listener.Port() != 0; }
    uint16_t Port() const { return m_listener.Port(); }
    // Connections that reached the fault.
    int FaultsDelivered() const { return m_faultsDelivered.load(); }

private:
    void AcceptLoop();
    void Serve(sim::TcpSocket& socket);

    const Fault m_fault;
    const Where m_where;
    const int m_lifetimeSeconds;
    sim::TcpListener m_listener;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<int> m_faultsDelivered{0};
    std::thread m_thread;  // last: started after everything it uses exists
};

}  // namespace okulon::reliability
