#include <gtest/gtest.h>

#include <vector>

#include "simtracker/scenario.h"

namespace okulon::sim {
namespace {

TEST(ScenarioTest, TextSetsEveryKeyAndSkipsCommentsAndBlankLines) {
    const char* text =
        "# a scenario\n"
        "\n"
        "port = 0\r\n"
        "  seed=99  \n"
        "rate=250\n"
        "csv = samples.csv\n"
        "replay_loop=1\n"
        "sample_limit=500\n"
        "system_check=0, 13 ,2\n"
        "start_fail=12\n"
        "calib_fail=11\n"
        "refuse=-1\n"
        "drop_after=100\n"
        "stall_after=20\n"
        "stall_ms=300\n"
        "lifetime=5\n"
        "idle_exit=0\n"
        "clock_offset_us=-5000000\n"
        "clock_drift_ppm=-50";
    Scenario scenario;
    std::string error;
    ASSERT_TRUE(ParseScenarioText(text, scenario, &error)) << error;
    EXPECT_EQ(scenario.port, 0);
    EXPECT_EQ(scenario.seed, 99u);
    EXPECT_EQ(scenario.rate, 250);
    EXPECT_EQ(scenario.csvPath, "samples.csv");
    EXPECT_TRUE(scenario.replayLoop);
    EXPECT_EQ(scenario.sampleLimit, 500u);
    EXPECT_EQ(scenario.systemCheck, (std::vector<int32_t>{0, 13, 2}));
    EXPECT_EQ(scenario.startFail, 12);
    EXPECT_EQ(scenario.calibFail, 11);
    EXPECT_EQ(scenario.refuse, -1);
    EXPECT_EQ(scenario.dropAfter, 100u);
    EXPECT_EQ(scenario.stallAfter, 20u);
    EXPECT_EQ(scenario.stallMs, 300);
    EXPECT_EQ(scenario.lifetimeSeconds, 5);
    EXPECT_EQ(scenario.idleExitSeconds, 0);
    EXPECT_EQ(scenario.clockOffsetMicros, -5000000);
    EXPECT_EQ(scenario.clockDriftPpm, -50);
}

TEST(ScenarioTest, LaterSettingOverridesEarlierAndMaxMeansFlatOut) {
    Scenario scenario;
    ASSERT_TRUE(ParseScenarioText("rate=60\nrate=max\n", scenario, nullptr));
    EXPECT_EQ(scenario.rate, Scenario::kFlatOut);
    ASSERT_TRUE(ParseScenarioText("rate=2000", scenario, nullptr));
    EXPECT_EQ(scenario.rate, 2000);
}

TEST(ScenarioTest, RatesOutsideSixtyToTwoThousandAreRejected) {
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(ApplyScenarioSetting(scenario, "rate", "59", &error));
    EXPECT_NE(error.find("rate"), std::string::npos);
    EXPECT_FALSE(ApplyScenarioSetting(scenario, "rate", "2001", &error));
    EXPECT_FALSE(ApplyScenarioSetting(scenario, "rate", "fast", &error));
    EXPECT_EQ(scenario.rate, 1000);
}

TEST(ScenarioTest, BadLineIsNamedAndLeavesTheScenarioUntouched) {
    Scenario scenario;
    std::string error;
    EXPECT_FALSE(ParseScenarioText("seed=5\nrate=100\nno equals sign\n", scenario, &error));
    EXPECT_EQ(error, "line 3: expected key=value");
    EXPECT_EQ(scenario.seed, 1u);  // nothing of the failed text was applied
    EXPECT_EQ(scenario.rate, 1000);

    EXPECT_FALSE(ParseScenarioText("\n\ncolour=blue", scenario, &error));
    EXPECT_EQ(error, "line 3: unknown setting \"colour\"");
}

TEST(ScenarioTest, NumbersMustBeWholeAndInRange) {
    Scenario scenario;
    const char* bad[][2] = {
        {"port", "65536"},
        {"port", "-1"},
        {"port", "80x"},
        {"port", ""},
        {"seed", "-5"},
        {"seed", "99999999999999999999999"},
        {"drop_after", "1.5"},
        {"refuse", "-2"},
        {"system_check", "0,,13"},
        {"system_check", "0,-1"},
        {"stall_ms", "3600001"},
        {"lifetime", "+5"},
        {"replay_loop", "2"},
        {"csv", ""},
        {"clock_drift_ppm", "1001"},
        {"clock_drift_ppm", "0.5"},
        {"clock_offset_us", "31708800000001"},
    };
    for (const auto& setting : bad) {
        std::string error;
        EXPECT_FALSE(ApplyScenarioSetting(scenario, setting[0], setting[1], &error)) << setting[0] << "=" << setting[1];
        EXPECT_FALSE(error.empty());
    }
    const Scenario defaults;
    EXPECT_EQ(scenario.port, defaults.port);
    EXPECT_EQ(scenario.systemCheck, defaults.systemCheck);
}

TEST(ScenarioTest, DefaultsStreamTheModelAndEndTheServerByItself) {
    const Scenario scenario;
    EXPECT_EQ(scenario.port, 4455);
    EXPECT_TRUE(scenario.csvPath.empty());
    EXPECT_EQ(scenario.systemCheck, std::vector<int32_t>{0});
    EXPECT_GT(scenario.lifetimeSeconds, 0);
    EXPECT_GT(scenario.idleExitSeconds, 0);
}

}  // namespace
}  // namespace okulon::sim
