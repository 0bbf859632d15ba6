#include "tools/export/recording_reader.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace okulon::recording {
namespace {

constexpr const char* kKindNames[kKindCount] = {"start",  "stop",    "sample",     "event", "mark", "clock",
                                                "screen", "dropped", "disconnect", "error", "end"};

// The columns each kind's fields are read by, in the order the first format
// writes them when no columns line says otherwise.
const std::vector<std::vector<std::string_view>>& ExpectedColumns() {
    static const std::vector<std::vector<std::string_view>> columns = {
        {"tracker_us", "pc_us"},
        {"tracker_us", "pc_us"},
        {"tracker_us", "first_x", "first_y", "first_pupil", "first_validity", "second_x", "second_y", "second_pupil",
         "second_validity", "first_px", "first_py", "second_px", "second_py"},
        {"tracker_us", "kind", "px", "py"},
        {"tracker_us", "pc_us", "text"},
        {"pc_before_us", "tracker_us", "pc_after_us"},
        {"tracker_us", "width", "height"},
        {"tracker_us", "count", "total"},
        {"tracker_us", "pc_us", "code"},
        {"pc_us", "text"},
        {"tracker_us", "pc_us", "samples", "dropped"},
    };
    return columns;
}

// A line longer than this is no entry of any format: its bytes are dropped as
// they come, so a file of garbage without line breaks cannot exhaust memory.
constexpr size_t kMaxLineBytes = 1 << 20;

std::vector<std::string_view> SplitTabs(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t begin = 0;
    while (true) {
        const size_t tab = line.find('\t', begin);
        if (tab == std::string_view::npos) {
            fields.push_back(line.substr(begin));
            return fields;
        }
        fields.push_back(line.substr(begin, tab - begin));
        begin = tab + 1;
    }
}

bool ToInteger(std::string_view text, int64_t& value) {
    if (text.empty()) return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// Locale-free, like the writer; "nan" and "inf" as the tracker gave them.
bool ToNumber(std::string_view text, double& value) {
    if (text.empty()) return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::string Shown(std::string_view text) {
    std::string shown;
    for (const char c : text.substr(0, 40)) shown += (c >= 0x20 && c < 0x7f) ? c : '?';
    if (text.size() > 40) shown += "...";
    return shown;
}

}  // namespace

const char* KindName(EntryKind kind) { return kKindNames[static_cast<int>(kind)]; }

std::string Unescape(std::string_view text) {
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            plain += text[i];
            continue;
        }
        const char next = text[i + 1];
        if (next == 't') {
            plain += '\t';
        } else if (next == 'n') {
            plain += '\n';
        } else if (next == 'r') {
            plain += '\r';
        } else if (next == '\\') {
            plain += '\\';
        } else {
            plain += '\\';
            continue;
        }
        ++i;
    }
    return plain;
}

RecordingReader::RecordingReader(EntryHandler onEntry) : m_onEntry(std::move(onEntry)) {
    for (int kind = 0; kind < kKindCount; ++kind) {
        const size_t count = ExpectedColumns()[kind].size();
        for (size_t i = 0; i < count; ++i) m_fieldIndex[kind].push_back(static_cast<int>(i) + 1);
    }
}

void RecordingReader::Feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (m_pending.size() <= kMaxLineBytes)
            m_pending.append(piece.data(), std::min(piece.size(), kMaxLineBytes + 1));
        if (end == std::string_view::npos) return;
        bytes.remove_prefix(end + 1);
        ++m_lineNumber;
        ++m_report.lines;
        std::string_view line = m_pending;
        if (line.size() > kMaxLineBytes) {
            Malformed("longer than 1 MiB");
        } else {
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            ReadLine(line);
        }
        m_pending.clear();
    }
}

void RecordingReader::Finish() {
    if (m_pending.empty()) return;
    m_report.cut = true;
    m_report.cutLine = m_lineNumber + 1;
    m_pending.clear();
}

