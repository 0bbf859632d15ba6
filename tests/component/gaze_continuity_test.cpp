// The host program's judgement of its gaze stream: which gaps a blink made and
// which a data stop, and whether records still arrived at the session's end.
#include "host/gaze_continuity.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace okulon::host {
namespace {

constexpr int64_t kInterval = 3333;  // 300 Hz

// Records every interval from `from` up to (not including) `to`, appended.
void AddRecords(std::vector<int64_t>& times, int64_t from, int64_t to) {
    for (int64_t at = from; at < to; at += kInterval) times.push_back(at);
}

TEST(GazeContinuity, AGapOpenedByLostEyesIsABlinkAndOneWithoutIsNot) {
    std::vector<int64_t> times;
    AddRecords(times, 0, 500'000);
    AddRecords(times, 700'000, 1'000'000);    // a blink
    AddRecords(times, 1'150'000, 1'400'000);  // one eye lost: no event
    AddRecords(times, 1'420'000, 2'000'000);  // 20 ms: within ten intervals
    // A lost event before the second gap, within a run of records, opens nothing.
    const std::vector<int64_t> lost{500'100, 900'000};

    const GazeContinuity continuity = AssessGazeContinuity(times, lost, 2.0, 2.0);
    EXPECT_EQ(kInterval, continuity.medianIntervalMicros);
    ASSERT_EQ(2u, continuity.gaps.size());
    EXPECT_TRUE(continuity.gaps[0].eyesLost);
    EXPECT_EQ(times[continuity.gaps[0].resumeIndex], 700'000);
    EXPECT_FALSE(continuity.gaps[1].eyesLost);
    EXPECT_EQ(times[continuity.gaps[1].resumeIndex] - continuity.gaps[1].lengthMicros, continuity.gaps[1].startMicros);
    EXPECT_EQ(1'150'000, times[continuity.gaps[1].resumeIndex]);
    EXPECT_FALSE(continuity.Stopped());
}

TEST(GazeContinuity, OverASecondWithoutRecordsOrLostEyesIsADataStop) {
    std::vector<int64_t> times;
    AddRecords(times, 0, 500'000);
    AddRecords(times, 1'600'000, 2'000'000);
    EXPECT_TRUE(AssessGazeContinuity(times, {}, 2.0, 2.0).Stopped());
    // Eyes closed as long: the tracker said so, the data did not stop.
    EXPECT_FALSE(AssessGazeContinuity(times, {600'000}, 2.0, 2.0).Stopped());
}

TEST(GazeContinuity, AStreamEndsEarlyWhenNothingArrivedForLongerThanABlinkAtTheEnd) {
    std::vector<int64_t> times;
    AddRecords(times, 0, 2'000'000);
    EXPECT_FALSE(AssessGazeContinuity(times, {}, 3.0, 2.6).endedEarly);  // a blink and a poll
    const GazeContinuity ended = AssessGazeContinuity(times, {times.back() + kInterval}, 3.0, 2.0);
    EXPECT_TRUE(ended.endedEarly);
    EXPECT_TRUE(ended.eyesLostAtEnd);
    EXPECT_TRUE(ended.Stopped());
    // At 10 Hz ten intervals are a second: 0.6 s of silence is not yet an end.
    std::vector<int64_t> slow;
    for (int64_t at = 0; at < 2'000'000; at += 100'000) slow.push_back(at);
    EXPECT_FALSE(AssessGazeContinuity(slow, {}, 3.0, 2.4).endedEarly);
    EXPECT_TRUE(AssessGazeContinuity(slow, {}, 3.0, 1.9).endedEarly);
}

}  // namespace
}  // namespace okulon::host
