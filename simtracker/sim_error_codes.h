// Failure codes of the stand-in tracker library beyond the four that the
// extension gives a meaning (tracker/contract/tracker_records.h: 1 not connected,
// 2 connection lost, 11 calibration failed, 13 streaming off).
#pragma once

#include <cstdint>

#include "tracker/contract/tracker_records.h"

namespace okulon::sim {

constexpr int32_t kSimErrorServerUnreachable = 3;  // connect: no server, refused or no answer
constexpr int32_t kSimErrorAlreadyConnected = 4;   // connect: this thread already has a connection
constexpr int32_t kSimErrorInvalidArgument = 5;    // null callback or host, bad port, point off screen
constexpr int32_t kSimErrorProtocol = 6;           // the server sent something malformed; connection closed
constexpr int32_t kSimErrorNotDelivering = 7;      // stop outside a callback, or start inside one
constexpr int32_t kSimErrorInternal = 8;           // out of memory or another unexpected failure

}  // namespace okulon::sim
