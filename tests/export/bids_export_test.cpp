// The export of the fixed recording (tests/export/recording.txt) read back
// with zlib and held against the recording itself, read here on its own:
// what the BIDS validator does not check (each gzip whole, no header line,
// every row as wide as the sidecar's Columns, the values), the eyes' order,
// the events, a cut recording and a second export into the same dataset.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tools/export/bids_export.h"

namespace {

namespace fs = std::filesystem;

constexpr int kWidth = 1920;  // the fixture's screen header
constexpr int kHeight = 1080;

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    std::string field;
    while (std::getline(stream, field, separator)) fields.push_back(field);
    if (!line.empty() && line.back() == separator) fields.push_back("");
    return fields;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// The whole gzip stream, its CRC and length checked by zlib at the end.
std::string Gunzip(const fs::path& path) {
    gzFile file = gzopen(path.string().c_str(), "rb");
    EXPECT_NE(nullptr, file) << path;
    if (!file) return {};
    std::string text;
    char buffer[4096];
    int got = 0;
    while ((got = gzread(file, buffer, sizeof(buffer))) > 0) text.append(buffer, static_cast<size_t>(got));
    int error = Z_OK;
    const char* message = gzerror(file, &error);
    EXPECT_EQ(0, got) << path << ": " << message;
    EXPECT_TRUE(gzeof(file)) << path;
    EXPECT_EQ(Z_OK, gzclose(file)) << path;
    return text;
}

std::vector<std::vector<std::string>> Rows(const std::string& tsv) {
    std::vector<std::vector<std::string>> rows;
    EXPECT_TRUE(tsv.empty() || tsv.back() == '\n');
    for (const std::string& line : Split(tsv, '\n')) {
        if (!line.empty()) rows.push_back(Split(line, '\t'));
    }
    return rows;
}

// "Columns": ["a", "b"] of a sidecar.
std::vector<std::string> Columns(const std::string& json) {
    std::vector<std::string> columns;
    const size_t open = json.find("\"Columns\": [");
    const size_t close = json.find(']', open);
    if (open == std::string::npos || close == std::string::npos) return columns;
    for (std::string item : Split(json.substr(open + 12, close - open - 12), ',')) {
        const size_t first = item.find('"'), last = item.rfind('"');
        columns.push_back(item.substr(first + 1, last - first - 1));
    }
    return columns;
}

double JsonNumber(const std::string& json, const std::string& name) {
    const size_t at = json.find("\"" + name + "\": ");
    return at == std::string::npos ? NAN : std::strtod(json.c_str() + at + name.size() + 4, nullptr);
}

// The recording, read with nothing of the exporter.
struct Sample {
    long long time;
    double x[2], y[2], pupil[2], px[2], py[2];
    int validity[2];
};
struct Fixture {
    std::vector<Sample> samples;
    std::vector<std::pair<long long, long long>> tracking;  // start, stop
    long long startUs = 0;
    std::vector<std::string> marks;
};

Fixture ReadFixture(const std::string& text) {
    Fixture fixture;
    for (const std::string& line : Split(text, '\n')) {
        const std::vector<std::string> f = Split(line, '\t');
        if (f.empty()) continue;
        if (f[0] == "sample" && f.size() == 14) {
            Sample s{};
            s.time = std::stoll(f[1]);
            for (int eye = 0; eye < 2; ++eye) {
                s.x[eye] = std::stod(f[2 + 4 * eye]);
                s.y[eye] = std::stod(f[3 + 4 * eye]);
                s.pupil[eye] = std::stod(f[4 + 4 * eye]);
                s.validity[eye] = std::stoi(f[5 + 4 * eye]);
                s.px[eye] = std::stod(f[10 + 2 * eye]);
                s.py[eye] = std::stod(f[11 + 2 * eye]);
            }
            fixture.samples.push_back(s);
        } else if (f[0] == "start" && f.size() == 3) {
            fixture.tracking.push_back({std::stoll(f[1]), -1});
        } else if (f[0] == "stop" && f.size() == 3) {
            fixture.tracking.back().second = std::stoll(f[1]);
        } else if (f[0] == "header" && f.size() > 2 && f[1] == "start") {
            fixture.startUs = std::stoll(f[2]);
        } else if (f[0] == "mark" && f.size() == 4) {
            fixture.marks.push_back(f[3]);
        }
    }
    return fixture;
}

class BidsExport : public testing::Test {
protected:
    void SetUp() override {
        m_dataset = fs::temp_directory_path() /
                    ("okulon-export-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dataset);
        m_recording = ReadFile(OKULON_EXPORT_TEST_RECORDING);
        ASSERT_FALSE(m_recording.empty());
        m_fixture = ReadFixture(m_recording);
        ASSERT_EQ(7u, m_fixture.samples.size()) << "the fixture changed: the checks below read it";
    }
    void TearDown() override { fs::remove_all(m_dataset); }

    okulon::bids::ExportOutcome Export(const std::string& recording, bool firstEyeIsLeft = true, int64_t run = 1) {
        okulon::bids::ExportOptions options;
        options.recording = recording;
        options.dataset = m_dataset.string();
        options.subject = "01";
        options.session = "a";
        options.task = "gaze";
        options.run = run;
        options.firstEyeIsLeft = firstEyeIsLeft;
        options.screenWidthM = 0.531;
        options.screenHeightM = 0.299;
        options.screenDistanceM = 0.65;
        options.exporterVersion = "test";
        return okulon::bids::ExportRecording(options);
    }
    fs::path File(const std::string& eye, const std::string& suffix, int run = 1) const {
        return m_dataset / "sub-01" / "ses-a" / "beh" /
               ("sub-01_ses-a_task-gaze_run-" + std::to_string(run) + "_recording-" + eye + suffix);
    }

    fs::path m_dataset;
    std::string m_recording;
    Fixture m_fixture;
};

TEST_F(BidsExport, EachEyeIsAHeaderlessGzippedTableAsWideAsItsColumnsWithTheRecordingsValuesInTopLeftPixels) {
    const auto outcome = Export(OKULON_EXPORT_TEST_RECORDING);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(m_fixture.samples.size(), outcome.samples);

    // Sampling frequency from the intervals within each stretch of tracking.
    double intervals = 0;
    int count = 0;
    for (size_t i = 1; i < m_fixture.samples.size(); ++i) {
        bool sameStretch = false;
        for (const auto& [start, stop] : m_fixture.tracking)
            sameStretch |= m_fixture.samples[i - 1].time > start && m_fixture.samples[i].time < stop;
        if (!sameStretch) continue;
        intervals += static_cast<double>(m_fixture.samples[i].time - m_fixture.samples[i - 1].time);
        ++count;
    }
    ASSERT_GT(count, 0);
    const double frequency = 1e6 * count / intervals;

    for (int block = 0; block < 2; ++block) {
        const std::string eye = block == 0 ? "eye1" : "eye2";
        const std::string sidecar = ReadFile(File(eye, "_physio.json"));
        const std::vector<std::string> columns = Columns(sidecar);
        ASSERT_EQ((std::vector<std::string>{"timestamp", "x_coordinate", "y_coordinate", "pupil_size"}), columns);
        EXPECT_NE(std::string::npos, sidecar.find("\"PhysioType\": \"eyetrack\""));
        EXPECT_NE(std::string::npos,
                  sidecar.find(block == 0 ? "\"RecordedEye\": \"left\"" : "\"RecordedEye\": \"right\""));
        EXPECT_NE(std::string::npos, sidecar.find("\"SampleCoordinateSystem\": \"gaze-on-screen\""));
        EXPECT_NE(std::string::npos, sidecar.find("\"ScreenResolution\": [1920, 1080]"));
        EXPECT_NEAR(frequency, JsonNumber(sidecar, "SamplingFrequency"), 0.001);
        EXPECT_DOUBLE_EQ((m_fixture.samples[0].time - m_fixture.startUs) / 1e6, JsonNumber(sidecar, "StartTime"));
        for (const std::string& column : columns)
            EXPECT_NE(std::string::npos, sidecar.find("\"" + column + "\": {")) << column << " has no description";

        const auto rows = Rows(Gunzip(File(eye, "_physio.tsv.gz")));
        ASSERT_EQ(m_fixture.samples.size(), rows.size());
        size_t unusable = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            const Sample& sample = m_fixture.samples[i];
            const auto& row = rows[i];
            ASSERT_EQ(columns.size(), row.size()) << "row " << i;
            EXPECT_EQ(std::to_string(sample.time), row[0]) << "row " << i;  // also: no header line
            if (sample.validity[block] != 0) {
                EXPECT_EQ((std::vector<std::string>{"n/a", "n/a", "n/a"}),
                          std::vector<std::string>(row.begin() + 1, row.end()));
                ++unusable;
                continue;
            }
            const double x = std::stod(row[1]), y = std::stod(row[2]);
            EXPECT_EQ(sample.x[block] * kWidth, x) << "row " << i;
            EXPECT_EQ(sample.y[block] * kHeight, y) << "row " << i;
            // The same place as the host's frame gives it: centre origin, y up.
            EXPECT_NEAR(sample.px[block] + kWidth / 2.0, x, 1e-9) << "row " << i;
            EXPECT_NEAR(kHeight / 2.0 - sample.py[block], y, 1e-9) << "row " << i;
            EXPECT_EQ(sample.pupil[block], std::stod(row[3])) << "row " << i;
        }
        EXPECT_GT(unusable, 0u) << "the fixture has an unusable eye in each block";
    }
    EXPECT_NE(std::string::npos, ReadFile(m_dataset / ".bidsignore").find("*_physioevents.tsv.gz\n"));
    EXPECT_NE(std::string::npos, ReadFile(m_dataset / "dataset_description.json").find("\"BIDSVersion\""));
}

TEST_F(BidsExport, TheFirstEyeGoesToTheRightFileWhenItIsTheRightEye) {
    ASSERT_TRUE(Export(OKULON_EXPORT_TEST_RECORDING, false).ok);
    const Sample& sample = m_fixture.samples[0];
    const auto left = Rows(Gunzip(File("eye1", "_physio.tsv.gz")));
    const auto right = Rows(Gunzip(File("eye2", "_physio.tsv.gz")));
    ASSERT_FALSE(left.empty());
    ASSERT_FALSE(right.empty());
    EXPECT_EQ(sample.x[1] * kWidth, std::stod(left[0][1]));
    EXPECT_EQ(sample.x[0] * kWidth, std::stod(right[0][1]));
    EXPECT_NE(std::string::npos, ReadFile(File("eye1", "_physio.json")).find("the recording's second eye"));
}

TEST_F(BidsExport, EventsHoldTheMarksAndTheStretchesOfTrackingOnTheTrackersClock) {
    ASSERT_TRUE(Export(OKULON_EXPORT_TEST_RECORDING).ok);
    for (const std::string eye : {"eye1", "eye2"}) {
        const std::vector<std::string> columns = Columns(ReadFile(File(eye, "_physioevents.json")));
        ASSERT_EQ((std::vector<std::string>{"onset", "duration", "trial_type", "message"}), columns);
        EXPECT_NE(std::string::npos, ReadFile(File(eye, "_physioevents.json")).find("\"OnsetSource\": \"timestamp\""));
        const auto rows = Rows(Gunzip(File(eye, "_physioevents.tsv.gz")));
        std::vector<std::string> marks;
        std::vector<std::pair<long long, long long>> tracking;
        long long previous = 0;
        for (const auto& row : rows) {
            ASSERT_EQ(columns.size(), row.size());
            const long long onset = std::stoll(row[0]);
            EXPECT_LE(previous, onset);
            previous = onset;
            if (row[2] == "mark") marks.push_back(row[3]);
            if (row[2] == "tracking") tracking.push_back({onset, onset + std::stoll(row[1])});
        }
        ASSERT_EQ(m_fixture.marks.size(), marks.size());
        for (size_t i = 0; i < marks.size(); ++i) {
            // Unescaped; a tab or line break of the text is a space in the table.
            std::string expected = m_fixture.marks[i];
            for (const auto& [escaped, plain] :
                 {std::pair<std::string, std::string>{"\\t", " "}, {"\\n", " "}, {"\\\\", "\\"}}) {
                for (size_t at = expected.find(escaped); at != std::string::npos;
                     at = expected.find(escaped, at + plain.size()))
                    expected.replace(at, escaped.size(), plain);
            }
            EXPECT_EQ(expected, marks[i]);
        }
        EXPECT_EQ(m_fixture.tracking, tracking);
    }
}

TEST_F(BidsExport, ACutRecordingIsExportedUpToTheCutAndSaysSo) {
    // Cut in the middle of the second stretch's second sample line.
    size_t at = m_recording.find("sample\t" + std::to_string(m_fixture.samples[5].time));
    ASSERT_NE(std::string::npos, at);
    const size_t cutLine = static_cast<size_t>(std::count(m_recording.begin(), m_recording.begin() + at, '\n')) + 1;
    const fs::path cut = m_dataset.string() + "-cut.txt";
    std::ofstream(cut, std::ios::binary) << m_recording.substr(0, at + 20);

    const auto outcome = Export(cut.string());
    fs::remove(cut);
    ASSERT_TRUE(outcome.ok) << outcome.error;
    EXPECT_EQ(5u, outcome.samples);
    bool said = false;
    for (const std::string& warning : outcome.warnings)
        said |= warning.find("incomplete line (line " + std::to_string(cutLine) + ",") != std::string::npos;
    EXPECT_TRUE(said) << "no warning names line " << cutLine;
    const auto rows = Rows(Gunzip(File("eye1", "_physio.tsv.gz")));
    ASSERT_EQ(5u, rows.size());
    EXPECT_EQ(std::to_string(m_fixture.samples[4].time), rows.back()[0]);
    const auto events = Rows(Gunzip(File("eye1", "_physioevents.tsv.gz")));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ("recording_cut", events.back()[2]);
    EXPECT_EQ(std::to_string(m_fixture.samples[4].time), events.back()[0]);
    EXPECT_NE(std::string::npos, ReadFile(File("eye1", "_physio.json")).find("not finished"));
}

TEST_F(BidsExport, ARecordingThatCannotBeExportedLeavesNothingBehind) {
    const fs::path notARecording = m_dataset.string() + "-not.txt";
    std::ofstream(notARecording, std::ios::binary) << "sample\t1\n" << m_recording;
    const auto outcome = Export(notARecording.string());
    fs::remove(notARecording);
    EXPECT_FALSE(outcome.ok);
    EXPECT_NE(std::string::npos, outcome.error.find("not an Okulon recording")) << outcome.error;
    EXPECT_TRUE(outcome.written.empty());
    EXPECT_FALSE(fs::exists(m_dataset));
}

TEST_F(BidsExport, ASecondRecordingJoinsTheDatasetAndNothingIsOverwritten) {
    ASSERT_TRUE(Export(OKULON_EXPORT_TEST_RECORDING).ok);
    const std::string table = ReadFile(File("eye1", "_physio.tsv.gz"));
    const auto again = Export(OKULON_EXPORT_TEST_RECORDING);
    EXPECT_FALSE(again.ok);
    EXPECT_NE(std::string::npos, again.error.find("exists already")) << again.error;
    EXPECT_EQ(table, ReadFile(File("eye1", "_physio.tsv.gz")));

    const auto second = Export(OKULON_EXPORT_TEST_RECORDING, true, 2);
    ASSERT_TRUE(second.ok) << second.error;
    EXPECT_TRUE(fs::exists(File("eye2", "_physio.tsv.gz", 2)));
    const std::string ignore = ReadFile(m_dataset / ".bidsignore");
    EXPECT_EQ(ignore.find("*_physioevents.json"), ignore.rfind("*_physioevents.json")) << ignore;
    for (const std::string& file : second.written) EXPECT_NE("dataset_description.json", file);
}

}  // namespace
