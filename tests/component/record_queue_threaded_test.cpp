// RecordQueue under concurrent use, the way the extension uses it: a pusher
// thread standing in for the gaze callback (one at a time; a replaced one
// hands over to its successor), and the host's thread fetching, counting and
// emptying (start/stop) meanwhile. Every record carries its sequence number
// and a payload derived from it, so a lost, duplicated, reordered or torn
// record is caught. Waits are bounded by a generous deadline, never by a speed.
#include "extension/records/record_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#endif

#include "extension/records/records.h"
#include "tracker/gaze_conversion.h"
#include "tracker/contract/tracker_records.h"

namespace okulon {
namespace {

using GazeQueue = RecordQueue<GazeRecord>;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(120);

GazeRecord MakeRecord(int64_t sequence) {
    GazeRecord record{};
    record.time = sequence;
    record.x = static_cast<double>(sequence ^ 0x5A5A5A);
    record.y = static_cast<double>(sequence) * 3.0;
    return record;
}

bool IsIntact(const GazeRecord& record) {
    const GazeRecord expected = MakeRecord(record.time);
    return record.x == expected.x && record.y == expected.y;
}

// Host side: fetches with varying request sizes until told to stop and the
// queue is empty, and checks what it gets against what can have been pushed.
// With clearEvery > 0 the same thread also empties the queue now and then, as
// a stop and start of the stream would.
struct FetchResult {
    std::vector<int64_t> sequences;
    int64_t torn = 0;
    int64_t countAboveOne = 0;     // only meaningful when every push keeps one
    int64_t fewerThanCounted = 0;  // only meaningful when nothing empties the queue
    bool timedOut = false;
};

FetchResult FetchUntilDone(GazeQueue& queue, const std::atomic<bool>& producersDone, int64_t expectedTotal,
                           int clearEvery = 0) {
    FetchResult result;
    std::vector<GazeRecord> buffer(1536);  // the largest request below
    const auto deadline = Clock::now() + kDeadline;
    int32_t request = 1;
    for (int round = 1;; ++round) {
        const bool done = producersDone.load(std::memory_order_acquire);
        if (clearEvery > 0 && round % clearEvery == 0) {
            queue.Clear();
        }
        const int32_t counted = queue.Count();
        if (counted > 1) {
            ++result.countAboveOne;
        }
        const int32_t got = queue.Fetch(buffer.data(), request);
        if (got < std::min(counted, request)) {
            ++result.fewerThanCounted;
        }
        for (int32_t i = 0; i < got; ++i) {
            const GazeRecord& record = buffer[static_cast<std::size_t>(i)];
            result.sequences.push_back(record.time);
            result.torn += IsIntact(record) ? 0 : 1;
        }
        request = request % 1499 + 37;  // sizes from 1 to beyond a chunk
        if (expectedTotal >= 0 && static_cast<int64_t>(result.sequences.size()) >= expectedTotal) {
            return result;
        }
        if (done && got == 0 && queue.Count() == 0) {
            return result;
        }
        if (Clock::now() > deadline) {
            result.timedOut = true;
            return result;
        }
        if (got == 0) {
            std::this_thread::yield();
        }
    }
}

// yieldEvery > 0 lets the host in now and then, as a tracker's sampling
// interval would; without it a keep-newest run is over before the host looks.
void PushSequence(GazeQueue& queue, int64_t first, int64_t count, int64_t step, bool keepAll, int yieldEvery = 0) {
    for (int64_t i = 0; i < count; ++i) {
        queue.Push(MakeRecord(first + i * step), keepAll);
        if (yieldEvery > 0 && i % yieldEvery == 0) {
            std::this_thread::yield();
        }
    }
}

void ExpectStrictlyIncreasing(const std::vector<int64_t>& sequences) {
    for (std::size_t i = 1; i < sequences.size(); ++i) {
        ASSERT_LT(sequences[i - 1], sequences[i]) << "at delivered index " << i;
    }
}

constexpr int64_t kRecords = 300000;

TEST(RecordQueueThreaded, KeepAllDeliversEveryPushedRecordOnceAndInOrder) {
    GazeQueue queue;
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        PushSequence(queue, 1, kRecords, 1, true);
        done.store(true, std::memory_order_release);
    });
    const FetchResult result = FetchUntilDone(queue, done, kRecords);
    pusher.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    EXPECT_EQ(result.fewerThanCounted, 0);
    ASSERT_EQ(static_cast<int64_t>(result.sequences.size()), kRecords);
    for (int64_t i = 0; i < kRecords; ++i) {
        ASSERT_EQ(result.sequences[static_cast<std::size_t>(i)], i + 1);
    }
    EXPECT_EQ(queue.Count(), 0);
}

