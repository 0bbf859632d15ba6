#include "base/worker_thread.h"

#include <memory>
#include <new>

#include "base/lockable_module.h"

namespace okulon {
namespace {

struct WorkerStart {
    WorkerFunction function;
    void* argument;
    HMODULE pinnedModule;
};

DWORD WINAPI WorkerEntry(void* parameter) noexcept {
    const WorkerStart start = *std::unique_ptr<WorkerStart>(static_cast<WorkerStart*>(parameter));
    const DWORD exitCode = start.function(start.argument);
    ThisModule().Unlock();
    // The code of this image must not run after its last reference is gone,
    // so the reference and the thread end in one call that does not return here.
    FreeLibraryAndExitThread(start.pinnedModule, exitCode);
    return exitCode;  // not reached
}

}  // namespace

UniqueHandle CreateWorkerThread(WorkerFunction function, void* argument) noexcept {
    std::unique_ptr<WorkerStart> start(new (std::nothrow) WorkerStart{function, argument, nullptr});
    if (!start) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return UniqueHandle();
    }
    // Both are taken before the thread exists, so there is no moment in which
    // the thread runs unpinned.
    UniqueModule pinnedModule;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&WorkerEntry),
                            pinnedModule.put())) {
        return UniqueHandle();  // the error is the lookup's: nothing else ran
    }
    start->pinnedModule = pinnedModule.get();
    ThisModule().Lock();
    UniqueHandle thread(CreateThread(nullptr, 0, &WorkerEntry, start.get(), 0, nullptr));
    if (!thread) {
        const DWORD error = GetLastError();
        ThisModule().Unlock();
        pinnedModule.reset();
        start.reset();
        SetLastError(error);
        return thread;
    }
    // The thread gives both back itself.
    static_cast<void>(pinnedModule.release());
    static_cast<void>(start.release());
    return thread;
}

}  // namespace okulon
