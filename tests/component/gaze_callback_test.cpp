// Tracker records handed to the gaze callback reach the host through the
// fetch methods, byte for byte in the host's layouts.
#include "component_support.h"

#include <cstring>

#include "tracker/tracking_session.h"

namespace okulon::test {
namespace {

TrackerRecord MakeRecord(int32_t seconds, int32_t microseconds, float x, float y, int32_t validity1,
                         int32_t validity2) {
    TrackerRecord record{};
    record.timeSeconds = seconds;
    record.timeMicroseconds = microseconds;
    record.first = {x, y, 0.f, 0.f, 3.5f, 600.f, validity1};
    record.second = {x, y, 0.f, 0.f, 4.25f, 600.f, validity2};
    return record;
}

class GazeCallback : public ::testing::Test {
protected:
    void SetUp() override {
        ComPtr<IEyeTrackerImpl> identity;
        ASSERT_EQ(S_OK, m_tracker->QueryInterface(IID_IEyeTrackerImpl, identity.put_void()));
        m_impl = static_cast<CEyeTrackerImpl*>(identity.get());
        LONG result = 0;
        const UniqueBstr width(SysAllocString(L"width 1280")), height(SysAllocString(L"height 1024"));
        ASSERT_EQ(S_OK, m_tracker->SendCommand(width.get(), &result));
        ASSERT_EQ(S_OK, m_tracker->SendCommand(height.get(), &result));
        m_session = std::make_shared<TrackingSession>(&EyeTrackerImplTestAccess::TrackingLink(*m_impl),
                                                      TrackerEndpoint{"127.0.0.1", 1});
    }
    // Streaming wanted, as StartTracking leaves it; its own worker finds no
    // tracker on port 1 and ends, so only the test's records arrive.
    void StartStreaming() {
        LONG result = 0;
        for (const wchar_t* command : {L"host 127.0.0.1", L"port 1"}) {
            const UniqueBstr text(SysAllocString(command));
            ASSERT_EQ(S_OK, m_tracker->SendCommand(text.get(), &result));
        }
        ASSERT_EQ(S_OK, m_tracker->StartTracking());
        ASSERT_EQ(1, m_impl->IsStreaming());
    }

    void Deliver(TrackerRecord record) {
        TrackingSession::GazeCallback(kTrackerReasonSample, &record, m_session.get());
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ComPtr<IEyeTracker> m_tracker = CreateTracker();
    CEyeTrackerImpl* m_impl = nullptr;
    std::shared_ptr<TrackingSession> m_session;
};

TEST_F(GazeCallback, DeliversGazePupilAndEyeEventsInTheHostLayouts) {
    StartStreaming();
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartPupilData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartEyeEvents());

    Deliver(MakeRecord(100, 250, 0.25f, 0.75f, 0, 0));
    Deliver(MakeRecord(100, 500, 0.25f, 0.75f, 4, 4));  // both lost: event, no gaze
    Deliver(MakeRecord(100, 750, 0.5f, 0.5f, 0, 0));    // both found again

    LONG count = 10;
    ::GazeRecord gaze[10];
    std::memset(gaze, 0xCC, sizeof gaze);
    ASSERT_EQ(S_OK, m_tracker->GetGazeData(&count, gaze, 0));
    ASSERT_EQ(2, count);
    EXPECT_EQ(100000250, gaze[0].time);
    EXPECT_EQ(-320.0, gaze[0].x);
    EXPECT_EQ(-256.0, gaze[0].y);
    EXPECT_EQ(100000750, gaze[1].time);
    EXPECT_EQ(0.0, gaze[1].x);
    EXPECT_EQ(0.0, gaze[1].y);

    count = 10;
    ::PupilRecord pupil[10];
    std::memset(pupil, 0xCC, sizeof pupil);
    ASSERT_EQ(S_OK, m_tracker->GetPupilData(&count, pupil, 0));
    ASSERT_EQ(2, count);
    EXPECT_EQ(100000250, pupil[0].time);
    EXPECT_EQ(3.5, pupil[0].firstPupil);
    EXPECT_EQ(4.25, pupil[0].secondPupil);
    EXPECT_EQ(0, pupil[0].reserved) << "reserved bytes are zero";

    count = 10;
    ::EyeEventRecord events[10];
    std::memset(events, 0xCC, sizeof events);
    ASSERT_EQ(S_OK, m_tracker->GetEyeEvents(&count, events));
    ASSERT_EQ(2, count);
    EXPECT_EQ(100000500, events[0].time);
    EXPECT_EQ(0, events[0].kind);
    EXPECT_EQ(-320.0, events[0].x);
    EXPECT_EQ(-256.0, events[0].y);
    EXPECT_EQ(0, events[0].reserved);
    EXPECT_EQ(100000750, events[1].time);
    EXPECT_EQ(1, events[1].kind);
    // Nothing beyond the delivered count was written.
    unsigned char untouched[sizeof(::EyeEventRecord)];
    std::memset(untouched, 0xCC, sizeof untouched);
    EXPECT_EQ(0, std::memcmp(&events[2], untouched, sizeof untouched));
}

TEST_F(GazeCallback, EyeTypeSelectsTheQueueAndAPupilStartMovesGazeToBothEyes) {
    StartStreaming();
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 1));
    Deliver(MakeRecord(1, 0, 0.25f, 0.75f, 4, 0));  // only the second eye usable
    LONG count = -1;
    ASSERT_EQ(S_OK, m_tracker->GetGazeDataCount(&count, 1));
    EXPECT_EQ(1, count);

