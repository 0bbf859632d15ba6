// Arbitrary bytes become a host session seen from the gaze callback: tracker
// records with any field values, callback reasons, data masks, keep-all
// choices, eye selections, screen sizes, client counts, and the host's
// fetches and clears in between. Every record goes through HandleGazeCallback
// into real record queues, and the fuzzer checks, under UBSan:
// - a record comes out only where the stream is on and the eyes allow it,
//   with the time the tracker gave, a known event kind and zero reserved bytes;
// - what a fetch delivers is exactly what a reference queue, fed by the same
//   pushes, holds: nothing lost, nothing doubled, nothing reordered.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "extension/records/record_queue.h"
#include "extension/records/records.h"
#include "tracker/gaze_conversion.h"
#include "tracker/contract/tracker_records.h"

namespace {

using namespace okulon;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Reads the input front to back; past its end every read gives zeros.
class ByteReader {
public:
    ByteReader(const uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_offset >= m_size; }

    template <class Value>
    Value Read() {
        uint8_t bytes[sizeof(Value)] = {};
        for (std::size_t i = 0; i < sizeof(Value) && m_offset < m_size; ++i) {
            bytes[i] = m_data[m_offset++];
        }
        Value value;
        std::memcpy(&value, bytes, sizeof(Value));
        return value;
    }

private:
    const uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_offset = 0;
};

// A stream's real queue beside a reference that follows the same pushes with
// the queue's documented rule: keep-all appends, otherwise only the newest
// record stays.
template <class Record>
struct CheckedStream {
    RecordQueue<Record> queue;
    std::deque<Record> reference;

    void Push(const Record& record, bool keepAll) {
        queue.Push(record, keepAll);
        if (!keepAll) {
            reference.clear();
        }
        reference.push_back(record);
    }

    void Clear() {
        queue.Clear();
        reference.clear();
    }

    void CheckCount() const { Check(queue.Count() == static_cast<int32_t>(reference.size())); }

    void Fetch(int32_t requested) {
        CheckCount();
        // Room for what the reference holds and no more: a fetch that wrote
        // past it would overrun the buffer (ASan).
        std::vector<Record> out(reference.size() + 1);
        std::memset(out.data(), 0xA5, out.size() * sizeof(Record));  // poisoned
        const int32_t fetched = queue.Fetch(out.data(), requested);
        const std::size_t expected =
            requested <= 0 ? 0 : std::min(reference.size(), static_cast<std::size_t>(requested));
        Check(fetched >= 0 && static_cast<std::size_t>(fetched) == expected);
        for (std::size_t i = 0; i < expected; ++i) {
            Check(std::memcmp(&out[i], &reference.front(), sizeof(Record)) == 0);
            reference.pop_front();
        }
        CheckCount();
    }
};

// The callback's view of the extension object, with the object's push rules
// (one keep-all choice for every stream, one gaze queue per eye type).
struct SessionTarget final : GazeCallbackTarget {
    int32_t streaming = 1;
    int32_t clientCount = 1;
    uint32_t dataMask = kStreamGaze | kStreamPupil | kStreamEyeEvents;
    int32_t eyeSelection = 0;
    int32_t screenWidth = 1280;
    int32_t screenHeight = 1024;
    int32_t lastValidityFirst = 4;
    int32_t lastValiditySecond = 4;
    bool keepAll = true;

    CheckedStream<GazeRecord> gaze[kEyeTypeCount];
    CheckedStream<PupilRecord> pupil;
    CheckedStream<EyeEventRecord> eyeEvents;

    // What the record being handled allows; set before each callback.
    const TrackerRecord* current = nullptr;
    int pushesThisCallback = 0;

    int32_t IsStreaming() noexcept override { return streaming; }
    int32_t GetClientCount() noexcept override { return clientCount; }
    uint32_t GetDataMask() noexcept override { return dataMask; }
    int32_t GetEyeSelection() noexcept override { return eyeSelection; }
    int32_t GetScreenWidth() noexcept override { return screenWidth; }
    int32_t GetScreenHeight() noexcept override { return screenHeight; }
    int32_t GetLastValidityFirst() noexcept override { return lastValidityFirst; }
    void SetLastValidityFirst(int32_t value) noexcept override { lastValidityFirst = value; }
    int32_t GetLastValiditySecond() noexcept override { return lastValiditySecond; }
    void SetLastValiditySecond(int32_t value) noexcept override { lastValiditySecond = value; }

    int64_t CurrentTime() const {
        return static_cast<int64_t>(current->timeSeconds) * 1000000 + current->timeMicroseconds;
    }

    void PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept override {
        Check(current != nullptr && (dataMask & kStreamGaze) != 0);
        Check(eyeType >= 0 && eyeType < kEyeTypeCount);
        Check(record.time == CurrentTime());
        const bool firstUsable = current->first.validity == 0;
        const bool secondUsable = current->second.validity == 0;
        if (eyeType == 1) {
            Check(eyeSelection == 1 && secondUsable);
        } else if (eyeType == 2) {
            Check(eyeSelection == 2 && firstUsable);
        } else {
            Check(eyeSelection != 1 && eyeSelection != 2 && firstUsable && secondUsable);
        }
        ++pushesThisCallback;
        gaze[eyeType].Push(record, keepAll);
    }

