// Reads a recording file (docs/user-guide.md, "The recording file") entry by
// entry, from bytes fed in any pieces: a whole file, a stream's chunks or a
// fuzzer's input. Each complete line becomes one Entry handed to the caller;
// the header lines fill RecordingHeader. A line that cannot be read is
// skipped, counted and named by its number, and reading goes on, so a
// damaged recording still yields everything around the damage. Unknown entry
// kinds are skipped and counted (a later format may add kinds); a columns
// line may reorder or add a kind's fields, which are then found by name.
// The input's last line without a line break is a cut file's incomplete
// line: Finish() reports it and ignores it. Platform-free; one thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace okulon::recording {

enum class EntryKind { kStart, kStop, kSample, kEvent, kMark, kClock, kScreen, kDropped, kDisconnect, kError, kEnd };

constexpr int kKindCount = 11;

// The entry's name in the file ("sample").
const char* KindName(EntryKind kind);

struct EyeValues {
    double x = 0;  // fraction of the screen, 0 = left edge
    double y = 0;  // fraction of the screen, 0 = top edge
    double pupil = 0;
    int64_t validity = 0;  // 0 usable, 4 lost, anything else unusable
    double px = 0;         // host frame: pixels from the centre, y up
    double py = 0;
};

// One entry; which fields mean something depends on the kind (the guide's
// table). For `clock`, pcUs is the reading before and pcAfterUs the one
// after; for `end`, count is the samples and total the dropped records.
struct Entry {
    EntryKind kind = EntryKind::kStart;
    uint64_t line = 0;
    int64_t trackerUs = 0;
    int64_t pcUs = 0;
    int64_t pcAfterUs = 0;
    std::array<EyeValues, 2> eyes{};  // sample: first eye, second eye
    bool found = false;               // event: both eyes usable again (else lost)
    double px = 0, py = 0;            // event
    std::string text;                 // mark, error: unescaped
    int64_t width = 0, height = 0;    // screen
    int64_t count = 0, total = 0;     // dropped; end
    int64_t code = 0;                 // disconnect
};

struct RecordingHeader {
    int64_t formatVersion = 0;  // 0 until the first line was read
    std::string component;
    std::string trackerHost;
    int64_t trackerPort = 0;
    int64_t screenWidth = 0, screenHeight = 0;
    bool hasStart = false;
    int64_t startTrackerUs = 0, startPcUs = 0;
    std::string startUtc;
    std::string pcClock;
    std::string pixels;
};

// What went wrong, for the reader's user to say.
struct ReadReport {
    uint64_t lines = 0;          // complete lines read
    bool notARecording = false;  // the first line is not "okulon-recording<TAB>N": nothing else is read
    bool cut = false;            // the input ended inside a line, which was ignored
    uint64_t cutLine = 0;        // that line's number
    uint64_t malformed = 0;      // lines skipped as unreadable
    struct Problem {
        uint64_t line;
        std::string reason;
    };
    std::vector<Problem> problems;                 // the first kMaxProblems of them
    std::map<std::string, uint64_t> unknownKinds;  // skipped entries by name
    static constexpr size_t kMaxProblems = 20;
};

// Turns "\t", "\n", "\r" and "\\" back into their characters; any other
// backslash stays as written.
std::string Unescape(std::string_view text);

class RecordingReader {
public:
    using EntryHandler = std::function<void(const Entry&)>;

    explicit RecordingReader(EntryHandler onEntry);

    void Feed(std::string_view bytes);
    // The end of the input: a pending incomplete line is the cut, ignored.
    void Finish();

    const RecordingHeader& Header() const { return m_header; }
    const ReadReport& Report() const { return m_report; }

private:
    void ReadLine(std::string_view line);
    void ReadFirstLine(const std::vector<std::string_view>& fields);
    void ReadHeader(const std::vector<std::string_view>& fields);
    void ReadColumns(const std::vector<std::string_view>& fields);
    bool ReadEntry(EntryKind kind, const std::vector<std::string_view>& fields, std::string& reason);
    void Malformed(std::string reason);

    EntryHandler m_onEntry;
    RecordingHeader m_header;
    ReadReport m_report;
    std::string m_pending;  // the incomplete line so far
    uint64_t m_lineNumber = 0;
    // Per kind, where each expected column is among a line's fields (0 is
    // the entry's name): in order by default, as a columns line says after it.
    std::array<std::vector<int>, kKindCount> m_fieldIndex;
    std::array<std::string, kKindCount> m_unreadableKind;  // why a kind's columns line cannot be used
};

}  // namespace okulon::recording
