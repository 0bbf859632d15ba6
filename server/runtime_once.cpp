// The runtime's one-time initialisations, done without the threads library.
//
// Everything linked into Okulon.dll comes with every load: the GCC unwinder,
// the C++ runtime and the threads library (winpthreads) are private copies that
// go away at unload. On i686 the start-up code registers the DLL's unwind
// tables while the host's thread loads it, and that registration sets up its
// lock through pthread_once. winpthreads' pthread_once adopts the calling
// thread as one of its own: a duplicated thread handle, an event and a
// thread-local slot, given back only when that thread ends. The host's thread
// outlives the copy that adopted it, so every load-unload cycle lost two
// handles and a thread-local slot in the host's process.
//
// The DLL is linked with -Wl,--wrap=pthread_once, so every pthread_once
// reference inside it (the unwinder's, emulated TLS's, the C++ runtime's)
// lands here instead: the same contract, on an interlocked flag, with no
// per-thread state. tools/dll_check's runtime check reads the built DLL and
// fails if the start-up path reaches the threads library's adoption again.
#include <windows.h>

#include <pthread.h>

namespace {

// The flag's states; 0 is PTHREAD_ONCE_INIT.
constexpr LONG kNotRun = 0;
constexpr LONG kDone = 1;
constexpr LONG kRunning = 2;

}  // namespace

extern "C" int __wrap_pthread_once(pthread_once_t* flag, void (*init)(void)) {
    if (flag == nullptr || init == nullptr) return EINVAL;
    volatile LONG* state = flag;
    if (InterlockedCompareExchange(state, kDone, kDone) == kDone) return 0;
    if (InterlockedCompareExchange(state, kRunning, kNotRun) == kNotRun) {
        // An initialisation that ends by an exception (std::call_once's
        // callable may throw) leaves the flag unset for the next caller, so
        // that no waiter spins forever.
        struct ResetUnlessDone {
            volatile LONG* state;
            bool done = false;
            ~ResetUnlessDone() { InterlockedExchange(state, done ? kDone : kNotRun); }
        } finish{state};
        init();
        finish.done = true;
        return 0;
    }
    // Another thread runs the initialisation: these run once per process and
    // briefly (a lock or a key set up), so yield, then sleep, until it is done.
    for (unsigned spins = 0; InterlockedCompareExchange(state, kDone, kDone) != kDone; ++spins) {
        if (spins < 64) {
            SwitchToThread();
        } else {
            Sleep(1);
        }
    }
    return 0;
}