// A replaced tracking worker's last pushes, then its successor's: the object
// lets the successor start only after the predecessor has left the queues.
TEST(RecordQueueThreaded, ReplacedPusherHandsOverWithoutLossDuplicationOrReordering) {
    GazeQueue queue;
    std::atomic<bool> done{false};
    std::atomic<bool> firstLeft{false};
    const int64_t half = kRecords / 2;
    std::thread first([&] {
        PushSequence(queue, 1, half, 1, true);
        firstLeft.store(true, std::memory_order_release);
    });
    std::thread successor([&] {
        const auto deadline = Clock::now() + kDeadline;
        while (!firstLeft.load(std::memory_order_acquire) && Clock::now() < deadline) {
            std::this_thread::yield();
        }
        PushSequence(queue, half + 1, kRecords - half, 1, true);
        done.store(true, std::memory_order_release);
    });
    const FetchResult result = FetchUntilDone(queue, done, kRecords);
    first.join();
    successor.join();

    ASSERT_TRUE(firstLeft.load());
    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    ASSERT_EQ(static_cast<int64_t>(result.sequences.size()), kRecords);
    for (int64_t i = 0; i < kRecords; ++i) {
        ASSERT_EQ(result.sequences[static_cast<std::size_t>(i)], i + 1);
    }
}

TEST(RecordQueueThreaded, HostEmptyingBetweenFetchesNeverDuplicatesReordersOrTearsRecords) {
    GazeQueue queue;
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        PushSequence(queue, 1, kRecords, 1, true, 64);
        done.store(true, std::memory_order_release);
    });
    const FetchResult result = FetchUntilDone(queue, done, -1, 7);
    pusher.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    EXPECT_LE(static_cast<int64_t>(result.sequences.size()), kRecords);
    ExpectStrictlyIncreasing(result.sequences);
    EXPECT_EQ(queue.Count(), 0);
}

TEST(RecordQueueThreaded, KeepOnlyNewestPushesWithFetchAndEmptyingHoldAtMostOneRecord) {
    GazeQueue queue;
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        PushSequence(queue, 1, kRecords, 1, false, 8);
        done.store(true, std::memory_order_release);
    });
    const FetchResult result = FetchUntilDone(queue, done, -1, 5);
    pusher.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    EXPECT_EQ(result.countAboveOne, 0);
    ExpectStrictlyIncreasing(result.sequences);
}

// The host copies the newest record while the pusher overwrites it as fast as
// it can: a copy that the pusher overwrote meanwhile must never be delivered.
// The copy is retried until no push overlapped it, so the pusher yields now
// and then: a tracker leaves at least half a millisecond between samples, and
// a pusher that leaves no gap at all could keep the host retrying for good
// (seen once under ThreadSanitizer, where the fetch never returned).
TEST(RecordQueueThreaded, NewestRecordIsNeverDeliveredTornWhileThePusherKeepsReplacingIt) {
    GazeQueue queue;
    std::atomic<bool> stop{false};
    std::atomic<bool> pusherStarted{false};
    std::thread pusher([&] {
        pusherStarted.store(true, std::memory_order_release);
        for (int64_t sequence = 1; !stop.load(std::memory_order_relaxed); ++sequence) {
            queue.Push(MakeRecord(sequence), false);
            if (sequence % 64 == 0) std::this_thread::yield();
        }
    });
    const auto deadline = Clock::now() + kDeadline;
    while (!pusherStarted.load(std::memory_order_acquire) && Clock::now() < deadline) {
        std::this_thread::yield();
    }
    // Copies until 4 million attempts or half a minute, whichever comes first:
    // well inside the test's time-out on a slow, sanitised, shared machine.
    const auto copyingEnds = Clock::now() + std::chrono::seconds(30);
    int64_t torn = 0;
    std::vector<int64_t> sequences;
    GazeRecord record{};
    for (int attempt = 0; attempt < 4000000 && Clock::now() < copyingEnds; ++attempt) {
        if (queue.Fetch(&record, 1) == 1) {
            sequences.push_back(record.time);
            torn += IsIntact(record) ? 0 : 1;
        }
    }
    stop.store(true, std::memory_order_relaxed);
    pusher.join();

    ASSERT_FALSE(sequences.empty());
    EXPECT_EQ(torn, 0);
    ExpectStrictlyIncreasing(sequences);
}

