// What the tracker library's codes mean to a researcher, in plain words: the
// check tool's explanations, which the host program gives as well when a
// session receives nothing.
#pragma once

#include <cstdint>
#include <string>

namespace okulon::host {

// A code of the tracker library (0: the tracker is ready).
const char* ExplainTrackerCode(int32_t code);

// Why a connection failed; standIn: the library is the simulator's stand-in,
// whose own codes Okulon knows.
std::string ExplainConnectFailure(int32_t code, bool standIn);

}  // namespace okulon::host
