// This computer's clock in the stand-in tracker libraries (Windows only): the
// performance counter in microseconds. tet.dll times its waits with it;
// ttime.dll maps it onto the tracker's clock.
#pragma once

#include <cstdint>

namespace okulon::sim {

int64_t QpcMicroseconds();

}  // namespace okulon::sim