// Mode switches while the host fetches (nothing else empties the queue). An
// emptying push starts a segment: its own record, then the keep-all records up
// to the next emptying push. The host takes oldest first, so of each segment
// it receives a prefix, in order; of the last segment, everything.
struct SwitchPattern {
    const char* name;
    bool (*keepAll)(int64_t sequence);
};

// Segment start of every sequence up to total; pushes before the first
// emptying push form a segment starting at 1.
std::vector<int64_t> SegmentStarts(bool (*keepAll)(int64_t), int64_t total) {
    std::vector<int64_t> segmentStart(static_cast<std::size_t>(total) + 1, 1);
    for (int64_t sequence = 1; sequence <= total; ++sequence) {
        segmentStart[static_cast<std::size_t>(sequence)] =
            keepAll(sequence) ? segmentStart[static_cast<std::size_t>(sequence - 1)] : sequence;
    }
    return segmentStart;
}

void ExpectPrefixOfEachSegment(const std::vector<int64_t>& delivered, bool (*keepAll)(int64_t), int64_t total) {
    std::vector<int64_t> segmentStart = SegmentStarts(keepAll, total);
    segmentStart[0] = 0;
    int64_t expectedNext = 0;  // next sequence the current segment must deliver
    int64_t currentSegment = -1;
    for (int64_t sequence : delivered) {
        ASSERT_GE(sequence, 1);
        ASSERT_LE(sequence, total);
        const int64_t segment = segmentStart[static_cast<std::size_t>(sequence)];
        if (segment != currentSegment) {
            ASSERT_GT(segment, currentSegment) << "segment delivered out of order at " << sequence;
            ASSERT_EQ(sequence, segment) << "a segment must be delivered from its first record";
            currentSegment = segment;
        } else {
            ASSERT_EQ(sequence, expectedNext) << "gap or repeat inside a segment";
        }
        expectedNext = sequence + 1;
    }
    ASSERT_FALSE(delivered.empty());
    EXPECT_EQ(currentSegment, segmentStart[static_cast<std::size_t>(total)]) << "last segment never delivered";
    EXPECT_EQ(delivered.back(), total) << "last segment delivered incompletely";
}

TEST(RecordQueueThreaded, SwitchingBetweenKeepAllAndNewestOnlyWhileFetchingDeliversExactlyTheQueuedRecords) {
    const SwitchPattern patterns[] = {
        // Long keep-all runs spanning chunks, then a few emptying pushes.
        {"long keep-all runs", [](int64_t s) { return (s / 1000) % 4 != 3; }},
        // Every other push empties.
        {"alternating", [](int64_t s) { return s % 2 == 0; }},
        // Long newest-only runs, then short keep-all runs.
        {"long newest-only runs", [](int64_t s) { return s % 997 > 900; }},
        // A lone emptying push now and then.
        {"rare emptying", [](int64_t s) { return s % 4099 != 0; }},
    };
    for (const SwitchPattern& pattern : patterns) {
        SCOPED_TRACE(pattern.name);
        GazeQueue queue;
        std::atomic<bool> done{false};
        std::thread pusher([&] {
            for (int64_t sequence = 1; sequence <= kRecords; ++sequence) {
                queue.Push(MakeRecord(sequence), pattern.keepAll(sequence));
                if (sequence % 128 == 0) {
                    std::this_thread::yield();
                }
            }
            done.store(true, std::memory_order_release);
        });
        const FetchResult result = FetchUntilDone(queue, done, -1);
        pusher.join();

        ASSERT_FALSE(result.timedOut);
        EXPECT_EQ(result.torn, 0);
        ExpectPrefixOfEachSegment(result.sequences, pattern.keepAll, kRecords);
    }
}

