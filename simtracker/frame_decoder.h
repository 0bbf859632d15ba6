// Cuts a received byte stream into protocol messages. Bytes go in as they
// arrive (any split), whole messages come out in order. A malformed frame
// (unknown type, wrong body size, non-zero reserved field) puts the decoder in
// a lasting error state: the stream cannot be resynchronised, the connection
// must be closed. Used by one thread (the connection's reader).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simtracker/sim_protocol.h"

namespace okulon::sim {

class FrameDecoder {
public:
    enum class Result { kMessage, kNeedMore, kError };

    void Append(const uint8_t* data, size_t size);

    // The next whole message, if the buffered bytes hold one.
    Result Next(Message& message);

    bool HasError() const { return m_error; }
    size_t Buffered() const { return m_buffer.size() - m_readPosition; }

private:
    std::vector<uint8_t> m_buffer;
    size_t m_readPosition = 0;
    bool m_error = false;
};

}  // namespace okulon::sim
