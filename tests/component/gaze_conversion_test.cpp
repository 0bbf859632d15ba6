// HandleGazeCallback against a stand-in object that logs every call: the
// stop and filter steps, time and position arithmetic, the three eye
// selections, pupil records, eye events and the validity bookkeeping.
#include "tracker/gaze_conversion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <array>
#include <string>
#include <vector>

#include "extension/records/records.h"
#include "tracker/contract/tracker_records.h"

namespace okulon {
namespace {

struct PushedGaze {
    GazeRecord record;
    int32_t eyeType;
};

// The extension object as the callback sees it. Every call is logged, so a
// test can tell which fields were read and in what order records went out.
class FakeTarget final : public GazeCallbackTarget {
public:
    int32_t streaming = 1;
    int32_t clientCount = 1;
    // Successive GetDataMask results; the last one repeats.
    std::vector<uint32_t> masks{kStreamGaze | kStreamPupil | kStreamEyeEvents};
    int32_t eyeSelection = 0;
    int32_t width = 1280;
    int32_t height = 1024;
    int32_t lastFirst = -1;
    int32_t lastSecond = -1;

    std::vector<std::string> calls;
    std::string pushOrder;  // 'G', 'P', 'E' per push
    std::vector<PushedGaze> gaze;
    std::vector<PupilRecord> pupils;
    std::vector<EyeEventRecord> events;

    int32_t IsStreaming() noexcept override { return Log("IsStreaming"), streaming; }
    int32_t GetClientCount() noexcept override { return Log("GetClientCount"), clientCount; }
    uint32_t GetDataMask() noexcept override {
        Log("GetDataMask");
        const uint32_t mask = masks[m_maskIndex];
        if (m_maskIndex + 1 < masks.size()) {
            ++m_maskIndex;
        }
        return mask;
    }
    int32_t GetEyeSelection() noexcept override { return Log("GetEyeSelection"), eyeSelection; }
    int32_t GetScreenWidth() noexcept override { return Log("GetScreenWidth"), width; }
    int32_t GetScreenHeight() noexcept override { return Log("GetScreenHeight"), height; }
    int32_t GetLastValidityFirst() noexcept override { return Log("GetLastValidityFirst"), lastFirst; }
    void SetLastValidityFirst(int32_t value) noexcept override { Log("SetLastValidityFirst"), lastFirst = value; }
    int32_t GetLastValiditySecond() noexcept override { return Log("GetLastValiditySecond"), lastSecond; }
    void SetLastValiditySecond(int32_t value) noexcept override { Log("SetLastValiditySecond"), lastSecond = value; }
    void PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept override {
        Log("PushGazeSample");
        pushOrder += 'G';
        gaze.push_back({record, eyeType});
    }
    void PushPupilSample(const PupilRecord& record) noexcept override {
        Log("PushPupilSample");
        pushOrder += 'P';
        pupils.push_back(record);
    }
    void PushEyeEvent(const EyeEventRecord& record) noexcept override {
        Log("PushEyeEvent");
        pushOrder += 'E';
        events.push_back(record);
    }
    void RecordSample(const TrackerRecord& record, int32_t recordedWidth, int32_t recordedHeight) noexcept override {
        Log("RecordSample");
        recorded.push_back({record.timeSeconds, record.timeMicroseconds, recordedWidth, recordedHeight});
    }
    std::vector<std::array<int32_t, 4>> recorded;  // seconds, microseconds, width, height

    int CallCount(const std::string& name) const {
        int count = 0;
        for (const std::string& call : calls) {
            count += call == name ? 1 : 0;
        }
        return count;
    }

