// The simulated tracker's mouse mode end to end: the cursor is moved with
// SetCursorPos, the simulator reads it as the gaze of both eyes, and the gaze
// is read back through the component in host pixels (centre origin, y up).
#include "component_support.h"

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "simtracker/pointer_gaze.h"
#include "simtracker/screen_cursor.h"
#include "simtracker/sim_server.h"
#include "wait_until.h"

namespace okulon::test {
namespace {

using sim::Scenario;
using sim::SimServer;

constexpr int kRate = 120;

class MouseMode : public ::testing::Test {
protected:
    void SetUp() override {
        Scenario scenario;
        scenario.mouse = true;
        scenario.rate = kRate;
        scenario.port = 0;
        scenario.idleExitSeconds = 0;
        scenario.lifetimeSeconds = 120;
        m_server = std::make_unique<SimServer>(scenario);
        m_server->SetPointerReader(&sim::ReadScreenCursor);
        std::string error;
        ASSERT_TRUE(m_server->Start(&error)) << error;
        Command(L"host 127.0.0.1");
        Command(L"port " + std::to_wstring(m_server->Port()));
        Command(L"width " + std::to_wstring(m_width));
        Command(L"height " + std::to_wstring(m_height));
    }
    void TearDown() override {
        if (m_tracking) m_tracker->StopTracking();
    }
    void StartTracking() {
        ASSERT_EQ(S_OK, m_tracker->StartTracking());
        m_tracking = true;
    }
    void Command(const std::wstring& command) {
        const UniqueBstr text(SysAllocString(command.c_str()));
        LONG result = -1;
        EXPECT_EQ(S_OK, m_tracker->SendCommand(text.get(), &result));
    }
    std::vector<::GazeRecord> FetchGaze(LONG eyeType) {
        LONG count = 0;
        EXPECT_EQ(S_OK, m_tracker->GetGazeDataCount(&count, eyeType));
        std::vector<::GazeRecord> records(static_cast<size_t>(count) + 1);
        count = static_cast<LONG>(records.size());
        EXPECT_EQ(S_OK, m_tracker->GetGazeData(&count, records.data(), eyeType));
        records.resize(count);
        return records;
    }
    // Waits until the newest gaze record of the eye type lies at (x, y), within half a pixel.
    bool GazeArrivesAt(double x, double y, LONG eyeType, ::GazeRecord& last) {
        return WaitUntil([&] {
            const auto records = FetchGaze(eyeType);
            if (records.empty()) return false;
            last = records.back();
            return std::fabs(last.x - x) <= 0.5 && std::fabs(last.y - y) <= 0.5;
        });
    }

    ComApartment m_apartment = EnterApartment(COINIT_APARTMENTTHREADED);
    ComPtr<IEyeTracker> m_tracker = CreateTracker();
    const int m_width = GetSystemMetrics(SM_CXSCREEN);
    const int m_height = GetSystemMetrics(SM_CYSCREEN);
    std::unique_ptr<SimServer> m_server;
    bool m_tracking = false;
};

TEST_F(MouseMode, GazeFollowsTheCursorInHostPixelsAtTheCentreTheCornersAndBetween) {
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_FALSE, 0));
    StartTracking();
    struct Point {
        int cursorX, cursorY;
        double hostX, hostY;
    };
    const Point points[] = {
        {m_width / 2, m_height / 2, 0.0, 0.0},
        {0, 0, -m_width / 2.0, m_height / 2.0},
        {m_width - 1, m_height - 1, m_width / 2.0 - 1, -(m_height / 2.0 - 1)},
        {m_width / 4, 3 * m_height / 4, m_width / 4 - m_width / 2.0, m_height / 2.0 - 3 * m_height / 4},
    };
    for (const Point& point : points) {
        ASSERT_TRUE(SetCursorPos(point.cursorX, point.cursorY));
        ::GazeRecord last{};
        EXPECT_TRUE(GazeArrivesAt(point.hostX, point.hostY, 0, last))
            << "cursor (" << point.cursorX << ", " << point.cursorY << ") expected (" << point.hostX << ", "
            << point.hostY << ") last gaze (" << last.x << ", " << last.y << ")";
    }
}

TEST_F(MouseMode, BothEyesAreValidSoEachEyeAloneFollowsTheCursorToo) {
    ASSERT_TRUE(SetCursorPos(m_width / 4, m_height / 4));
    const double hostX = m_width / 4 - m_width / 2.0, hostY = m_height / 2.0 - m_height / 4;
    StartTracking();
    for (LONG eyeType : {1, 2}) {
        ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_FALSE, eyeType));
        ::GazeRecord last{};
        EXPECT_TRUE(GazeArrivesAt(hostX, hostY, eyeType, last)) << "eye type " << eyeType;
        ASSERT_EQ(S_OK, m_tracker->StopGazeData(eyeType));
    }
}

TEST_F(MouseMode, PupilsAreSteadyAndSamplesComeAtTheRequestedRate) {
    ASSERT_TRUE(SetCursorPos(m_width / 3, m_height / 3));
    ASSERT_EQ(S_OK, m_tracker->StartGazeData(VARIANT_TRUE, 0));
    ASSERT_EQ(S_OK, m_tracker->StartPupilData(VARIANT_TRUE, 0));
    StartTracking();
    LONG pupils = 0;
    ASSERT_TRUE(WaitUntil([&] {
        m_tracker->GetPupilDataCount(&pupils);
        return pupils >= 20;
    }));
    std::vector<::PupilRecord> records(static_cast<size_t>(pupils));
    LONG count = pupils;
    ASSERT_EQ(S_OK, m_tracker->GetPupilData(&count, records.data(), 0));
    ASSERT_EQ(pupils, count);
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(static_cast<double>(sim::PointerGaze::kPupilFirstMm), records[i].firstPupil) << i;
        EXPECT_EQ(static_cast<double>(sim::PointerGaze::kPupilSecondMm), records[i].secondPupil) << i;
        // The simulator stamps sample n at n * 1e6 / rate microseconds of its run.
        if (i > 0) {
            const int64_t step = records[i].time - records[i - 1].time;
            EXPECT_GE(step, 1000000 / kRate) << i;
            EXPECT_LE(step, 1000000 / kRate + 1) << i;
        }
    }
}

}  // namespace
}  // namespace okulon::test
