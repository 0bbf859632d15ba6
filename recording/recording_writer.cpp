#include "recording/recording_writer.h"

#include <charconv>
#include <new>

#include "tracker/gaze_conversion.h"

namespace okulon {
namespace {

constexpr std::size_t kBufferReserve = 256 * 1024;

// Locale-free, and as many digits as it takes to read the value back exactly.
template <class Number>
void AppendNumber(std::string& out, Number value) {
    char digits[64];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    out.append(digits, result.ptr);
}

template <class Number, class... Rest>
void AppendFields(std::string& out, Number value, Rest... rest) {
    out += '\t';
    AppendNumber(out, value);
    if constexpr (sizeof...(rest) > 0) AppendFields(out, rest...);
}

void AppendEscaped(std::string& out, const std::string& text) {
    for (const char c : text) {
        switch (c) {
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            out += c;
        }
    }
}

constexpr const char* kColumns[] = {
    "columns\tstart\ttracker_us\tpc_us",
    "columns\tstop\ttracker_us\tpc_us",
    ("columns\tsample\ttracker_us\tfirst_x\tfirst_y\tfirst_pupil\tfirst_validity\tsecond_x\tsecond_y\tsecond_pupil"
     "\tsecond_validity\tfirst_px\tfirst_py\tsecond_px\tsecond_py"),
    "columns\tevent\ttracker_us\tkind\tpx\tpy",
    "columns\tmark\ttracker_us\tpc_us\ttext",
    "columns\tclock\tpc_before_us\ttracker_us\tpc_after_us",
    "columns\tscreen\ttracker_us\twidth\theight",
    "columns\tdropped\ttracker_us\tcount\ttotal",
    "columns\tdisconnect\ttracker_us\tpc_us\tcode",
    "columns\terror\tpc_us\ttext",
    "columns\tend\ttracker_us\tpc_us\tsamples\tdropped",
};

}  // namespace

RecordingWriter::RecordingWriter(SampleHandoff& samples, ControlQueue& controls, RecordingSink& sink,
                                 RecordingClock& clock, uint32_t generation) noexcept
    : m_samples(samples), m_controls(controls), m_sink(sink), m_clock(clock), m_generation(generation) {}

bool RecordingWriter::Begin(const RecordingHeader& header) noexcept {
    try {
        m_buffer.reserve(kBufferReserve);
        m_screenWidth = header.screenWidth;
        m_screenHeight = header.screenHeight;
        m_buffer += "okulon-recording\t1\n";
        m_buffer += "header\tcomponent\t";
        AppendEscaped(m_buffer, header.componentVersion);
        m_buffer += "\nheader\ttracker\t";
        AppendEscaped(m_buffer, header.trackerHost);
        AppendFields(m_buffer, header.trackerPort);
        m_buffer += "\nheader\tscreen";
        AppendFields(m_buffer, header.screenWidth, header.screenHeight);
        m_buffer += "\nheader\tstart";
        AppendFields(m_buffer, header.startTrackerUs, header.startPcUs);
        m_buffer += '\t';
        AppendEscaped(m_buffer, header.startUtc);
        m_buffer += "\nheader\tpc_clock\tperformance-counter-us\nheader\tpixels\tcentre-origin-y-up\n";
        for (const char* columns : kColumns) {
            m_buffer += columns;
            m_buffer += '\n';
        }
    } catch (const std::bad_alloc&) {
        Fail("Out of memory", "");
        return false;
    }
    m_lastFlushPcUs = m_clock.PcMicroseconds();
    AppendClock(m_clock.Read());
    return WriteBuffer() && FlushSink();
}

bool RecordingWriter::Pump(bool flush) noexcept {
    if (m_failed) return false;
    try {
        // Controls made after this limit was read carry a later limit, so
        // every line stays in the order its event happened.
        const uint64_t limit = m_samples.PushedCount();
        const auto take = [this](const RecordedSample& sample) {
            if (sample.generation == m_generation) AppendSample(sample);
        };
        for (std::unique_ptr<ControlEntry> entry = m_controls.TakeAll(); entry; entry = std::move(entry->next)) {
            if (entry->generation != m_generation) continue;
            m_samples.Drain(entry->samplesBefore < limit ? entry->samplesBefore : limit, take);
            AppendControl(*entry);
        }
        m_samples.Drain(limit, take);
        const int64_t now = m_clock.PcMicroseconds();
        if (now - m_lastClockPcUs >= kClockIntervalUs) AppendClock(m_clock.Read());
        if (now - m_lastFlushPcUs >= kFlushIntervalUs) flush = true;
    } catch (const std::bad_alloc&) {
        Fail("Out of memory", "");
        return false;
    }
    if (!WriteBuffer()) return false;
    return !flush || FlushSink();
}

bool RecordingWriter::Finish() noexcept {
    if (!Pump()) return false;
    try {
        const int64_t pcUs = m_clock.PcMicroseconds();
        const int64_t trackerUs = m_clock.TrackerMicroseconds();
        const uint32_t lostAtEnd = m_samples.PendingDrops(m_generation);
        if (lostAtEnd != 0) {
            m_dropped += lostAtEnd;
            m_buffer += "dropped";
            AppendFields(m_buffer, trackerUs, lostAtEnd, m_dropped);
            m_buffer += '\n';
        }
        m_buffer += "end";
        AppendFields(m_buffer, trackerUs, pcUs, m_samplesWritten, m_dropped);
        m_buffer += '\n';
    } catch (const std::bad_alloc&) {
        Fail("Out of memory", "");
        return false;
    }
    return WriteBuffer() && FlushSink();
}

void RecordingWriter::AppendSample(const RecordedSample& sample) {
    namespace detail = gaze_conversion_detail;
    const TrackerRecord& record = sample.record;
    const int64_t time = TimeInMicroseconds(record.timeSeconds, record.timeMicroseconds);
    if (sample.droppedBefore != 0) {
        m_dropped += sample.droppedBefore;
        m_buffer += "dropped";
        AppendFields(m_buffer, time, sample.droppedBefore, m_dropped);
        m_buffer += '\n';
    }
    if (sample.screenWidth != m_screenWidth || sample.screenHeight != m_screenHeight) {
        m_screenWidth = sample.screenWidth;
        m_screenHeight = sample.screenHeight;
        m_buffer += "screen";
        AppendFields(m_buffer, time, m_screenWidth, m_screenHeight);
        m_buffer += '\n';
    }
    const double width = static_cast<double>(sample.screenWidth);
    const double height = static_cast<double>(sample.screenHeight);
    const TrackerEyeBlock& first = record.first;
    const TrackerEyeBlock& second = record.second;
    m_buffer += "sample";
    AppendFields(m_buffer, time, first.gazeX, first.gazeY, first.pupilSize, first.validity, second.gazeX, second.gazeY,
                 second.pupilSize, second.validity);
    AppendFields(m_buffer, detail::ToScreenX(first.gazeX, width), detail::ToScreenY(first.gazeY, height),
                 detail::ToScreenX(second.gazeX, width), detail::ToScreenY(second.gazeY, height));
    m_buffer += '\n';
    ++m_samplesWritten;

    // Both eyes lost or found, by the rule the host's eye-event stream follows,
    // whether or not the host started that stream.
    const bool bothUsable = first.validity == detail::kValidityUsable && second.validity == detail::kValidityUsable;
    const bool bothLost = first.validity == detail::kValidityEyeLost && second.validity == detail::kValidityEyeLost;
    const bool wereUsable =
        m_lastValidityFirst == detail::kValidityUsable && m_lastValiditySecond == detail::kValidityUsable;
    const bool wereLost =
        m_lastValidityFirst == detail::kValidityEyeLost && m_lastValiditySecond == detail::kValidityEyeLost;
    if ((wereUsable && bothLost) || (wereLost && bothUsable)) {
        m_buffer += "event\t";
        AppendNumber(m_buffer, time);
        m_buffer += bothLost ? "\tlost" : "\tfound";
        AppendFields(m_buffer, detail::ToScreenX(detail::Mean(first.gazeX, second.gazeX), width),
                     detail::ToScreenY(detail::Mean(first.gazeY, second.gazeY), height));
        m_buffer += '\n';
    }
    m_lastValidityFirst = first.validity;
    m_lastValiditySecond = second.validity;
}

void RecordingWriter::AppendControl(const ControlEntry& entry) {
    switch (entry.kind) {
    case ControlKind::kStart:
        m_buffer += "start";
        AppendFields(m_buffer, entry.trackerUs, entry.pcUs);
        break;
    case ControlKind::kStop:
        m_buffer += "stop";
        AppendFields(m_buffer, entry.trackerUs, entry.pcUs);
        break;
    case ControlKind::kMark:
        m_buffer += "mark";
        AppendFields(m_buffer, entry.trackerUs, entry.pcUs);
        m_buffer += '\t';
        AppendEscaped(m_buffer, entry.text);
        break;
    case ControlKind::kDisconnect:
        m_buffer += "disconnect";
        AppendFields(m_buffer, entry.trackerUs, entry.pcUs, entry.code);
        break;
    }
    m_buffer += '\n';
}

void RecordingWriter::AppendClock(const ClockReading& reading) {
    m_buffer += "clock";
    AppendFields(m_buffer, reading.pcBeforeUs, reading.trackerUs, reading.pcAfterUs);
    m_buffer += '\n';
    m_lastClockPcUs = reading.pcAfterUs;
}

bool RecordingWriter::WriteBuffer() noexcept {
    if (m_buffer.empty()) return true;
    std::string reason;
    const bool written = m_sink.Write(m_buffer.data(), m_buffer.size(), reason);
    m_buffer.clear();
    if (!written) Fail("Write failed", reason);
    return written;
}

bool RecordingWriter::FlushSink() noexcept {
    std::string reason;
    m_lastFlushPcUs = m_clock.PcMicroseconds();
    if (m_sink.Flush(reason)) return true;
    Fail("Flush failed", reason);
    return false;
}

void RecordingWriter::Fail(const char* what, const std::string& reason) noexcept {
    if (m_failed) return;
    m_failed = true;
    try {
        m_failure = what;
        if (!reason.empty()) m_failure += ": " + reason;
        // Said in the file too, where the disk still takes it.
        std::string line = "error\t";
        AppendNumber(line, m_clock.PcMicroseconds());
        line += '\t';
        AppendEscaped(line, m_failure);
        line += '\n';
        std::string ignored;
        if (m_sink.Write(line.data(), line.size(), ignored)) m_sink.Flush(ignored);
    } catch (const std::bad_alloc&) {
        // The failure text stays as far as it got.
    }
}

}  // namespace okulon
