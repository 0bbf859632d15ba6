// Client side of the simulated tracker's protocol: the connection, delivery
// loop and requests behind the stand-in tet.dll, kept free of Windows so that
// native tests (and ThreadSanitizer) can drive it. Every call answers 0 on
// success or a failure code (tracker/contract/tracker_records.h, simtracker/sim_error_codes.h).
//
// One object per connection, used by one thread: tet.dll keeps one per calling
// thread. Start runs the delivery on the caller's thread and returns after
// RequestStop was called from inside the callback. Nothing blocks without a
// time-out: connect 3 s, each reply 5 s, the stop handshake 5 s.
//
// Records in flight at a stop: the server may have sent records after the last
// one delivered before it learns of the stop. They are kept, in order, and are
// the first records delivered by the next Start on this connection;
// Disconnect discards them. So every record the server sent is delivered once,
// in order, unless the connection is ended first.
#pragma once

#include <cstdint>
#include <deque>

#include "simtracker/frame_decoder.h"
#include "simtracker/tcp_socket.h"
#include "tracker/contract/tracker_records.h"

namespace okulon::sim {

class SimClient {
public:
    // Microseconds of this computer's clock, for time-outs only: records carry
    // the tracker's own time, as the server stamped them.
    using LocalClock = int64_t (*)();
    using DeliveryCallback = void (*)(int32_t reason, TrackerRecord* record, void* context);

    static constexpr int kIdleIntervalMs = 10;

    explicit SimClient(LocalClock clock);
    ~SimClient();
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;

    int32_t Connect(const char* host, int32_t port, int32_t mode);
    int32_t Disconnect();
    int32_t Start(DeliveryCallback callback, void* context, int32_t flags);
    int32_t RequestStop();
    int32_t SystemCheck();
    int32_t CalibClear();
    int32_t CalibAddPoint(float x, float y, int32_t mode, int32_t reserved1, int32_t reserved2, int32_t reserved3);
    int32_t CalibCalculate();

    bool IsConnected() const { return m_state == State::kConnected; }
    uint32_t ConnectionId() const { return m_connectionId; }
    uint64_t ReceivedSamples() const { return m_received; }  // on this connection
    uint64_t DeliveredSamples() const { return m_delivered; }
    size_t HeldSamples() const { return m_held.size(); }
    uint64_t ServerSentAtLastStop() const { return m_serverSentAtStop; }

private:
    enum class State { kDisconnected, kConnected, kLost };
    enum class Read { kMessage, kTimeout, kFailed };

    int32_t StateError() const;
    int32_t Lose(int32_t code);
    int32_t SendMessage(const Message& message);
    Read NextMessage(Message& message, int timeoutMs, int32_t* failure);
    int32_t Request(const Message& request, MessageType replyType, Message& reply);
    int32_t AcceptSample(const Message& sample);  // sequence check, then into m_held
    int32_t StopStream();
    void Deliver(DeliveryCallback callback, void* context, const TrackerRecord& record);
    TrackerRecord ToRecord(const Message& sample) const;

    LocalClock m_clock;
    TcpSocket m_socket;
    FrameDecoder m_decoder;
    State m_state = State::kDisconnected;
    uint32_t m_connectionId = 0;
    uint64_t m_received = 0;
    uint64_t m_delivered = 0;
    uint64_t m_serverSentAtStop = 0;
    std::deque<TrackerRecord> m_held;
    bool m_delivering = false;
    bool m_stopRequested = false;
};

}  // namespace okulon::sim