    void ResetLog() {
        calls.clear();
        pushOrder.clear();
        gaze.clear();
        pupils.clear();
        events.clear();
        m_maskIndex = 0;
    }

private:
    void Log(const char* name) { calls.emplace_back(name); }
    std::size_t m_maskIndex = 0;
};

struct EyeValues {
    float x;
    float y;
    float pupil;
    int32_t validity;
};

TrackerRecord MakeRecord(int32_t seconds, int32_t microseconds, EyeValues first, EyeValues second) {
    TrackerRecord record;
    std::memset(&record, 0x5A, sizeof(record));  // fields the callback must not need
    record.timeSeconds = seconds;
    record.timeMicroseconds = microseconds;
    record.first.gazeX = first.x;
    record.first.gazeY = first.y;
    record.first.pupilSize = first.pupil;
    record.first.validity = first.validity;
    record.second.gazeX = second.x;
    record.second.gazeY = second.y;
    record.second.pupilSize = second.pupil;
    record.second.validity = second.validity;
    return record;
}

// Both eyes at the same place with the given validities.
TrackerRecord MakeRecordWithValidities(int32_t first, int32_t second) {
    return MakeRecord(10, 0, {0.25f, 0.75f, 3.0f, first}, {0.25f, 0.75f, 3.0f, second});
}

bool IsZero(const uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Stop and filter steps

TEST(GazeCallbackStop, StreamingOffAsksToStopAndReadsNothingElseForEveryReason) {
    const TrackerRecord record = MakeRecordWithValidities(0, 0);
    for (int32_t reason : {kTrackerReasonSample, kTrackerReasonIdle, 0, 7}) {
        SCOPED_TRACE(reason);
        FakeTarget target;
        target.streaming = 0;
        const TrackerRecord* argument = reason == kTrackerReasonIdle ? nullptr : &record;
        EXPECT_EQ(HandleGazeCallback(reason, argument, target), GazeCallbackAction::kStopDelivery);
        EXPECT_EQ(target.calls, std::vector<std::string>{"IsStreaming"});
    }
}

TEST(GazeCallbackStop, IdleReasonWhileStreamingDoesNothing) {
    FakeTarget target;
    EXPECT_EQ(HandleGazeCallback(kTrackerReasonIdle, nullptr, target), GazeCallbackAction::kContinue);
    EXPECT_EQ(target.calls, std::vector<std::string>{"IsStreaming"});
}

TEST(GazeCallbackStop, ClientCountZeroDropsTheRecordAndKeepsTheLastValidities) {
    FakeTarget target;
    target.clientCount = 0;
    target.lastFirst = 4;
    target.lastSecond = 4;
    const TrackerRecord record = MakeRecordWithValidities(0, 0);
    EXPECT_EQ(HandleGazeCallback(kTrackerReasonSample, &record, target), GazeCallbackAction::kContinue);
    EXPECT_EQ(target.calls, (std::vector<std::string>{"IsStreaming", "GetScreenWidth", "GetScreenHeight",
                                                      "RecordSample", "GetClientCount"}));
    // The recording takes it all the same.
    EXPECT_EQ(target.recorded, (std::vector<std::array<int32_t, 4>>{
                                   {record.timeSeconds, record.timeMicroseconds, target.width, target.height}}));
    EXPECT_EQ(target.lastFirst, 4);
    EXPECT_EQ(target.lastSecond, 4);
}

TEST(GazeCallbackStop, NegativeClientCountStillConverts) {
    FakeTarget target;
    target.clientCount = -1;
    const TrackerRecord record = MakeRecordWithValidities(0, 0);
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    EXPECT_EQ(target.gaze.size(), 1u);
    EXPECT_EQ(target.lastFirst, 0);
}

TEST(GazeCallbackStop, MissingRecordForASampleReasonIsDroppedWithoutTouchingState) {
    FakeTarget target;
    target.lastFirst = 4;
    target.lastSecond = 4;
    EXPECT_EQ(HandleGazeCallback(kTrackerReasonSample, nullptr, target), GazeCallbackAction::kContinue);
    EXPECT_EQ(target.pushOrder, "");
    EXPECT_EQ(target.lastFirst, 4);
    EXPECT_EQ(target.CallCount("SetLastValidityFirst"), 0);
}

// ---------------------------------------------------------------------------
// Time and position

TEST(GazeCallbackPosition, WorkedExampleGoesToTheQueueOfTheSelectedEyeType) {
    for (int32_t selection : {0, 1, 2}) {
        SCOPED_TRACE(selection);
        FakeTarget target;
        target.masks = {kStreamGaze};
        target.eyeSelection = selection;
        const TrackerRecord record = MakeRecord(100, 250, {0.25f, 0.75f, 2.0f, 0}, {0.25f, 0.75f, 2.0f, 0});
        HandleGazeCallback(kTrackerReasonSample, &record, target);
        ASSERT_EQ(target.gaze.size(), 1u);
        EXPECT_EQ(target.gaze[0].eyeType, selection);
        EXPECT_EQ(target.gaze[0].record.time, 100000250);
        EXPECT_EQ(target.gaze[0].record.x, -320.0);
        EXPECT_EQ(target.gaze[0].record.y, -256.0);
    }
}

TEST(GazeCallbackPosition, UnknownEyeSelectionAveragesBothEyesIntoQueueZero) {
    for (int32_t selection : {-1, 3, 1000}) {
        SCOPED_TRACE(selection);
        FakeTarget target;
        target.masks = {kStreamGaze};
        target.eyeSelection = selection;
        const TrackerRecord record = MakeRecord(1, 0, {0.0f, 0.0f, 1.0f, 0}, {0.5f, 1.0f, 1.0f, 0});
        HandleGazeCallback(kTrackerReasonSample, &record, target);
        ASSERT_EQ(target.gaze.size(), 1u);
        EXPECT_EQ(target.gaze[0].eyeType, 0);
        EXPECT_EQ(target.gaze[0].record.x, 1280.0 * (0.25 - 0.5));
        EXPECT_EQ(target.gaze[0].record.y, 0.0);
    }
}

TEST(GazeCallbackPosition, SecondEyeSelectionUsesTheSecondBlockWhenOnlyItIsValid) {
    FakeTarget target;
    target.masks = {kStreamGaze};
    target.eyeSelection = 1;
    const TrackerRecord record = MakeRecord(1, 0, {0.0f, 0.0f, 1.0f, 4}, {0.75f, 0.25f, 1.0f, 0});
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    ASSERT_EQ(target.gaze.size(), 1u);
    EXPECT_EQ(target.gaze[0].eyeType, 1);
    EXPECT_EQ(target.gaze[0].record.x, 320.0);
    EXPECT_EQ(target.gaze[0].record.y, 256.0);
}

TEST(GazeCallbackPosition, FirstEyeSelectionUsesTheFirstBlockWhenOnlyItIsValid) {
    FakeTarget target;
    target.masks = {kStreamGaze};
    target.eyeSelection = 2;
    const TrackerRecord record = MakeRecord(1, 0, {0.75f, 0.25f, 1.0f, 0}, {0.0f, 0.0f, 1.0f, 2});
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    ASSERT_EQ(target.gaze.size(), 1u);
    EXPECT_EQ(target.gaze[0].eyeType, 2);
    EXPECT_EQ(target.gaze[0].record.x, 320.0);
    EXPECT_EQ(target.gaze[0].record.y, 256.0);
}

TEST(GazeCallbackPosition, NoGazeRecordWhenTheEyeInUseIsNotUsable) {
    struct Case {
        int32_t selection;
        int32_t val1;
        int32_t val2;
    };
    const Case cases[] = {
        {1, 0, 4}, {1, 0, 1}, {2, 4, 0}, {2, 2, 0}, {0, 0, 4}, {0, 4, 0}, {0, 1, 0}, {0, 4, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.selection << " " << c.val1 << " " << c.val2);
        FakeTarget target;
        target.masks = {kStreamGaze};
        target.eyeSelection = c.selection;
        const TrackerRecord record = MakeRecordWithValidities(c.val1, c.val2);
        HandleGazeCallback(kTrackerReasonSample, &record, target);
        EXPECT_TRUE(target.gaze.empty());
        EXPECT_EQ(target.lastFirst, c.val1);
        EXPECT_EQ(target.lastSecond, c.val2);
    }
}

TEST(GazeCallbackTime, NegativeMicrosecondsAreSubtractedFromTheSeconds) {
    FakeTarget target;
    target.masks = {kStreamGaze};
    const TrackerRecord record = MakeRecord(100, -1, {0.5f, 0.5f, 1.0f, 0}, {0.5f, 0.5f, 1.0f, 0});
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    ASSERT_EQ(target.gaze.size(), 1u);
    EXPECT_EQ(target.gaze[0].record.time, 99999999);
}

TEST(GazeCallbackTime, LargeSecondsDoNotOverflowThirtyTwoBits) {
    FakeTarget target;
    target.masks = {kStreamGaze};
    const int32_t maxSeconds = std::numeric_limits<int32_t>::max();
    const int32_t minSeconds = std::numeric_limits<int32_t>::min();
    TrackerRecord record = MakeRecord(maxSeconds, 999999, {0.5f, 0.5f, 1.0f, 0}, {0.5f, 0.5f, 1.0f, 0});
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    record.timeSeconds = minSeconds;
    record.timeMicroseconds = -5;
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    ASSERT_EQ(target.gaze.size(), 2u);
    EXPECT_EQ(target.gaze[0].record.time, INT64_C(2147483647999999));
    EXPECT_EQ(target.gaze[1].record.time, INT64_C(-2147483648000005));
}

TEST(GazeCallbackTime, OneTimeServesEveryRecordMadeFromATrackerRecord) {
    FakeTarget target;
    target.lastFirst = 4;
    target.lastSecond = 4;
    const TrackerRecord record = MakeRecord(7, 123, {0.5f, 0.5f, 1.0f, 0}, {0.5f, 0.5f, 1.0f, 0});
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    ASSERT_EQ(target.pushOrder, "GPE");
    EXPECT_EQ(target.gaze[0].record.time, 7000123);
    EXPECT_EQ(target.pupils[0].time, 7000123);
    EXPECT_EQ(target.events[0].time, 7000123);
}

TEST(GazeCallbackPosition, ZeroWidthOrHeightGivesZeroOnThatAxis) {
    FakeTarget target;
    target.masks = {kStreamGaze};
    target.width = 0;
    const TrackerRecord record = MakeRecord(1, 0, {0.1f, 0.9f, 1.0f, 0}, {0.3f, 0.7f, 1.0f, 0});
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    target.width = 1280;
    target.height = 0;
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    ASSERT_EQ(target.gaze.size(), 2u);
    EXPECT_EQ(target.gaze[0].record.x, 0.0);
    EXPECT_NE(target.gaze[0].record.y, 0.0);
    EXPECT_NE(target.gaze[1].record.x, 0.0);
    EXPECT_EQ(target.gaze[1].record.y, 0.0);
}

TEST(GazeCallbackPosition, EdgesAndCentreMapToHalfTheScreenAndZero) {
    struct Case {
        float x1;
        float y1;
        double x;
        double y;
    };
    const Case cases[] = {
        {0.0f, 0.0f, -640.0, 512.0},  // left edge, top edge
        {1.0f, 1.0f, 640.0, -512.0},  // right edge, bottom edge
        {0.5f, 0.5f, 0.0, 0.0},       // centre
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x1 << " " << c.y1);
        FakeTarget target;
        target.masks = {kStreamGaze};
        target.eyeSelection = 2;
        const TrackerRecord record = MakeRecord(1, 0, {c.x1, c.y1, 1.0f, 0}, {0.9f, 0.9f, 1.0f, 4});
        HandleGazeCallback(kTrackerReasonSample, &record, target);
        ASSERT_EQ(target.gaze.size(), 1u);
        EXPECT_EQ(target.gaze[0].record.x, c.x);
        EXPECT_EQ(target.gaze[0].record.y, c.y);
    }
}

TEST(GazeCallbackPosition, AverageIsComputedInDoubleFromTheWidenedFractions) {
    const float x1 = 0.1f;
    const float x2 = 0.7f;
    const float y1 = 0.3f;
    const float y2 = 0.65f;
    const int32_t width = 1279;
    const int32_t height = 1023;
    const double expectedX = width * ((static_cast<double>(x2) + static_cast<double>(x1)) * 0.5 - 0.5);
    const double expectedY = height * (0.5 - (static_cast<double>(y2) + static_cast<double>(y1)) * 0.5);
    // Single-precision arithmetic would give a different answer.
    volatile float floatX = static_cast<float>(width) * ((x2 + x1) * 0.5f - 0.5f);
    ASSERT_NE(static_cast<double>(floatX), expectedX);

    FakeTarget target;
    target.width = width;
    target.height = height;
    target.masks = {kStreamGaze};
    const TrackerRecord record = MakeRecord(1, 0, {x1, y1, 1.0f, 0}, {x2, y2, 1.0f, 0});
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    ASSERT_EQ(target.gaze.size(), 1u);
    EXPECT_EQ(target.gaze[0].record.x, expectedX);
    EXPECT_EQ(target.gaze[0].record.y, expectedY);
}

TEST(GazeCallbackPosition, ScreenSizeIsReadAfreshForEveryRecord) {
    FakeTarget target;
    target.masks = {kStreamGaze};
    const TrackerRecord record = MakeRecord(1, 0, {1.0f, 0.0f, 1.0f, 0}, {1.0f, 0.0f, 1.0f, 0});
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    target.width = 800;
    target.height = 600;
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    ASSERT_EQ(target.gaze.size(), 2u);
    EXPECT_EQ(target.gaze[0].record.x, 640.0);
    EXPECT_EQ(target.gaze[1].record.x, 400.0);
    EXPECT_EQ(target.gaze[1].record.y, 300.0);
}

// ---------------------------------------------------------------------------
// Pupil records

TEST(GazeCallbackPupil, BothEyesUsableGivesBothSizesWidenedAndZeroReservedBytes) {
    for (int32_t selection : {0, 1, 2}) {
        SCOPED_TRACE(selection);
        FakeTarget target;
        target.masks = {kStreamPupil};
        target.eyeSelection = selection;
        const TrackerRecord record = MakeRecord(3, 4, {0.5f, 0.5f, 3.1f, 0}, {0.5f, 0.5f, 5.7f, 0});
        HandleGazeCallback(kTrackerReasonSample, &record, target);
        ASSERT_EQ(target.pupils.size(), 1u);
        EXPECT_TRUE(target.gaze.empty());
        EXPECT_EQ(target.pupils[0].time, 3000004);
        EXPECT_EQ(target.pupils[0].firstPupil, static_cast<double>(3.1f));
        EXPECT_EQ(target.pupils[0].secondPupil, static_cast<double>(5.7f));
        EXPECT_TRUE(IsZero(target.pupils[0].reserved, sizeof(target.pupils[0].reserved)));
    }
}

TEST(GazeCallbackPupil, OneUnusableEyeGivesNoPupilRecord) {
    for (int32_t val1 : {0, 1, 4}) {
        for (int32_t val2 : {0, 2, 4}) {
            if (val1 == 0 && val2 == 0) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << val1 << " " << val2);
            FakeTarget target;
            target.masks = {kStreamPupil};
            const TrackerRecord record = MakeRecordWithValidities(val1, val2);
            HandleGazeCallback(kTrackerReasonSample, &record, target);
            EXPECT_TRUE(target.pupils.empty());
        }
    }
}

// ---------------------------------------------------------------------------
// Eye events and validity bookkeeping

class GazeCallbackEyeEvents : public testing::Test {
protected:
    GazeCallbackEyeEvents() { m_target.masks = {kStreamEyeEvents}; }

