// A DLL whose static constructor passes a once-flag of the threads library on
// the thread that loads it: the start-up path that the DLL file check must
// find in a DLL (tools/dll_check/startup_path_check.sh).
#include <pthread.h>

namespace {

pthread_once_t once = PTHREAD_ONCE_INIT;
void Nothing() {}

struct OnceAtLoad {
    OnceAtLoad() { pthread_once(&once, Nothing); }
} onceAtLoad;

}  // namespace

extern "C" __declspec(dllexport) int FixtureLoaded() { return 1; }
