#include "simtracker/sim_server.h"

#include "simtracker/monotonic_clock.h"
#include "simtracker/server_session.h"

namespace okulon::sim {
namespace {

constexpr int kAcceptSliceMs = 20;

}  // namespace

SimServer::SimServer(const Scenario& scenario)
    : m_scenario(scenario), m_trackerClock(MonotonicMicros(), scenario.clockOffsetMicros, scenario.clockDriftPpm) {}

int64_t SimServer::TrackerNow() const { return m_trackerClock.At(MonotonicMicros()); }

SimServer::~SimServer() { Stop(); }

bool SimServer::Start(std::string* error) {
    if (m_started) {
        if (error != nullptr) *error = "already started";
        return false;
    }
    if (m_scenario.mouse && !m_pointerReader) {
        if (error != nullptr) *error = "mouse mode needs the mouse cursor, which only simtracker.exe on Windows reads";
        return false;
    }
    if (m_scenario.mouse && !m_scenario.csvPath.empty()) {
        if (error != nullptr) *error = "mouse mode and a replay file (csv) exclude each other";
        return false;
    }
    if (!m_scenario.csvPath.empty()) {
        auto replay = std::make_shared<CsvReplay>();
        if (!CsvReplay::Load(m_scenario.csvPath, *replay, error)) return false;
        m_replay = std::move(replay);
    }
    if (!m_listener.Listen(static_cast<uint16_t>(m_scenario.port), error)) return false;
    m_started = true;
    m_acceptThread = std::thread([this] { AcceptLoop(); });
    return true;
}

void SimServer::Stop() {
    m_stopRequested = true;
    if (m_acceptThread.joinable()) m_acceptThread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended = true;
    m_changed.notify_all();
}

bool SimServer::WaitForEnd(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_ended; });
}

bool SimServer::HasEnded() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ended;
}

void SimServer::SetScenario(const Scenario& scenario) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The replay file and the port were fixed at start.
    const std::string csvPath = m_scenario.csvPath;
    const int32_t port = m_scenario.port;
    m_scenario = scenario;
    m_scenario.csvPath = csvPath;
    m_scenario.port = port;
}

Scenario SimServer::CurrentScenario() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_scenario;
}

std::vector<ConnectionReport> SimServer::Connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

std::vector<CalibrationCall> SimServer::CalibrationCalls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calibrationCalls;
}

uint32_t SimServer::RefusedConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_refused;
}

bool SimServer::WaitUntil(
    const std::function<bool(const std::vector<ConnectionReport>&, const std::vector<CalibrationCall>&)>& predicate,
    int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return predicate(m_reports, m_calibrationCalls); });
}

uint32_t SimServer::AdmitClient(int32_t mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_changed.notify_all();
    // Decided at the hello, not at accept, so that a time library's
    // connection can neither use up refusals nor count as a client.
    if (m_scenario.refuse < 0 || m_refused < static_cast<uint32_t>(m_scenario.refuse)) {
        ++m_refused;
        return 0;
    }
    ConnectionReport report;
    report.id = static_cast<uint32_t>(m_reports.size() + 1);
    report.mode = mode;
    m_reports.push_back(report);
    return report.id;
}

void SimServer::UpdateReport(uint32_t id, const std::function<void(ConnectionReport&)>& change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (id >= 1 && id <= m_reports.size()) change(m_reports[id - 1]);
    m_changed.notify_all();
}

void SimServer::SetRequestHook(RequestHook hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requestHook = std::move(hook);
}

int32_t SimServer::RunRequestHook(uint32_t connectionId, MessageType request) const {
    RequestHook hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        hook = m_requestHook;
    }
    // Outside the lock: the hook may block, and the owner's queries must not.
    return hook ? hook(connectionId, request) : 0;
}

void SimServer::RecordCalibration(const CalibrationCall& call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calibrationCalls.push_back(call);
    m_changed.notify_all();
}

void SimServer::ReapFinishedSessions() {
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if ((*it)->Finished()) {
            it = m_sessions.erase(it);  // joins its thread, which has already left Run
        } else {
            ++it;
        }
    }
}

void SimServer::AcceptLoop() {
    const int64_t started = MonotonicMicros();
    int64_t lastActive = started;
    while (!m_stopRequested) {
        TcpSocket socket = m_listener.Accept(kAcceptSliceMs);
        const int64_t now = MonotonicMicros();
        if (socket.IsOpen()) {
            m_sessions.push_back(std::make_unique<ServerSession>(*this, std::move(socket), CurrentScenario()));
        }
        ReapFinishedSessions();
        if (!m_sessions.empty()) lastActive = now;

        const Scenario limits = CurrentScenario();
        const bool lifetimeOver =
            limits.lifetimeSeconds > 0 && now - started >= int64_t{limits.lifetimeSeconds} * 1000000;
        const bool idleOver = limits.idleExitSeconds > 0 && m_sessions.empty() &&
                              now - lastActive >= int64_t{limits.idleExitSeconds} * 1000000;
        if (lifetimeOver || idleOver) break;
    }
    m_stopRequested = true;
    m_sessions.clear();  // each joins its thread, which sees the stop within a poll slice
    m_listener.Close();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended = true;
    m_changed.notify_all();
}

}  // namespace okulon::sim
