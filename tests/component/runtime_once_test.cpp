// The pthread_once that the runtime inside Okulon.dll is linked against
// (server/runtime_once.cpp): each initialisation runs exactly once, however
// many threads arrive at once, every caller returns only after it has run, and
// one that ends by an exception leaves the flag for the next caller.
#include <gtest/gtest.h>
#include <windows.h>

#include <pthread.h>

#include <stdexcept>
#include <vector>

extern "C" int __wrap_pthread_once(pthread_once_t* flag, void (*init)(void));

namespace {

pthread_once_t sharedFlag = PTHREAD_ONCE_INIT;
volatile LONG initRuns = 0;
volatile LONG initFinished = 0;

void SlowInit() {
    InterlockedIncrement(&initRuns);
    Sleep(20);  // long enough that the other threads arrive while it runs
    InterlockedExchange(&initFinished, 1);
}

struct Arrival {
    HANDLE start;
    LONG sawFinished = 0;
    int result = -1;
};

DWORD WINAPI CallOnce(void* argument) {
    auto* arrival = static_cast<Arrival*>(argument);
    WaitForSingleObject(arrival->start, INFINITE);
    arrival->result = __wrap_pthread_once(&sharedFlag, SlowInit);
    arrival->sawFinished = InterlockedCompareExchange(&initFinished, 0, 0);
    return 0;
}

TEST(RuntimeOnce, ManyThreadsRunTheInitialisationOnceAndAllSeeItDone) {
    constexpr int kThreads = 8;
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, start);
    std::vector<Arrival> arrivals(kThreads, Arrival{start});
    std::vector<HANDLE> threads;
    for (Arrival& arrival : arrivals) threads.push_back(CreateThread(nullptr, 0, CallOnce, &arrival, 0, nullptr));
    SetEvent(start);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(kThreads, threads.data(), TRUE, 30000));
    for (HANDLE thread : threads) CloseHandle(thread);
    CloseHandle(start);

    EXPECT_EQ(1, initRuns);
    for (const Arrival& arrival : arrivals) {
        EXPECT_EQ(0, arrival.result);
        EXPECT_EQ(1, arrival.sawFinished) << "a caller returned before the initialisation had finished";
    }
    EXPECT_EQ(0, __wrap_pthread_once(&sharedFlag, SlowInit));
    EXPECT_EQ(1, initRuns);
}

int throwingRuns = 0;
void ThrowOnFirstRun() {
    if (++throwingRuns == 1) throw std::runtime_error("first run fails");
}

TEST(RuntimeOnce, AnInitialisationEndedByAnExceptionRunsAgainForTheNextCaller) {
    pthread_once_t flag = PTHREAD_ONCE_INIT;
    EXPECT_THROW(__wrap_pthread_once(&flag, ThrowOnFirstRun), std::runtime_error);
    EXPECT_EQ(0, __wrap_pthread_once(&flag, ThrowOnFirstRun));
    EXPECT_EQ(0, __wrap_pthread_once(&flag, ThrowOnFirstRun));
    EXPECT_EQ(2, throwingRuns);
}

}  // namespace
