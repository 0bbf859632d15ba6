#include "simtracker/time_sync_client.h"

#include <vector>

namespace okulon::sim {

bool TimeSyncClient::Connect(const char* host, int32_t port, int timeoutMs) {
    Close();
    if (host == nullptr || port < 1 || port > 65535) return false;
    m_socket = TcpSocket::Connect(host, static_cast<uint16_t>(port), timeoutMs, nullptr);
    if (!m_socket.IsOpen()) return false;
    Message reply;
    if (!Exchange(MakeHello(kTimeSyncMode, m_clock()), MessageType::kHelloReply, timeoutMs, reply) ||
        reply.status != 0) {
        Close();
        return false;
    }
    return true;
}

void TimeSyncClient::Close() {
    m_socket.Close();
    m_decoder = FrameDecoder();
}

bool TimeSyncClient::Exchange(const Message& request, MessageType replyType, int timeoutMs, Message& reply) {
    std::vector<uint8_t> frame;
    EncodeMessage(request, frame);
    if (!m_socket.SendAll(frame.data(), frame.size(), timeoutMs)) return false;
    const int64_t deadline = m_clock() + int64_t{timeoutMs} * 1000;
    while (true) {
        const FrameDecoder::Result result = m_decoder.Next(reply);
        if (result == FrameDecoder::Result::kMessage) return reply.type == replyType;
        if (result == FrameDecoder::Result::kError) return false;
        const int64_t left = deadline - m_clock();
        if (left <= 0) return false;
        const TcpSocket::Wait wait = m_socket.WaitReadable(static_cast<int>((left + 999) / 1000));
        if (wait == TcpSocket::Wait::kError) return false;
        if (wait == TcpSocket::Wait::kTimeout) continue;
        uint8_t buffer[256];
        size_t received = 0;
        const TcpSocket::Io io = m_socket.Receive(buffer, sizeof buffer, &received);
        if (io == TcpSocket::Io::kClosed || io == TcpSocket::Io::kError) return false;
        m_decoder.Append(buffer, received);
    }
}

bool TimeSyncClient::Measure(int rounds, int timeoutMs, SyncPoint& best) {
    if (!IsConnected()) return false;
    best = SyncPoint();
    best.roundTrip = INT64_MAX;
    for (int round = 0; round < rounds; ++round) {
        Message request;
        request.type = MessageType::kTimeSync;
        const int64_t sent = m_clock();
        request.time = sent;
        Message reply;
        if (!Exchange(request, MessageType::kTimeSyncReply, timeoutMs, reply)) {
            Close();
            return false;
        }
        const int64_t received = m_clock();
        if (received - sent < best.roundTrip) {
            best.roundTrip = received - sent;
            best.local = sent + (received - sent) / 2;
            best.tracker = reply.time;
        }
    }
    return rounds > 0;
}

}  // namespace okulon::sim
