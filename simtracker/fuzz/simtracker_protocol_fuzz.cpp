// Bytes from a peer, in arbitrary pieces: the frame decoder must never crash,
// never read past its input, stay in error once a frame is bad, and every
// message it decodes must encode back to the very bytes it came from.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "simtracker/frame_decoder.h"
#include "simtracker/sim_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses how the stream is cut into reads.
    const size_t piece = static_cast<size_t>(data[0] % 64) + 1;
    ++data;
    --size;

    okulon::sim::FrameDecoder decoder;
    std::vector<uint8_t> reencoded;
    size_t consumed = 0;
    bool failed = false;
    for (size_t offset = 0; offset < size; offset += piece) {
        const size_t length = size - offset < piece ? size - offset : piece;
        decoder.Append(data + offset, length);
        okulon::sim::Message message;
        okulon::sim::FrameDecoder::Result result;
        while ((result = decoder.Next(message)) == okulon::sim::FrameDecoder::Result::kMessage) {
            if (failed) std::abort();
            reencoded.clear();
            okulon::sim::EncodeMessage(message, reencoded);
            if (consumed + reencoded.size() > size ||
                std::memcmp(reencoded.data(), data + consumed, reencoded.size()) != 0) {
                std::abort();
            }
            consumed += reencoded.size();
        }
        if (result == okulon::sim::FrameDecoder::Result::kError) failed = true;
        if (failed && !decoder.HasError()) std::abort();
    }
    return 0;
}