void RecordingReader::Malformed(std::string reason) {
    ++m_report.malformed;
    if (m_report.problems.size() < ReadReport::kMaxProblems)
        m_report.problems.push_back({m_lineNumber, std::move(reason)});
}

void RecordingReader::ReadLine(std::string_view line) {
    if (m_report.notARecording) return;
    const std::vector<std::string_view> fields = SplitTabs(line);
    if (m_header.formatVersion == 0) {
        ReadFirstLine(fields);
        return;
    }
    const std::string_view name = fields[0];
    if (name.empty()) return Malformed(line.empty() ? "empty line" : "no entry name");
    if (name == "header") return ReadHeader(fields);
    if (name == "columns") return ReadColumns(fields);
    for (int kind = 0; kind < kKindCount; ++kind) {
        if (name != kKindNames[kind]) continue;
        if (!m_unreadableKind[kind].empty()) return Malformed(m_unreadableKind[kind]);
        std::string reason;
        if (!ReadEntry(static_cast<EntryKind>(kind), fields, reason))
            return Malformed(std::string(kKindNames[kind]) + ": " + reason);
        return;
    }
    ++m_report.unknownKinds[std::string(name.substr(0, 64))];
}

void RecordingReader::ReadFirstLine(const std::vector<std::string_view>& fields) {
    int64_t version = 0;
    if (fields.size() < 2 || fields[0] != "okulon-recording" || !ToInteger(fields[1], version) || version < 1) {
        m_report.notARecording = true;
        Malformed(
            "not an Okulon recording: the first line is \"" +
            Shown(fields.size() > 1 ? std::string(fields[0]) + " " + std::string(fields[1]) : std::string(fields[0])) +
            "\", not \"okulon-recording<TAB>1\"");
        return;
    }
    m_header.formatVersion = version;
}

void RecordingReader::ReadHeader(const std::vector<std::string_view>& fields) {
    const std::string_view name = fields.size() > 1 ? fields[1] : std::string_view();
    const size_t values = fields.size() > 2 ? fields.size() - 2 : 0;
    auto bad = [&] { Malformed("header " + Shown(name) + ": unreadable values"); };
    if (name == "component") {
        if (values < 1) return bad();
        m_header.component = Unescape(fields[2]);
    } else if (name == "tracker") {
        if (values < 2 || !ToInteger(fields[3], m_header.trackerPort)) return bad();
        m_header.trackerHost = Unescape(fields[2]);
    } else if (name == "screen") {
        int64_t width = 0, height = 0;
        if (values < 2 || !ToInteger(fields[2], width) || !ToInteger(fields[3], height) || width <= 0 || height <= 0)
            return bad();
        m_header.screenWidth = width;
        m_header.screenHeight = height;
    } else if (name == "start") {
        if (values < 3 || !ToInteger(fields[2], m_header.startTrackerUs) || !ToInteger(fields[3], m_header.startPcUs))
            return bad();
        m_header.startUtc = Unescape(fields[4]);
        m_header.hasStart = true;
    } else if (name == "pc_clock") {
        if (values < 1) return bad();
        m_header.pcClock = Unescape(fields[2]);
    } else if (name == "pixels") {
        if (values < 1) return bad();
        m_header.pixels = Unescape(fields[2]);
    } else if (name.empty()) {
        Malformed("header without a name");
    }
    // Other headers belong to a later format: nothing here depends on them.
}

void RecordingReader::ReadColumns(const std::vector<std::string_view>& fields) {
    if (fields.size() < 2) return Malformed("columns line without a kind");
    for (int kind = 0; kind < kKindCount; ++kind) {
        if (fields[1] != kKindNames[kind]) continue;
        const auto& expected = ExpectedColumns()[kind];
        std::vector<int> index(expected.size(), -1);
        for (size_t column = 2; column < fields.size(); ++column) {
            for (size_t i = 0; i < expected.size(); ++i) {
                if (fields[column] == expected[i] && index[i] < 0) index[i] = static_cast<int>(column - 1);
            }
        }
        for (size_t i = 0; i < expected.size(); ++i) {
            if (index[i] >= 0) continue;
            m_unreadableKind[kind] = std::string(kKindNames[kind]) + ": its columns line (line " +
                                     std::to_string(m_lineNumber) + ") has no column " + std::string(expected[i]);
            Malformed(m_unreadableKind[kind]);
            return;
        }
        m_fieldIndex[kind] = std::move(index);
        m_unreadableKind[kind].clear();
        return;
    }
    // The columns of a kind this reader does not know: nothing to map.
}

