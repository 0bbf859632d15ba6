// Single-threaded behaviour of RecordQueue: keep-all on and off, fetch sizes,
// order across chunk boundaries, emptying and reuse.
#include "extension/records/record_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "extension/records/records.h"

namespace okulon {
namespace {

using GazeQueue = RecordQueue<GazeRecord>;

GazeRecord MakeGaze(int64_t sequence) {
    GazeRecord record{};
    record.time = sequence;
    record.x = static_cast<double>(sequence) * 0.5;
    record.y = -static_cast<double>(sequence);
    return record;
}

// Poisoned output so that a record the queue did not write is noticed.
std::vector<GazeRecord> PoisonedArray(std::size_t size) {
    std::vector<GazeRecord> out(size);
    std::memset(out.data(), 0xCC, size * sizeof(GazeRecord));
    return out;
}

bool IsPoison(const GazeRecord& record) {
    GazeRecord poison;
    std::memset(&poison, 0xCC, sizeof(poison));
    return std::memcmp(&record, &poison, sizeof(poison)) == 0;
}

void ExpectGaze(const GazeRecord& record, int64_t sequence) {
    EXPECT_EQ(record.time, sequence);
    EXPECT_EQ(record.x, static_cast<double>(sequence) * 0.5);
    EXPECT_EQ(record.y, -static_cast<double>(sequence));
}

TEST(RecordQueueKeepAllOff, ThreePushesLeaveOnlyTheNewestRecord) {
    GazeQueue queue;
    queue.Push(MakeGaze(1), false);
    queue.Push(MakeGaze(2), false);
    queue.Push(MakeGaze(3), false);
    EXPECT_EQ(queue.Count(), 1);

    auto out = PoisonedArray(10);
    EXPECT_EQ(queue.Fetch(out.data(), 10), 1);
    ExpectGaze(out[0], 3);
    EXPECT_TRUE(IsPoison(out[1]));
    EXPECT_EQ(queue.Count(), 0);
}

TEST(RecordQueueKeepAllOff, PushAfterALongKeepAllRunDropsEverythingOlder) {
    GazeQueue queue;
    const int64_t many = 3 * static_cast<int64_t>(GazeQueue::kChunkCapacity) + 7;
    for (int64_t i = 0; i < many; ++i) {
        queue.Push(MakeGaze(i), true);
    }
    queue.Push(MakeGaze(many), false);
    EXPECT_EQ(queue.Count(), 1);
    auto out = PoisonedArray(4);
    EXPECT_EQ(queue.Fetch(out.data(), 4), 1);
    ExpectGaze(out[0], many);
}

// Switching between keep-all and keeping only the newest record: an emptying
// push's record comes before the keep-all records pushed after it.
TEST(RecordQueueModeSwitch, KeepAllPushesAfterAnEmptyingPushQueueBehindItsRecord) {
    GazeQueue queue;
    for (int64_t i = 1; i <= 3; ++i) {
        queue.Push(MakeGaze(i), true);
    }
    queue.Push(MakeGaze(4), false);
    queue.Push(MakeGaze(5), true);
    queue.Push(MakeGaze(6), true);
    EXPECT_EQ(queue.Count(), 3);

    auto out = PoisonedArray(5);
    EXPECT_EQ(queue.Fetch(out.data(), 5), 3);
    ExpectGaze(out[0], 4);
    ExpectGaze(out[1], 5);
    ExpectGaze(out[2], 6);
    EXPECT_TRUE(IsPoison(out[3]));
    EXPECT_EQ(queue.Count(), 0);
}

TEST(RecordQueueModeSwitch, FetchingOneTakesTheNewestRecordFirstAndNeverRepeatsIt) {
    GazeQueue queue;
    queue.Push(MakeGaze(1), false);
    queue.Push(MakeGaze(2), true);
    auto out = PoisonedArray(2);
    EXPECT_EQ(queue.Fetch(out.data(), 1), 1);
    ExpectGaze(out[0], 1);
    EXPECT_EQ(queue.Count(), 1);

    queue.Push(MakeGaze(3), true);
    out = PoisonedArray(4);
    EXPECT_EQ(queue.Fetch(out.data(), 4), 2);
    ExpectGaze(out[0], 2);
    ExpectGaze(out[1], 3);
    EXPECT_EQ(queue.Count(), 0);
    EXPECT_EQ(queue.Fetch(out.data(), 4), 0);
}

TEST(RecordQueueModeSwitch, EmptyingPushAfterAFetchedNewestRecordReplacesOnlyWhatIsQueued) {
    GazeQueue queue;
    queue.Push(MakeGaze(1), false);
    auto out = PoisonedArray(3);
    EXPECT_EQ(queue.Fetch(out.data(), 3), 1);
    queue.Push(MakeGaze(2), true);
    queue.Push(MakeGaze(3), false);
    queue.Push(MakeGaze(4), false);
    EXPECT_EQ(queue.Count(), 1);
    out = PoisonedArray(3);
    EXPECT_EQ(queue.Fetch(out.data(), 3), 1);
    ExpectGaze(out[0], 4);
}

TEST(RecordQueueModeSwitch, ClearRemovesTheNewestRecordAndTheKeepAllRecordsBehindIt) {
    GazeQueue queue;
    queue.Push(MakeGaze(1), false);
    queue.Push(MakeGaze(2), true);
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0);
    auto out = PoisonedArray(2);
    EXPECT_EQ(queue.Fetch(out.data(), 2), 0);

