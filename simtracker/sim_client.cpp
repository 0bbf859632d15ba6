#include "simtracker/sim_client.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "simtracker/sim_error_codes.h"

namespace okulon::sim {
namespace {

constexpr int kConnectTimeoutMs = 3000;
constexpr int kReplyTimeoutMs = 5000;
constexpr int kSendTimeoutMs = 5000;

}  // namespace

SimClient::SimClient(LocalClock clock) : m_clock(clock) {}

SimClient::~SimClient() {
    if (m_state == State::kConnected) Disconnect();
}

int32_t SimClient::StateError() const {
    return m_state == State::kLost ? kTrackerErrorConnectionLost : kTrackerErrorNotConnected;
}

int32_t SimClient::Lose(int32_t code) {
    m_socket.Close();
    m_state = State::kLost;
    return code;
}

int32_t SimClient::SendMessage(const Message& message) {
    std::vector<uint8_t> frame;
    EncodeMessage(message, frame);
    if (!m_socket.SendAll(frame.data(), frame.size(), kSendTimeoutMs)) return Lose(kTrackerErrorConnectionLost);
    return 0;
}

SimClient::Read SimClient::NextMessage(Message& message, int timeoutMs, int32_t* failure) {
    const int64_t deadline = m_clock() + int64_t{timeoutMs} * 1000;
    while (true) {
        const FrameDecoder::Result result = m_decoder.Next(message);
        if (result == FrameDecoder::Result::kMessage) return Read::kMessage;
        if (result == FrameDecoder::Result::kError) {
            *failure = Lose(kSimErrorProtocol);
            return Read::kFailed;
        }
        const int64_t leftMicros = deadline - m_clock();
        if (leftMicros <= 0) return Read::kTimeout;
        const TcpSocket::Wait wait = m_socket.WaitReadable(static_cast<int>((leftMicros + 999) / 1000));
        if (wait == TcpSocket::Wait::kTimeout) continue;
        uint8_t buffer[8192];
        size_t received = 0;
        const TcpSocket::Io io = wait == TcpSocket::Wait::kError ? TcpSocket::Io::kError
                                                                 : m_socket.Receive(buffer, sizeof buffer, &received);
        if (io == TcpSocket::Io::kClosed || io == TcpSocket::Io::kError) {
            *failure = Lose(kTrackerErrorConnectionLost);
            return Read::kFailed;
        }
        m_decoder.Append(buffer, received);
    }
}

int32_t SimClient::AcceptSample(const Message& sample) {
    // TCP neither loses nor reorders, so a gap means the server is broken.
    if (sample.sequence != m_received) return Lose(kSimErrorProtocol);
    ++m_received;
    m_held.push_back(ToRecord(sample));
    return 0;
}

int32_t SimClient::Request(const Message& request, MessageType replyType, Message& reply) {
    if (m_state != State::kConnected) return StateError();
    if (const int32_t failure = SendMessage(request); failure != 0) return failure;
    while (true) {
        int32_t failure = 0;
        const Read read = NextMessage(reply, kReplyTimeoutMs, &failure);
        if (read == Read::kFailed) return failure;
        if (read == Read::kTimeout) return Lose(kTrackerErrorConnectionLost);
        if (reply.type == replyType) return 0;
        if (reply.type != MessageType::kSample) return Lose(kSimErrorProtocol);
        if (const int32_t bad = AcceptSample(reply); bad != 0) return bad;
    }
}

TrackerRecord SimClient::ToRecord(const Message& sample) const {
    // The tracker's own time, as a real tracker library gives it: mapping it
    // to this computer's clock is the host's business (through ttime.dll).
    int64_t seconds = sample.time / 1000000;
    int64_t micros = sample.time % 1000000;
    if (micros < 0) {  // keep 0 <= microseconds < 1e6 for times before the clock's origin
        micros += 1000000;
        seconds -= 1;
    }
    TrackerRecord record{};
    record.timeSeconds = static_cast<int32_t>(seconds);
    record.timeMicroseconds = static_cast<int32_t>(micros);
    record.first = sample.first;
    record.second = sample.second;
    return record;
}

int32_t SimClient::Connect(const char* host, int32_t port, int32_t mode) {
    if (m_state == State::kConnected) return kSimErrorAlreadyConnected;
    if (host == nullptr || port < 1 || port > 65535) return kSimErrorInvalidArgument;
    // A lost connection is replaced.
    m_socket.Close();
    m_decoder = FrameDecoder();
    m_held.clear();
    m_state = State::kDisconnected;
    m_received = 0;
    m_delivered = 0;
    m_serverSentAtStop = 0;

    m_socket = TcpSocket::Connect(host, static_cast<uint16_t>(port), kConnectTimeoutMs, nullptr);
    if (!m_socket.IsOpen()) return kSimErrorServerUnreachable;
    std::vector<uint8_t> frame;
    EncodeMessage(MakeHello(mode, m_clock()), frame);
    if (!m_socket.SendAll(frame.data(), frame.size(), kSendTimeoutMs)) {
        m_socket.Close();
        return kSimErrorServerUnreachable;
    }
    Message reply;
    int32_t failure = 0;
    const Read read = NextMessage(reply, kReplyTimeoutMs, &failure);
    if (read != Read::kMessage || reply.type != MessageType::kHelloReply || reply.status != 0) {
        // A server that closes at once has refused us; one that answers with
        // a failure code has said why.
        m_socket.Close();
        m_state = State::kDisconnected;
        const bool refusedWithCode = read == Read::kMessage && reply.type == MessageType::kHelloReply;
        return refusedWithCode ? reply.status : kSimErrorServerUnreachable;
    }
    m_state = State::kConnected;
    m_connectionId = reply.id;
    return 0;
}

int32_t SimClient::Disconnect() {
    if (m_delivering) return kSimErrorNotDelivering;
    if (m_state == State::kDisconnected) return kTrackerErrorNotConnected;
    if (m_state == State::kConnected) {
        Message goodbye;
        goodbye.type = MessageType::kGoodbye;
        std::vector<uint8_t> frame;
        EncodeMessage(goodbye, frame);
        m_socket.SendAll(frame.data(), frame.size(), kSendTimeoutMs);  // best effort: we leave either way
    }
    m_socket.Close();
    m_decoder = FrameDecoder();
    m_held.clear();
    m_state = State::kDisconnected;
    return 0;
}

void SimClient::Deliver(DeliveryCallback callback, void* context, const TrackerRecord& record) {
    TrackerRecord copy = record;  // the callback may scribble on it
    ++m_delivered;
    callback(kTrackerReasonSample, &copy, context);
}

int32_t SimClient::Start(DeliveryCallback callback, void* context, int32_t flags) {
    if (m_delivering) return kSimErrorNotDelivering;
    if (m_state != State::kConnected) return StateError();
    if (callback == nullptr) return kSimErrorInvalidArgument;

    struct DeliveringScope {
        explicit DeliveringScope(bool& flag) : m_flag(flag) { m_flag = true; }
        ~DeliveringScope() { m_flag = false; }
        bool& m_flag;
    } scope(m_delivering);
    m_stopRequested = false;

    // What the previous run left in flight comes first.
    while (!m_held.empty() && !m_stopRequested) {
        const TrackerRecord record = m_held.front();
        m_held.pop_front();
        Deliver(callback, context, record);
    }
    if (m_stopRequested) return 0;

    Message start;
    start.type = MessageType::kStart;
    start.mode = flags;
    Message reply;
    if (const int32_t failure = Request(start, MessageType::kStartReply, reply); failure != 0) return failure;
    if (reply.status != 0) return reply.status;

    int64_t lastCallback = m_clock();
    while (true) {
        // Samples that arrived with the start reply wait in m_held.
        while (!m_held.empty() && !m_stopRequested) {
            const TrackerRecord record = m_held.front();
            m_held.pop_front();
            Deliver(callback, context, record);
            lastCallback = m_clock();
        }
        if (m_stopRequested) break;

        const int64_t idleDue = lastCallback + int64_t{kIdleIntervalMs} * 1000;
        const int64_t waitMicros = idleDue - m_clock();
        if (waitMicros <= 0) {
            TrackerRecord empty{};
            callback(kTrackerReasonIdle, &empty, context);
            lastCallback = m_clock();
            continue;
        }
        Message message;
        int32_t failure = 0;
        const Read read = NextMessage(message, static_cast<int>((waitMicros + 999) / 1000), &failure);
        if (read == Read::kFailed) return failure;
        if (read == Read::kTimeout) continue;
        if (message.type != MessageType::kSample) return Lose(kSimErrorProtocol);
        if (const int32_t bad = AcceptSample(message); bad != 0) return bad;
    }
    return StopStream();
}

int32_t SimClient::StopStream() {
    Message stop;
    stop.type = MessageType::kStop;
    Message ack;
    // Samples that were on the way are kept for the next start (Request holds them).
    if (const int32_t failure = Request(stop, MessageType::kStopAck, ack); failure != 0) return failure;
    m_serverSentAtStop = ack.sequence;
    if (ack.sequence != m_received) return Lose(kSimErrorProtocol);
    return 0;
}

int32_t SimClient::RequestStop() {
    if (!m_delivering) return kSimErrorNotDelivering;
    m_stopRequested = true;
    return 0;
}

int32_t SimClient::SystemCheck() {
    if (m_delivering) return kSimErrorNotDelivering;
    Message request;
    request.type = MessageType::kSystemCheck;
    Message reply;
    if (const int32_t failure = Request(request, MessageType::kSystemCheckReply, reply); failure != 0) return failure;
    return reply.status;
}

int32_t SimClient::CalibClear() {
    if (m_delivering) return kSimErrorNotDelivering;
    Message request;
    request.type = MessageType::kCalibClear;
    Message reply;
    if (const int32_t failure = Request(request, MessageType::kCalibReply, reply); failure != 0) return failure;
    return reply.status;
}

int32_t SimClient::CalibAddPoint(float x, float y, int32_t mode, int32_t reserved1, int32_t reserved2,
                                 int32_t reserved3) {
    if (m_delivering) return kSimErrorNotDelivering;
    Message request;
    request.type = MessageType::kCalibAddPoint;
    request.x = x;
    request.y = y;
    request.mode = mode;
    request.reserved[0] = reserved1;
    request.reserved[1] = reserved2;
    request.reserved[2] = reserved3;
    Message reply;
    if (const int32_t failure = Request(request, MessageType::kCalibReply, reply); failure != 0) return failure;
    return reply.status;
}

int32_t SimClient::CalibCalculate() {
    if (m_delivering) return kSimErrorNotDelivering;
    Message request;
    request.type = MessageType::kCalibCalculate;
    Message reply;
    if (const int32_t failure = Request(request, MessageType::kCalibReply, reply); failure != 0) return failure;
    return reply.status;
}

}  // namespace okulon::sim
