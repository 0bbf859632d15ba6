#include "host/tracker_explain.h"

#include "simtracker/sim_error_codes.h"
#include "tracker/contract/tracker_records.h"

namespace okulon::host {

const char* ExplainTrackerCode(int32_t code) {
    switch (code) {
    case 0:
        return "the tracker is ready";
    case okulon::kTrackerErrorNotConnected:
        return "not connected: the tracker server does not answer; hosts see \"Tracker not connected\"";
    case okulon::kTrackerErrorConnectionLost:
        return "connection lost: the tracker server went away; hosts see \"Tracker not connected\"";
    case okulon::kTrackerErrorCalibrationFailed:
        return "calibration failed";
    case okulon::kTrackerErrorStreamingOff:
        return "streaming is switched off at the tracker server: StartTracking succeeds but no gaze data arrives";
    default:
        return "a code of the tracker library that has no special meaning to Okulon (see the tracker's manual)";
    }
}

std::string ExplainConnectFailure(int32_t code, bool standIn) {
    if (standIn && code == okulon::sim::kSimErrorServerUnreachable)
        return "no tracker server answered there: nothing listens at that host and port, or it refused or timed out";
    if (standIn && code == okulon::sim::kSimErrorInvalidArgument) return "the host name or port is not valid";
    if (code == okulon::kTrackerErrorNotConnected || code == okulon::kTrackerErrorConnectionLost)
        return ExplainTrackerCode(code);
    return "the tracker library could not connect to the tracker server; code " + std::to_string(code) +
           " is the library's own (see the tracker's manual)";
}

}  // namespace okulon::host