    void PushPupilSample(const PupilRecord& record) noexcept override {
        Check(current != nullptr && (dataMask & kStreamPupil) != 0);
        Check(current->first.validity == 0 && current->second.validity == 0);
        Check(record.time == CurrentTime());
        const double firstPupil = current->first.pupilSize;
        const double secondPupil = current->second.pupilSize;
        Check(std::memcmp(&record.firstPupil, &firstPupil, sizeof(double)) == 0 ||
              (std::isnan(record.firstPupil) && std::isnan(firstPupil)));
        Check(std::memcmp(&record.secondPupil, &secondPupil, sizeof(double)) == 0 ||
              (std::isnan(record.secondPupil) && std::isnan(secondPupil)));
        for (uint8_t byte : record.reserved) {
            Check(byte == 0);
        }
        ++pushesThisCallback;
        pupil.Push(record, keepAll);
    }

    // Every delivered record, before any stream filter, with the size it is converted by.
    void RecordSample(const TrackerRecord& record, int32_t recordedWidth, int32_t recordedHeight) noexcept override {
        Check(current != nullptr && &record == current);
        Check(recordedWidth == screenWidth && recordedHeight == screenHeight);
    }

    void PushEyeEvent(const EyeEventRecord& record) noexcept override {
        Check(current != nullptr && (dataMask & kStreamEyeEvents) != 0);
        Check(record.time == CurrentTime());
        const bool bothUsable = current->first.validity == 0 && current->second.validity == 0;
        const bool bothLost = current->first.validity == 4 && current->second.validity == 4;
        if (record.kind == kBothEyesLost) {
            Check(bothLost && lastValidityFirst == 0 && lastValiditySecond == 0);
        } else {
            Check(record.kind == kBothEyesFound);
            Check(bothUsable && lastValidityFirst == 4 && lastValiditySecond == 4);
        }
        for (uint8_t byte : record.reserved) {
            Check(byte == 0);
        }
        ++pushesThisCallback;
        eyeEvents.Push(record, keepAll);
    }
};

enum Operation : uint8_t {
    kSetDataMask,
    kSetEyeSelection,
    kSetKeepAll,
    kSetScreen,
    kSetClientCount,
    kSetStreaming,
    kCallback,
    kFetch,
    kClear,
    kOperationCount,
};

void Deliver(ByteReader& input, SessionTarget& target) {
    const uint8_t shape = input.Read<uint8_t>();
    // Mostly samples and idle calls; sometimes any reason at all.
    int32_t reason =
        (shape & 0x03) == 0 ? input.Read<int32_t>() : ((shape & 0x03) == 1 ? kTrackerReasonIdle : kTrackerReasonSample);
    TrackerRecord record = input.Read<TrackerRecord>();
    if ((shape & 0x0C) != 0) {
        // Usually a plausible validity, so that eye events and pupils happen.
        static const int32_t kValidities[] = {0, 4, 0, 2};
        record.first.validity = kValidities[(shape >> 2) & 0x03];
        record.second.validity = kValidities[(shape >> 4) & 0x03];
    }
    const bool withoutRecord = (shape & 0xC0) == 0xC0;

    const int32_t lastFirst = target.lastValidityFirst;
    const int32_t lastSecond = target.lastValiditySecond;
    target.current = &record;
    target.pushesThisCallback = 0;
    const GazeCallbackAction action = HandleGazeCallback(reason, withoutRecord ? nullptr : &record, target);
    target.current = nullptr;

    const bool delivered =
        target.streaming != 0 && reason != kTrackerReasonIdle && target.clientCount != 0 && !withoutRecord;
    Check(action == (target.streaming == 0 ? GazeCallbackAction::kStopDelivery : GazeCallbackAction::kContinue));
    if (!delivered) {
        Check(target.pushesThisCallback == 0);
        Check(target.lastValidityFirst == lastFirst && target.lastValiditySecond == lastSecond);
    } else {
        Check(target.pushesThisCallback <= 3);
        Check(target.lastValidityFirst == record.first.validity);
        Check(target.lastValiditySecond == record.second.validity);
    }
}

void FetchOrClear(ByteReader& input, SessionTarget& target, bool clear) {
    const uint8_t stream = input.Read<uint8_t>() % 5;
    // Counts around the interesting edges: negative, zero, small, large.
    const int32_t raw = input.Read<int8_t>();
    const int32_t requested = raw < -100 ? -1 : (raw > 100 ? 100000 : raw);
    switch (stream) {
    case 0:
    case 1:
    case 2:
        clear ? target.gaze[stream].Clear() : target.gaze[stream].Fetch(requested);
        break;
    case 3:
        clear ? target.pupil.Clear() : target.pupil.Fetch(requested);
        break;
    default:
        clear ? target.eyeEvents.Clear() : target.eyeEvents.Fetch(requested);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    ByteReader input(data, size);
    SessionTarget target;
    while (!input.Empty()) {
        switch (input.Read<uint8_t>() % kOperationCount) {
        case kSetDataMask:
            target.dataMask = input.Read<uint32_t>();
            break;
        case kSetEyeSelection:
            target.eyeSelection = input.Read<int8_t>();
            break;
        case kSetKeepAll:
            target.keepAll = (input.Read<uint8_t>() & 1) != 0;
            break;
        case kSetScreen:
            target.screenWidth = input.Read<int32_t>();
            target.screenHeight = input.Read<int32_t>();
            break;
        case kSetClientCount:
            target.clientCount = input.Read<int8_t>();
            break;
        case kSetStreaming:
            target.streaming = input.Read<uint8_t>() % 2;
            break;
        case kCallback:
            Deliver(input, target);
            break;
        case kFetch:
            FetchOrClear(input, target, false);
            break;
        default:
            FetchOrClear(input, target, true);
            break;
        }
    }
    // At the end every stream gives back exactly what the reference holds.
    for (auto& stream : target.gaze) {
        stream.Fetch(100000);
    }
    target.pupil.Fetch(100000);
    target.eyeEvents.Fetch(100000);
    return 0;
}
