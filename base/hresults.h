// Result codes of the COM frame as plain constants, so that platform-free code
// (built natively as well as into the DLL) can return and test them without
// <windows.h>. The names differ from the platform's macros on purpose: those
// macros would expand inside any declaration that reused their spelling.
#pragma once

#include <cstdint>
#include <new>

namespace okulon {

using HResult = int32_t;

constexpr HResult kSOk = 0;
constexpr HResult kSFalse = 1;
constexpr HResult kENotImpl = static_cast<HResult>(0x80004001u);
constexpr HResult kENoInterface = static_cast<HResult>(0x80004002u);
constexpr HResult kEPointer = static_cast<HResult>(0x80004003u);
constexpr HResult kEFail = static_cast<HResult>(0x80004005u);
constexpr HResult kEUnexpected = static_cast<HResult>(0x8000FFFFu);
constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000Eu);
constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057u);
constexpr HResult kHResultInsufficientBuffer = static_cast<HResult>(0x8007007Au);
constexpr HResult kDispETypeMismatch = static_cast<HResult>(0x80020005u);
constexpr HResult kDispEException = static_cast<HResult>(0x80020009u);
constexpr HResult kDispEOverflow = static_cast<HResult>(0x8002000Au);
constexpr HResult kClassENoAggregation = static_cast<HResult>(0x80040110u);
constexpr HResult kClassEClassNotAvailable = static_cast<HResult>(0x80040111u);

constexpr bool Succeeded(HResult hr) { return hr >= 0; }
constexpr bool Failed(HResult hr) { return hr < 0; }

// A Win32 error code c > 0 becomes 0x8007xxxx with the low 16 bits of c; zero
// and negative values are already HRESULTs and pass unchanged.
constexpr HResult HResultFromWin32(int32_t code) {
    if (code <= 0) {
        return code;
    }
    return static_cast<HResult>(0x80070000u | (static_cast<uint32_t>(code) & 0xFFFFu));
}

// Early returns for long sequences of steps. Each evaluates its argument once.
#define OKULON_RETURN_IF_FAILED(expression)                   \
    do {                                                      \
        const ::okulon::HResult okulonResult_ = (expression); \
        if (::okulon::Failed(okulonResult_)) {                \
            return okulonResult_;                             \
        }                                                     \
    } while (false)

// Called inside catch (...): the one rule by which every boundary (the COM
// methods, the exports, the registrar) turns an exception into a result, so
// that nothing escapes into the host or the installer.
inline HResult HResultFromCaughtException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return kEOutOfMemory;
    } catch (...) {
        return kEUnexpected;
    }
}

}  // namespace okulon
