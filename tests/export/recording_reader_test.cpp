// The recording reader against small recordings written here: every entry
// kind with its fields, columns lines that reorder or add fields, unknown
// kinds, unreadable lines and a cut last line.
#include "tools/export/recording_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using okulon::recording::Entry;
using okulon::recording::EntryKind;
using okulon::recording::RecordingReader;

constexpr char kHead[] =
    "okulon-recording\t1\n"
    "header\tcomponent\t1.0.0.0\n"
    "header\ttracker\ttracker\\thost\t4455\n"
    "header\tscreen\t1280\t1024\n"
    "header\tstart\t500\t9000\t2026-12-10T08:15:02Z\n";

struct Read {
    std::vector<Entry> entries;
    okulon::recording::ReadReport report;
    okulon::recording::RecordingHeader header;
};

// Fed in pieces of `piece` bytes, so lines arrive split anywhere.
Read ReadText(const std::string& text, size_t piece = 4096) {
    Read read;
    RecordingReader reader([&](const Entry& entry) { read.entries.push_back(entry); });
    for (size_t at = 0; at < text.size(); at += piece) reader.Feed(std::string_view(text).substr(at, piece));
    reader.Finish();
    read.report = reader.Report();
    read.header = reader.Header();
    return read;
}

TEST(RecordingReader, ReadsTheHeaderAndEveryEntryKindWithItsFields) {
    const std::string text = std::string(kHead) +
                             "start\t1000\t9500\n"
                             "sample\t1200\t0.25\t0.75\t3.5\t0\tnan\t-inf\t2.5\t4\t-320\t-256\t0\t0\n"
                             "event\t1300\tlost\t1.5\t-2.5\n"
                             "event\t1400\tfound\t0\t0\n"
                             "mark\t1450\t9950\ta\\tb\\\\c\\nd\\re\\x\n"
                             "clock\t9960\t1460\t9970\n"
                             "screen\t1500\t1920\t1080\n"
                             "dropped\t1600\t3\t7\n"
                             "disconnect\t1700\t10200\t2\n"
                             "stop\t1800\t10300\n"
                             "error\t10400\tdisk full\n"
                             "end\t1900\t10400\t41\t7\n";
    const Read read = ReadText(text, 7);
    EXPECT_EQ(1, read.header.formatVersion);
    EXPECT_EQ("1.0.0.0", read.header.component);
    EXPECT_EQ("tracker\thost", read.header.trackerHost);
    EXPECT_EQ(4455, read.header.trackerPort);
    EXPECT_EQ(1280, read.header.screenWidth);
    EXPECT_EQ(1024, read.header.screenHeight);
    EXPECT_EQ(500, read.header.startTrackerUs);
    EXPECT_EQ(9000, read.header.startPcUs);
    EXPECT_EQ("2026-12-10T08:15:02Z", read.header.startUtc);
    EXPECT_EQ(0u, read.report.malformed);
    EXPECT_FALSE(read.report.cut);

    const std::vector<EntryKind> kinds = {EntryKind::kStart,  EntryKind::kSample,  EntryKind::kEvent,
                                          EntryKind::kEvent,  EntryKind::kMark,    EntryKind::kClock,
                                          EntryKind::kScreen, EntryKind::kDropped, EntryKind::kDisconnect,
                                          EntryKind::kStop,   EntryKind::kError,   EntryKind::kEnd};
    ASSERT_EQ(kinds.size(), read.entries.size());
    for (size_t i = 0; i < kinds.size(); ++i) {
        EXPECT_EQ(kinds[i], read.entries[i].kind) << "entry " << i;
        EXPECT_EQ(6 + i, read.entries[i].line) << "entry " << i;
    }
    const Entry& sample = read.entries[1];
    EXPECT_EQ(1200, sample.trackerUs);
    EXPECT_EQ(0.25, sample.eyes[0].x);
    EXPECT_EQ(0.75, sample.eyes[0].y);
    EXPECT_EQ(3.5, sample.eyes[0].pupil);
    EXPECT_EQ(0, sample.eyes[0].validity);
    EXPECT_EQ(-320, sample.eyes[0].px);
    EXPECT_EQ(-256, sample.eyes[0].py);
    EXPECT_TRUE(std::isnan(sample.eyes[1].x));
    EXPECT_TRUE(std::isinf(sample.eyes[1].y) && sample.eyes[1].y < 0);
    EXPECT_EQ(4, sample.eyes[1].validity);
    EXPECT_FALSE(read.entries[2].found);
    EXPECT_EQ(1.5, read.entries[2].px);
    EXPECT_EQ(-2.5, read.entries[2].py);
    EXPECT_TRUE(read.entries[3].found);
    EXPECT_EQ("a\tb\\c\nd\re\\x", read.entries[4].text);
    EXPECT_EQ(9950, read.entries[4].pcUs);
    EXPECT_EQ(9960, read.entries[5].pcUs);
    EXPECT_EQ(1460, read.entries[5].trackerUs);
    EXPECT_EQ(9970, read.entries[5].pcAfterUs);
    EXPECT_EQ(1920, read.entries[6].width);
    EXPECT_EQ(1080, read.entries[6].height);
    EXPECT_EQ(3, read.entries[7].count);
    EXPECT_EQ(7, read.entries[7].total);
    EXPECT_EQ(2, read.entries[8].code);
    EXPECT_EQ("disk full", read.entries[10].text);
    EXPECT_EQ(41, read.entries[11].count);
    EXPECT_EQ(7, read.entries[11].total);
}

