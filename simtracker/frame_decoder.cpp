#include "simtracker/frame_decoder.h"

namespace okulon::sim {

void FrameDecoder::Append(const uint8_t* data, size_t size) {
    if (m_error || size == 0) return;
    // Drop what was consumed before the buffer grows, so it stays about one read long.
    if (m_readPosition > 0 && m_readPosition == m_buffer.size()) {
        m_buffer.clear();
        m_readPosition = 0;
    } else if (m_readPosition > 4096) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_readPosition));
        m_readPosition = 0;
    }
    m_buffer.insert(m_buffer.end(), data, data + size);
}

FrameDecoder::Result FrameDecoder::Next(Message& message) {
    if (m_error) return Result::kError;
    const size_t available = m_buffer.size() - m_readPosition;
    if (available < kFrameHeaderSize) return Result::kNeedMore;
    const uint8_t* header = m_buffer.data() + m_readPosition;
    const uint32_t length = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                            static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
    const uint16_t type = static_cast<uint16_t>(header[4] | header[5] << 8);
    const uint16_t reserved = static_cast<uint16_t>(header[6] | header[7] << 8);
    // Check the header before waiting for the body: a bad length must not make us wait for gigabytes.
    const int expected = BodySizeOf(type);
    if (reserved != 0 || expected < 0 || length != static_cast<uint32_t>(expected) || length > kMaxFrameBody) {
        m_error = true;
        return Result::kError;
    }
    if (available < kFrameHeaderSize + length) return Result::kNeedMore;
    if (!DecodeMessageBody(type, header + kFrameHeaderSize, length, message)) {
        m_error = true;
        return Result::kError;
    }
    m_readPosition += kFrameHeaderSize + length;
    return Result::kMessage;
}

}  // namespace okulon::sim
