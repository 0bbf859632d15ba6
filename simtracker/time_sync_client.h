// The time library's connection to the simulated tracker: a connection that
// only asks the tracker's time (the server does not count it as a client).
// Each measurement sends a few requests and keeps the one with the shortest
// round trip, whose reply was read closest to the midpoint. Used by one
// thread at a time; every wait is short, since a host's GetTimestamp waits.
#pragma once

#include <cstdint>

#include "simtracker/clock_estimate.h"
#include "simtracker/frame_decoder.h"
#include "simtracker/tcp_socket.h"

namespace okulon::sim {

class TimeSyncClient {
public:
    using LocalClock = int64_t (*)();

    explicit TimeSyncClient(LocalClock clock) : m_clock(clock) {}

    bool Connect(const char* host, int32_t port, int timeoutMs);
    bool IsConnected() const { return m_socket.IsOpen(); }
    void Close();

    // False (and closed) when the tracker does not answer within timeoutMs.
    bool Measure(int rounds, int timeoutMs, SyncPoint& best);

private:
    bool Exchange(const Message& request, MessageType replyType, int timeoutMs, Message& reply);

    LocalClock m_clock;
    TcpSocket m_socket;
    FrameDecoder m_decoder;
};

}  // namespace okulon::sim
