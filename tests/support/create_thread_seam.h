// A seam on thread creation for the conformance tests: this executable's
// import of kernel32's CreateThread is redirected, so that the component
// (linked in statically) can be made to fail to start a worker, or the test
// can hold the calling thread right after a worker was started, or hold the
// worker itself before it runs. Only calls
// from the thread that armed the seam are affected.
#pragma once

#include <windows.h>

#include <cstring>
#include <utility>

#include "base/com_support.h"

namespace okulon::test {

class CreateThreadSeam {
public:
    // Redirects the import once; false when this executable does not import
    // CreateThread by name.
    static bool Install() {
        static const bool installed = PatchImport();
        return installed;
    }

    // The next CreateThread on this thread fails with `error`.
    static void FailNext(DWORD error) { t_failNextWith = error; }

    // The next CreateThread on this thread starts the thread, then waits (at
    // most `timeoutMs`) until `event` is set before it returns.
    static void PauseAfterNext(HANDLE event, DWORD timeoutMs) {
        t_pauseEvent = event;
        t_pauseTimeoutMs = timeoutMs;
    }

    // The next CreateThread on this thread creates the thread suspended; the
    // caller resumes it with the handle that TakeSuspended gives.
    static void SuspendNext() { t_suspendNext = true; }
    static UniqueHandle TakeSuspended() { return UniqueHandle(std::exchange(t_suspended, nullptr)); }

    static void Disarm() {
        t_failNextWith = 0;
        t_pauseEvent = nullptr;
        t_suspendNext = false;
    }

private:
    using CreateThreadFunction = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD,
                                                 LPDWORD);

    static HANDLE WINAPI Replacement(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                                     LPVOID parameter, DWORD flags, LPDWORD id) {
        if (t_failNextWith != 0) {
            SetLastError(t_failNextWith);
            t_failNextWith = 0;
            return nullptr;
        }
        const bool suspend = std::exchange(t_suspendNext, false);
        HANDLE thread =
            s_original(attributes, stackSize, start, parameter, suspend ? flags | CREATE_SUSPENDED : flags, id);
        if (suspend && thread != nullptr) {
            DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &t_suspended, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
        }
        if (t_pauseEvent != nullptr) {
            HANDLE event = t_pauseEvent;
            t_pauseEvent = nullptr;
            const DWORD error = GetLastError();
            WaitForSingleObject(event, t_pauseTimeoutMs);
            SetLastError(error);
        }
        return thread;
    }

    static bool PatchImport() {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        if (imports.VirtualAddress == 0) return false;
        for (auto* module = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             module->Name != 0; ++module) {
            if (_stricmp(reinterpret_cast<const char*>(base + module->Name), "kernel32.dll") != 0) continue;
            const DWORD namesOffset = module->OriginalFirstThunk != 0 ? module->OriginalFirstThunk : module->FirstThunk;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + namesOffset);
            auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), "CreateThread") != 0) continue;
                DWORD protection = 0;
                if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection)) {
                    return false;
                }
                s_original = reinterpret_cast<CreateThreadFunction>(slots->u1.Function);
                slots->u1.Function = reinterpret_cast<ULONG_PTR>(&Replacement);
                VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
                return true;
            }
        }
        return false;
    }

    static inline CreateThreadFunction s_original = nullptr;
    static inline thread_local DWORD t_failNextWith = 0;
    static inline thread_local HANDLE t_pauseEvent = nullptr;
    static inline thread_local DWORD t_pauseTimeoutMs = 0;
    static inline thread_local bool t_suspendNext = false;
    static inline thread_local HANDLE t_suspended = nullptr;
};

}  // namespace okulon::test
