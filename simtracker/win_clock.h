// The local clock of the stand-in tracker libraries (Windows only): the
// performance counter in microseconds. tet.dll stamps records with it and
// ttime.dll answers TT_GetLocalTimeStamp with it, so both read one clock.
#pragma once

#include <cstdint>

namespace okulon::sim {

int64_t QpcMicroseconds();

}  // namespace okulon::sim
