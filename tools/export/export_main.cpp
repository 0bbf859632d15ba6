// okulon_export: one recording (SendCommand "record PATH") into a BIDS
// eye-tracking dataset, for researchers and for the host program after a
// session. Says plainly what it wrote and what of the recording was damaged.
//   okulon_export --recording FILE --dataset DIR --subject LABEL --task LABEL [...]
// Exits 0 when it exported (warnings included), 1 when it could not, 2 on a
// usage error.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/command_line/command_line.h"
#include "tools/export/bids_export.h"

namespace {

constexpr int kExitExported = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct Options {
    okulon::bids::ExportOptions exportOptions;
    bool help = false;
    bool version = false;
};

void PrintUsage() {
    std::printf(
        "usage: okulon_export --recording FILE --dataset DIR --subject LABEL --task LABEL\n"
        "                     [--session LABEL] [--run N] [--first-eye left|right]\n"
        "                     [--screen-width-m M --screen-height-m M] [--screen-distance-m M]\n"
        "Turns one Okulon recording into BIDS eye-tracking data (BIDS 1.11, physio files with\n"
        "PhysioType \"eyetrack\") in the dataset folder DIR, made if missing:\n"
        "  sub-<subject>/[ses-<session>/]beh/sub-<subject>[_ses-<session>]_task-<task>[_run-<N>]\n"
        "    _recording-eye1_physio.tsv.gz and .json        left eye\n"
        "    _recording-eye2_physio.tsv.gz and .json        right eye\n"
        "    _recording-eye1|2_physioevents.tsv.gz and .json  marks and the recording's events\n"
        "and, where the dataset lacks them, dataset_description.json, README and .bidsignore.\n"
        "Existing files are never overwritten.\n"
        "  --recording FILE     the recording (SendCommand \"record FILE\")\n"
        "  --dataset DIR        the BIDS dataset's folder; more recordings may go into the same one\n"
        "  --subject LABEL      participant label, letters and digits (sub-LABEL)\n"
        "  --task LABEL         task label, letters and digits (task-LABEL)\n"
        "  --session LABEL      session label (ses-LABEL), none by default\n"
        "  --run N              run index 1..9999 (run-N), none by default\n"
        "  --first-eye left|right\n"
        "                       which eye the recording's first eye block is (default left). The\n"
        "                       recording does not say; your tracker's manual tells which eye it\n"
        "                       reports first. right swaps the two files' eyes.\n"
        "  --screen-width-m M, --screen-height-m M\n"
        "                       the screen's visible size in metres (StimulusPresentation ScreenSize)\n"
        "  --screen-distance-m M\n"
        "                       eyes to screen in metres (StimulusPresentation ScreenDistance)\n"
        "  --help, --version\n"
        "Gaze goes out in screen pixels, origin at the top-left corner, y downwards; times in\n"
        "microseconds on the tracker's clock. A damaged recording (cut off, unreadable lines)\n"
        "is exported as far as it can be read, and the damage is listed.\n"
        "Options take \"--name value\" or \"--name=value\".\n"
        "Exit code: 0 exported (warnings may be listed), 1 could not export, 2 bad arguments.\n");
}

bool ParseOptions(int argc, char** argv, Options& options, std::string& error) {
    using okulon::cli::ValueKind;
    std::vector<okulon::cli::Argument<char>> arguments;
    const auto kindOf = [](const std::string& name, ValueKind& kind) {
        kind = ValueKind::kNone;
        if (name == "help" || name == "version") return true;
        kind = ValueKind::kRequired;
        for (const char* known : {"recording", "dataset", "subject", "session", "task", "run", "first-eye",
                                  "screen-width-m", "screen-height-m", "screen-distance-m"}) {
            if (name == known) return true;
        }
        return false;
    };
    if (!okulon::cli::SplitArguments<char>(argc, argv, kindOf, arguments, error)) return false;
    okulon::bids::ExportOptions& out = options.exportOptions;
    for (const auto& argument : arguments) {
        const std::string shown = "--" + argument.name + " " + okulon::cli::Printable(argument.value);
        const std::string& value = argument.value;
        if (argument.name == "help") {
            options.help = true;
        } else if (argument.name == "version") {
            options.version = true;
        } else if (argument.name == "recording" || argument.name == "dataset") {
            if (value.empty()) return error = "--" + argument.name + " needs a path", false;
            (argument.name == "recording" ? out.recording : out.dataset) = value;
        } else if (argument.name == "subject" || argument.name == "session" || argument.name == "task") {
            if (!okulon::bids::IsLabel(value))
                return error = shown + ": expected a label of letters and digits only", false;
            (argument.name == "subject" ? out.subject : argument.name == "session" ? out.session : out.task) = value;
        } else if (argument.name == "run") {
            long long run = 0;
            if (!okulon::cli::ToInteger(value, 1, 9999, run))
                return error = shown + ": expected a run index from 1 to 9999", false;
            out.run = run;
        } else if (argument.name == "first-eye") {
            if (value != "left" && value != "right") return error = shown + ": expected left or right", false;
            out.firstEyeIsLeft = value == "left";
        } else {
            double metres = 0;
            if (!okulon::cli::ToNumber(value, 0.01, 100.0, metres))
                return error = shown + ": expected metres from 0.01 to 100", false;
            (argument.name == "screen-width-m"    ? out.screenWidthM
             : argument.name == "screen-height-m" ? out.screenHeightM
                                                  : out.screenDistanceM) = metres;
        }
    }
    if (options.help || options.version) return true;
    for (const auto& [name, value] : {std::pair<const char*, const std::string*>{"recording", &out.recording},
                                      {"dataset", &out.dataset},
                                      {"subject", &out.subject},
                                      {"task", &out.task}}) {
        if (value->empty()) return error = std::string("--") + name + " is required", false;
    }
    if ((out.screenWidthM > 0) != (out.screenHeightM > 0))
        return error = "--screen-width-m and --screen-height-m go together", false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!ParseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "okulon_export: %s\nRun \"okulon_export --help\" for its options.\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        PrintUsage();
        return kExitExported;
    }
    if (options.version) {
        std::printf("okulon_export %s\n", OKULON_VERSION_TEXT);
        return kExitExported;
    }
    options.exportOptions.exporterVersion = OKULON_VERSION_TEXT;
    const okulon::bids::ExportOutcome outcome = okulon::bids::ExportRecording(options.exportOptions);
    for (const std::string& warning : outcome.warnings) std::printf("WARNING: %s\n", warning.c_str());
    if (!outcome.ok) {
        std::printf("okulon_export: FAILED, nothing exported: %s\n", outcome.error.c_str());
        return kExitFailed;
    }
    std::printf("okulon_export: %llu samples in %llu %s of tracking at %g Hz, %llu events, into %s:\n",
                static_cast<unsigned long long>(outcome.samples), static_cast<unsigned long long>(outcome.segments),
                outcome.segments == 1 ? "stretch" : "stretches", outcome.samplingFrequency,
                static_cast<unsigned long long>(outcome.events), options.exportOptions.dataset.c_str());
    for (const std::string& file : outcome.written) std::printf("  %s\n", file.c_str());
    std::printf("left eye: the recording's %s eye (--first-eye)\n",
                options.exportOptions.firstEyeIsLeft ? "first" : "second");
    return kExitExported;
}