    void Deliver(int32_t val1, int32_t val2) {
        const TrackerRecord record = MakeRecordWithValidities(val1, val2);
        HandleGazeCallback(kTrackerReasonSample, &record, m_target);
    }

    FakeTarget m_target;
};

TEST_F(GazeCallbackEyeEvents, FirstRecordEverMakesNoEvent) {
    Deliver(4, 4);
    EXPECT_TRUE(m_target.events.empty());
    Deliver(0, 0);
    ASSERT_EQ(m_target.events.size(), 1u);
    EXPECT_EQ(m_target.events[0].kind, kBothEyesFound);
}

TEST_F(GazeCallbackEyeEvents, LosingTheEyesOneAfterTheOtherMakesNoEvent) {
    Deliver(0, 0);
    Deliver(4, 0);
    Deliver(4, 4);
    EXPECT_TRUE(m_target.events.empty());
    EXPECT_EQ(m_target.lastFirst, 4);
    EXPECT_EQ(m_target.lastSecond, 4);
}

TEST_F(GazeCallbackEyeEvents, LosingBothEyesAtOnceMakesOneEventForTheWholeRun) {
    Deliver(0, 0);
    Deliver(4, 4);
    Deliver(4, 4);
    Deliver(4, 4);
    ASSERT_EQ(m_target.events.size(), 1u);
    EXPECT_EQ(m_target.events[0].kind, kBothEyesLost);
}

TEST_F(GazeCallbackEyeEvents, FindingBothEyesAtOnceMakesAFoundEvent) {
    Deliver(4, 4);
    Deliver(0, 0);
    Deliver(0, 0);
    ASSERT_EQ(m_target.events.size(), 1u);
    EXPECT_EQ(m_target.events[0].kind, kBothEyesFound);
}

TEST_F(GazeCallbackEyeEvents, ValiditiesOtherThanUsableAndLostNeverTakePartInAnEvent) {
    const int32_t steps[][2] = {{0, 0}, {1, 1}, {4, 4}, {2, 2}, {0, 0}, {4, 1}, {0, 0}, {2, 4}, {4, 4}, {0, 1}, {1, 0}};
    for (const auto& step : steps) {
        Deliver(step[0], step[1]);
    }
    // Every step has a validity of 1 or 2 on one side of it.
    EXPECT_TRUE(m_target.events.empty());
}

TEST_F(GazeCallbackEyeEvents, EventUsesTheAverageOfBothBlocksWhateverTheSelection) {
    m_target.eyeSelection = 2;
    m_target.lastFirst = 0;
    m_target.lastSecond = 0;
    const TrackerRecord record = MakeRecord(5, 6, {0.0f, 0.0f, 1.0f, 4}, {0.5f, 1.0f, 1.0f, 4});
    HandleGazeCallback(kTrackerReasonSample, &record, m_target);
    ASSERT_EQ(m_target.events.size(), 1u);
    const EyeEventRecord& event = m_target.events[0];
    EXPECT_EQ(event.time, 5000006);
    EXPECT_EQ(event.x, -320.0);
    EXPECT_EQ(event.y, 0.0);
    EXPECT_EQ(event.kind, kBothEyesLost);
    EXPECT_TRUE(IsZero(event.reserved, sizeof(event.reserved)));
}

TEST_F(GazeCallbackEyeEvents, ValiditiesAreUpdatedWhileTheEventStreamIsOff) {
    m_target.masks = {kStreamGaze};
    Deliver(0, 0);
    EXPECT_EQ(m_target.lastFirst, 0);
    EXPECT_EQ(m_target.lastSecond, 0);
    m_target.masks = {kStreamEyeEvents};
    Deliver(4, 4);
    ASSERT_EQ(m_target.events.size(), 1u);
    EXPECT_EQ(m_target.events[0].kind, kBothEyesLost);
}

TEST_F(GazeCallbackEyeEvents, ValiditiesAreUpdatedWithNoStreamOn) {
    m_target.masks = {0};
    Deliver(4, 2);
    EXPECT_EQ(m_target.lastFirst, 4);
    EXPECT_EQ(m_target.lastSecond, 2);
    EXPECT_EQ(m_target.pushOrder, "");
}

// ---------------------------------------------------------------------------
// Mask reading and record order

TEST(GazeCallbackMask, MaskIsReadAnewForEachStream) {
    FakeTarget target;
    target.lastFirst = 4;
    target.lastSecond = 4;
    const TrackerRecord record = MakeRecordWithValidities(0, 0);

    // Each read sees only its own stream's bit: all three records appear.
    target.masks = {kStreamGaze, kStreamPupil, kStreamEyeEvents};
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    EXPECT_EQ(target.pushOrder, "GPE");
    EXPECT_EQ(target.CallCount("GetDataMask"), 3);

    // Each read sees every bit but its own stream's: nothing appears.
    target.ResetLog();
    target.lastFirst = 4;
    target.lastSecond = 4;
    target.masks = {kStreamPupil | kStreamEyeEvents, kStreamGaze | kStreamEyeEvents, kStreamGaze | kStreamPupil};
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    EXPECT_EQ(target.pushOrder, "");
    EXPECT_EQ(target.lastFirst, 0);
}

TEST(GazeCallbackMask, UnusedMaskBitsSwitchNothingOn) {
    FakeTarget target;
    target.lastFirst = 4;
    target.lastSecond = 4;
    target.masks = {~(kStreamGaze | kStreamPupil | kStreamEyeEvents)};
    const TrackerRecord record = MakeRecordWithValidities(0, 0);
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    EXPECT_EQ(target.pushOrder, "");
}

TEST(GazeCallbackOrder, RecordsGoOutAsGazePupilEventAndValiditiesLast) {
    FakeTarget target;
    target.lastFirst = 4;
    target.lastSecond = 4;
    const TrackerRecord record = MakeRecordWithValidities(0, 0);
    HandleGazeCallback(kTrackerReasonSample, &record, target);
    const std::vector<std::string> expected{
        "IsStreaming",           "GetScreenWidth",  "GetScreenHeight",      "RecordSample",
        "GetClientCount",        "GetDataMask",     "GetEyeSelection",      "PushGazeSample",
        "GetDataMask",           "PushPupilSample", "GetDataMask",          "GetLastValidityFirst",
        "GetLastValiditySecond", "PushEyeEvent",    "SetLastValidityFirst", "SetLastValiditySecond",
    };
    EXPECT_EQ(target.calls, expected);
}

}  // namespace
}  // namespace okulon
