// The mouse cursor as the simulated tracker's mouse mode reads it (Windows
// only): its position as fractions of the primary screen's size, which is what
// a tracker reports and what the extension scales by the host's screen size.
// Thread-safe: each server session reads it on its own thread.
#pragma once

namespace okulon::sim {

// False when the position cannot be read (a locked desktop, say).
bool ReadScreenCursor(double& fractionX, double& fractionY);

}  // namespace okulon::sim