// Mode switches and the host's emptying together: order and integrity hold,
// and whatever was pushed after the host's last emptying arrives.
TEST(RecordQueueThreaded, SwitchingModesWhileTheHostEmptiesAndFetchesKeepsOrderAndDeliversTheTail) {
    GazeQueue queue;
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        for (int64_t sequence = 1; sequence <= kRecords; ++sequence) {
            queue.Push(MakeRecord(sequence), sequence % 300 < 250 || sequence == kRecords);
            if (sequence % 64 == 0) {
                std::this_thread::yield();
            }
        }
        done.store(true, std::memory_order_release);
    });
    const FetchResult result = FetchUntilDone(queue, done, -1, 11);
    pusher.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    ExpectStrictlyIncreasing(result.sequences);
    EXPECT_EQ(queue.Count(), 0);
}

// Every Count and Fetch is checked against a model of the queue. The pusher
// announces each push before it starts (started) and after it ends (pushed);
// what a host call returns must be what the queue held after n pushes, for
// some n from the pushes ended before the call to those started by its end.
// After n pushes the queue holds the sequences from max(segment start of n,
// last removed + 1) to n. The pusher waits (briefly) for the host's next call
// before each push, so most pushes land inside one; the check runs until
// enough calls overlapped a push, however loaded the machine.
struct ModelCheck {
    int64_t calls = 0;
    int64_t overlapping = 0;  // calls during which a push started
    std::string violation;    // the first call the model cannot explain
};

ModelCheck CheckHostCallsAgainstTheModel(bool (*keepAll)(int64_t)) {
    constexpr int64_t kMaxPushes = 2000000;
    constexpr int64_t kEnoughPushes = 50000;
    constexpr int64_t kEnoughOverlapping = 10000;
    const std::vector<int64_t> segmentStart = SegmentStarts(keepAll, kMaxPushes);
    GazeQueue queue;
    std::atomic<int64_t> started{0};
    std::atomic<int64_t> pushed{0};
    std::atomic<int64_t> hostCalls{0};
    std::atomic<bool> stop{false};
    std::thread pusher([&] {
        for (int64_t sequence = 1; sequence <= kMaxPushes && !stop.load(std::memory_order_relaxed); ++sequence) {
            const int64_t calls = hostCalls.load(std::memory_order_relaxed);
            for (int spin = 0; spin < 4000 && hostCalls.load(std::memory_order_relaxed) == calls; ++spin) {
            }
            // Relaxed: the push's own release stores carry it to a host call
            // that sees anything of this push.
            started.store(sequence, std::memory_order_relaxed);
            queue.Push(MakeRecord(sequence), keepAll(sequence));
            pushed.store(sequence, std::memory_order_release);
        }
    });

    ModelCheck check;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    int64_t removedUpTo = 0;
    GazeRecord buffer[8];
    int32_t request = 1;
    for (;; ++check.calls) {
        const int64_t pushedBefore = pushed.load(std::memory_order_acquire);
        const bool counting = check.calls % 2 == 0;
        const int32_t result = counting ? queue.Count() : queue.Fetch(buffer, request);
        const int64_t startedAfter = started.load(std::memory_order_acquire);
        hostCalls.store(check.calls + 1, std::memory_order_relaxed);

        bool explained = false;
        for (int64_t n = pushedBefore; n <= startedAfter && !explained; ++n) {
            const int64_t first = std::max(segmentStart[static_cast<std::size_t>(n)], removedUpTo + 1);
            const int64_t held = std::max<int64_t>(0, n - first + 1);
            explained = result == (counting ? held : std::min<int64_t>(request, held));
            for (int32_t i = 0; explained && !counting && i < result; ++i) {
                explained = buffer[i].time == first + i && IsIntact(buffer[i]);
            }
        }
        if (!explained) {
            std::ostringstream text;
            const bool intact = std::all_of(buffer, buffer + (counting ? 0 : result), IsIntact);
            text << (counting ? "Count" : "Fetch") << " returned " << result << " (first "
                 << (!counting && result > 0 ? buffer[0].time : 0) << (intact ? "" : ", torn") << ") between push "
                 << pushedBefore << " ended and push " << startedAfter << " started; last removed " << removedUpTo;
            check.violation = text.str();
            break;
        }
        if (!counting && result > 0) {
            removedUpTo = buffer[result - 1].time;
        }
        check.overlapping += startedAfter > pushedBefore ? 1 : 0;
        request = request % 8 + 1;
        const bool enough = pushedBefore >= kEnoughPushes && check.overlapping >= kEnoughOverlapping;
        if (enough || Clock::now() > deadline) {
            stop.store(true, std::memory_order_relaxed);
        }
        // Done once the pusher has stopped and its last record is delivered.
        if (stop.load(std::memory_order_relaxed) && removedUpTo == startedAfter && startedAfter == pushedBefore &&
            removedUpTo > 0) {
            break;
        }
    }
    stop.store(true, std::memory_order_relaxed);
    pusher.join();
    return check;
}

