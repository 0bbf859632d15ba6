// The text syntax of SendCommand: splits a command into parameter name and
// value, reads decimal numbers the way the settings expect them, and fits a
// converted host name into the 256-byte host buffer. Everything that needs the
// platform stays out: the ANSI conversion and the stored settings are in
// CommandSettings (command_settings.cpp), the HRESULT and the messages in
// the COM method; this part is platform-free so that it is tested and fuzzed natively.
//
// Threads: stateless; SendCommand calls it on the host's calling thread.
// Ownership: owns nothing. A parsed value is a view into the caller's text and
// lives only as long as that text (the BSTR of the call).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace okulon {

// The tracker host buffer: 255 bytes of text and the terminating NUL.
inline constexpr std::size_t kTrackerHostBufferSize = 256;
inline constexpr std::size_t kTrackerHostMaxBytes = kTrackerHostBufferSize - 1;
// Host, width and height values are cut to this many UTF-16 units before use.
inline constexpr std::size_t kCommandValueMaxUnits = 255;

// The four settings, and the recording's commands (record PATH, record off,
// mark TEXT), which the object hands to its recorder.
enum class CommandParameter { Host, Port, Width, Height, Record, RecordOff, Mark };

enum class CommandOutcome {
    NoParameters,   // null or empty text
    NotRecognized,  // unknown name, or a known name without the separating space
    Recognized,     // parameter and value are set
};

struct ParsedCommand {
    CommandOutcome outcome = CommandOutcome::NoParameters;
    CommandParameter parameter = CommandParameter::Host;  // meaningful only when Recognized
    // View into the caller's text. Host, width and height values are already
    // cut to kCommandValueMaxUnits (a host value one unit shorter where the cut
    // would split a surrogate pair); port, record and mark values are whole.
    std::u16string_view value;
};

// Splits a command text at its first U+0020. The text ends at its first NUL;
// a null pointer counts as an empty text. Never allocates.
ParsedCommand ParseCommand(const char16_t* text) noexcept;
ParsedCommand ParseCommand(std::u16string_view text) noexcept;
// The value would point into a string that dies with the call's full expression.
ParsedCommand ParseCommand(std::u16string&& text) = delete;

// Decimal integer reading as the C runtime's atoi family does it: skips leading
// white space (U+0020 and U+0009 to U+000D only: space, \t \n \v \f \r), takes
// one optional '+' or '-', then ASCII digits up to the first non-digit. No digits
// give 0; values outside int32 saturate to INT32_MAX or INT32_MIN. Any length of
// input is read without overflow.
int32_t ReadDecimalInt32(std::u16string_view text) noexcept;
// Same rules on 8-bit text (the port after its ANSI conversion). Bytes of 0x80
// and above are never white space, signs or digits, so a trail byte of a
// double-byte character cannot be mistaken for one.
int32_t ReadDecimalInt32(std::string_view text) noexcept;

// Length of the longest prefix of `converted` that fits kTrackerHostMaxBytes and
// ends on a character boundary. `characterLength(byte)` gives the byte length of
// a character that starts with `byte` (1 for a single byte, 2 for a lead byte
// of a double-byte code page). A character that would cross the limit, or that
// the text ends inside of, is dropped whole.
template <typename CharacterLength>
std::size_t FitTrackerHostLength(std::string_view converted, CharacterLength characterLength) {
    std::size_t fitted = 0;
    while (fitted < converted.size()) {
        std::size_t length = characterLength(static_cast<unsigned char>(converted[fitted]));
        if (length == 0) {
            length = 1;  // a broken length function must not stall the walk
        }
        if (length > kTrackerHostMaxBytes - fitted || length > converted.size() - fitted) {
            break;
        }
        fitted += length;
    }
    return fitted;
}

// Byte length of a character that starts with `lead` in UTF-8, which is the
// thread's ANSI code page on systems set to use UTF-8 for it. Stray
// continuation bytes and invalid leads count as one byte each.
std::size_t Utf8CharacterLength(unsigned char lead) noexcept;

// Copies the fitting prefix of `converted` and a NUL into `buffer`, which holds
// kTrackerHostBufferSize bytes. Returns the number of text bytes stored.
template <typename CharacterLength>
std::size_t StoreTrackerHost(std::string_view converted, CharacterLength characterLength,
                             char (&buffer)[kTrackerHostBufferSize]) {
    const std::size_t length = FitTrackerHostLength(converted, characterLength);
    for (std::size_t i = 0; i < length; ++i) {
        buffer[i] = converted[i];
    }
    buffer[length] = '\0';
    return length;
}

}  // namespace okulon
