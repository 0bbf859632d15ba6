// The check tool's clock figures from readings whose truth is known.
#include "host/clock_readings.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace okulon::host {
namespace {

constexpr int64_t kStart = 5'000'000'000;  // a performance counter some way into its run

// Readings every 50 ms for `seconds`, of a tracker clock 7 s behind and
// losing 50 ppm, as a time library shows it that takes the tracker's time once
// a second and carries it forward: each second's readings share that
// exchange's error (up to +-errorMicros, scattered), and lag the truth by
// the drift since the exchange.
ClockReadings Staircase(double seconds, int64_t errorMicros) {
    ClockReadings readings;
    for (int64_t at = 0; at <= static_cast<int64_t>(seconds * 1e6); at += 50'000) {
        const int64_t exchange = at / 1'000'000 * 1'000'000;
        const int64_t error = (exchange / 1'000'000 * 7919) % (2 * errorMicros + 1) - errorMicros;
        readings.AddReading(kStart + at, -7'000'000 - exchange * 50 / 1'000'000 + error, 2);
    }
    return readings;
}

TEST(ClockReadings, AStraightClockGivesItsDriftAndOffsetWithNoScatter) {
    ClockReadings readings;
    // 20 ppm: exactly a microsecond a reading.
    for (int64_t at = 0; at <= 20'000'000; at += 50'000)
        readings.AddReading(kStart + at, 3000 + at * 20 / 1'000'000, 1);
    const ClockFigures figures = readings.Summarise(7);
    ASSERT_TRUE(figures.haveDrift);
    EXPECT_NEAR(20.0, figures.driftPpm, 1e-6);
    EXPECT_NEAR(0.0, figures.driftStandardErrorPpm, 1e-6);
    // Slices of two seconds, 0 to 10, hold readings: 11 points, a line takes two.
    EXPECT_EQ(9, figures.driftDegreesOfFreedom);
    EXPECT_NEAR(3400.0, figures.offsetMicros, 1e-6);
    // The last reading's half gap, the library's own uncertainty and the
    // picture's drift over a second between exchanges.
    EXPECT_NEAR(1.0 + 7.0 + 20.0, figures.offsetUncertaintyMicros, 1e-6);
    EXPECT_DOUBLE_EQ(20.0, figures.spanSeconds);
}

TEST(ClockReadings, ReadingsThatShareAnExchangeCountOnceAndTheIntervalHoldsTheTruth) {
    const ClockFigures figures = Staircase(20, 40).Summarise(30);
    ASSERT_TRUE(figures.haveDrift);
    // 400 readings, yet 11 slices of two seconds: the interval is Student's
    // for 9 - not 399 - degrees of freedom.
    EXPECT_EQ(9, figures.driftDegreesOfFreedom);
    // Plus how far the picture's lag of up to 50 us can tilt a line over 20 s.
    EXPECT_DOUBLE_EQ(1.5 * -figures.driftPpm / 20, figures.driftLagBoundPpm);
    EXPECT_DOUBLE_EQ(StudentT95(9) * figures.driftStandardErrorPpm + figures.driftLagBoundPpm,
                     figures.driftUncertaintyPpm);
    // Counted reading by reading, the scatter would claim 0.24 ppm.
    EXPECT_GT(figures.driftStandardErrorPpm, 0.5);
    EXPECT_NEAR(-50.0, figures.driftPpm, figures.driftUncertaintyPpm);
    // The truth at the last reading: the picture there lags it by a second's drift.
    EXPECT_NEAR(-7'000'000.0 - 1000.0, figures.offsetMicros, figures.offsetUncertaintyMicros);
    // A library that states no uncertainty of its own is held to the scatter.
    const ClockFigures silent = Staircase(20, 40).Summarise(0);
    EXPECT_GT(silent.offsetUncertaintyMicros, 2.0 + 50.0);
    EXPECT_NEAR(-7'000'000.0 - 1000.0, silent.offsetMicros, silent.offsetUncertaintyMicros);
}

TEST(ClockReadings, FewerThanThreeSlicesGiveAnOffsetButNoDrift) {
    const ClockFigures twoSeconds = Staircase(1.95, 0).Summarise(30);
    EXPECT_EQ(40, twoSeconds.readings);
    EXPECT_FALSE(twoSeconds.haveDrift);
    // Without a drift the readings' slope stands for it.
    EXPECT_GT(twoSeconds.offsetUncertaintyMicros, 2.0 + 30.0 + 25.0);
    EXPECT_NEAR(-7'000'000.0 - 97.5, twoSeconds.offsetMicros, twoSeconds.offsetUncertaintyMicros);
    ClockReadings steady;
    for (int64_t at = 0; at < 2'000'000; at += 50'000) steady.AddReading(kStart + at, 1234, 3);
    EXPECT_DOUBLE_EQ(3.0 + 30.0, steady.Summarise(30).offsetUncertaintyMicros);
    EXPECT_FALSE(Staircase(3.95, 40).Summarise(30).haveDrift);
    const ClockFigures threeSlices = Staircase(4.0, 40).Summarise(30);
    ASSERT_TRUE(threeSlices.haveDrift);
    EXPECT_EQ(1, threeSlices.driftDegreesOfFreedom);
    EXPECT_DOUBLE_EQ(12.7062 * threeSlices.driftStandardErrorPpm + threeSlices.driftLagBoundPpm,
                     threeSlices.driftUncertaintyPpm);
    EXPECT_FALSE(ClockReadings().Summarise(30).haveDrift);
    EXPECT_EQ(0, ClockReadings().Summarise(30).readings);
}

TEST(ClockReadings, StudentsTMeetsTheNormalFromTheTableOn) {
    EXPECT_DOUBLE_EQ(12.7062, StudentT95(1));
    EXPECT_DOUBLE_EQ(2.0423, StudentT95(30));
    // Past the table it goes on falling, without a step, towards 1.96.
    EXPECT_LT(StudentT95(31), StudentT95(30));
    EXPECT_NEAR(2.0395, StudentT95(31), 0.0005);
    EXPECT_NEAR(2.0003, StudentT95(60), 0.0005);
    EXPECT_NEAR(1.9623, StudentT95(1000), 0.0005);
}

}  // namespace
}  // namespace okulon::host