TEST(RecordQueueThreaded, EveryCountAndFetchIsTheQueueAtOneMomentDuringTheCall) {
    const SwitchPattern patterns[] = {
        {"keep-all", [](int64_t) { return true; }},
        {"newest only", [](int64_t) { return false; }},
        // Short keep-all runs, each emptied by the next segment's first push.
        {"switching", [](int64_t s) { return s % 7 != 0 && s % 11 != 0; }},
    };
    for (const SwitchPattern& pattern : patterns) {
        SCOPED_TRACE(pattern.name);
        const ModelCheck check = CheckHostCallsAgainstTheModel(pattern.keepAll);
        EXPECT_EQ(check.violation, "");
        // Without overlap the check would prove nothing about concurrency.
        EXPECT_GT(check.overlapping, 0) << check.calls << " host calls";
        std::printf("[ %s ] %lld host calls, %lld with a push started during the call\n", pattern.name,
                    static_cast<long long>(check.calls), static_cast<long long>(check.overlapping));
    }
}

// Stops an emptying push at the step the test names until the test lets it go.
struct HeldPushTraits : RecordQueueTraits {
    static inline std::atomic<int> holdAtStep{0};
    static inline std::atomic<bool> held{false};
    static inline std::atomic<bool> letGo{false};

    static void PauseInsideEmptyingPush(int step) noexcept {
        if (step != holdAtStep.load()) {
            return;
        }
        held.store(true);
        while (!letGo.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
};

// Binds the calling thread to the first processor, on Windows at the given
// priority; Unbind lets it run anywhere at normal priority again, so a test
// that found the host spinning can still end.
class FirstProcessorBinding {
public:
    explicit FirstProcessorBinding(int windowsPriority) {
#ifdef _WIN32
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &m_thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
        SetThreadAffinityMask(m_thread, 1);
        SetThreadPriority(m_thread, windowsPriority);
#else
        (void)windowsPriority;
        m_thread = pthread_self();
        cpu_set_t first;
        CPU_ZERO(&first);
        CPU_SET(0, &first);
        pthread_setaffinity_np(m_thread, sizeof(first), &first);
#endif
    }
    ~FirstProcessorBinding() {
#ifdef _WIN32
        CloseHandle(m_thread);
#endif
    }
    FirstProcessorBinding(const FirstProcessorBinding&) = delete;
    FirstProcessorBinding& operator=(const FirstProcessorBinding&) = delete;

    void Unbind() {
#ifdef _WIN32
        DWORD_PTR process = 0;
        DWORD_PTR system = 0;
        GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
        SetThreadAffinityMask(m_thread, process);
        SetThreadPriority(m_thread, THREAD_PRIORITY_NORMAL);
#else
        cpu_set_t all;
        CPU_ZERO(&all);
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) CPU_SET(cpu, &all);
        pthread_setaffinity_np(m_thread, sizeof(all), &all);
#endif
    }

private:
#ifdef _WIN32
    HANDLE m_thread = nullptr;
#else
    pthread_t m_thread;
#endif
};

#ifdef _WIN32
constexpr int kHostPriority = THREAD_PRIORITY_HIGHEST;
constexpr int kPusherPriority = THREAD_PRIORITY_BELOW_NORMAL;
#else
constexpr int kHostPriority = 0;
constexpr int kPusherPriority = 0;
#endif

std::vector<int64_t> FetchSequences(RecordQueue<GazeRecord, HeldPushTraits>& queue) {
    GazeRecord buffer[16];
    const int32_t got = queue.Fetch(buffer, 16);
    std::vector<int64_t> sequences;
    for (int32_t i = 0; i < got; ++i) {
        EXPECT_TRUE(IsIntact(buffer[i]));
        sequences.push_back(buffer[i].time);
    }
    return sequences;
}

// A host thread above the pusher's priority, both on one processor, and the
// pusher stopped inside an emptying push: a host that waited for the pusher
// by spinning would keep it off the processor for good. Count and Fetch must
// return while it is stopped, with the queue before that push or after it.
TEST(RecordQueueThreaded, HostCallsReturnWhileThePusherIsStoppedInsideAnEmptyingPush) {
    for (int step : {1, 2}) {
        SCOPED_TRACE(step);
        RecordQueue<GazeRecord, HeldPushTraits> queue;
        for (int64_t sequence = 1; sequence <= 5; ++sequence) {
            queue.Push(MakeRecord(sequence), true);
        }
        HeldPushTraits::holdAtStep = step;
        HeldPushTraits::held = false;
        HeldPushTraits::letGo = false;
        std::thread pusher([&] {
            FirstProcessorBinding binding(kPusherPriority);
            queue.Push(MakeRecord(6), false);
            queue.Push(MakeRecord(7), true);
        });
        const auto deadline = Clock::now() + kDeadline;
        while (!HeldPushTraits::held && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(HeldPushTraits::held);

        std::atomic<FirstProcessorBinding*> hostBinding{nullptr};
        std::atomic<bool> hostReturned{false};
        int32_t countedWhileHeld = -1;
        std::vector<int64_t> fetchedWhileHeld;
        std::thread host([&] {
            FirstProcessorBinding binding(kHostPriority);
            hostBinding = &binding;
            countedWhileHeld = queue.Count();
            fetchedWhileHeld = FetchSequences(queue);
            hostReturned = true;
            while (!HeldPushTraits::letGo) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            hostBinding = nullptr;
        });
        // Watchdog: a host still inside after 20 s is taken off the processor
        // binding so that the pusher can finish and the test can end.
        const auto watchdog = Clock::now() + std::chrono::seconds(20);
        while (!hostReturned && Clock::now() < watchdog) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        const bool returnedWhileHeld = hostReturned;
        if (!returnedWhileHeld && hostBinding != nullptr) {
            hostBinding.load()->Unbind();
        }
        HeldPushTraits::letGo = true;
        host.join();
        pusher.join();

        ASSERT_TRUE(returnedWhileHeld) << "Count or Fetch waited 20 s for the stopped pusher";
        const std::vector<int64_t> before = {1, 2, 3, 4, 5};
        const std::vector<int64_t> after = {6};
        if (countedWhileHeld == 5) {
            EXPECT_EQ(fetchedWhileHeld, before);
            EXPECT_EQ(FetchSequences(queue), (std::vector<int64_t>{6, 7}));
        } else {
            EXPECT_EQ(countedWhileHeld, 1);
            EXPECT_EQ(fetchedWhileHeld, after);
            EXPECT_EQ(FetchSequences(queue), (std::vector<int64_t>{7}));
        }
    }
}

// The callback's side as the extension object gives it: every stream on,
// keep-all, both eyes usable, the queues shared with the host's thread.
class CallbackTarget final : public GazeCallbackTarget {
public:
    int32_t IsStreaming() noexcept override { return 1; }
    int32_t GetClientCount() noexcept override { return 2; }
    uint32_t GetDataMask() noexcept override { return kStreamGaze | kStreamPupil | kStreamEyeEvents; }
    int32_t GetEyeSelection() noexcept override { return 0; }
    int32_t GetScreenWidth() noexcept override { return 1000; }
    int32_t GetScreenHeight() noexcept override { return 800; }
    int32_t GetLastValidityFirst() noexcept override { return m_lastFirst; }
    void SetLastValidityFirst(int32_t value) noexcept override { m_lastFirst = value; }
    int32_t GetLastValiditySecond() noexcept override { return m_lastSecond; }
    void SetLastValiditySecond(int32_t value) noexcept override { m_lastSecond = value; }
    void PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept override {
        wrongEyeTypes += eyeType == 0 ? 0 : 1;
        gaze.Push(record, true);
    }
    void PushPupilSample(const PupilRecord& record) noexcept override { pupils.Push(record, true); }
    void PushEyeEvent(const EyeEventRecord&) noexcept override { ++unexpectedEvents; }
    void RecordSample(const TrackerRecord&, int32_t, int32_t) noexcept override {}

    GazeQueue gaze;
    RecordQueue<PupilRecord> pupils;
    int wrongEyeTypes = 0;
    int unexpectedEvents = 0;

private:
    int32_t m_lastFirst = -1;
    int32_t m_lastSecond = -1;
};

// Sequence numbers below 2^20 survive as exact fractions of a float.
TrackerRecord MakeTrackerRecord(int64_t sequence) {
    TrackerRecord record{};
    record.timeSeconds = static_cast<int32_t>(sequence / 1000000);
    record.timeMicroseconds = static_cast<int32_t>(sequence % 1000000);
    const float fraction = static_cast<float>(sequence % 1024) / 1024.0f;
    record.first.gazeX = fraction;
    record.second.gazeX = fraction;
    record.first.gazeY = 0.5f;
    record.second.gazeY = 0.5f;
    record.first.pupilSize = static_cast<float>(sequence % 4096);
    record.second.pupilSize = static_cast<float>(sequence % 4093);
    return record;
}

struct StreamResult {
    std::vector<int64_t> gazeTimes;
    std::vector<int64_t> pupilTimes;
    int64_t torn = 0;
    bool timedOut = false;
};

// One fetch of each stream, checking every record's payload.
StreamResult FetchStreamsOnce(CallbackTarget& target, int32_t request) {
    StreamResult result;
    std::vector<GazeRecord> gaze(700);
    std::vector<PupilRecord> pupils(700);
    request = std::min<int32_t>(request, 689);
    const int32_t gotGaze = target.gaze.Fetch(gaze.data(), request);
    for (int32_t i = 0; i < gotGaze; ++i) {
        const GazeRecord& record = gaze[static_cast<std::size_t>(i)];
        result.gazeTimes.push_back(record.time);
        const double fraction = static_cast<double>(static_cast<float>(record.time % 1024) / 1024.0f);
        result.torn += (record.x == 1000.0 * (fraction - 0.5) && record.y == 0.0) ? 0 : 1;
    }
    const int32_t gotPupils = target.pupils.Fetch(pupils.data(), 700 - request);
    for (int32_t i = 0; i < gotPupils; ++i) {
        const PupilRecord& record = pupils[static_cast<std::size_t>(i)];
        result.pupilTimes.push_back(record.time);
        const bool intact = record.firstPupil == static_cast<double>(record.time % 4096) &&
                            record.secondPupil == static_cast<double>(record.time % 4093);
        result.torn += intact ? 0 : 1;
    }
    return result;
}

// Host side for the callback test: fetches both streams until the callback
// thread is done and both are empty (or, with expectedEach >= 0, until that
// many records of each arrived).
StreamResult FetchStreamsUntilDone(CallbackTarget& target, const std::atomic<bool>& done, int64_t expectedEach) {
    StreamResult result;
    const auto deadline = Clock::now() + kDeadline;
    int32_t request = 3;
    for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
        const StreamResult part = FetchStreamsOnce(target, request);
        result.gazeTimes.insert(result.gazeTimes.end(), part.gazeTimes.begin(), part.gazeTimes.end());
        result.pupilTimes.insert(result.pupilTimes.end(), part.pupilTimes.begin(), part.pupilTimes.end());
        result.torn += part.torn;
        request = request % 689 + 11;
        if (expectedEach >= 0 && static_cast<int64_t>(result.gazeTimes.size()) >= expectedEach &&
            static_cast<int64_t>(result.pupilTimes.size()) >= expectedEach) {
            return result;
        }
        const bool gotNothing = part.gazeTimes.empty() && part.pupilTimes.empty();
        if (finished && gotNothing && target.gaze.Count() == 0 && target.pupils.Count() == 0) {
            return result;
        }
        if (Clock::now() > deadline) {
            result.timedOut = true;
            return result;
        }
        if (gotNothing) {
            std::this_thread::yield();
        }
    }
}

constexpr int64_t kCallbackRecords = 200000;

TEST(RecordQueueThreaded, GazeCallbackRecordsReachTheHostCompleteAndInOrder) {
    CallbackTarget target;
    std::atomic<bool> done{false};
    std::thread callback([&] {
        for (int64_t sequence = 1; sequence <= kCallbackRecords; ++sequence) {
            const TrackerRecord record = MakeTrackerRecord(sequence);
            HandleGazeCallback(kTrackerReasonSample, &record, target);
        }
        done.store(true, std::memory_order_release);
    });
    const StreamResult result = FetchStreamsUntilDone(target, done, kCallbackRecords);
    callback.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    EXPECT_EQ(target.wrongEyeTypes, 0);
    EXPECT_EQ(target.unexpectedEvents, 0);
    ASSERT_EQ(static_cast<int64_t>(result.gazeTimes.size()), kCallbackRecords);
    ASSERT_EQ(static_cast<int64_t>(result.pupilTimes.size()), kCallbackRecords);
    for (int64_t i = 0; i < kCallbackRecords; ++i) {
        ASSERT_EQ(result.gazeTimes[static_cast<std::size_t>(i)], i + 1);
        ASSERT_EQ(result.pupilTimes[static_cast<std::size_t>(i)], i + 1);
    }
}

TEST(RecordQueueThreaded, GazeCallbackWhileTheHostRestartsStreamsKeepsEachStreamInOrder) {
    CallbackTarget target;
    std::atomic<bool> done{false};
    std::thread callback([&] {
        for (int64_t sequence = 1; sequence <= kCallbackRecords; ++sequence) {
            const TrackerRecord record = MakeTrackerRecord(sequence);
            HandleGazeCallback(kTrackerReasonSample, &record, target);
        }
        done.store(true, std::memory_order_release);
    });
    // The host's thread: a stop and a start of each stream each empty its
    // queue; between restarts it fetches.
    StreamResult result;
    const auto deadline = Clock::now() + kDeadline;
    for (int round = 0; !result.timedOut; ++round) {
        const bool finished = done.load(std::memory_order_acquire);
        target.gaze.Clear();
        target.pupils.Clear();
        const StreamResult part = FetchStreamsOnce(target, 3 + round % 500);
        result.gazeTimes.insert(result.gazeTimes.end(), part.gazeTimes.begin(), part.gazeTimes.end());
        result.pupilTimes.insert(result.pupilTimes.end(), part.pupilTimes.begin(), part.pupilTimes.end());
        result.torn += part.torn;
        if (finished) {
            break;
        }
        result.timedOut = Clock::now() > deadline;
        std::this_thread::yield();
    }
    callback.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    ExpectStrictlyIncreasing(result.gazeTimes);
    ExpectStrictlyIncreasing(result.pupilTimes);
    EXPECT_EQ(target.gaze.Count(), 0);
}

}  // namespace
}  // namespace okulon
