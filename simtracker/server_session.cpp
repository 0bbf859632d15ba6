#include "simtracker/server_session.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "simtracker/monotonic_clock.h"
#include "simtracker/sim_error_codes.h"
#include "simtracker/sim_server.h"

namespace okulon::sim {
namespace {

constexpr int kHandshakeTimeoutMs = 5000;
constexpr int kPollSliceMs = 20;      // how soon a session notices a server stop
constexpr int kSendGiveUpMs = 10000;  // a client that reads nothing for this long is dropped
constexpr int kMaxBatch = 256;        // samples per write when catching up or flat out

}  // namespace

ServerSession::ServerSession(SimServer& server, TcpSocket socket, const Scenario& scenario)
    : m_server(server),
      m_socket(std::move(socket)),
      m_stream(scenario),
      m_source(scenario, server.Replay(), server.Pointer()),
      m_thread([this] { Run(); }) {}

ServerSession::~ServerSession() {
    if (m_thread.joinable()) m_thread.join();
}

void ServerSession::Run() {
    if (Handshake()) {
        while (!m_server.StopRequested()) {
            if (!ReceiveAndHandle()) break;
            if (m_streaming && !SendDueSamples()) break;
        }
    }
    m_socket.Close();
    m_server.UpdateReport(m_id, [](ConnectionReport& report) { report.open = false; });
    m_finished = true;
}

bool ServerSession::Handshake() {
    const int64_t deadline = MonotonicMicros() + int64_t{kHandshakeTimeoutMs} * 1000;
    while (!m_server.StopRequested() && MonotonicMicros() < deadline) {
        if (m_socket.WaitReadable(kPollSliceMs) == TcpSocket::Wait::kError) return false;
        uint8_t buffer[256];
        size_t received = 0;
        const TcpSocket::Io io = m_socket.Receive(buffer, sizeof buffer, &received);
        if (io == TcpSocket::Io::kClosed || io == TcpSocket::Io::kError) return false;
        m_decoder.Append(buffer, received);
        Message hello;
        const FrameDecoder::Result result = m_decoder.Next(hello);
        if (result == FrameDecoder::Result::kNeedMore) continue;
        if (result == FrameDecoder::Result::kError || hello.type != MessageType::kHello ||
            hello.id != kProtocolVersion) {
            return false;
        }
        Message reply;
        reply.type = MessageType::kHelloReply;
        if (hello.mode == kTimeSyncMode) {
            m_timeOnly = true;
            reply.time = m_server.TrackerNow();
            return Reply(reply);
        }
        m_id = m_server.AdmitClient(hello.mode);
        if (m_id == 0) return false;  // refused: closed without an answer
        reply.status = m_server.RunRequestHook(m_id, MessageType::kHello);
        reply.id = m_id;
        reply.time = m_server.TrackerNow();
        if (!Reply(reply) || reply.status != 0) return false;
        // Requests sent right behind the hello are handled by the main loop.
        return true;
    }
    return false;
}

int ServerSession::WaitBudgetMs() const {
    if (!m_streaming || m_sourceEnded) return kPollSliceMs;
    const int64_t now = MonotonicMicros();
    int64_t due = 0;
    if (m_stalled) {
        due = m_stallEnd;
    } else if (m_stream.rate == Scenario::kFlatOut) {
        return 0;
    } else {
        due = m_runStart + static_cast<int64_t>(m_runIndex) * 1000000 / m_stream.rate;
    }
    const int64_t waitMs = (due - now + 999) / 1000;
    return static_cast<int>(std::clamp<int64_t>(waitMs, 0, kPollSliceMs));
}

bool ServerSession::ReceiveAndHandle() {
    // Messages that are already buffered come first.
    Message request;
    FrameDecoder::Result result;
    while ((result = m_decoder.Next(request)) == FrameDecoder::Result::kMessage) {
        if (!Handle(request)) return false;
    }
    if (result == FrameDecoder::Result::kError) return false;

    const TcpSocket::Wait wait = m_socket.WaitReadable(WaitBudgetMs());
    if (wait == TcpSocket::Wait::kError) return false;
    if (wait == TcpSocket::Wait::kTimeout) return true;
    uint8_t buffer[4096];
    size_t received = 0;
    const TcpSocket::Io io = m_socket.Receive(buffer, sizeof buffer, &received);
    if (io == TcpSocket::Io::kClosed || io == TcpSocket::Io::kError) return false;
    m_decoder.Append(buffer, received);
    while ((result = m_decoder.Next(request)) == FrameDecoder::Result::kMessage) {
        if (!Handle(request)) return false;
    }
    return result != FrameDecoder::Result::kError;
}

namespace {

// The answer to a request that carries a status, or the request's own type
// for one that carries none.
MessageType StatusReplyTo(MessageType request) {
    switch (request) {
    case MessageType::kStart:
        return MessageType::kStartReply;
    case MessageType::kSystemCheck:
        return MessageType::kSystemCheckReply;
    case MessageType::kCalibClear:
    case MessageType::kCalibAddPoint:
    case MessageType::kCalibCalculate:
        return MessageType::kCalibReply;
    default:
        return request;
    }
}

}  // namespace

bool ServerSession::Handle(const Message& request) {
    Message reply;
    if (m_timeOnly) {
        if (request.type != MessageType::kTimeSync) return false;
        reply.type = MessageType::kTimeSyncReply;
        reply.time = m_server.TrackerNow();
        return Reply(reply);
    }
    const int32_t hooked = m_server.RunRequestHook(m_id, request.type);
    if (hooked != 0 && StatusReplyTo(request.type) != request.type) {
        reply.type = StatusReplyTo(request.type);
        reply.status = hooked;
        return Reply(reply);
    }
    const Scenario answers = m_server.CurrentScenario();
    switch (request.type) {
    case MessageType::kStart: {
        reply.type = MessageType::kStartReply;
        reply.status = answers.startFail;
        m_server.UpdateReport(m_id, [](ConnectionReport& report) { ++report.starts; });
        if (reply.status == 0 && !m_streaming) {
            m_streaming = true;
            m_runStart = MonotonicMicros();
            m_runIndex = 0;
        }
        return Reply(reply);
    }
    case MessageType::kStop: {
        m_streaming = false;
        m_server.UpdateReport(m_id, [](ConnectionReport& report) { ++report.stops; });
        reply.type = MessageType::kStopAck;
        reply.sequence = m_sent;
        return Reply(reply);
    }
    case MessageType::kSystemCheck: {
        const auto& codes = answers.systemCheck;
        const size_t index = std::min<uint64_t>(m_systemChecks, codes.empty() ? 0 : codes.size() - 1);
        ++m_systemChecks;
        reply.type = MessageType::kSystemCheckReply;
        reply.status = codes.empty() ? 0 : codes[index];
        m_server.UpdateReport(m_id, [](ConnectionReport& report) { ++report.systemChecks; });
        return Reply(reply);
    }
    case MessageType::kCalibClear:
    case MessageType::kCalibAddPoint:
    case MessageType::kCalibCalculate: {
        CalibrationCall call;
        call.connectionId = m_id;
        if (request.type == MessageType::kCalibClear) {
            call.kind = CalibrationCallKind::kClear;
            m_pointsSinceClear = 0;
        } else if (request.type == MessageType::kCalibAddPoint) {
            call.kind = CalibrationCallKind::kAddPoint;
            call.x = request.x;
            call.y = request.y;
            call.mode = request.mode;
            std::copy(std::begin(request.reserved), std::end(request.reserved), std::begin(call.reserved));
            // A point off the screen cannot have been shown to the viewer.
            const bool onScreen = std::isfinite(request.x) && std::isfinite(request.y) && request.x >= 0.0f &&
                                  request.x <= 1.0f && request.y >= 0.0f && request.y <= 1.0f;
            if (onScreen) {
                ++m_pointsSinceClear;
            } else {
                call.status = kSimErrorInvalidArgument;
            }
        } else {
            call.kind = CalibrationCallKind::kCalculate;
            // Nothing collected: there is nothing to compute from.
            call.status = answers.calibFail != 0    ? answers.calibFail
                          : m_pointsSinceClear == 0 ? kTrackerErrorCalibrationFailed
                                                    : 0;
        }
        m_server.RecordCalibration(call);
        reply.type = MessageType::kCalibReply;
        reply.status = call.status;
        return Reply(reply);
    }
    case MessageType::kTimeSync:
        reply.type = MessageType::kTimeSyncReply;
        reply.time = m_server.TrackerNow();
        return Reply(reply);
    case MessageType::kGoodbye:
        return false;
    default:
        // A client never sends server messages: the stream is not ours to trust any more.
        return false;
    }
}

bool ServerSession::Reply(const Message& reply) {
    std::vector<uint8_t> frame;
    EncodeMessage(reply, frame);
    return SendFrames(frame);
}

bool ServerSession::SendFrames(const std::vector<uint8_t>& frames) {
    const int64_t giveUp = MonotonicMicros() + int64_t{kSendGiveUpMs} * 1000;
    size_t done = 0;
    while (done < frames.size()) {
        if (m_server.StopRequested()) return false;
        size_t sent = 0;
        const TcpSocket::Io io = m_socket.Send(frames.data() + done, frames.size() - done, &sent);
        if (io == TcpSocket::Io::kOk) {
            done += sent;
            continue;
        }
        if (io != TcpSocket::Io::kWouldBlock || MonotonicMicros() > giveUp) return false;
        if (m_socket.WaitWritable(kPollSliceMs) == TcpSocket::Wait::kError) return false;
    }
    return true;
}

bool ServerSession::SendDueSamples() {
    if (m_sourceEnded) return true;
    const int64_t now = MonotonicMicros();
    if (m_stalled) {
        if (now < m_stallEnd) return true;
        // The tracker froze: nothing was measured meanwhile, so the run starts afresh.
        m_stalled = false;
        m_runStart = now;
        m_runIndex = 0;
    }
    const bool flatOut = m_stream.rate == Scenario::kFlatOut;
    std::vector<uint8_t> batch;
    uint64_t count = 0;
    bool dropNow = false;
    while (count < kMaxBatch) {
        const uint64_t sequence = m_sent + count;
        if (m_stream.dropAfter != 0 && sequence >= m_stream.dropAfter) {
            dropNow = true;
            break;
        }
        if (m_stream.stallAfter != 0 && !m_stallDone && sequence >= m_stream.stallAfter) {
            m_stallDone = true;
            m_stalled = true;
            m_stallEnd = now + int64_t{m_stream.stallMs} * 1000;
            break;
        }
        const int64_t stamp = flatOut ? now : m_runStart + static_cast<int64_t>(m_runIndex) * 1000000 / m_stream.rate;
        if (stamp > now) break;
        SimSample sample;
        if (!m_source.Next(sample)) {
            m_sourceEnded = true;
            break;
        }
        Message message;
        message.type = MessageType::kSample;
        message.sequence = sequence;
        message.time = m_server.TrackerTimeAt(stamp);
        message.first = sample.first;
        message.second = sample.second;
        EncodeMessage(message, batch);
        ++m_runIndex;
        ++count;
    }
    if (count > 0) {
        if (!SendFrames(batch)) return false;
        m_sent += count;
        const uint64_t sent = m_sent;
        m_server.UpdateReport(m_id, [sent](ConnectionReport& report) { report.samplesSent = sent; });
    }
    if (dropNow) {
        m_server.UpdateReport(m_id, [](ConnectionReport& report) { report.dropped = true; });
        return false;
    }
    return true;
}

}  // namespace okulon::sim
