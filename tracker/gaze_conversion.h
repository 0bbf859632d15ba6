// The gaze callback's work, free of the platform: decides whether the tracker
// library's delivery must end, and turns one tracker record into the host's
// gaze, pupil and eye-event records of the streams that are on.
//
// Runs on whatever thread the tracker library delivers on. The target is a
// GazeCallbackTarget: the extension object's TrackingTarget, or a test's or
// benchmark's stand-in; the callback holds no reference on it. Settings and
// flags are read through the target whole: each once, but the data mask anew
// for each stream it switches. No order between two of them is relied on; the
// target's push operations are the producer side of its queues (one producer
// at a time).
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>

#include "extension/records/records.h"
#include "tracker/contract/tracker_records.h"

namespace okulon {

// The callback's memory of the last record's validities, from which it tells
// that both eyes were lost or found again; -1 before the first record. The
// callback writes it; the object's internal operations read it. Each value
// is read and written whole.
class ValidityMemory {
public:
    int32_t First() const noexcept { return m_first.load(std::memory_order_relaxed); }
    int32_t Second() const noexcept { return m_second.load(std::memory_order_relaxed); }
    void SetFirst(int32_t validity) noexcept { m_first.store(validity, std::memory_order_relaxed); }
    void SetSecond(int32_t validity) noexcept { m_second.store(validity, std::memory_order_relaxed); }

private:
    std::atomic<int32_t> m_first{-1};
    std::atomic<int32_t> m_second{-1};
};

// Everything the gaze callback reads and writes of the object it reports to,
// and nothing else: the one contract between a setting and the callback.
// Platform-free; a stand-in that is final is called without virtual dispatch.
class GazeCallbackTarget {
public:
    virtual int32_t IsStreaming() noexcept = 0;
    virtual int32_t GetClientCount() noexcept = 0;
    virtual uint32_t GetDataMask() noexcept = 0;
    virtual int32_t GetEyeSelection() noexcept = 0;
    virtual int32_t GetScreenWidth() noexcept = 0;
    virtual int32_t GetScreenHeight() noexcept = 0;
    virtual int32_t GetLastValidityFirst() noexcept = 0;
    virtual void SetLastValidityFirst(int32_t validity) noexcept = 0;
    virtual int32_t GetLastValiditySecond() noexcept = 0;
    virtual void SetLastValiditySecond(int32_t validity) noexcept = 0;
    virtual void PushGazeSample(const GazeRecord& record, int32_t eyeType) noexcept = 0;
    virtual void PushPupilSample(const PupilRecord& record) noexcept = 0;
    virtual void PushEyeEvent(const EyeEventRecord& record) noexcept = 0;
    // Every record the library delivers while streaming, for the recording
    // file; never waits.
    virtual void RecordSample(const TrackerRecord& record, int32_t width, int32_t height) noexcept = 0;

protected:
    ~GazeCallbackTarget() = default;
};

enum class GazeCallbackAction {
    kContinue,
    kStopDelivery,  // the caller must call Tet_Stop from inside the callback
};

namespace gaze_conversion_detail {

// Screen fractions (0 = left or top edge) to pixels from the centre, y up.
// Each step is a named double so that no intermediate keeps more precision
// than the host's arithmetic would.
inline double ToScreenX(double fraction, double width) {
    const double offset = fraction - 0.5;
    return width * offset;
}

inline double ToScreenY(double fraction, double height) {
    const double offset = 0.5 - fraction;
    return height * offset;
}

// The average of both eye blocks; the sum of two widened floats is exact.
inline double Mean(double first, double second) {
    const double sum = second + first;
    return sum * 0.5;
}

constexpr int32_t kValidityUsable = 0;
constexpr int32_t kValidityEyeLost = 4;

}  // namespace gaze_conversion_detail

// A template over the target's own type only so that a final stand-in's calls
// are direct; the operations are GazeCallbackTarget's.
template <class Target>
GazeCallbackAction HandleGazeCallback(int32_t reason, const TrackerRecord* record, Target& target) {
    static_assert(std::is_base_of_v<GazeCallbackTarget, Target>, "the gaze callback reports to a GazeCallbackTarget");
    namespace detail = gaze_conversion_detail;

    if (target.IsStreaming() == 0) {
        return GazeCallbackAction::kStopDelivery;
    }
    if (reason == kTrackerReasonIdle) {
        return GazeCallbackAction::kContinue;
    }
    // Every other reason carries a record; a library that breaks that must
    // not crash the host, so such a delivery is dropped like a filtered one.
    if (record == nullptr) {
        return GazeCallbackAction::kContinue;
    }
    const int32_t screenWidth = target.GetScreenWidth();
    const int32_t screenHeight = target.GetScreenHeight();
    // The recording takes every record, whatever the host's streams.
    target.RecordSample(*record, screenWidth, screenHeight);
    if (target.GetClientCount() == 0) {
        return GazeCallbackAction::kContinue;
    }

    const int64_t time = TimeInMicroseconds(record->timeSeconds, record->timeMicroseconds);
    const double width = static_cast<double>(screenWidth);
    const double height = static_cast<double>(screenHeight);

    const double x1 = static_cast<double>(record->first.gazeX);
    const double y1 = static_cast<double>(record->first.gazeY);
    const double p1 = static_cast<double>(record->first.pupilSize);
    const int32_t val1 = record->first.validity;
    const double x2 = static_cast<double>(record->second.gazeX);
    const double y2 = static_cast<double>(record->second.gazeY);
    const double p2 = static_cast<double>(record->second.pupilSize);
    const int32_t val2 = record->second.validity;
    const bool bothUsable = val1 == detail::kValidityUsable && val2 == detail::kValidityUsable;

    if ((target.GetDataMask() & kStreamGaze) != 0) {
        const int32_t eyeSelection = target.GetEyeSelection();
        if (eyeSelection == 1) {
            if (val2 == detail::kValidityUsable) {
                const GazeRecord gaze{time, detail::ToScreenX(x2, width), detail::ToScreenY(y2, height)};
                target.PushGazeSample(gaze, 1);
            }
        } else if (eyeSelection == 2) {
            if (val1 == detail::kValidityUsable) {
                const GazeRecord gaze{time, detail::ToScreenX(x1, width), detail::ToScreenY(y1, height)};
                target.PushGazeSample(gaze, 2);
            }
        } else if (bothUsable) {
            const GazeRecord gaze{time, detail::ToScreenX(detail::Mean(x1, x2), width),
                                  detail::ToScreenY(detail::Mean(y1, y2), height)};
            target.PushGazeSample(gaze, 0);
        }
    }

    if ((target.GetDataMask() & kStreamPupil) != 0 && bothUsable) {
        const PupilRecord pupil{time, p1, p2, {}};  // reserved bytes zero
        target.PushPupilSample(pupil);
    }

    if ((target.GetDataMask() & kStreamEyeEvents) != 0) {
        const int32_t lastFirst = target.GetLastValidityFirst();
        const int32_t lastSecond = target.GetLastValiditySecond();
        const bool wereUsable = lastFirst == detail::kValidityUsable && lastSecond == detail::kValidityUsable;
        const bool wereLost = lastFirst == detail::kValidityEyeLost && lastSecond == detail::kValidityEyeLost;
        const bool areLost = val1 == detail::kValidityEyeLost && val2 == detail::kValidityEyeLost;
        if ((wereUsable && areLost) || (wereLost && bothUsable)) {
            const EyeEventRecord event{time,
                                       detail::ToScreenX(detail::Mean(x1, x2), width),
                                       detail::ToScreenY(detail::Mean(y1, y2), height),
                                       areLost ? kBothEyesLost : kBothEyesFound,
                                       {}};  // reserved bytes zero
            target.PushEyeEvent(event);
        }
    }

    target.SetLastValidityFirst(val1);
    target.SetLastValiditySecond(val2);
    return GazeCallbackAction::kContinue;
}

}  // namespace okulon
