#include "rogue_tracker_server.h"

#include <string>
#include <vector>

#include "simtracker/frame_decoder.h"
#include "simtracker/monotonic_clock.h"
#include "simtracker/sim_protocol.h"

namespace okulon::reliability {
namespace {

constexpr int kPollSliceMs = 20;
constexpr int kSamplesBeforeStreamingFault = 50;

// A frame header that names no message type: the client's decoder must give
// up on the stream rather than guess.
std::vector<uint8_t> MalformedFrame() {
    return {0x10, 0x00, 0x00, 0x00, 0xE7, 0x03, 0x00, 0x00, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
}

bool Send(sim::TcpSocket& socket, const std::vector<uint8_t>& bytes) {
    return socket.SendAll(bytes.data(), bytes.size(), 2000);
}

bool SendMessage(sim::TcpSocket& socket, const sim::Message& message) {
    std::vector<uint8_t> frame;
    sim::EncodeMessage(message, frame);
    return Send(socket, frame);
}

}  // namespace

RogueTrackerServer::RogueTrackerServer(Fault fault, Where where, int lifetimeSeconds)
    : m_fault(fault), m_where(where), m_lifetimeSeconds(lifetimeSeconds) {
    std::string error;
    if (m_listener.Listen(0, &error)) m_thread = std::thread([this] { AcceptLoop(); });
}

RogueTrackerServer::~RogueTrackerServer() {
    m_stopRequested = true;
    if (m_thread.joinable()) m_thread.join();
}

void RogueTrackerServer::AcceptLoop() {
    const int64_t end = sim::MonotonicMicros() + int64_t{m_lifetimeSeconds} * 1000000;
    while (!m_stopRequested && sim::MonotonicMicros() < end) {
        sim::TcpSocket socket = m_listener.Accept(kPollSliceMs);
        if (socket.IsOpen()) Serve(socket);
    }
    m_listener.Close();
}

void RogueTrackerServer::Serve(sim::TcpSocket& socket) {
    sim::FrameDecoder decoder;
    bool streaming = false;
    uint64_t sent = 0;
    bool faulted = false;
    auto deliverFault = [&]() -> bool {
        if (!faulted) ++m_faultsDelivered;
        faulted = true;
        if (m_fault == Fault::kGarbage) Send(socket, MalformedFrame());
        // Silence keeps the connection open until the client gives up;
        // garbage and closing end it from this side.
        return m_fault == Fault::kSilence;
    };

    while (!m_stopRequested) {
        if (faulted) {
            // Silent: read and ignore until the client leaves.
            if (socket.WaitReadable(kPollSliceMs) == sim::TcpSocket::Wait::kReady) {
                uint8_t buffer[1024];
                size_t received = 0;
                const auto io = socket.Receive(buffer, sizeof buffer, &received);
                if (io == sim::TcpSocket::Io::kClosed || io == sim::TcpSocket::Io::kError) return;
            }
            continue;
        }
        if (streaming && m_where == Where::kStreaming && sent >= kSamplesBeforeStreamingFault) {
            if (!deliverFault()) return;
            continue;
        }
        if (streaming) {
            sim::Message sample;
            sample.type = sim::MessageType::kSample;
            sample.sequence = sent++;
            sample.time = sim::MonotonicMicros();
            sample.first.gazeX = sample.second.gazeX = 0.5f;
            sample.first.gazeY = sample.second.gazeY = 0.5f;
            if (!SendMessage(socket, sample)) return;
        }
        const auto wait = socket.WaitReadable(streaming ? 1 : kPollSliceMs);
        if (wait == sim::TcpSocket::Wait::kError) return;
        if (wait == sim::TcpSocket::Wait::kReady) {
            uint8_t buffer[1024];
            size_t received = 0;
            const auto io = socket.Receive(buffer, sizeof buffer, &received);
            if (io == sim::TcpSocket::Io::kClosed || io == sim::TcpSocket::Io::kError) return;
            decoder.Append(buffer, received);
        }
        sim::Message request;
        sim::FrameDecoder::Result result;
        while (!faulted && (result = decoder.Next(request)) == sim::FrameDecoder::Result::kMessage) {
            sim::Message reply;
            switch (request.type) {
            case sim::MessageType::kHello:
                if (m_where == Where::kConnect) {
                    if (!deliverFault()) return;
                    continue;
                }
                reply.type = sim::MessageType::kHelloReply;
                reply.id = 1;
                reply.time = sim::MonotonicMicros();
                break;
            case sim::MessageType::kTimeSync:
                reply.type = sim::MessageType::kTimeSyncReply;
                reply.time = sim::MonotonicMicros();
                break;
            case sim::MessageType::kSystemCheck:
                reply.type = sim::MessageType::kSystemCheckReply;
                break;
            case sim::MessageType::kStart:
                reply.type = sim::MessageType::kStartReply;
                streaming = true;
                break;
            case sim::MessageType::kStop:
                streaming = false;
                reply.type = sim::MessageType::kStopAck;
                reply.sequence = sent;
                break;
            case sim::MessageType::kCalibClear:
            case sim::MessageType::kCalibAddPoint:
            case sim::MessageType::kCalibCalculate:
                if (m_where == Where::kCalibration) {
                    if (!deliverFault()) return;
                    continue;
                }
                reply.type = sim::MessageType::kCalibReply;
                break;
            default:
                return;  // goodbye, or something a client never sends
            }
            if (!SendMessage(socket, reply)) return;
        }
        if (!faulted && decoder.HasError()) return;
    }
}

}  // namespace okulon::reliability
