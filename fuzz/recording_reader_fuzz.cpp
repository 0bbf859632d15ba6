// Arbitrary bytes through the recording reader, whole and split in two at a
// point the input chooses, checked against what the reader promises: the
// same entries and report either way, lines counted by their line breaks, a
// cut exactly when the input does not end in one, entries in line order and
// none from a file that is no recording; and escaping undone by Unescape.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/export/recording_reader.h"

namespace {

using okulon::recording::Entry;
using okulon::recording::ReadReport;
using okulon::recording::RecordingReader;

void Check(bool condition) {
    if (!condition) std::abort();
}

struct Run {
    std::vector<Entry> entries;
    ReadReport report;
};

Run Read(std::string_view text, size_t split) {
    Run run;
    RecordingReader reader([&](const Entry& entry) { run.entries.push_back(entry); });
    reader.Feed(text.substr(0, split));
    reader.Feed(text.substr(split));
    reader.Finish();
    run.report = reader.Report();
    return run;
}

bool SameEntry(const Entry& a, const Entry& b) {
    return a.kind == b.kind && a.line == b.line && a.trackerUs == b.trackerUs && a.pcUs == b.pcUs &&
           a.pcAfterUs == b.pcAfterUs && a.text == b.text && a.width == b.width && a.height == b.height &&
           a.count == b.count && a.total == b.total && a.code == b.code && a.found == b.found;
}

std::string Escape(std::string_view text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\t') {
            escaped += "\\t";
        } else if (c == '\n') {
            escaped += "\\n";
        } else if (c == '\r') {
            escaped += "\\r";
        } else if (c == '\\') {
            escaped += "\\\\";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const size_t split = size == 0 ? 0 : data[0] % (size + 1);
    const Run whole = Read(text, size);
    const Run pieces = Read(text, split);

    Check(whole.entries.size() == pieces.entries.size());
    for (size_t i = 0; i < whole.entries.size(); ++i) Check(SameEntry(whole.entries[i], pieces.entries[i]));
    Check(whole.report.malformed == pieces.report.malformed);
    Check(whole.report.unknownKinds == pieces.report.unknownKinds);

    size_t breaks = 0;
    for (const char c : text) breaks += c == '\n';
    const ReadReport& report = whole.report;
    Check(report.lines == breaks);
    Check(report.cut == (size > 0 && text.back() != '\n'));
    if (report.cut) Check(report.cutLine == breaks + 1);
    Check(report.problems.size() <= ReadReport::kMaxProblems && report.problems.size() <= report.malformed);
    if (report.notARecording) Check(whole.entries.empty());
    uint64_t previous = 1;  // the first line is never an entry
    for (const Entry& entry : whole.entries) {
        Check(entry.line > previous && entry.line <= report.lines);
        previous = entry.line;
    }

    Check(okulon::recording::Unescape(Escape(text)) == text);
    return 0;
}
