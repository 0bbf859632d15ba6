#include "tools/export/bids_export.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "tools/export/gzip_file.h"
#include "tools/export/recording_reader.h"

namespace okulon::bids {
namespace {

namespace fs = std::filesystem;
using recording::Entry;
using recording::EntryKind;

constexpr const char* kBidsVersion = "1.11.0";
constexpr const char* kIgnoredFiles[] = {"*_physioevents.tsv.gz", "*_physioevents.json"};

std::string Number(double value) {
    char digits[64];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    return std::string(digits, result.ptr);
}

std::string Integer(int64_t value) { return std::to_string(value); }

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (c == '\n') {
            json += "\\n";
        } else if (c == '\t') {
            json += "\\t";
        } else if (c == '\r') {
            json += "\\r";
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

// A TSV value holds no tab or line break: those of a mark's text become spaces.
std::string TsvText(const std::string& text) {
    if (text.empty()) return "n/a";
    std::string value = text;
    for (char& c : value) {
        if (c == '\t' || c == '\n' || c == '\r') c = ' ';
    }
    return value;
}

struct EventRow {
    int64_t onset = 0;
    std::optional<int64_t> duration;
    std::string type;
    std::string message;
};

// One pixel of the gaze-on-screen frame BIDS users expect: origin at the
// top-left corner, x right, y down; the fraction times the screen size.
std::string Pixel(double fraction, int64_t size, bool usable) {
    const double value = fraction * static_cast<double>(size);
    return usable && std::isfinite(value) ? Number(value) : "n/a";
}

class Exporter {
public:
    explicit Exporter(const ExportOptions& options) : m_options(options) {}

    ExportOutcome Run();

private:
    bool Prepare();
    void OnEntry(const Entry& entry);
    void OnSample(const Entry& entry);
    void CloseTracking(int64_t at, bool known);
    void CloseLost(int64_t at, bool known);
    void NoteClocks(int64_t trackerUs, int64_t pcUs);
    bool Finish(const recording::RecordingReader& reader);
    void SayDamage(const recording::RecordingReader& reader);
    std::optional<double> SamplingFrequency() const;
    std::string PhysioSidecar(int eye, double frequency, double startTime) const;
    std::string EventsSidecar() const;
    bool WriteText(const fs::path& path, const std::string& text);
    bool WriteDatasetFiles();
    void Fail(std::string error) {
        if (m_outcome.error.empty()) m_outcome.error = std::move(error);
    }

    const ExportOptions& m_options;
    ExportOutcome m_outcome;
    fs::path m_folder;                    // sub-<label>/[ses-<label>/]beh
    std::vector<fs::path> m_madeFolders;  // deepest first
    std::string m_relativeFolder;
    std::array<std::string, 2> m_stems;  // per file eye: 0 left, 1 right
    std::array<GzipFile, 2> m_physio;
    std::array<uint64_t, 2> m_usable{};
    bool m_headerChecked = false;
    int64_t m_width = 0, m_height = 0;  // the screen size in force
    int64_t m_startWidth = 0, m_startHeight = 0;
    std::string m_component;
    std::optional<int64_t> m_firstSampleUs;
    std::optional<int64_t> m_lastSampleUs;  // within the current segment
    int64_t m_lastTrackerUs = 0;
    std::vector<int64_t> m_intervals;
    std::vector<EventRow> m_events;
    std::optional<size_t> m_openTracking, m_openLost;
    std::optional<int64_t> m_trackerMinusPc;  // the latest pairing of the clocks
    bool m_ended = false;
    std::vector<std::string> m_screenChanges;
};

bool Exporter::Prepare() {
    std::string base = "sub-" + m_options.subject;
    m_relativeFolder = "sub-" + m_options.subject + "/";
    if (!m_options.session.empty()) {
        base += "_ses-" + m_options.session;
        m_relativeFolder += "ses-" + m_options.session + "/";
    }
    m_relativeFolder += "beh/";
    base += "_task-" + m_options.task;
    if (m_options.run > 0) base += "_run-" + Integer(m_options.run);
    m_stems = {base + "_recording-eye1", base + "_recording-eye2"};
    m_folder = (fs::path(m_options.dataset) / m_relativeFolder).parent_path();

    // Like the recorder, never overwrite: an export goes to new names.
    for (const std::string& stem : m_stems) {
        for (const char* suffix : {"_physio.tsv.gz", "_physio.json", "_physioevents.tsv.gz", "_physioevents.json"}) {
            std::error_code error;
            if (fs::exists(m_folder / (stem + suffix), error)) {
                Fail(m_relativeFolder + stem + suffix +
                     " exists already: choose another subject, session, task or run");
                return false;
            }
        }
    }
    std::error_code error;
    for (fs::path folder = m_folder; !folder.empty() && !fs::exists(folder, error); folder = folder.parent_path()) {
        m_madeFolders.push_back(folder);
        if (folder == folder.parent_path()) break;
    }
    fs::create_directories(m_folder, error);
    if (error) {
        Fail("cannot make the folder " + m_folder.string() + ": " + error.message());
        return false;
    }
    for (int eye = 0; eye < 2; ++eye) {
        if (!m_physio[eye].Open((m_folder / (m_stems[eye] + "_physio.tsv.gz.partial")).string())) {
            Fail("cannot write in " + m_folder.string());
            return false;
        }
    }
    return true;
}

void Exporter::NoteClocks(int64_t trackerUs, int64_t pcUs) { m_trackerMinusPc = trackerUs - pcUs; }

void Exporter::CloseTracking(int64_t at, bool known) {
    if (!m_openTracking) return;
    EventRow& row = m_events[*m_openTracking];
    if (known) row.duration = at - row.onset;
    m_openTracking.reset();
}

void Exporter::CloseLost(int64_t at, bool known) {
    if (!m_openLost) return;
    EventRow& row = m_events[*m_openLost];
    if (known) row.duration = at - row.onset;
    m_openLost.reset();
}

void Exporter::OnEntry(const Entry& entry) {
    if (!m_outcome.error.empty()) return;
    switch (entry.kind) {
    case EntryKind::kSample:
        OnSample(entry);
        return;
    case EntryKind::kStart:
        NoteClocks(entry.trackerUs, entry.pcUs);
        // A start without a stop before it: how long the last lasted is unknown.
        CloseLost(entry.trackerUs, false);
        CloseTracking(entry.trackerUs, false);
        m_openTracking = m_events.size();
        m_events.push_back({entry.trackerUs, std::nullopt, "tracking", "tracking started"});
        m_lastSampleUs.reset();
        ++m_outcome.segments;
        break;
    case EntryKind::kStop:
        NoteClocks(entry.trackerUs, entry.pcUs);
        CloseLost(entry.trackerUs, true);
        CloseTracking(entry.trackerUs, true);
        m_lastSampleUs.reset();
        break;
    case EntryKind::kEvent:
        if (!entry.found) {
            if (!m_openLost) {
                m_openLost = m_events.size();
                m_events.push_back(
                    {entry.trackerUs, std::nullopt, "both_eyes_lost", "both eyes lost after both were usable"});
            }
        } else {
            CloseLost(entry.trackerUs, true);
        }
        break;
    case EntryKind::kMark:
        NoteClocks(entry.trackerUs, entry.pcUs);
        m_events.push_back({entry.trackerUs, std::nullopt, "mark", TsvText(entry.text)});
        break;
    case EntryKind::kClock:
        NoteClocks(entry.trackerUs, entry.pcUs + (entry.pcAfterUs - entry.pcUs) / 2);
        break;
    case EntryKind::kScreen:
        m_events.push_back({entry.trackerUs, std::nullopt, "screen_size",
                            "screen size set to " + Integer(entry.width) + "x" + Integer(entry.height) + " pixels"});
        if (entry.width != m_width || entry.height != m_height)
            m_screenChanges.push_back(Integer(entry.width) + "x" + Integer(entry.height) + " at line " +
                                      std::to_string(entry.line));
        m_width = entry.width;
        m_height = entry.height;
        break;
    case EntryKind::kDropped:
        // Records were lost here: the next interval is no sampling interval.
        m_lastSampleUs.reset();
        m_events.push_back({entry.trackerUs, std::nullopt, "samples_dropped",
                            Integer(entry.count) + " samples lost (" + Integer(entry.total) + " in all so far)"});
        break;
    case EntryKind::kDisconnect:
        NoteClocks(entry.trackerUs, entry.pcUs);
        m_lastSampleUs.reset();
        m_events.push_back({entry.trackerUs, std::nullopt, "tracker_disconnected",
                            "the tracker's connection was lost (system check code " + Integer(entry.code) + ")"});
        break;
    case EntryKind::kError: {
        // Stamped on the PC clock only: placed on the tracker's by the latest
        // pairing of the two clocks.
        const int64_t onset = m_trackerMinusPc ? entry.pcUs + *m_trackerMinusPc : m_lastTrackerUs;
        m_events.push_back({onset, std::nullopt, "recording_error", TsvText(entry.text)});
        m_outcome.warnings.push_back("the recording ended on a disk error (line " + std::to_string(entry.line) +
                                     "): " + TsvText(entry.text));
        break;
    }
    case EntryKind::kEnd:
        CloseLost(entry.trackerUs, true);
        CloseTracking(entry.trackerUs, true);
        m_ended = true;
        break;
    }
    if (entry.kind != EntryKind::kError && entry.kind != EntryKind::kClock)
        m_lastTrackerUs = std::max(m_lastTrackerUs, entry.trackerUs);
}

void Exporter::OnSample(const Entry& entry) {
    if (!m_headerChecked) return;
    ++m_outcome.samples;
    if (!m_firstSampleUs) m_firstSampleUs = entry.trackerUs;
    if (m_lastSampleUs && entry.trackerUs > *m_lastSampleUs) m_intervals.push_back(entry.trackerUs - *m_lastSampleUs);
    m_lastSampleUs = entry.trackerUs;
    m_lastTrackerUs = std::max(m_lastTrackerUs, entry.trackerUs);
    for (int block = 0; block < 2; ++block) {
        const recording::EyeValues& eye = entry.eyes[block];
        const int fileEye = (block == 0) == m_options.firstEyeIsLeft ? 0 : 1;
        const bool usable = eye.validity == 0;
        if (usable) ++m_usable[fileEye];
        std::string row = Integer(entry.trackerUs);
        row += '\t';
        row += Pixel(eye.x, m_width, usable);
        row += '\t';
        row += Pixel(eye.y, m_height, usable);
        row += '\t';
        row += usable && std::isfinite(eye.pupil) ? Number(eye.pupil) : "n/a";
        row += '\n';
        if (!m_physio[fileEye].Write(row)) Fail("cannot write " + m_stems[fileEye] + "_physio.tsv.gz");
    }
}

// The sampling interval: the median of the intervals between consecutive
// samples of one stretch of tracking, refined by the mean of those near it so
// a 300 Hz tracker's 3333 and 3334 µs give 300 Hz; gaps, stalls and drops
// around a lost record stay out of it.
std::optional<double> Exporter::SamplingFrequency() const {
    if (m_intervals.empty()) return std::nullopt;
    std::vector<int64_t> sorted = m_intervals;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double median = static_cast<double>(sorted[sorted.size() / 2]);
    double sum = 0;
    uint64_t count = 0;
    for (const int64_t interval : m_intervals) {
        if (interval >= 0.5 * median && interval <= 1.5 * median) {
            sum += static_cast<double>(interval);
            ++count;
        }
    }
    const double frequency = 1e6 * static_cast<double>(count) / sum;
    return std::round(frequency * 1000) / 1000;
}

std::string Exporter::PhysioSidecar(int eye, double frequency, double startTime) const {
    const char* side = eye == 0 ? "left" : "right";
    const bool fromFirst = (eye == 0) == m_options.firstEyeIsLeft;
    std::string json = "{\n";
    json += "  \"Columns\": [\"timestamp\", \"x_coordinate\", \"y_coordinate\", \"pupil_size\"],\n";
    json += "  \"PhysioType\": \"eyetrack\",\n";
    json += "  \"RecordedEye\": \"" + std::string(side) + "\",\n";
    json += "  \"SampleCoordinateSystem\": \"gaze-on-screen\",\n";
    json += "  \"SamplingFrequency\": " + Number(frequency) + ",\n";
    json += "  \"StartTime\": " + Number(startTime) + ",\n";
    std::string description =
        "Gaze of the " + std::string(side) + " eye: the recording's " + (fromFirst ? "first" : "second") +
        " eye, taken as the " + side +
        " one (okulon_export --first-eye; the eye tracker's manual tells which eye it reports first). One row per "
        "sample the tracker delivered; values are n/a where the tracker marked the eye unusable (validity other than "
        "0). StartTime: seconds from the start of the recording (its record command) to the first sample. Tracking "
        "may stop and start again within a recording: the timestamp column shows the gaps.";
    if (!m_ended) description += " The recording was not finished (no end entry): these data end where it does.";
    json += "  \"Description\": " + JsonString(description) + ",\n";
    json += "  \"Manufacturer\": \"Okulon\",\n";
    std::string software = "okulon_export " + m_options.exporterVersion;
    if (!m_component.empty()) software = "Okulon " + m_component + ", " + software;
    json += "  \"SoftwareVersions\": " + JsonString(software) + ",\n";
    json += "  \"StimulusPresentation\": {\n";
    if (m_options.screenDistanceM > 0) json += "    \"ScreenDistance\": " + Number(m_options.screenDistanceM) + ",\n";
    json += "    \"ScreenOrigin\": [\"top\", \"left\"],\n";
    json += "    \"ScreenResolution\": [" + Integer(m_startWidth) + ", " + Integer(m_startHeight) + "]";
    if (m_options.screenWidthM > 0 && m_options.screenHeightM > 0)
        json +=
            ",\n    \"ScreenSize\": [" + Number(m_options.screenWidthM) + ", " + Number(m_options.screenHeightM) + "]";
    json += "\n  },\n";
    json +=
        "  \"timestamp\": {\n"
        "    \"LongName\": \"Tracker time\",\n"
        "    \"Description\": \"When the tracker measured the sample, on the tracker's clock (the clock of the "
        "recording's tracker_us fields and of the host's GetTimestamp).\",\n"
        "    \"Units\": \"us\"\n  },\n";
    json +=
        "  \"x_coordinate\": {\n"
        "    \"LongName\": \"Gaze position (x)\",\n"
        "    \"Description\": \"Horizontal gaze position on the screen: pixels from the left edge, to the right "
        "(the tracker's screen fraction times the screen width in force at the sample).\",\n"
        "    \"Units\": \"pixel\"\n  },\n";
    json +=
        "  \"y_coordinate\": {\n"
        "    \"LongName\": \"Gaze position (y)\",\n"
        "    \"Description\": \"Vertical gaze position on the screen: pixels from the top edge, downwards (the "
        "tracker's screen fraction times the screen height in force at the sample).\",\n"
        "    \"Units\": \"pixel\"\n  },\n";
    json +=
        "  \"pupil_size\": {\n"
        "    \"LongName\": \"Pupil size\",\n"
        "    \"Description\": \"Pupil size as the tracker gave it, in the tracker's own unit (see its manual).\",\n"
        "    \"Units\": \"arbitrary\"\n  }\n";
    return json + "}\n";
}

std::string Exporter::EventsSidecar() const {
    return "{\n"
           "  \"Columns\": [\"onset\", \"duration\", \"trial_type\", \"message\"],\n"
           "  \"OnsetSource\": \"timestamp\",\n"
           "  \"Description\": \"What happened during the recording besides the samples: the host's marks, the "
           "stretches of tracking, both eyes lost, screen size changes, records lost, tracker disconnections and disk "
           "errors.\",\n"
           "  \"onset\": {\n"
           "    \"Description\": \"When it happened, on the tracker's clock, as the physio file's timestamp "
           "column.\",\n"
           "    \"Units\": \"us\"\n  },\n"
           "  \"duration\": {\n"
           "    \"Description\": \"How long it lasted, n/a for an instant or where the recording does not tell.\",\n"
           "    \"Units\": \"us\"\n  },\n"
           "  \"trial_type\": {\n"
           "    \"Description\": \"What it is.\",\n"
           "    \"Levels\": {\n"
           "      \"mark\": \"a mark the host set (SendCommand mark TEXT); message: its text\",\n"
           "      \"tracking\": \"tracking from its start to its stop\",\n"
           "      \"both_eyes_lost\": \"both eyes lost after both were usable, until both were usable again\",\n"
           "      \"screen_size\": \"the host set the screen size\",\n"
           "      \"samples_dropped\": \"records lost because the disk fell behind, just before this time\",\n"
           "      \"tracker_disconnected\": \"the tracker's connection was lost\",\n"
           "      \"recording_error\": \"the disk failed and the recording ended (time from the PC clock)\",\n"
           "      \"recording_cut\": \"the recording file ends here, cut off\"\n"
           "    }\n  },\n"
           "  \"message\": {\n"
           "    \"Description\": \"A mark's text (a tab or line break in it shown as a space), or what happened in "
           "words.\"\n  }\n"
           "}\n";
}

bool Exporter::WriteText(const fs::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary);
    file << text;
    file.close();
    if (!file) {
        Fail("cannot write " + path.string());
        return false;
    }
    return true;
}

// The dataset's own files are written once: a second recording exported into
// the same dataset keeps them (and .bidsignore gains only what it lacks).
bool Exporter::WriteDatasetFiles() {
    const fs::path root(m_options.dataset);
    std::error_code error;
    if (!fs::exists(root / "dataset_description.json", error)) {
        const std::string description =
            "{\n"
            "  \"Name\": \"Okulon eye-tracking recordings\",\n"
            "  \"BIDSVersion\": \"" +
            std::string(kBidsVersion) +
            "\",\n"
            "  \"DatasetType\": \"raw\",\n"
            "  \"GeneratedBy\": [\n"
            "    {\n"
            "      \"Name\": \"okulon_export\",\n"
            "      \"Version\": " +
            JsonString(m_options.exporterVersion) +
            ",\n"
            "      \"Description\": \"Okulon recordings exported to BIDS eye-tracking data\"\n"
            "    }\n"
            "  ]\n"
            "}\n";
        if (!WriteText(root / "dataset_description.json", description)) return false;
        m_outcome.written.push_back("dataset_description.json");
    }
    if (!fs::exists(root / "README", error)) {
        const std::string readme =
            "Eye-tracking recordings made with Okulon and exported by okulon_export.\n\n"
            "Each recording gives, per eye, sub-*/beh/*_recording-eye1_physio.tsv.gz (left eye) and\n"
            "*_recording-eye2_physio.tsv.gz (right eye) with their JSON sidecars, and *_physioevents.tsv.gz\n"
            "with the host's marks and the recording's events. Gaze is in screen pixels, origin at the\n"
            "top-left corner, y downwards; times are on the tracker's clock in microseconds.\n\n"
            "The _physioevents files are listed in .bidsignore because validators that predate\n"
            "BIDS 1.11 (bids-validator 1.15.0 and older) do not know them.\n";
        if (!WriteText(root / "README", readme)) return false;
        m_outcome.written.push_back("README");
    }
    std::string ignore;
    {
        std::ifstream existing(root / ".bidsignore", std::ios::binary);
        ignore.assign(std::istreambuf_iterator<char>(existing), std::istreambuf_iterator<char>());
    }
    std::string added;
    for (const char* pattern : kIgnoredFiles) {
        bool present = false;
        size_t begin = 0;
        while (begin <= ignore.size() && !present) {
            size_t end = ignore.find('\n', begin);
            if (end == std::string::npos) end = ignore.size();
            std::string line = ignore.substr(begin, end - begin);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            present = line == pattern;
            begin = end + 1;
        }
        if (!present) added += std::string(pattern) + "\n";
    }
    if (!added.empty()) {
        if (!ignore.empty() && ignore.back() != '\n') ignore += '\n';
        if (!WriteText(root / ".bidsignore", ignore + added)) return false;
        m_outcome.written.push_back(".bidsignore");
    }
    return true;
}

void Exporter::SayDamage(const recording::RecordingReader& reader) {
    const recording::ReadReport& report = reader.Report();
    auto& warnings = m_outcome.warnings;
    if (report.cut)
        warnings.push_back("the recording ends in an incomplete line (line " + std::to_string(report.cutLine) +
                           ", no line break): the file was cut off there; exported up to line " +
                           std::to_string(report.cutLine - 1));
    for (const auto& problem : report.problems)
        warnings.push_back("line " + std::to_string(problem.line) + " skipped: " + problem.reason);
    if (report.malformed > report.problems.size())
        warnings.push_back(std::to_string(report.malformed - report.problems.size()) +
                           " more unreadable lines skipped");
    for (const auto& [name, count] : report.unknownKinds)
        warnings.push_back(std::to_string(count) + " entries of the unknown kind \"" + name +
                           "\" skipped (from a later version of the format?)");
    if (reader.Header().formatVersion > 1)
        warnings.push_back("the recording is of format version " + std::to_string(reader.Header().formatVersion) +
                           "; this exporter reads version 1 and skips what it does not know");
    if (!m_ended && !report.cut)
        warnings.push_back("the recording has no end entry: it was not finished (the program ended early?)");
    for (const std::string& change : m_screenChanges)
        warnings.push_back("the screen size changed to " + change +
                           ": pixels follow the size in force at each sample, ScreenResolution gives the first");
    for (int eye = 0; eye < 2; ++eye) {
        if (m_usable[eye] == 0 && m_outcome.samples > 0)
            warnings.push_back(std::string("the ") + (eye == 0 ? "left" : "right") +
                               " eye has no usable sample: its values are all n/a");
    }
    if (m_options.screenWidthM <= 0 || m_options.screenHeightM <= 0)
        warnings.push_back("no --screen-width-m and --screen-height-m: the sidecars lack ScreenSize");
    if (m_options.screenDistanceM <= 0) warnings.push_back("no --screen-distance-m: the sidecars lack ScreenDistance");
}

bool Exporter::Finish(const recording::RecordingReader& reader) {
    for (int eye = 0; eye < 2; ++eye) {
        if (!m_physio[eye].Close()) Fail("cannot write " + m_stems[eye] + "_physio.tsv.gz");
    }
    if (!m_outcome.error.empty()) return false;
    const recording::ReadReport& report = reader.Report();
    if (report.notARecording) {
        Fail(report.problems.empty() ? "not an Okulon recording" : report.problems.front().reason);
        return false;
    }
    if (!m_headerChecked) {
        Fail(reader.Header().formatVersion == 0 ? "the recording is empty"
                                                : "the recording has no screen header: gaze cannot be put in pixels");
        return false;
    }
    const std::optional<double> frequency = SamplingFrequency();
    if (!frequency) {
        Fail("the recording holds " + std::to_string(m_outcome.samples) +
             (m_outcome.samples == 1 ? " sample" : " samples") +
             " but no two in a row: the sampling frequency cannot be told, nothing exported");
        return false;
    }
    m_outcome.samplingFrequency = *frequency;

    if (report.cut) {
        CloseLost(0, false);
        CloseTracking(0, false);
        m_events.push_back(
            {m_lastTrackerUs, std::nullopt, "recording_cut",
             "the recording file ends here in an incomplete line (line " + std::to_string(report.cutLine) + ")"});
    }
    std::stable_sort(m_events.begin(), m_events.end(),
                     [](const EventRow& a, const EventRow& b) { return a.onset < b.onset; });
    std::string events;
    for (const EventRow& row : m_events) {
        events += Integer(row.onset) + '\t' + (row.duration ? Integer(*row.duration) : "n/a") + '\t' + row.type + '\t' +
                  row.message + '\n';
    }
    m_outcome.events = m_events.size();

    const double startTime =
        reader.Header().hasStart ? static_cast<double>(*m_firstSampleUs - reader.Header().startTrackerUs) / 1e6 : 0.0;
    if (!reader.Header().hasStart)
        m_outcome.warnings.push_back("the recording has no start header: StartTime is 0 at the first sample");
    SayDamage(reader);

    for (int eye = 0; eye < 2; ++eye) {
        const fs::path partial = m_folder / (m_stems[eye] + "_physio.tsv.gz.partial");
        std::error_code error;
        fs::rename(partial, m_folder / (m_stems[eye] + "_physio.tsv.gz"), error);
        if (error) {
            Fail("cannot write " + m_stems[eye] + "_physio.tsv.gz: " + error.message());
            return false;
        }
        m_outcome.written.push_back(m_relativeFolder + m_stems[eye] + "_physio.tsv.gz");
        if (!WriteText(m_folder / (m_stems[eye] + "_physio.json"), PhysioSidecar(eye, *frequency, startTime)))
            return false;
        m_outcome.written.push_back(m_relativeFolder + m_stems[eye] + "_physio.json");
        GzipFile file;
        const fs::path eventsPath = m_folder / (m_stems[eye] + "_physioevents.tsv.gz");
        if (!file.Open(eventsPath.string()) || !file.Write(events) || !file.Close()) {
            Fail("cannot write " + eventsPath.string());
            return false;
        }
        m_outcome.written.push_back(m_relativeFolder + m_stems[eye] + "_physioevents.tsv.gz");
        if (!WriteText(m_folder / (m_stems[eye] + "_physioevents.json"), EventsSidecar())) return false;
        m_outcome.written.push_back(m_relativeFolder + m_stems[eye] + "_physioevents.json");
    }
    return WriteDatasetFiles();
}

ExportOutcome Exporter::Run() {
    for (const auto* label : {&m_options.subject, &m_options.task}) {
        if (!IsLabel(*label)) {
            Fail("the subject and task labels must be letters and digits only");
            return m_outcome;
        }
    }
    if (!m_options.session.empty() && !IsLabel(m_options.session)) {
        Fail("the session label must be letters and digits only");
        return m_outcome;
    }
    std::ifstream input(m_options.recording, std::ios::binary);
    if (!input) {
        Fail("cannot open the recording " + m_options.recording);
        return m_outcome;
    }
    if (!Prepare()) return m_outcome;

    recording::RecordingReader reader([this](const Entry& entry) { OnEntry(entry); });
    // The header comes before the first sample: its screen size is the frame's.
    auto checkHeader = [&] {
        if (m_headerChecked || reader.Header().screenWidth <= 0) return;
        m_headerChecked = true;
        m_width = m_startWidth = reader.Header().screenWidth;
        m_height = m_startHeight = reader.Header().screenHeight;
        m_component = reader.Header().component;
    };
    std::vector<char> buffer(1 << 16);
    while (input && m_outcome.error.empty()) {
        input.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        const auto got = static_cast<size_t>(input.gcount());
        // Small enough pieces that the header is checked before any sample
        // after it: feed line by line up to the first sample.
        std::string_view bytes(buffer.data(), got);
        while (!m_headerChecked && !bytes.empty()) {
            const size_t end = bytes.find('\n');
            const size_t take = end == std::string_view::npos ? bytes.size() : end + 1;
            reader.Feed(bytes.substr(0, take));
            bytes.remove_prefix(take);
            checkHeader();
        }
        reader.Feed(bytes);
    }
    if (input.bad()) Fail("cannot read the recording " + m_options.recording);
    reader.Finish();
    checkHeader();
    if (Finish(reader)) {
        m_outcome.ok = true;
        return m_outcome;
    }
    // Nothing half-made stays behind.
    for (int eye = 0; eye < 2; ++eye) {
        std::error_code error;
        m_physio[eye].Close();
        fs::remove(m_folder / (m_stems[eye] + "_physio.tsv.gz.partial"), error);
    }
    for (const fs::path& folder : m_madeFolders) {
        std::error_code error;
        fs::remove(folder, error);  // only where empty
    }
    m_outcome.written.clear();
    return m_outcome;
}

}  // namespace

bool IsLabel(const std::string& text) {
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

ExportOutcome ExportRecording(const ExportOptions& options) { return Exporter(options).Run(); }

}  // namespace okulon::bids