    queue.Push(MakeGaze(3), true);
    queue.Push(MakeGaze(4), false);
    EXPECT_EQ(queue.Fetch(out.data(), 2), 1);
    ExpectGaze(out[0], 4);
}

// Runs longer than a chunk in each mode, switching back and forth, with the
// host fetching at sizes that end inside and across chunks.
TEST(RecordQueueModeSwitch, LongRunsInEachModeDeliverTheNewestRecordThenTheKeepAllRun) {
    GazeQueue queue;
    const int64_t run = 2 * static_cast<int64_t>(GazeQueue::kChunkCapacity) + 5;
    int64_t next = 0;
    std::vector<GazeRecord> delivered;
    auto out = PoisonedArray(static_cast<std::size_t>(run) + 1);
    for (int round = 0; round < 6; ++round) {
        for (int64_t i = 0; i < run; ++i) {
            queue.Push(MakeGaze(next++), false);
        }
        const int64_t newest = next - 1;
        for (int64_t i = 0; i < run; ++i) {
            queue.Push(MakeGaze(next++), true);
        }
        ASSERT_EQ(queue.Count(), run + 1);
        delivered.clear();
        for (int32_t request = 1 + round * 17; queue.Count() > 0;) {
            const int32_t got = queue.Fetch(out.data(), request);
            delivered.insert(delivered.end(), out.begin(), out.begin() + got);
        }
        ASSERT_EQ(static_cast<int64_t>(delivered.size()), run + 1);
        ExpectGaze(delivered[0], newest);
        for (int64_t i = 1; i <= run; ++i) {
            ASSERT_EQ(delivered[static_cast<std::size_t>(i)].time, newest + i);
        }
    }
}

TEST(RecordQueueKeepAllOn, RequestOfTwoOfThreeDeliversTheOldestTwoThenTheThird) {
    GazeQueue queue;
    queue.Push(MakeGaze(1), true);
    queue.Push(MakeGaze(2), true);
    queue.Push(MakeGaze(3), true);
    EXPECT_EQ(queue.Count(), 3);

    auto out = PoisonedArray(3);
    EXPECT_EQ(queue.Fetch(out.data(), 2), 2);
    ExpectGaze(out[0], 1);
    ExpectGaze(out[1], 2);
    EXPECT_TRUE(IsPoison(out[2]));
    EXPECT_EQ(queue.Count(), 1);

    auto next = PoisonedArray(3);
    EXPECT_EQ(queue.Fetch(next.data(), 3), 1);
    ExpectGaze(next[0], 3);
    EXPECT_TRUE(IsPoison(next[1]));
}

TEST(RecordQueueFetch, RequestOfZeroDeliversNothingAndLeavesTheQueue) {
    GazeQueue queue;
    queue.Push(MakeGaze(1), true);
    queue.Push(MakeGaze(2), true);
    auto out = PoisonedArray(1);
    EXPECT_EQ(queue.Fetch(out.data(), 0), 0);
    EXPECT_TRUE(IsPoison(out[0]));
    EXPECT_EQ(queue.Count(), 2);
}

TEST(RecordQueueFetch, NegativeRequestDeliversNothingAndLeavesTheQueue) {
    GazeQueue queue;
    queue.Push(MakeGaze(1), true);
    auto out = PoisonedArray(1);
    EXPECT_EQ(queue.Fetch(out.data(), -5), 0);
    EXPECT_TRUE(IsPoison(out[0]));
    EXPECT_EQ(queue.Count(), 1);
}

TEST(RecordQueueFetch, RequestLargerThanTheQueueDeliversTheWholeQueue) {
    GazeQueue queue;
    for (int64_t i = 0; i < 5; ++i) {
        queue.Push(MakeGaze(i), true);
    }
    auto out = PoisonedArray(8);
    EXPECT_EQ(queue.Fetch(out.data(), 8), 5);
    for (int64_t i = 0; i < 5; ++i) {
        ExpectGaze(out[static_cast<std::size_t>(i)], i);
    }
    EXPECT_TRUE(IsPoison(out[5]));
    EXPECT_EQ(queue.Count(), 0);
}

TEST(RecordQueueFetch, EmptyQueueDeliversNothing) {
    GazeQueue queue;
    auto out = PoisonedArray(2);
    EXPECT_EQ(queue.Fetch(out.data(), 2), 0);
    EXPECT_TRUE(IsPoison(out[0]));
    EXPECT_EQ(queue.Count(), 0);
}

// Sizes around the chunk capacity exercise fetches that end inside a chunk,
// at its end and beyond it, and chunks handed back while the producer goes on.
TEST(RecordQueueFetch, KeepsOrderAcrossChunkBoundariesForEveryFetchSize) {
    const std::size_t capacity = GazeQueue::kChunkCapacity;
    const std::size_t total = 4 * capacity + 3;
    const std::size_t fetchSizes[] = {1, 7, capacity - 1, capacity, capacity + 1, 2 * capacity + 5, total};
    for (std::size_t fetchSize : fetchSizes) {
        SCOPED_TRACE(fetchSize);
        GazeQueue queue;
        for (std::size_t i = 0; i < total; ++i) {
            queue.Push(MakeGaze(static_cast<int64_t>(i)), true);
        }
        std::vector<GazeRecord> delivered;
        auto out = PoisonedArray(fetchSize);
        while (queue.Count() > 0) {
            const int32_t before = queue.Count();
            const int32_t got = queue.Fetch(out.data(), static_cast<int32_t>(fetchSize));
            ASSERT_EQ(static_cast<std::size_t>(got),
                      std::min<std::size_t>(fetchSize, static_cast<std::size_t>(before)));
            ASSERT_EQ(queue.Count(), before - got);
            delivered.insert(delivered.end(), out.begin(), out.begin() + got);
        }
        ASSERT_EQ(delivered.size(), total);
        for (std::size_t i = 0; i < total; ++i) {
            ASSERT_EQ(delivered[i].time, static_cast<int64_t>(i));
        }
    }
}

TEST(RecordQueueFetch, PushesBetweenPartialFetchesKeepArrivalOrder) {
    GazeQueue queue;
    const std::size_t capacity = GazeQueue::kChunkCapacity;
    int64_t next = 0;
    int64_t expected = 0;
    auto out = PoisonedArray(capacity + 3);
    for (int round = 0; round < 20; ++round) {
        const std::size_t pushes = (round % 3 == 0) ? capacity + 2 : static_cast<std::size_t>(round) * 11;
        for (std::size_t i = 0; i < pushes; ++i) {
            queue.Push(MakeGaze(next++), true);
        }
        const int32_t got =
            queue.Fetch(out.data(), static_cast<int32_t>(capacity / 2 + static_cast<std::size_t>(round)));
        for (int32_t i = 0; i < got; ++i) {
            ASSERT_EQ(out[static_cast<std::size_t>(i)].time, expected++);
        }
    }
    ASSERT_EQ(queue.Count(), next - expected);
}

TEST(RecordQueueClear, RemovesEverythingAndTheQueueWorksAfterwards) {
    GazeQueue queue;
    for (int64_t i = 0; i < 1000; ++i) {
        queue.Push(MakeGaze(i), true);
    }
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0);
    auto out = PoisonedArray(2);
    EXPECT_EQ(queue.Fetch(out.data(), 2), 0);
    EXPECT_TRUE(IsPoison(out[0]));