bool RecordingReader::ReadEntry(EntryKind kind, const std::vector<std::string_view>& fields, std::string& reason) {
    const std::vector<int>& index = m_fieldIndex[static_cast<int>(kind)];
    const auto& names = ExpectedColumns()[static_cast<int>(kind)];
    for (const int at : index) {
        if (static_cast<size_t>(at) >= fields.size()) {
            reason = std::to_string(fields.size() - 1) + " fields, expected " + std::to_string(index.size());
            return false;
        }
    }
    size_t next = 0;
    auto field = [&](size_t i) { return fields[static_cast<size_t>(index[i])]; };
    auto integer = [&](int64_t& value) {
        const size_t i = next++;
        if (ToInteger(field(i), value)) return true;
        reason = std::string(names[i]) + " \"" + Shown(field(i)) + "\" is not a whole number";
        return false;
    };
    auto number = [&](double& value) {
        const size_t i = next++;
        if (ToNumber(field(i), value)) return true;
        reason = std::string(names[i]) + " \"" + Shown(field(i)) + "\" is not a number";
        return false;
    };
    auto text = [&](std::string& value) { value = Unescape(field(next++)); };

    Entry entry;
    entry.kind = kind;
    entry.line = m_lineNumber;
    bool ok = true;
    switch (kind) {
    case EntryKind::kStart:
    case EntryKind::kStop:
        ok = integer(entry.trackerUs) && integer(entry.pcUs);
        break;
    case EntryKind::kSample: {
        ok = integer(entry.trackerUs);
        for (EyeValues& eye : entry.eyes) {
            ok = ok && number(eye.x) && number(eye.y) && number(eye.pupil) && integer(eye.validity);
        }
        for (EyeValues& eye : entry.eyes) ok = ok && number(eye.px) && number(eye.py);
        break;
    }
    case EntryKind::kEvent: {
        ok = integer(entry.trackerUs);
        if (ok) {
            const std::string_view what = field(next++);
            if (what != "lost" && what != "found") {
                reason = "kind \"" + Shown(what) + "\" is neither lost nor found";
                return false;
            }
            entry.found = what == "found";
        }
        ok = ok && number(entry.px) && number(entry.py);
        break;
    }
    case EntryKind::kMark:
        ok = integer(entry.trackerUs) && integer(entry.pcUs);
        if (ok) text(entry.text);
        break;
    case EntryKind::kClock:
        ok = integer(entry.pcUs) && integer(entry.trackerUs) && integer(entry.pcAfterUs);
        break;
    case EntryKind::kScreen:
        ok = integer(entry.trackerUs) && integer(entry.width) && integer(entry.height);
        if (ok && (entry.width <= 0 || entry.height <= 0)) {
            reason = "a screen size must be positive";
            return false;
        }
        break;
    case EntryKind::kDropped:
        ok = integer(entry.trackerUs) && integer(entry.count) && integer(entry.total);
        break;
    case EntryKind::kDisconnect:
        ok = integer(entry.trackerUs) && integer(entry.pcUs) && integer(entry.code);
        break;
    case EntryKind::kError:
        ok = integer(entry.pcUs);
        if (ok) text(entry.text);
        break;
    case EntryKind::kEnd:
        ok = integer(entry.trackerUs) && integer(entry.pcUs) && integer(entry.count) && integer(entry.total);
        break;
    }
    if (!ok) return false;
    m_onEntry(entry);
    return true;
}

}  // namespace okulon::recording
