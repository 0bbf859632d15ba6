#include "server/okulon_module.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace okulon {

COkulonModule& Module() noexcept {
    static COkulonModule module;
    return module;
}

HMODULE ThisModuleHandle() noexcept { return reinterpret_cast<HMODULE>(&__ImageBase); }

}  // namespace okulon