    ASSERT_EQ(S_OK, m_tracker->StartPupilData(VARIANT_TRUE, 0));
    Deliver(MakeRecord(2, 0, 0.25f, 0.75f, 0, 0));
    ASSERT_EQ(S_OK, m_tracker->GetGazeDataCount(&count, 1));
    EXPECT_EQ(1, count) << "queue 1 receives nothing after the pupil start";
    ASSERT_EQ(S_OK, m_tracker->GetGazeDataCount(&count, 0));
    EXPECT_EQ(1, count);
}

TEST_F(GazeCallback, KeepAllOffKeepsOnlyTheNewestRecord) {
    StartStreaming();
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_FALSE, 2));
    for (int i = 0; i < 3; ++i) Deliver(MakeRecord(10 + i, 0, 0.5f, 0.5f, 0, 0));
    LONG count = 10;
    ::GazeRecord gaze[10];
    ASSERT_EQ(S_OK, m_tracker->GetGazeData(&count, gaze, 2));
    ASSERT_EQ(1, count);
    EXPECT_EQ(12000000, gaze[0].time);
}

TEST_F(GazeCallback, ADetachedOrCutOffWorkerNeverDeliversAgain) {
    StartStreaming();
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    Deliver(MakeRecord(1, 0, 0.5f, 0.5f, 0, 0));
    m_session->Detach();
    Deliver(MakeRecord(2, 0, 0.5f, 0.5f, 0, 0));

    auto second = std::make_shared<TrackingSession>(&EyeTrackerImplTestAccess::TrackingLink(*m_impl),
                                                    TrackerEndpoint{"127.0.0.1", 1});
    TrackerRecord record = MakeRecord(3, 0, 0.5f, 0.5f, 0, 0);
    TrackingSession::GazeCallback(kTrackerReasonSample, &record, second.get());
    second->CutOff();
    record = MakeRecord(4, 0, 0.5f, 0.5f, 0, 0);
    TrackingSession::GazeCallback(kTrackerReasonSample, &record, second.get());

    LONG count = 10;
    ::GazeRecord gaze[10];
    ASSERT_EQ(S_OK, m_tracker->GetGazeData(&count, gaze, 0));
    ASSERT_EQ(2, count);
    EXPECT_EQ(1000000, gaze[0].time);
    EXPECT_EQ(3000000, gaze[1].time);
}

TEST_F(GazeCallback, InvalidArgumentsChangeNoStreamState) {
    EXPECT_EQ(E_INVALIDARG, m_tracker->StartGazeData(VARIANT_TRUE, 3));
    EXPECT_EQ(E_INVALIDARG, m_tracker->StartGazeData(VARIANT_TRUE, -1));
    EXPECT_EQ(E_INVALIDARG, m_tracker->StopGazeData(3));
    LONG count = 0;
    EXPECT_EQ(E_INVALIDARG, m_tracker->GetGazeDataCount(&count, 7));
    EXPECT_EQ(E_UNSUPPORTED_EYE_TYPE, m_tracker->StartPupilData(VARIANT_TRUE, 1));
    EXPECT_EQ(L"This Eye Tracker interface version doesn't support non-default eye types for pupil data",
              LastErrorText(m_tracker.get()));
    EXPECT_EQ(0, m_impl->GetClientCount());
    EXPECT_EQ(0u, m_impl->GetDataMask());

    StartStreaming();
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    Deliver(MakeRecord(1, 0, 0.5f, 0.5f, 0, 0));
    count = -1;
    ::GazeRecord gaze[2];
    EXPECT_EQ(E_INVALIDARG, m_tracker->GetGazeData(&count, gaze, 0));
    EXPECT_EQ(-1, count);
    ASSERT_EQ(S_OK, m_tracker->GetGazeDataCount(&count, 0));
    EXPECT_EQ(1, count) << "a refused fetch removes nothing";
    ::PupilRecord pupil[1];
    count = 1;
    EXPECT_EQ(E_UNSUPPORTED_EYE_TYPE, m_tracker->GetPupilData(&count, pupil, 2));
}

TEST_F(GazeCallback, StreamsThisTrackerNeverFillsStayEmpty) {
    LONG count = kPoisonLong;
    EXPECT_EQ(S_OK, m_tracker->GetSaccadeEventCount(&count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(S_OK, m_tracker->GetFixationEventCount(&count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(S_OK, m_tracker->GetAOIEventCount(&count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(S_OK, m_tracker->GetSpareRecordCount(&count));
    EXPECT_EQ(0, count);
    ::SaccadeEventRecord saccades[4];
    count = 4;
    EXPECT_EQ(S_OK, m_tracker->GetSaccadeEvents(&count, saccades));
    EXPECT_EQ(0, count);
    ::AOIEventRecord aois[4];
    count = 4;
    EXPECT_EQ(S_OK, m_tracker->GetAOIEvents(&count, aois));
    EXPECT_EQ(0, count);
    ::SpareRecord spares[4];
    count = 4;
    EXPECT_EQ(S_OK, m_tracker->GetSpareRecords(&count, spares));
    EXPECT_EQ(0, count);
}

}  // namespace
}  // namespace okulon::test
