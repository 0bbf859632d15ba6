// The recording's writer: what reaches the file, in which order, and what
// happens when the disk falls behind or fails.
#include "recording/recording_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace okulon {
namespace {

class MemorySink final : public RecordingSink {
public:
    bool Write(const char* data, std::size_t size, std::string& failure) noexcept override {
        if (failWrites) {
            failure = "There is not enough space on the disk";
            return false;
        }
        text.append(data, size);
        ++writes;
        return true;
    }
    bool Flush(std::string&) noexcept override {
        ++flushes;
        flushedSize = text.size();
        return true;
    }
    bool failWrites = false;
    std::string text;
    std::size_t flushedSize = 0;
    int writes = 0;
    int flushes = 0;
};

class ManualClock final : public RecordingClock {
public:
    int64_t PcMicroseconds() noexcept override { return pcUs.load(); }
    int64_t TrackerMicroseconds() noexcept override { return pcUs.load() + 5000000; }
    std::atomic<int64_t> pcUs{1000000};
};

TrackerRecord MakeRecord(int64_t timeUs, int32_t firstValidity = 0, int32_t secondValidity = 0) {
    TrackerRecord record{};
    record.timeSeconds = static_cast<int32_t>(timeUs / 1000000);
    record.timeMicroseconds = static_cast<int32_t>(timeUs % 1000000);
    record.first = {0.25f, 0.75f, 0, 0, 3.5f, 600, firstValidity};
    record.second = {0.5f, 0.5f, 0, 0, 3.25f, 600, secondValidity};
    return record;
}

std::vector<std::vector<std::string>> BodyLines(const std::string& text, const std::string& kind) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        std::istringstream fieldsIn(line);
        for (std::string field; std::getline(fieldsIn, field, '\t');) fields.push_back(field);
        if (!fields.empty() && (kind.empty() || fields[0] == kind)) lines.push_back(fields);
    }
    return lines;
}

struct WriterRig {
    explicit WriterRig(std::size_t capacity = 64, uint32_t generation = 1)
        : channel(capacity), writer(channel.samples, channel.controls, sink, clock, generation) {
        RecordingHeader header;
        header.componentVersion = "1.0.0.0";
        header.trackerHost = "localhost";
        header.trackerPort = 4455;
        header.screenWidth = 1000;
        header.screenHeight = 800;
        EXPECT_TRUE(writer.Begin(header));
    }
    void Post(ControlKind kind, std::string text = "", uint32_t generation = 1) {
        auto entry = std::make_unique<ControlEntry>();
        entry->kind = kind;
        entry->generation = generation;
        entry->samplesBefore = channel.samples.PushedCount();
        entry->trackerUs = 42;
        entry->text = std::move(text);
        channel.controls.Post(std::move(entry));
    }
    RecordingChannel channel;
    MemorySink sink;
    ManualClock clock;
    RecordingWriter writer;
};

TEST(RecordingWriter, EntriesKeepTheOrderTheyHappenedInAndSamplesCarryBothEyesAndThePixels) {
    WriterRig rig;
    EXPECT_EQ(rig.sink.text.rfind("okulon-recording\t1\nheader\tcomponent\t1.0.0.0\n", 0), 0u);
    EXPECT_EQ(rig.sink.flushes, 1);  // an empty recording is readable at once

    rig.Post(ControlKind::kStart);
    rig.channel.samples.TryPush(MakeRecord(10000000), 1000, 800, 1);
    rig.Post(ControlKind::kMark, "trial\t1\\a\nb");
    rig.channel.samples.TryPush(MakeRecord(10016000), 1000, 800, 1);
    rig.channel.samples.TryPush(MakeRecord(10032000), 1000, 800, 2);  // a later recording's: not ours
    rig.Post(ControlKind::kStop);
    ASSERT_TRUE(rig.writer.Pump());

    std::vector<std::string> kinds;
    for (const auto& fields : BodyLines(rig.sink.text, "")) {
        if (fields[0] != "header" && fields[0] != "columns" && fields[0] != "clock" && fields[0] != "okulon-recording")
            kinds.push_back(fields[0]);
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"start", "sample", "mark", "sample", "stop"}));

    const auto samples = BodyLines(rig.sink.text, "sample");
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0], (std::vector<std::string>{"sample", "10000000", "0.25", "0.75", "3.5", "0", "0.5", "0.5",
                                                    "3.25", "0", "-250", "-200", "0", "0"}));
    EXPECT_EQ(BodyLines(rig.sink.text, "mark")[0][3], "trial\\t1\\\\a\\nb");
    EXPECT_EQ(rig.writer.SamplesWritten(), 2u);
}

