// RecordQueue under concurrent use, the way the extension uses it: a pusher
// thread standing in for the gaze callback, the host fetching, and start/stop
// emptying the queue meanwhile. Every record carries its sequence number and
// a payload derived from it, so a lost, duplicated, reordered or torn record
// is caught. Waits are bounded by a generous deadline, never by a speed.
#include "extension/record_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "extension/records.h"
#include "tracker/gaze_conversion.h"
#include "tracker/tracker_records.h"

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
struct FetchResult {
    std::vector<int64_t> sequences;
    int64_t torn = 0;
    int64_t countAboveOne = 0;  // only meaningful when every push keeps one
    bool timedOut = false;
};

FetchResult FetchUntilDone(GazeQueue& queue, const std::atomic<bool>& producersDone, int64_t expectedTotal) {
    FetchResult result;
    std::vector<GazeRecord> buffer(1536);  // the largest request below
    const auto deadline = Clock::now() + kDeadline;
    int32_t request = 1;
    for (;;) {
        const bool done = producersDone.load(std::memory_order_acquire);
        if (queue.Count() > 1) {
            ++result.countAboveOne;
        }
        const int32_t got = queue.Fetch(buffer.data(), request);
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

// Start/stop on the host side: empties the queue now and then until told to stop.
void ClearUntilDone(GazeQueue& queue, const std::atomic<bool>& producersDone) {
    const auto deadline = Clock::now() + kDeadline;
    int round = 0;
    while (!producersDone.load(std::memory_order_acquire) && Clock::now() < deadline) {
        queue.Clear();
        for (int spin = 0; spin < 50 + (round++ % 200); ++spin) {
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
    ASSERT_EQ(static_cast<int64_t>(result.sequences.size()), kRecords);
    for (int64_t i = 0; i < kRecords; ++i) {
        ASSERT_EQ(result.sequences[static_cast<std::size_t>(i)], i + 1);
    }
    EXPECT_EQ(queue.Count(), 0);
}

TEST(RecordQueueThreaded, TwoPushersLoseAndDuplicateNothingAndKeepEachOnesOrder) {
    GazeQueue queue;
    std::atomic<int> running{2};
    std::atomic<bool> done{false};
    auto pushEveryOther = [&](int64_t first) {
        PushSequence(queue, first, kRecords / 2, 2, true);
        if (running.fetch_sub(1) == 1) {
            done.store(true, std::memory_order_release);
        }
    };
    std::thread odd(pushEveryOther, 1);
    std::thread even(pushEveryOther, 2);
    const FetchResult result = FetchUntilDone(queue, done, kRecords);
    odd.join();
    even.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    ASSERT_EQ(static_cast<int64_t>(result.sequences.size()), kRecords);
    std::vector<bool> seen(static_cast<std::size_t>(kRecords) + 1, false);
    int64_t lastOdd = -1;
    int64_t lastEven = 0;
    for (int64_t sequence : result.sequences) {
        ASSERT_GE(sequence, 1);
        ASSERT_LE(sequence, kRecords);
        ASSERT_FALSE(seen[static_cast<std::size_t>(sequence)]) << sequence << " delivered twice";
        seen[static_cast<std::size_t>(sequence)] = true;
        int64_t& last = (sequence % 2 != 0) ? lastOdd : lastEven;
        ASSERT_LT(last, sequence);
        last = sequence;
    }
}

TEST(RecordQueueThreaded, EmptyingWhileFetchingNeverDuplicatesReordersOrTearsRecords) {
    GazeQueue queue;
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        PushSequence(queue, 1, kRecords, 1, true);
        done.store(true, std::memory_order_release);
    });
    std::thread clearer([&] { ClearUntilDone(queue, done); });
    const FetchResult result = FetchUntilDone(queue, done, -1);
    pusher.join();
    clearer.join();

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
    std::thread clearer([&] { ClearUntilDone(queue, done); });
    const FetchResult result = FetchUntilDone(queue, done, -1);
    pusher.join();
    clearer.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    EXPECT_EQ(result.countAboveOne, 0);
    ExpectStrictlyIncreasing(result.sequences);
}

TEST(RecordQueueThreaded, SwitchingKeepAllWhileFetchingKeepsOrderAndNeverTears) {
    GazeQueue queue;
    std::atomic<bool> done{false};
    std::thread pusher([&] {
        for (int64_t sequence = 1; sequence <= kRecords; ++sequence) {
            // Long keep-all runs spanning chunks, then a few keep-newest pushes.
            const bool keepAll = (sequence / 1000) % 4 != 3;
            queue.Push(MakeRecord(sequence), keepAll);
        }
        done.store(true, std::memory_order_release);
    });
    const FetchResult result = FetchUntilDone(queue, done, -1);
    pusher.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    ExpectStrictlyIncreasing(result.sequences);
    // The last keep-all run ends the sequence, so its newest record arrives.
    ASSERT_FALSE(result.sequences.empty());
    EXPECT_EQ(result.sequences.back(), kRecords);
}

// The callback's side as the extension object gives it: every stream on,
// keep-all, both eyes usable, the queues shared with the host's thread.
class CallbackTarget {
public:
    int32_t IsStreaming() { return 1; }
    int32_t GetClientCount() { return 2; }
    uint32_t GetDataMask() { return kStreamGaze | kStreamPupil | kStreamEyeEvents; }
    int32_t GetEyeSelection() { return 0; }
    int32_t GetScreenWidth() { return 1000; }
    int32_t GetScreenHeight() { return 800; }
    int32_t GetLastValidityFirst() { return m_lastFirst; }
    void SetLastValidityFirst(int32_t value) { m_lastFirst = value; }
    int32_t GetLastValiditySecond() { return m_lastSecond; }
    void SetLastValiditySecond(int32_t value) { m_lastSecond = value; }
    void PushGazeSample(const GazeRecord& record, int32_t eyeType) {
        wrongEyeTypes += eyeType == 0 ? 0 : 1;
        gaze.Push(record, true);
    }
    void PushPupilSample(const PupilRecord& record) { pupils.Push(record, true); }
    void PushEyeEvent(const EyeEventRecord&) { ++unexpectedEvents; }

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

// Host side for the callback test: fetches both streams until the callback
// thread is done and both are empty (or, with expectedEach >= 0, until that
// many records of each arrived).
StreamResult FetchStreamsUntilDone(CallbackTarget& target, const std::atomic<bool>& done, int64_t expectedEach) {
    StreamResult result;
    std::vector<GazeRecord> gaze(700);
    std::vector<PupilRecord> pupils(700);
    const auto deadline = Clock::now() + kDeadline;
    int32_t request = 3;
    for (;;) {
        const bool finished = done.load(std::memory_order_acquire);
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
        request = request % 689 + 11;
        if (expectedEach >= 0 && static_cast<int64_t>(result.gazeTimes.size()) >= expectedEach &&
            static_cast<int64_t>(result.pupilTimes.size()) >= expectedEach) {
            return result;
        }
        if (finished && gotGaze == 0 && gotPupils == 0 && target.gaze.Count() == 0 && target.pupils.Count() == 0) {
            return result;
        }
        if (Clock::now() > deadline) {
            result.timedOut = true;
            return result;
        }
        if (gotGaze == 0 && gotPupils == 0) {
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
    std::thread restarts([&] {
        const auto deadline = Clock::now() + kDeadline;
        int round = 0;
        while (!done.load(std::memory_order_acquire) && Clock::now() < deadline) {
            // A stop and a start of each stream each empty its queue.
            target.gaze.Clear();
            target.pupils.Clear();
            ++round;
            for (int spin = 0; spin < 100 + (round % 300); ++spin) {
                std::this_thread::yield();
            }
        }
    });
    const StreamResult result = FetchStreamsUntilDone(target, done, -1);
    callback.join();
    restarts.join();

    ASSERT_FALSE(result.timedOut);
    EXPECT_EQ(result.torn, 0);
    ExpectStrictlyIncreasing(result.gazeTimes);
    ExpectStrictlyIncreasing(result.pupilTimes);
}

}  // namespace
}  // namespace okulon