TEST(RecordingReader, FindsFieldsByTheColumnsLineAndSkipsUnknownKinds) {
    const std::string text = std::string(kHead) +
                             "columns\tmark\tpc_us\tlevel\ttext\ttracker_us\n"
                             "columns\tgaze3d\ttracker_us\tx\ty\tz\n"
                             "mark\t9950\t2\thello\t1450\n"
                             "gaze3d\t1460\t1\t2\t3\n"
                             "gaze3d\t1470\t1\t2\t3\n"
                             "header\tlens\twide\n"
                             "columns\tclock\tpc_before_us\ttracker_us\n"
                             "clock\t9960\t1460\t9970\n";
    const Read read = ReadText(text);
    ASSERT_EQ(1u, read.entries.size());
    EXPECT_EQ(1450, read.entries[0].trackerUs);
    EXPECT_EQ(9950, read.entries[0].pcUs);
    EXPECT_EQ("hello", read.entries[0].text);
    ASSERT_EQ(1u, read.report.unknownKinds.size());
    EXPECT_EQ(2u, read.report.unknownKinds.at("gaze3d"));
    // A columns line without a field the reader needs makes that kind
    // unreadable, said at the columns line and at each such entry.
    EXPECT_EQ(2u, read.report.malformed);
    ASSERT_EQ(2u, read.report.problems.size());
    EXPECT_EQ(12u, read.report.problems[0].line);
    EXPECT_NE(std::string::npos, read.report.problems[0].reason.find("pc_after_us"));
    EXPECT_EQ(13u, read.report.problems[1].line);
}

TEST(RecordingReader, NamesUnreadableLinesAndReadsOnAndIgnoresACutLastLine) {
    const std::string body = std::string(kHead) +
                             "start\t1000\t9500\n"
                             "sample\t1200\t0.25\n"
                             "sample\t1210\t0.25\t0.75\t3.5\t0\t0.5\t0.5\t2.5\tzero\t-320\t-256\t0\t0\n"
                             "\n"
                             "event\t1300\tblink\t0\t0\n"
                             "stop\t1800\t10300\r\n"
                             "sample\t1900\t0.25\t0.75\t3.5\t0\t0.5\t0.5\t2.5\t0\t-320\t-256\t0\t0\n";
    const std::string cut = "sample\t2000\t0.25\t0.7";
    for (const size_t piece : {size_t{1}, size_t{4096}}) {
        const Read read = ReadText(body + cut, piece);
        ASSERT_EQ(3u, read.entries.size()) << "pieces of " << piece;
        EXPECT_EQ(EntryKind::kStart, read.entries[0].kind);
        EXPECT_EQ(EntryKind::kStop, read.entries[1].kind);
        EXPECT_EQ(1800, read.entries[1].trackerUs);
        EXPECT_EQ(10300, read.entries[1].pcUs);
        EXPECT_EQ(1900, read.entries[2].trackerUs);
        EXPECT_EQ(4u, read.report.malformed);
        std::vector<uint64_t> lines;
        for (const auto& problem : read.report.problems) lines.push_back(problem.line);
        EXPECT_EQ((std::vector<uint64_t>{7, 8, 9, 10}), lines);
        EXPECT_NE(std::string::npos, read.report.problems[1].reason.find("second_validity \"zero\""));
        EXPECT_TRUE(read.report.cut);
        EXPECT_EQ(13u, read.report.cutLine);
        EXPECT_EQ(12u, read.report.lines);
    }
    EXPECT_FALSE(ReadText(body).report.cut);

    // A line of garbage too long for any entry is dropped as it comes.
    const Read overlong = ReadText(std::string(kHead) + std::string(3 << 20, 'x') + "\nstart\t1\t2\n", 1 << 16);
    ASSERT_EQ(1u, overlong.entries.size());
    EXPECT_EQ(7u, overlong.entries[0].line);
    ASSERT_EQ(1u, overlong.report.problems.size());
    EXPECT_EQ(6u, overlong.report.problems[0].line);
}

TEST(RecordingReader, ReadsNothingOfAFileThatIsNoRecording) {
    for (const std::string& text :
         {std::string("sample\t1\t2\nstart\t1\t2\n"), std::string("okulon-recording\tone\nstart\t1\t2\n"),
          std::string("\xef\xbb\xbfokulon-recording\t1\nstart\t1\t2\n")}) {
        const Read read = ReadText(text);
        EXPECT_TRUE(read.report.notARecording);
        EXPECT_TRUE(read.entries.empty());
        ASSERT_EQ(1u, read.report.problems.size());
        EXPECT_EQ(1u, read.report.problems[0].line);
    }
    const Read later = ReadText("okulon-recording\t2\nstart\t1\t2\n");
    EXPECT_FALSE(later.report.notARecording);
    EXPECT_EQ(2, later.header.formatVersion);
    EXPECT_EQ(1u, later.entries.size());
}

}  // namespace
