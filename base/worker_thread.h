// Starting a worker thread that the DLL cannot be unloaded under. While the
// thread lives it holds one lock on the module (so DllCanUnloadNow answers
// S_FALSE) and one loader reference on the image that holds this code (so a
// FreeLibrary by COM or by the host cannot unmap the code the thread runs);
// the thread gives both back itself as its very last act.
//
// Threads: any thread may start a worker; the started thread runs `function`.
// Ownership: the caller owns the returned handle; closing it does not end or
// wait for the thread.
#pragma once

#include <windows.h>

#include "base/com_support.h"

namespace okulon {

// The body of a worker: receives the argument given to CreateWorkerThread and
// returns the thread's exit code. It must not call ExitThread itself.
using WorkerFunction = DWORD (*)(void* argument);

// Starts the thread running at once with the default stack size. On failure
// returns an empty handle with the thread's error left in GetLastError, and
// holds neither the module lock nor the loader reference.
UniqueHandle CreateWorkerThread(WorkerFunction function, void* argument) noexcept;

}  // namespace okulon
