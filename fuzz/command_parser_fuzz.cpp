// Arbitrary UTF-16LE command texts through the parser, the number reading and
// the host-name fitting, checked against references written independently of
// the product code.
#include "commands/command_parser.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace {

using okulon::CommandOutcome;
using okulon::CommandParameter;
using okulon::ParsedCommand;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Reads the digits as text, strips leading zeros and decides saturation by
// digit count before any arithmetic, so it shares no overflow logic with the
// product's accumulation.
template <typename CharT>
int32_t ReferenceDecimal(std::basic_string_view<CharT> text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == CharT(' ') || (text[i] >= CharT(9) && text[i] <= CharT(13)))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == CharT('-') || text[i] == CharT('+'))) {
        negative = text[i] == CharT('-');
        ++i;
    }
    std::string digits;
    while (i < text.size() && text[i] >= CharT('0') && text[i] <= CharT('9')) {
        if (!(digits.empty() && text[i] == CharT('0'))) {
            digits.push_back(static_cast<char>('0' + (text[i] - CharT('0'))));
        }
        ++i;
    }
    if (digits.size() > 10) {
        return negative ? INT32_MIN : INT32_MAX;
    }
    int64_t value = 0;
    for (char digit : digits) {
        value = value * 10 + (digit - '0');
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

std::size_t DoubleByteLength(unsigned char byte) {
    return ((byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC)) ? 2 : 1;
}

// Checks that `fitted` is reached by whole characters from the start, fits the
// buffer, and that the next character (if any) could not have been added.
template <typename CharacterLength>
void CheckFitted(std::string_view converted, std::size_t fitted, CharacterLength characterLength) {
    Check(fitted <= okulon::kTrackerHostMaxBytes);
    Check(fitted <= converted.size());
    std::size_t position = 0;
    while (position < fitted) {
        position += characterLength(static_cast<unsigned char>(converted[position]));
    }
    Check(position == fitted);
    if (fitted < converted.size()) {
        const std::size_t next = characterLength(static_cast<unsigned char>(converted[fitted]));
        Check(fitted + next > okulon::kTrackerHostMaxBytes || fitted + next > converted.size());
    }

    // Exactly 256 heap bytes so that an overrun is caught.
    const std::unique_ptr<char[][okulon::kTrackerHostBufferSize]> owner(new char[1][okulon::kTrackerHostBufferSize]);
    char(&buffer)[okulon::kTrackerHostBufferSize] = owner[0];
    Check(okulon::StoreTrackerHost(converted, characterLength, buffer) == fitted);
    Check(buffer[fitted] == '\0');
    Check(std::memcmp(buffer, converted.data(), fitted) == 0);
}

void CheckParse(std::u16string_view whole, const ParsedCommand& parsed) {
    const std::u16string_view text = whole.substr(0, whole.find(u'\0'));
    switch (parsed.outcome) {
    case CommandOutcome::NoParameters:
        Check(text.empty());
        return;
    case CommandOutcome::NotRecognized: {
        Check(!text.empty());
        const std::size_t space = text.find(u' ');
        if (space != std::u16string_view::npos) {
            const std::u16string_view name = text.substr(0, space);
            Check(name != u"host" && name != u"port" && name != u"width" && name != u"height");
        }
        return;
    }
    case CommandOutcome::Recognized:
        break;
    default:
        Check(false);
    }

    // The value must be a view into the text, right after "<name> ".
    const char16_t* name = nullptr;
    switch (parsed.parameter) {
    case CommandParameter::Host:
        name = u"host";
        break;
    case CommandParameter::Port:
        name = u"port";
        break;
    case CommandParameter::Width:
        name = u"width";
        break;
    case CommandParameter::Height:
        name = u"height";
        break;
    default:
        Check(false);
    }
    const std::u16string prefix = std::u16string(name) + u' ';
    Check(text.substr(0, prefix.size()) == prefix);
    Check(parsed.value.data() == text.data() + prefix.size());
    const std::u16string_view fullValue = text.substr(prefix.size());
    if (parsed.parameter == CommandParameter::Port) {
        Check(parsed.value.size() == fullValue.size());
    } else if (parsed.parameter == CommandParameter::Host) {
        Check(parsed.value.size() <= okulon::kCommandValueMaxUnits);
        const std::size_t expected = std::min(fullValue.size(), okulon::kCommandValueMaxUnits);
        // One unit shorter only to keep a surrogate pair whole.
        if (parsed.value.size() != expected) {
            Check(parsed.value.size() + 1 == expected && expected == okulon::kCommandValueMaxUnits);
            Check(fullValue[expected - 1] >= 0xD800 && fullValue[expected - 1] <= 0xDBFF);
            Check(fullValue[expected] >= 0xDC00 && fullValue[expected] <= 0xDFFF);
        }
    } else {
        Check(parsed.value.size() == std::min(fullValue.size(), okulon::kCommandValueMaxUnits));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
    }
    const std::u16string_view whole(units);

    const ParsedCommand fromView = okulon::ParseCommand(whole);
    CheckParse(whole, fromView);
    const ParsedCommand fromPointer = okulon::ParseCommand(units.c_str());
    Check(fromPointer.outcome == fromView.outcome);
    Check(fromPointer.value == fromView.value);
    if (fromView.outcome == CommandOutcome::Recognized) {
        Check(fromPointer.parameter == fromView.parameter);
    }

    // Number reading on the raw units, on the parsed value, and on bytes.
    Check(okulon::ReadDecimalInt32(whole) == ReferenceDecimal(whole));
    Check(okulon::ReadDecimalInt32(fromView.value) == ReferenceDecimal(fromView.value));
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Check(okulon::ReadDecimalInt32(bytes) == ReferenceDecimal(bytes));

    // The raw bytes stand in for a converted host name.
    CheckFitted(bytes, okulon::FitTrackerHostLength(bytes, DoubleByteLength), DoubleByteLength);
    CheckFitted(bytes, okulon::FitTrackerHostLength(bytes, okulon::Utf8CharacterLength), okulon::Utf8CharacterLength);
    return 0;
}
