#include "simtracker/sim_protocol.h"

#include <cstring>

namespace okulon::sim {
namespace {

constexpr size_t kEyeBlockWireSize = 28;

class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : m_out(out) {}
    void U16(uint16_t v) {
        for (int i = 0; i < 2; ++i) m_out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void U32(uint32_t v) {
        for (int i = 0; i < 4; ++i) m_out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void U64(uint64_t v) {
        for (int i = 0; i < 8; ++i) m_out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
    void I64(int64_t v) { U64(static_cast<uint64_t>(v)); }
    void F32(float v) {
        uint32_t bits = 0;
        std::memcpy(&bits, &v, sizeof bits);
        U32(bits);
    }
    void Eye(const TrackerEyeBlock& eye) {
        F32(eye.gazeX);
        F32(eye.gazeY);
        F32(eye.cameraX);
        F32(eye.cameraY);
        F32(eye.pupilSize);
        F32(eye.distance);
        I32(eye.validity);
    }

private:
    std::vector<uint8_t>& m_out;
};

class Reader {
public:
    explicit Reader(const uint8_t* data) : m_data(data) {}
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(m_data[m_position++]) << (8 * i);
        return v;
    }
    uint64_t U64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<uint64_t>(m_data[m_position++]) << (8 * i);
        return v;
    }
    int32_t I32() { return static_cast<int32_t>(U32()); }
    int64_t I64() { return static_cast<int64_t>(U64()); }
    float F32() {
        const uint32_t bits = U32();
        float v = 0.0f;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    TrackerEyeBlock Eye() {
        TrackerEyeBlock eye{};
        eye.gazeX = F32();
        eye.gazeY = F32();
        eye.cameraX = F32();
        eye.cameraY = F32();
        eye.pupilSize = F32();
        eye.distance = F32();
        eye.validity = I32();
        return eye;
    }

private:
    const uint8_t* m_data;
    size_t m_position = 0;
};

}  // namespace

int BodySizeOf(uint16_t type) {
    switch (static_cast<MessageType>(type)) {
    case MessageType::kHello:
        return 4 + 4 + 8;
    case MessageType::kHelloReply:
        return 4 + 4 + 8;
    case MessageType::kStart:
        return 4;
    case MessageType::kStartReply:
    case MessageType::kSystemCheckReply:
    case MessageType::kCalibReply:
        return 4;
    case MessageType::kStopAck:
        return 8;
    case MessageType::kTimeSync:
    case MessageType::kTimeSyncReply:
        return 8;
    case MessageType::kCalibAddPoint:
        return 4 * 6;
    case MessageType::kSample:
        return 8 + 8 + 2 * static_cast<int>(kEyeBlockWireSize);
    case MessageType::kStop:
    case MessageType::kSystemCheck:
    case MessageType::kCalibClear:
    case MessageType::kCalibCalculate:
    case MessageType::kGoodbye:
        return 0;
    }
    return -1;
}

void EncodeMessage(const Message& m, std::vector<uint8_t>& out) {
    const int size = BodySizeOf(static_cast<uint16_t>(m.type));
    if (size < 0) return;
    Writer w(out);
    w.U32(static_cast<uint32_t>(size));
    w.U16(static_cast<uint16_t>(m.type));
    w.U16(0);
    switch (m.type) {
    case MessageType::kHello:
        w.U32(m.id);
        w.I32(m.mode);
        w.I64(m.time);
        break;
    case MessageType::kHelloReply:
        w.I32(m.status);
        w.U32(m.id);
        w.I64(m.time);
        break;
    case MessageType::kStart:
        w.I32(m.mode);
        break;
    case MessageType::kStartReply:
    case MessageType::kSystemCheckReply:
    case MessageType::kCalibReply:
        w.I32(m.status);
        break;
    case MessageType::kStopAck:
        w.U64(m.sequence);
        break;
    case MessageType::kTimeSync:
    case MessageType::kTimeSyncReply:
        w.I64(m.time);
        break;
    case MessageType::kCalibAddPoint:
        w.F32(m.x);
        w.F32(m.y);
        w.I32(m.mode);
        for (int32_t r : m.reserved) w.I32(r);
        break;
    case MessageType::kSample:
        w.U64(m.sequence);
        w.I64(m.time);
        w.Eye(m.first);
        w.Eye(m.second);
        break;
    default:
        break;
    }
}

bool DecodeMessageBody(uint16_t type, const uint8_t* body, size_t size, Message& m) {
    const int expected = BodySizeOf(type);
    if (expected < 0 || static_cast<size_t>(expected) != size) {
        return false;
    }
    m = Message();
    m.type = static_cast<MessageType>(type);
    Reader r(body);
    switch (m.type) {
    case MessageType::kHello:
        m.id = r.U32();
        m.mode = r.I32();
        m.time = r.I64();
        break;
    case MessageType::kHelloReply:
        m.status = r.I32();
        m.id = r.U32();
        m.time = r.I64();
        break;
    case MessageType::kStart:
        m.mode = r.I32();
        break;
    case MessageType::kStartReply:
    case MessageType::kSystemCheckReply:
    case MessageType::kCalibReply:
        m.status = r.I32();
        break;
    case MessageType::kStopAck:
        m.sequence = r.U64();
        break;
    case MessageType::kTimeSync:
    case MessageType::kTimeSyncReply:
        m.time = r.I64();
        break;
    case MessageType::kCalibAddPoint:
        m.x = r.F32();
        m.y = r.F32();
        m.mode = r.I32();
        for (int32_t& reserved : m.reserved) reserved = r.I32();
        break;
    case MessageType::kSample:
        m.sequence = r.U64();
        m.time = r.I64();
        m.first = r.Eye();
        m.second = r.Eye();
        break;
    default:
        break;
    }
    return true;
}

}  // namespace okulon::sim
