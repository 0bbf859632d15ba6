// Where a worker connects: a copy of the object's host name and port, taken on
// the host's thread when the worker is started. The worker reads only its copy,
// so a later SendCommand can rewrite the settings without a worker ever seeing
// a half-written host name.
//
// Threads: made on the host's thread, then owned and read by one worker.
#pragma once

#include <cstdint>
#include <string>

namespace okulon {

struct TrackerEndpoint {
    std::string host;  // 8-bit text as handed to the tracker library's connect
    int32_t port = 0;
};

}  // namespace okulon
