// The simulated tracker server: listens on 127.0.0.1, serves every client on a
// session thread of its own, and records what it was asked and what it sent so
// that tests can check the client against it. Usable in-process (start on port
// 0, read Port(), query, Stop) and by the simtracker program.
//
// Threads: the owner calls Start, Stop, SetScenario and the queries (all
// thread-safe); an accept thread admits clients and ends the server when its
// lifetime or idle limit runs out; one thread per session. Stop (or the
// destructor) ends and joins them all within a fraction of a second.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simtracker/csv_replay.h"
#include "simtracker/pointer_gaze.h"
#include "simtracker/scenario.h"
#include "simtracker/sim_protocol.h"
#include "simtracker/tcp_listener.h"
#include "simtracker/tracker_clock.h"

namespace okulon::sim {

class ServerSession;

// What one client connection did, as the server saw it.
struct ConnectionReport {
    uint32_t id = 0;   // 1, 2, ... in the order of their hellos
    int32_t mode = 0;  // as given to the client's connect
    bool open = true;
    bool dropped = false;  // closed by the drop_after fault
    uint64_t samplesSent = 0;
    uint32_t starts = 0;  // start requests, refused ones included
    uint32_t stops = 0;
    uint32_t systemChecks = 0;
};

enum class CalibrationCallKind { kClear, kAddPoint, kCalculate };

struct CalibrationCall {
    uint32_t connectionId = 0;
    CalibrationCallKind kind = CalibrationCallKind::kClear;
    float x = 0.0f;  // kAddPoint: all six arguments as received
    float y = 0.0f;
    int32_t mode = 0;
    int32_t reserved[3] = {0, 0, 0};
    int32_t status = 0;  // what the server answered
};

class SimServer {
public:
    // Asked on a session's thread with every request before it is handled,
    // the hello included. It may block, to hold the answer back (a tracker
    // that is slow to answer). A non-zero result answers the request with
    // that failure code instead of handling it: a refused hello, a failed
    // start, system check or calibration call.
    using RequestHook = std::function<int32_t(uint32_t connectionId, MessageType request)>;

    explicit SimServer(const Scenario& scenario);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    // Where gaze comes from in mouse mode (scenario mouse=1); set before Start.
    void SetPointerReader(PointerReader reader) { m_pointerReader = std::move(reader); }

    // Loads the replay file if any, binds 127.0.0.1:port and starts accepting.
    // Mouse mode without a pointer reader, or with a replay file, is refused.
    bool Start(std::string* error);
    uint16_t Port() const { return m_listener.Port(); }
    // After a failed Start: another socket holds the port (an earlier server, say).
    bool PortInUse() const { return m_listener.PortInUse(); }

    // Ends every session and the accept thread; idempotent.
    void Stop();

    // True once the server has ended (Stop, or its lifetime or idle limit).
    bool WaitForEnd(int timeoutMs);
    bool HasEnded() const;

    // Answers and faults for requests and connections from now on; a running
    // stream keeps the settings it started with.
    void SetScenario(const Scenario& scenario);
    Scenario CurrentScenario() const;

    // Replaces the hook; an empty one handles every request as the scenario says.
    void SetRequestHook(RequestHook hook);

    // The tracker clock: samples and time replies carry it.
    int64_t TrackerNow() const;
    int64_t TrackerTimeAt(int64_t pcMicros) const { return m_trackerClock.At(pcMicros); }

    // Clients only, in order of their hello; time-request connections are not listed.
    std::vector<ConnectionReport> Connections() const;
    std::vector<CalibrationCall> CalibrationCalls() const;
    uint32_t RefusedConnections() const;

    // Waits (bounded) until the recorded state satisfies the predicate; the
    // predicate runs under the server's lock and must not call back into it.
    bool WaitUntil(
        const std::function<bool(const std::vector<ConnectionReport>&, const std::vector<CalibrationCall>&)>& predicate,
        int timeoutMs) const;

private:
    friend class ServerSession;

    void AcceptLoop();
    void ReapFinishedSessions();
    bool StopRequested() const { return m_stopRequested.load(); }
    // A client's hello: its connection id, or 0 when the refuse fault closes it.
    uint32_t AdmitClient(int32_t mode);
    void UpdateReport(uint32_t id, const std::function<void(ConnectionReport&)>& change);
    void RecordCalibration(const CalibrationCall& call);
    int32_t RunRequestHook(uint32_t connectionId, MessageType request) const;
    std::shared_ptr<const CsvReplay> Replay() const { return m_replay; }
    PointerReader Pointer() const { return m_pointerReader; }

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Scenario m_scenario;
    const TrackerClock m_trackerClock;
    std::shared_ptr<const CsvReplay> m_replay;
    PointerReader m_pointerReader;
    TcpListener m_listener;
    std::vector<ConnectionReport> m_reports;
    std::vector<CalibrationCall> m_calibrationCalls;
    RequestHook m_requestHook;
    uint32_t m_refused = 0;
    bool m_ended = false;
    bool m_started = false;
    std::atomic<bool> m_stopRequested{false};
    std::list<std::unique_ptr<ServerSession>> m_sessions;  // accept thread only
    std::thread m_acceptThread;                            // last: started after everything it uses exists
};

}  // namespace okulon::sim