TEST(RecordingWriter, EyeEventsScreenChangesAndTheEndAreEntriesOfTheirOwn) {
    WriterRig rig;
    rig.channel.samples.TryPush(MakeRecord(1000, 0, 0), 1000, 800, 1);
    rig.channel.samples.TryPush(MakeRecord(2000, 4, 4), 1000, 800, 1);
    rig.channel.samples.TryPush(MakeRecord(3000, 4, 4), 1280, 1024, 1);
    rig.channel.samples.TryPush(MakeRecord(4000, 0, 0), 1280, 1024, 1);
    ASSERT_TRUE(rig.writer.Finish());

    const auto events = BodyLines(rig.sink.text, "event");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0][1], "2000");
    EXPECT_EQ(events[0][2], "lost");
    EXPECT_EQ(events[1][1], "4000");
    EXPECT_EQ(events[1][2], "found");
    EXPECT_EQ(BodyLines(rig.sink.text, "screen"),
              (std::vector<std::vector<std::string>>{{"screen", "3000", "1280", "1024"}}));
    const auto end = BodyLines(rig.sink.text, "end");
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0][3], "4");
    EXPECT_EQ(end[0][4], "0");
    EXPECT_EQ(rig.sink.flushedSize, rig.sink.text.size());
    EXPECT_EQ(rig.sink.text.back(), '\n');
}

TEST(RecordingWriter, AFullHandOffDropsAndCountsAndTheFileSaysWhereTheGapIs) {
    WriterRig rig(4);
    for (int i = 0; i < 10; ++i) rig.channel.samples.TryPush(MakeRecord(1000 * (i + 1)), 1000, 800, 1);
    ASSERT_TRUE(rig.writer.Pump());
    rig.channel.samples.TryPush(MakeRecord(50000), 1000, 800, 1);  // after the gap
    for (int i = 0; i < 6; ++i) rig.channel.samples.TryPush(MakeRecord(60000 + i), 1000, 800, 1);
    ASSERT_TRUE(rig.writer.Finish());

    const auto dropped = BodyLines(rig.sink.text, "dropped");
    ASSERT_EQ(dropped.size(), 2u);
    EXPECT_EQ(dropped[0], (std::vector<std::string>{"dropped", "50000", "6", "6"}));
    EXPECT_EQ(dropped[1][2], "3");  // lost at the end: 3 of the last 6 fitted beside the one after the gap
    EXPECT_EQ(dropped[1][3], "9");
    EXPECT_EQ(BodyLines(rig.sink.text, "sample").size(), 8u);
    EXPECT_EQ(BodyLines(rig.sink.text, "end")[0][4], "9");
}

TEST(RecordingWriter, AFailingDiskEndsTheRecordingWithItsReasonAndWritesNothingMore) {
    WriterRig rig;
    rig.channel.samples.TryPush(MakeRecord(1000), 1000, 800, 1);
    ASSERT_TRUE(rig.writer.Pump());
    const std::string before = rig.sink.text;
    rig.sink.failWrites = true;
    rig.channel.samples.TryPush(MakeRecord(2000), 1000, 800, 1);
    EXPECT_FALSE(rig.writer.Pump());
    EXPECT_TRUE(rig.writer.Failed());
    EXPECT_EQ(rig.writer.Failure(), "Write failed: There is not enough space on the disk");
    rig.sink.failWrites = false;  // the disk comes back: the recording stays ended
    EXPECT_FALSE(rig.writer.Finish());
    EXPECT_EQ(rig.sink.text, before);
}

TEST(RecordingWriter, FlushesOnceASecondAndTakesAClockReadingEveryTwo) {
    WriterRig rig;
    const int flushes = rig.sink.flushes;
    rig.clock.pcUs += 500000;
    ASSERT_TRUE(rig.writer.Pump());
    EXPECT_EQ(rig.sink.flushes, flushes);
    rig.clock.pcUs += 500000;
    ASSERT_TRUE(rig.writer.Pump());
    EXPECT_EQ(rig.sink.flushes, flushes + 1);
    EXPECT_EQ(BodyLines(rig.sink.text, "clock").size(), 1u);
    rig.clock.pcUs += 1000000;
    ASSERT_TRUE(rig.writer.Pump());
    const auto clocks = BodyLines(rig.sink.text, "clock");
    ASSERT_EQ(clocks.size(), 2u);
    EXPECT_EQ(clocks[1], (std::vector<std::string>{"clock", "3000000", "8000000", "3000000"}));
}

// One producer at full speed against a writer: every record is written once,
// in order, or counted as dropped.
TEST(RecordingWriterThreaded, EveryRecordIsWrittenOnceInOrderOrCountedAsDropped) {
    WriterRig rig(256);
    constexpr int kRecords = 200000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 1; i <= kRecords; ++i) rig.channel.samples.TryPush(MakeRecord(i), 1000, 800, 1);
        done = true;
    });
    while (!done) ASSERT_TRUE(rig.writer.Pump());
    producer.join();
    ASSERT_TRUE(rig.writer.Finish());

    int64_t last = 0;
    uint64_t written = 0;
    for (const auto& fields : BodyLines(rig.sink.text, "sample")) {
        const int64_t time = std::stoll(fields[1]);
        ASSERT_GT(time, last);
        last = time;
        ++written;
    }
    EXPECT_EQ(written, rig.writer.SamplesWritten());
    EXPECT_EQ(written + rig.writer.DroppedCount(), static_cast<uint64_t>(kRecords));
    uint64_t droppedInLines = 0;
    for (const auto& fields : BodyLines(rig.sink.text, "dropped")) droppedInLines += std::stoull(fields[2]);
    EXPECT_EQ(droppedInLines, rig.writer.DroppedCount());
}

}  // namespace
}  // namespace okulon
