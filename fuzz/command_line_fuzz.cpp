// Arbitrary argument vectors (the input split at NUL bytes) through the
// programs' command-line splitter, and each word through the number readers,
// checked against what the splitter and readers promise.
#include "tools/command_line/command_line.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using okulon::cli::Argument;
using okulon::cli::ValueKind;

void Check(bool condition) {
    if (!condition) std::abort();
}

bool KindOf(const std::string& name, ValueKind& kind) {
    if (name == "port" || name == "seconds") {
        kind = ValueKind::kRequired;
    } else if (name == "mouse") {
        kind = ValueKind::kOptional;
    } else if (name == "help") {
        kind = ValueKind::kNone;
    } else {
        return false;
    }
    return true;
}

// Digits with an optional sign, decided without strtoll: in [low, high]?
bool ReferenceInteger(const std::string& text, long long low, long long high, long long& value) {
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    if (at == text.size()) return false;
    long long magnitude = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') return false;
        magnitude = magnitude * 10 + (text[at] - '0');
        if (magnitude > 1000000) return false;  // far beyond every range used here
    }
    value = negative ? -magnitude : magnitude;
    return value >= low && value <= high;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> words{"program"};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.push_back(word);
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    words.push_back(word);
    std::vector<const char*> argv;
    for (const std::string& w : words) argv.push_back(w.c_str());

    std::vector<Argument<char>> arguments;
    std::string error;
    const bool split =
        okulon::cli::SplitArguments<char>(static_cast<int>(argv.size()), argv.data(), KindOf, arguments, error);
    Check(split == error.empty());
    Check(arguments.size() <= words.size() - 1);
    for (const auto& argument : arguments) {
        ValueKind kind;
        Check(KindOf(argument.name, kind));
        if (kind == ValueKind::kNone) Check(!argument.hasValue);
        if (kind == ValueKind::kRequired) Check(argument.hasValue);
    }

    for (size_t i = 1; i < words.size(); ++i) {
        long long integer = -7, reference = 0;
        const bool parsed = okulon::cli::ToInteger(words[i], 1, 65535, integer);
        Check(parsed == ReferenceInteger(words[i], 1, 65535, reference));
        Check(parsed ? integer == reference : integer == -7);
        double number = -7;
        if (okulon::cli::ToNumber(words[i], 0.0, 60.0, number)) {
            Check(std::isfinite(number) && number >= 0.0 && number <= 60.0);
        } else {
            Check(number == -7);
        }
    }
    return 0;
}
