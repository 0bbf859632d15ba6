#include "commands/command_parser.h"

namespace okulon {

namespace {

constexpr char16_t kSeparator = u' ';

// The C runtime's "C" locale white space; anything else, including U+00A0 and
// the Unicode spaces, ends the skip and then counts as a non-digit.
constexpr bool IsNumberWhiteSpace(char32_t unit) noexcept { return unit == U' ' || (unit >= U'\t' && unit <= U'\r'); }

constexpr bool IsHighSurrogate(char16_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }

constexpr bool IsLowSurrogate(char16_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }

std::u16string_view CutValue(std::u16string_view value) noexcept { return value.substr(0, kCommandValueMaxUnits); }

// A host value cut between the halves of a surrogate pair would turn into the
// code page's default character at its end; drop the lone half instead.
std::u16string_view CutHostValue(std::u16string_view value) noexcept {
    if (value.size() > kCommandValueMaxUnits && IsHighSurrogate(value[kCommandValueMaxUnits - 1]) &&
        IsLowSurrogate(value[kCommandValueMaxUnits])) {
        return value.substr(0, kCommandValueMaxUnits - 1);
    }
    return CutValue(value);
}

template <typename CharT>
int32_t ReadDecimal(std::basic_string_view<CharT> text) noexcept {
    // One more than INT32_MAX: the magnitude of INT32_MIN. Accumulation stops
    // growing there, so arbitrarily long digit runs cannot overflow.
    constexpr int64_t kMagnitudeCap = int64_t{INT32_MAX} + 1;

    std::size_t i = 0;
    while (i < text.size() && IsNumberWhiteSpace(static_cast<char32_t>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == CharT('+') || text[i] == CharT('-'))) {
        negative = text[i] == CharT('-');
        ++i;
    }
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= CharT('0') && text[i] <= CharT('9'); ++i) {
        magnitude = magnitude * 10 + (text[i] - CharT('0'));
        if (magnitude > kMagnitudeCap) {
            magnitude = kMagnitudeCap;
        }
    }
    if (negative) {
        return static_cast<int32_t>(-magnitude);  // -kMagnitudeCap is INT32_MIN
    }
    return magnitude > INT32_MAX ? INT32_MAX : static_cast<int32_t>(magnitude);
}

}  // namespace

ParsedCommand ParseCommand(const char16_t* text) noexcept {
    if (text == nullptr) {
        return ParsedCommand{};
    }
    return ParseCommand(std::u16string_view(text));
}

ParsedCommand ParseCommand(std::u16string_view text) noexcept {
    text = text.substr(0, text.find(u'\0'));
    ParsedCommand parsed;
    if (text.empty()) {
        parsed.outcome = CommandOutcome::NoParameters;
        return parsed;
    }
    parsed.outcome = CommandOutcome::NotRecognized;
    const std::size_t separator = text.find(kSeparator);
    if (separator == std::u16string_view::npos) {
        // A known name alone has no value and is not a command either.
        return parsed;
    }
    const std::u16string_view name = text.substr(0, separator);
    const std::u16string_view value = text.substr(separator + 1);
    if (name == u"host") {
        parsed.parameter = CommandParameter::Host;
        parsed.value = CutHostValue(value);
    } else if (name == u"port") {
        parsed.parameter = CommandParameter::Port;
        parsed.value = value;
    } else if (name == u"width") {
        parsed.parameter = CommandParameter::Width;
        parsed.value = CutValue(value);
    } else if (name == u"height") {
        parsed.parameter = CommandParameter::Height;
        parsed.value = CutValue(value);
    } else if (name == u"record") {
        // A path or "off", whole: a path cut short would name another file.
        parsed.parameter = value == u"off" ? CommandParameter::RecordOff : CommandParameter::Record;
        parsed.value = value;
    } else if (name == u"mark") {
        parsed.parameter = CommandParameter::Mark;
        parsed.value = value;
    } else {
        return parsed;
    }
    parsed.outcome = CommandOutcome::Recognized;
    return parsed;
}

int32_t ReadDecimalInt32(std::u16string_view text) noexcept { return ReadDecimal(text); }

int32_t ReadDecimalInt32(std::string_view text) noexcept { return ReadDecimal(text); }

std::size_t Utf8CharacterLength(unsigned char lead) noexcept {
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 1;
}

}  // namespace okulon
