// One client connection of the simulated tracker: reads requests, answers them
// from the scenario, streams samples while started, and applies the faults.
// Owned by SimServer's accept thread; runs on a thread of its own, which it
// joins in its destructor.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "simtracker/frame_decoder.h"
#include "simtracker/sample_source.h"
#include "simtracker/scenario.h"
#include "simtracker/tcp_socket.h"

namespace okulon::sim {

class SimServer;

class ServerSession {
public:
    ServerSession(SimServer& server, TcpSocket socket, const Scenario& scenario);
    ~ServerSession();
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    bool Finished() const { return m_finished.load(); }

private:
    void Run();
    bool Handshake();
    bool ReceiveAndHandle();
    bool Handle(const Message& request);
    bool Reply(const Message& reply);
    bool SendFrames(const std::vector<uint8_t>& frames);
    bool SendDueSamples();
    int WaitBudgetMs() const;

    SimServer& m_server;
    TcpSocket m_socket;
    uint32_t m_id = 0;        // given at the hello; 0 for a time-request connection
    bool m_timeOnly = false;  // a time library's connection: it may only ask the time
    Scenario m_stream;        // the settings of the stream in progress (taken at start)
    SampleSource m_source;
    FrameDecoder m_decoder;
    bool m_streaming = false;
    bool m_sourceEnded = false;
    uint64_t m_sent = 0;
    uint64_t m_systemChecks = 0;
    int64_t m_runStart = 0;  // server clock of the current run's first sample
    uint64_t m_runIndex = 0;
    bool m_stalled = false;
    bool m_stallDone = false;
    int64_t m_stallEnd = 0;
    int m_pointsSinceClear = 0;
    std::atomic<bool> m_finished{false};
    std::thread m_thread;  // last: starts once every member above is built
};

}  // namespace okulon::sim
