// Mouse mode of the simulated tracker, platform-free: the pointer's position
// becomes the gaze of both eyes, a cursor that cannot be read is said once,
// and a server in mouse mode needs a pointer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "simtracker/pointer_gaze.h"
#include "simtracker/sample_source.h"
#include "simtracker/scenario.h"
#include "simtracker/sim_server.h"

namespace okulon::sim {
namespace {

TEST(PointerGaze, BothEyesAreValidAtThePointersPositionWithSteadyPupils) {
    double x = 0.25, y = 0.75;
    PointerGaze gaze([&](double& fx, double& fy) {
        fx = x;
        fy = y;
        return true;
    });
    for (int i = 0; i < 3; ++i) {
        const SimSample sample = gaze.Next();
        for (const TrackerEyeBlock& eye : {sample.first, sample.second}) {
            EXPECT_EQ(0, eye.validity);
            EXPECT_EQ(static_cast<float>(x), eye.gazeX);
            EXPECT_EQ(static_cast<float>(y), eye.gazeY);
        }
        EXPECT_EQ(PointerGaze::kPupilFirstMm, sample.first.pupilSize);
        EXPECT_EQ(PointerGaze::kPupilSecondMm, sample.second.pupilSize);
        x += 0.1;
        y -= 0.2;
    }
}

TEST(PointerGaze, KeepsTheLastPositionWhileThePointerCannotBeReadStartingAtTheCentre) {
    bool readable = false;
    PointerGaze gaze([&](double& fx, double& fy) {
        if (!readable) return false;
        fx = 0.9;
        fy = 0.1;
        return true;
    });
    SimSample sample = gaze.Next();
    EXPECT_EQ(0.5f, sample.first.gazeX);
    EXPECT_EQ(0.5f, sample.second.gazeY);
    readable = true;
    gaze.Next();
    readable = false;
    sample = gaze.Next();
    EXPECT_EQ(0.9f, sample.first.gazeX);
    EXPECT_EQ(0.1f, sample.first.gazeY);
    EXPECT_EQ(0, sample.first.validity);
}

TEST(PointerGaze, ACursorInTheCornerAtEveryReadFromTheStartIsUnreadableAndSaidOnceUntilItMoves) {
    double x = 0, y = 0;
    std::vector<WatchedCursor::Unreadable> told;
    const WatchedCursor cursor(
        [&](double& fx, double& fy) {
            fx = x;
            fy = y;
            return true;
        },
        [&](WatchedCursor::Unreadable why) { told.push_back(why); });
    PointerGaze gaze(cursor.Reader());
    for (int i = 1; i < WatchedCursor::kCornerReadsToTell; ++i) EXPECT_EQ(0.5f, gaze.Next().first.gazeX) << i;
    EXPECT_TRUE(told.empty());
    const SimSample sample = gaze.Next();
    EXPECT_EQ(0.5f, sample.first.gazeX);
    EXPECT_EQ(0.5f, sample.second.gazeY);
    gaze.Next();
    EXPECT_EQ(std::vector<WatchedCursor::Unreadable>{WatchedCursor::Unreadable::kStuckInTheCorner}, told);
    // Once it has moved, the corner is where the cursor is.
    x = 0.3;
    EXPECT_EQ(0.3f, gaze.Next().first.gazeX);
    x = 0;
    EXPECT_EQ(0.0f, gaze.Next().first.gazeX);
    EXPECT_EQ(1u, told.size());
}

TEST(PointerGaze, AFailedCursorReadIsSaidOnceAtOnce) {
    std::vector<WatchedCursor::Unreadable> told;
    const WatchedCursor cursor([](double&, double&) { return false; },
                               [&](WatchedCursor::Unreadable why) { told.push_back(why); });
    PointerGaze gaze(cursor.Reader());
    EXPECT_EQ(0.5f, gaze.Next().first.gazeY);
    EXPECT_EQ(std::vector<WatchedCursor::Unreadable>{WatchedCursor::Unreadable::kReadFails}, told);
    gaze.Next();
    EXPECT_EQ(1u, told.size());
}

TEST(PointerGaze, MouseModeTakesThePointerInsteadOfTheGazeModelAndKeepsTheSampleLimit) {
    Scenario scenario;
    ASSERT_TRUE(ApplyScenarioSetting(scenario, "mouse", "1", nullptr));
    ASSERT_TRUE(ApplyScenarioSetting(scenario, "sample_limit", "2", nullptr));
    SampleSource source(scenario, nullptr, [](double& fx, double& fy) {
        fx = 0.125;
        fy = 0.625;
        return true;
    });
    SimSample sample;
    ASSERT_TRUE(source.Next(sample));
    EXPECT_EQ(0.125f, sample.first.gazeX);
    EXPECT_EQ(0.625f, sample.second.gazeY);
    ASSERT_TRUE(source.Next(sample));
    EXPECT_FALSE(source.Next(sample));
}

TEST(PointerGaze, MouseSettingTakesZeroOrOneOnly) {
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(ApplyScenarioSetting(scenario, "mouse", "2", &error));
    EXPECT_NE(std::string::npos, error.find("mouse")) << error;
    EXPECT_FALSE(scenario.mouse);
    EXPECT_TRUE(ApplyScenarioSetting(scenario, "mouse", "1", &error));
    EXPECT_TRUE(scenario.mouse);
}

TEST(PointerGaze, AServerInMouseModeRefusesToStartWithoutAPointerOrWithAReplayFile) {
    Scenario scenario;
    scenario.port = 0;
    scenario.mouse = true;
    std::string error;
    {
        SimServer server(scenario);
        EXPECT_FALSE(server.Start(&error));
        EXPECT_NE(std::string::npos, error.find("mouse cursor")) << error;
    }
    scenario.csvPath = "gaze.csv";
    SimServer server(scenario);
    server.SetPointerReader([](double&, double&) { return false; });
    error.clear();
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(std::string::npos, error.find("exclude each other")) << error;
}

}  // namespace
}  // namespace okulon::sim
