// Wire format between the simulated tracker server and its client library.
//
// Every message is a frame: an 8-byte header (body length as uint32, message
// type as uint16, a zero uint16), then the body; all integers little-endian,
// floats as their IEEE bit patterns. The client speaks first (Hello) and every
// request gets exactly one reply, in order. After a successful Start the server
// sends Sample frames until it receives Stop, which it answers with StopAck
// carrying the number of samples it has sent on this connection; every Sample
// written before the StopAck therefore precedes it on the stream. Sample
// sequence numbers count from 0 per connection without gaps. Every time the
// server sends is on the tracker's clock, which is not the client's: a client
// estimates it with TimeSync round trips after the Hello. A Hello with mode
// kTimeSyncMode opens a connection for time requests only (a time library's),
// which the server neither counts as a client nor refuses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tracker/contract/tracker_records.h"

namespace okulon::sim {

constexpr uint32_t kProtocolVersion = 1;
constexpr size_t kFrameHeaderSize = 8;
constexpr size_t kMaxFrameBody = 256;
constexpr int32_t kTimeSyncMode = 0x54494D45;  // "TIME"

enum class MessageType : uint16_t {
    kHello = 1,             // c->s: id = protocol version, mode, time = client clock (us)
    kHelloReply = 2,        // s->c: status, id = connection id, time = tracker clock (us)
    kStart = 3,             // c->s: mode
    kStartReply = 4,        // s->c: status
    kStop = 5,              // c->s
    kStopAck = 6,           // s->c: sequence = samples sent on this connection
    kSystemCheck = 7,       // c->s
    kSystemCheckReply = 8,  // s->c: status
    kCalibClear = 9,        // c->s
    kCalibAddPoint = 10,    // c->s: x, y, mode, reserved[3]
    kCalibCalculate = 11,   // c->s
    kCalibReply = 12,       // s->c: status (answers the three calibration requests)
    kSample = 13,           // s->c: sequence, time = tracker clock (us), first, second
    kGoodbye = 14,          // c->s: the client is leaving
    kTimeSync = 15,         // c->s: time = client clock (us)
    kTimeSyncReply = 16,    // s->c: time = tracker clock (us) when the request was read
};

// One decoded message; which fields a type carries is listed above, the rest stay zero.
struct Message {
    MessageType type = MessageType::kHello;
    int32_t status = 0;
    int32_t mode = 0;
    uint32_t id = 0;
    int64_t time = 0;
    uint64_t sequence = 0;
    float x = 0.0f;
    float y = 0.0f;
    int32_t reserved[3] = {0, 0, 0};
    TrackerEyeBlock first{};
    TrackerEyeBlock second{};
};

// A client's first message: this protocol version, the connection mode and
// the client's clock.
inline Message MakeHello(int32_t mode, int64_t clientTime) {
    Message hello;
    hello.type = MessageType::kHello;
    hello.id = kProtocolVersion;
    hello.mode = mode;
    hello.time = clientTime;
    return hello;
}

// Appends the whole frame of a message to out.
void EncodeMessage(const Message& message, std::vector<uint8_t>& out);

// Reads a message of the given type from a frame body; false when the type is
// unknown or the body does not have that type's exact size.
bool DecodeMessageBody(uint16_t type, const uint8_t* body, size_t size, Message& message);

// Body size of a type, or -1 for an unknown type.
int BodySizeOf(uint16_t type);

}  // namespace okulon::sim
