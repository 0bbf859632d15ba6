#include "simtracker/screen_cursor.h"

#include <windows.h>

namespace okulon::sim {

bool ReadScreenCursor(double& fractionX, double& fractionY) {
    POINT cursor{};
    if (!GetCursorPos(&cursor)) return false;
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    if (width <= 0 || height <= 0) return false;
    fractionX = static_cast<double>(cursor.x) / width;
    fractionY = static_cast<double>(cursor.y) / height;
    return true;
}

}  // namespace okulon::sim
