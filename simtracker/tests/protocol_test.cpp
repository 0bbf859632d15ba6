#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "simtracker/frame_decoder.h"
#include "simtracker/sim_protocol.h"

namespace okulon::sim {
namespace {

Message FullSample() {
    Message m;
    m.type = MessageType::kSample;
    m.sequence = 0x0102030405060708ull;
    m.time = -123456789012345;
    m.first = {0.25f, 0.75f, 0.1f, 0.2f, 3.5f, 600.0f, 0};
    m.second = {0.5f, 0.5f, 0.3f, 0.4f, 3.75f, 610.0f, 4};
    return m;
}

TEST(ProtocolTest, EveryMessageTypeSurvivesEncodeAndDecode) {
    std::vector<Message> messages;
    Message hello;
    hello.type = MessageType::kHello;
    hello.id = kProtocolVersion;
    hello.mode = 3;
    hello.time = 987654321;
    messages.push_back(hello);
    Message helloReply;
    helloReply.type = MessageType::kHelloReply;
    helloReply.status = 0;
    helloReply.id = 7;
    helloReply.time = -5;
    messages.push_back(helloReply);
    Message point;
    point.type = MessageType::kCalibAddPoint;
    point.x = 0.1f;
    point.y = 0.9f;
    point.mode = 6;
    point.reserved[0] = 1;
    point.reserved[1] = -2;
    point.reserved[2] = 3;
    messages.push_back(point);
    Message ack;
    ack.type = MessageType::kStopAck;
    ack.sequence = 42;
    messages.push_back(ack);
    Message check;
    check.type = MessageType::kSystemCheckReply;
    check.status = 13;
    messages.push_back(check);
    messages.push_back(FullSample());
    Message sync;
    sync.type = MessageType::kTimeSyncReply;
    sync.time = 1234567890123;
    messages.push_back(sync);
    for (MessageType bare : {MessageType::kStop, MessageType::kSystemCheck, MessageType::kCalibClear,
                             MessageType::kCalibCalculate, MessageType::kGoodbye}) {
        Message m;
        m.type = bare;
        messages.push_back(m);
    }

    std::vector<uint8_t> stream;
    for (const Message& m : messages) EncodeMessage(m, stream);
    FrameDecoder decoder;
    decoder.Append(stream.data(), stream.size());
    for (const Message& expected : messages) {
        Message decoded;
        ASSERT_EQ(decoder.Next(decoded), FrameDecoder::Result::kMessage);
        EXPECT_EQ(decoded.type, expected.type);
        EXPECT_EQ(decoded.status, expected.status);
        EXPECT_EQ(decoded.mode, expected.mode);
        EXPECT_EQ(decoded.id, expected.id);
        EXPECT_EQ(decoded.time, expected.time);
        EXPECT_EQ(decoded.sequence, expected.sequence);
        EXPECT_EQ(decoded.x, expected.x);
        EXPECT_EQ(decoded.y, expected.y);
        EXPECT_EQ(std::memcmp(decoded.reserved, expected.reserved, sizeof decoded.reserved), 0);
        EXPECT_EQ(std::memcmp(&decoded.first, &expected.first, sizeof decoded.first), 0);
        EXPECT_EQ(std::memcmp(&decoded.second, &expected.second, sizeof decoded.second), 0);
    }
    Message none;
    EXPECT_EQ(decoder.Next(none), FrameDecoder::Result::kNeedMore);
    EXPECT_EQ(decoder.Buffered(), 0u);
}

TEST(ProtocolTest, EncodingIsLittleEndianWithAnEightByteHeader) {
    Message ack;
    ack.type = MessageType::kStopAck;
    ack.sequence = 0x1122334455667788ull;
    std::vector<uint8_t> bytes;
    EncodeMessage(ack, bytes);
    const std::vector<uint8_t> expected = {8, 0, 0, 0, 6, 0, 0, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(bytes, expected);
}

TEST(ProtocolTest, MessagesSplitAtEveryByteComeOutWhole) {
    std::vector<uint8_t> stream;
    for (int i = 0; i < 3; ++i) {
        Message m = FullSample();
        m.sequence = static_cast<uint64_t>(i);
        EncodeMessage(m, stream);
    }
    FrameDecoder decoder;
    std::vector<uint64_t> sequences;
    for (uint8_t byte : stream) {
        decoder.Append(&byte, 1);
        Message m;
        while (decoder.Next(m) == FrameDecoder::Result::kMessage) sequences.push_back(m.sequence);
    }
    EXPECT_EQ(sequences, (std::vector<uint64_t>{0, 1, 2}));
}

TEST(ProtocolTest, MalformedHeadersPutTheDecoderIntoALastingError) {
    const std::vector<std::vector<uint8_t>> bad = {
        {0, 0, 0, 0, 99, 0, 0, 0},              // unknown type
        {4, 0, 0, 0, 5, 0, 0, 0, 1, 2, 3, 4},   // Stop has no body
        {0, 0, 0, 0, 5, 0, 1, 0},               // reserved field set
        {0xFF, 0xFF, 0xFF, 0x7F, 13, 0, 0, 0},  // huge length: refused before the body arrives
    };
    for (const auto& frame : bad) {
        FrameDecoder decoder;
        decoder.Append(frame.data(), frame.size());
        Message m;
        EXPECT_EQ(decoder.Next(m), FrameDecoder::Result::kError);
        EXPECT_TRUE(decoder.HasError());
        // Good frames after the bad one are not trusted any more.
        std::vector<uint8_t> good;
        Message stop;
        stop.type = MessageType::kStop;
        EncodeMessage(stop, good);
        decoder.Append(good.data(), good.size());
        EXPECT_EQ(decoder.Next(m), FrameDecoder::Result::kError);
    }
}

TEST(ProtocolTest, BodyOfTheWrongSizeIsNotDecoded) {
    uint8_t body[4] = {1, 2, 3, 4};
    Message m;
    EXPECT_FALSE(DecodeMessageBody(static_cast<uint16_t>(MessageType::kSample), body, sizeof body, m));
    EXPECT_FALSE(DecodeMessageBody(0, body, 0, m));
    EXPECT_TRUE(DecodeMessageBody(static_cast<uint16_t>(MessageType::kStartReply), body, sizeof body, m));
    EXPECT_EQ(m.status, 0x04030201);
}

}  // namespace
}  // namespace okulon::sim
