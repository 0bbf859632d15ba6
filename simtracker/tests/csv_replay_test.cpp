#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "simtracker/csv_replay.h"
#include "simtracker/sample_source.h"

namespace okulon::sim {
namespace {

const char* kTwoSamples =
    "x1,y1,pupil1,validity1,x2,y2,pupil2,validity2\r\n"
    "# first fixation\n"
    "0.25, 0.75, 3.5, 0, 0.26, 0.74, 3.6, 0\r\n"
    "\n"
    "0,0,0,4,0.5,0.5,3.25,0\n";

TEST(CsvReplayTest, HeaderCommentsAndLineEndingsAreSkippedAndFieldsLandInTheirEyeBlocks) {
    CsvReplay replay;
    std::string error;
    ASSERT_TRUE(CsvReplay::Parse(kTwoSamples, replay, &error)) << error;
    ASSERT_EQ(replay.Samples().size(), 2u);
    const SimSample& a = replay.Samples()[0];
    EXPECT_EQ(a.phase, GazePhase::kReplay);
    EXPECT_FLOAT_EQ(a.first.gazeX, 0.25f);
    EXPECT_FLOAT_EQ(a.first.gazeY, 0.75f);
    EXPECT_FLOAT_EQ(a.first.pupilSize, 3.5f);
    EXPECT_EQ(a.first.validity, 0);
    EXPECT_FLOAT_EQ(a.second.gazeX, 0.26f);
    EXPECT_FLOAT_EQ(a.second.gazeY, 0.74f);
    EXPECT_FLOAT_EQ(a.second.pupilSize, 3.6f);
    const SimSample& b = replay.Samples()[1];
    EXPECT_EQ(b.first.validity, 4);
    EXPECT_EQ(b.second.validity, 0);
    EXPECT_FLOAT_EQ(b.second.pupilSize, 3.25f);
}

TEST(CsvReplayTest, BadLinesAreNamedAndAnEmptyFileIsRefused) {
    CsvReplay replay;
    std::string error;
    EXPECT_FALSE(CsvReplay::Parse("0.1,0.2,3,0,0.1,0.2,3\n", replay, &error));
    EXPECT_EQ(error, "line 1: expected 8 fields, found 7");
    EXPECT_FALSE(CsvReplay::Parse("0.1,0.2,3,0,0.1,0.2,3,0\n0.1,abc,3,0,0.1,0.2,3,0\n", replay, &error));
    EXPECT_EQ(error, "line 2: bad number");
    EXPECT_FALSE(CsvReplay::Parse("0.1,0.2,3,0.5,0.1,0.2,3,0\n", replay, &error));   // validity is whole
    EXPECT_FALSE(CsvReplay::Parse("0.1,0.2,1e99,0,0.1,0.2,3,0\n", replay, &error));  // beyond a float
    EXPECT_FALSE(CsvReplay::Parse("0.1,0.2,nan,0,0.1,0.2,3,0\n", replay, &error));
    EXPECT_FALSE(CsvReplay::Parse("# nothing\n\nheader\n", replay, &error));
    EXPECT_EQ(error, "no samples");
    EXPECT_FALSE(CsvReplay::Load("/nonexistent/replay.csv", replay, &error));
    EXPECT_TRUE(replay.Samples().empty());
}

TEST(CsvReplayTest, LoadReadsAFile) {
    const std::string path = ::testing::TempDir() + "simtracker_replay_test.csv";
    {
        std::ofstream file(path, std::ios::binary);
        file << kTwoSamples;
    }
    CsvReplay replay;
    std::string error;
    EXPECT_TRUE(CsvReplay::Load(path, replay, &error)) << error;
    EXPECT_EQ(replay.Samples().size(), 2u);
    std::remove(path.c_str());
}

TEST(SampleSourceTest, ReplayEndsAtTheFilesEndUnlessItLoops) {
    auto replay = std::make_shared<CsvReplay>();
    ASSERT_TRUE(CsvReplay::Parse(kTwoSamples, *replay, nullptr));
    Scenario once;
    SampleSource source(once, replay);
    SimSample sample;
    EXPECT_TRUE(source.Next(sample));
    EXPECT_TRUE(source.Next(sample));
    EXPECT_EQ(sample.first.validity, 4);
    EXPECT_FALSE(source.Next(sample));
    EXPECT_FALSE(source.Next(sample));

    Scenario looping;
    looping.replayLoop = true;
    SampleSource loop(looping, replay);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(loop.Next(sample));
    EXPECT_FLOAT_EQ(sample.first.gazeX, 0.25f);  // the fifth is the first row again
}

TEST(SampleSourceTest, SampleLimitEndsTheModelsStream) {
    Scenario scenario;
    scenario.sampleLimit = 3;
    SampleSource source(scenario, nullptr);
    SimSample sample;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(source.Next(sample));
    EXPECT_FALSE(source.Next(sample));
    EXPECT_EQ(source.Produced(), 3u);
}

}  // namespace
}  // namespace okulon::sim
