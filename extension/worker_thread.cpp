#include "extension/worker_thread.h"

#include <new>

#include "server/okulon_module.h"

namespace okulon {
namespace {

struct WorkerStart {
    WorkerFunction function;
    void* argument;
    HMODULE pinnedModule;
};

DWORD WINAPI WorkerEntry(void* parameter) {
    const WorkerStart start = *static_cast<WorkerStart*>(parameter);
    delete static_cast<WorkerStart*>(parameter);
    const DWORD exitCode = start.function(start.argument);
    Module().Unlock();
    // The code of this image must not run after its last reference is gone,
    // so the reference and the thread end in one call that does not return here.
    FreeLibraryAndExitThread(start.pinnedModule, exitCode);
    return exitCode;  // not reached
}

}  // namespace

UniqueHandle CreateWorkerThread(WorkerFunction function, void* argument) noexcept {
    auto* start = new (std::nothrow) WorkerStart{function, argument, nullptr};
    if (start == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return UniqueHandle();
    }
    // Both are taken before the thread exists, so there is no moment in which
    // the thread runs unpinned.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&WorkerEntry), &start->pinnedModule)) {
        const DWORD error = GetLastError();
        delete start;
        SetLastError(error);
        return UniqueHandle();
    }
    Module().Lock();
    HANDLE thread = CreateThread(nullptr, 0, &WorkerEntry, start, 0, nullptr);
    if (thread == nullptr) {
        const DWORD error = GetLastError();
        Module().Unlock();
        FreeLibrary(start->pinnedModule);
        delete start;
        SetLastError(error);
    }
    return UniqueHandle(thread);
}

}  // namespace okulon