    queue.Push(MakeGaze(5000), true);
    queue.Push(MakeGaze(5001), true);
    EXPECT_EQ(queue.Fetch(out.data(), 2), 2);
    ExpectGaze(out[0], 5000);
    ExpectGaze(out[1], 5001);
}

TEST(RecordQueueClear, ClearOfAnEmptyQueueIsHarmless) {
    GazeQueue queue;
    queue.Clear();
    queue.Clear();
    EXPECT_EQ(queue.Count(), 0);
}

// Pupil and eye-event records carry reserved bytes: the queue moves every byte.
TEST(RecordQueueRecords, PupilAndEyeEventRecordsArriveByteForByte) {
    RecordQueue<PupilRecord> pupils;
    PupilRecord pupil{};
    pupil.time = -7;
    pupil.firstPupil = 3.25;
    pupil.secondPupil = 4.5;
    pupils.Push(pupil, true);
    PupilRecord pupilOut;
    std::memset(&pupilOut, 0xCC, sizeof(pupilOut));
    ASSERT_EQ(pupils.Fetch(&pupilOut, 1), 1);
    EXPECT_EQ(std::memcmp(&pupilOut, &pupil, sizeof(pupil)), 0);

    RecordQueue<EyeEventRecord> events;
    EyeEventRecord event{};
    event.time = 42;
    event.x = -1.5;
    event.y = 2.5;
    event.kind = kBothEyesFound;
    events.Push(event, false);
    EyeEventRecord eventOut;
    std::memset(&eventOut, 0xCC, sizeof(eventOut));
    ASSERT_EQ(events.Fetch(&eventOut, 1), 1);
    EXPECT_EQ(std::memcmp(&eventOut, &event, sizeof(event)), 0);
}

TEST(RecordQueueRecords, OpaqueStreamsThatNothingFillsStayEmpty) {
    RecordQueue<SaccadeEventRecord> saccades;
    RecordQueue<AoiEventRecord> aois;
    RecordQueue<SpareRecord> spares;
    SpareRecord out[2];
    EXPECT_EQ(saccades.Count(), 0);
    EXPECT_EQ(aois.Count(), 0);
    EXPECT_EQ(spares.Fetch(out, 2), 0);
}

}  // namespace
}  // namespace okulon
