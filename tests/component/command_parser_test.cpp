#include "commands/command_parser.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace okulon {
namespace {

std::u16string Repeat(char16_t unit, std::size_t count) { return std::u16string(count, unit); }

// Test texts are ASCII, so narrowing stands in for the ANSI conversion the
// COM method does before it reads a port.
std::string Narrow(std::u16string_view text) {
    std::string narrow;
    for (char16_t unit : text) {
        EXPECT_LT(unit, 0x80) << "test texts for the port must be ASCII";
        narrow.push_back(static_cast<char>(unit));
    }
    return narrow;
}

const char* Describe(CommandOutcome outcome) {
    switch (outcome) {
    case CommandOutcome::NoParameters:
        return "NoParameters";
    case CommandOutcome::NotRecognized:
        return "NotRecognized";
    case CommandOutcome::Recognized:
        return "Recognized";
    }
    return "?";
}

TEST(CommandParser, NullAndEmptyTextsHaveNoParameters) {
    EXPECT_EQ(ParseCommand(static_cast<const char16_t*>(nullptr)).outcome, CommandOutcome::NoParameters);
    EXPECT_EQ(ParseCommand(u"").outcome, CommandOutcome::NoParameters);
    EXPECT_EQ(ParseCommand(std::u16string_view()).outcome, CommandOutcome::NoParameters);
    // The text ends at its first NUL even when more follows it.
    EXPECT_EQ(ParseCommand(std::u16string_view(u"\0port 44", 8)).outcome, CommandOutcome::NoParameters);
}

struct RejectedCase {
    const char* behaviour;
    std::u16string text;
};

TEST(CommandParser, RejectsTextsThatAreNotOneOfTheFourNamesFollowedByASpace) {
    const std::vector<RejectedCase> cases = {
        {"known name without the separating space", u"height"},
        {"known name without space, port", u"port"},
        {"capitalised name", u"Width 1280"},
        {"upper-case name", u"WIDTH 1280"},
        {"tab instead of space", u"width\t1280"},
        {"no-break space instead of space", u"port\u00A04455"},
        {"leading space makes the name empty", u" width 1280"},
        {"name with trailing tab", u"host\t localhost"},
        {"longer name sharing a prefix", u"hosts localhost"},
        {"shorter name sharing a prefix", u"hos localhost"},
        {"unknown name", u"depth 12"},
        {"single space", u" "},
        {"known name after the NUL only", std::u16string(u"x\0port 1", 8)},
        {"known name cut by a NUL before its space", std::u16string(u"port\0 1", 7)},
    };
    for (const RejectedCase& c : cases) {
        SCOPED_TRACE(c.behaviour);
        const ParsedCommand parsed = ParseCommand(std::u16string_view(c.text));
        EXPECT_EQ(parsed.outcome, CommandOutcome::NotRecognized) << Describe(parsed.outcome);
        // The pointer form stops at the same NUL.
        EXPECT_EQ(ParseCommand(c.text.c_str()).outcome, CommandOutcome::NotRecognized);
    }
}

struct AcceptedCase {
    const char* behaviour;
    std::u16string text;
    CommandParameter parameter;
    std::u16string value;
};

TEST(CommandParser, SplitsAtTheFirstSpaceAndKeepsTheRestAsTheValue) {
    const std::u16string longHost = Repeat(u'h', 300);
    const std::u16string manySpaces = Repeat(u' ', 300);
    const std::vector<AcceptedCase> cases = {
        {"plain host", u"host localhost", CommandParameter::Host, u"localhost"},
        {"empty host value", u"host ", CommandParameter::Host, u""},
        {"second space stays in the host", u"host  tracker", CommandParameter::Host, u" tracker"},
        {"trailing spaces stay in the host", u"host tracker  ", CommandParameter::Host, u"tracker  "},
        {"a second pair belongs to the host value", u"host a port 4455", CommandParameter::Host, u"a port 4455"},
        {"long host cut to 255 units", u"host " + longHost, CommandParameter::Host, longHost.substr(0, 255)},
        {"port", u"port 4455", CommandParameter::Port, u"4455"},
        {"empty port value", u"port ", CommandParameter::Port, u""},
        {"port value is never cut", u"port " + manySpaces + u"7", CommandParameter::Port, manySpaces + u"7"},
        {"width", u"width 1280", CommandParameter::Width, u"1280"},
        {"a second pair belongs to the width value", u"width 1280 height 1024", CommandParameter::Width,
         u"1280 height 1024"},
        {"height", u"height 1024", CommandParameter::Height, u"1024"},
        {"width value cut to 255 units", u"width " + manySpaces + u"7", CommandParameter::Width,
         manySpaces.substr(0, 255)},
        {"value ends at the NUL",
         std::u16string(u"port 44\0"
                        u"55",
                        10),
         CommandParameter::Port, u"44"},
        {"tab inside the value is kept", u"height \t9", CommandParameter::Height, u"\t9"},
    };
    for (const AcceptedCase& c : cases) {
        SCOPED_TRACE(c.behaviour);
        for (const ParsedCommand& parsed : {ParseCommand(std::u16string_view(c.text)), ParseCommand(c.text.c_str())}) {
            ASSERT_EQ(parsed.outcome, CommandOutcome::Recognized) << Describe(parsed.outcome);
            EXPECT_EQ(parsed.parameter, c.parameter);
            EXPECT_EQ(parsed.value, c.value);
        }
    }
}

TEST(CommandParser, HostCutDoesNotSplitASurrogatePair) {
    // 254 letters, then U+1F600 as a pair at units 254 and 255.
    const std::u16string pairAcrossCut = Repeat(u'a', 254) + u"\U0001F600" + u"tail";
    const std::u16string acrossText = u"host " + pairAcrossCut;
    const ParsedCommand parsed = ParseCommand(acrossText);
    ASSERT_EQ(parsed.outcome, CommandOutcome::Recognized);
    EXPECT_EQ(parsed.value, pairAcrossCut.substr(0, 254));

    // A pair that ends exactly at the cut is kept whole.
    const std::u16string pairBeforeCut = Repeat(u'a', 253) + u"\U0001F600" + u"tail";
    const std::u16string beforeText = u"host " + pairBeforeCut;
    EXPECT_EQ(ParseCommand(beforeText).value, pairBeforeCut.substr(0, 255));

    // A lone high surrogate at the cut is no pair to keep whole: the plain cut holds.
    const std::u16string loneHigh = Repeat(u'a', 254) + u'\xD83D' + u"tail";
    const std::u16string loneText = u"host " + loneHigh;
    EXPECT_EQ(ParseCommand(loneText).value, loneHigh.substr(0, 255));
}

// What SendCommand stores for a numeric parameter, with the ANSI conversion of
// the port stood in for by narrowing ASCII.
int32_t StoredNumber(const std::u16string& text) {
    const ParsedCommand parsed = ParseCommand(std::u16string_view(text));
    EXPECT_EQ(parsed.outcome, CommandOutcome::Recognized);
    if (parsed.parameter == CommandParameter::Port) {
        return ReadDecimalInt32(std::string_view(Narrow(parsed.value)));
    }
    EXPECT_NE(parsed.parameter, CommandParameter::Host);
    return ReadDecimalInt32(parsed.value);
}

struct NumberCommandCase {
    const char* behaviour;
    std::u16string text;
    int32_t stored;
};

TEST(CommandParser, NumericSettingsStoreWhatTheDecimalReadingGives) {
    const std::vector<NumberCommandCase> cases = {
        {"port", u"port 4455", 4455},
        {"port with trailing junk", u"port 12ab", 12},
        {"port without digits", u"port abc", 0},
        {"empty port", u"port ", 0},
        {"negative port", u"port -1", -1},
        {"port of eleven nines saturates", u"port 99999999999", INT32_MAX},
        {"port after 300 spaces is read", u"port " + Repeat(u' ', 300) + u"8080", 8080},
        {"width", u"width 1280", 1280},
        {"width followed by a height pair", u"width 1280 height 1024", 1280},
        {"width after two spaces", u"width  800", 800},
        {"width whose first 255 units are spaces", u"width " + Repeat(u' ', 255) + u"1280", 0},
        {"width with 254 spaces before a digit", u"width " + Repeat(u' ', 254) + u"1280", 1},
        {"height", u"height 1024", 1024},
        {"zero height", u"height 0", 0},
        {"negative height", u"height -768", -768},
    };
    for (const NumberCommandCase& c : cases) {
        SCOPED_TRACE(c.behaviour);
        EXPECT_EQ(StoredNumber(c.text), c.stored);
    }
}

struct NumberCase {
    const char* behaviour;
    std::string text;  // ASCII; read both as UTF-16 and as 8-bit text
    int32_t value;
};

TEST(ReadDecimalInt32, ReadsSignAndDigitsAndSaturatesAtTheInt32Bounds) {
    const std::vector<NumberCase> cases = {
        {"empty", "", 0},
        {"zero", "0", 0},
        {"negative zero", "-0", 0},
        {"sign alone", "+", 0},
        {"minus alone", "-", 0},
        {"explicit plus", "+7", 7},
        {"white space, sign, digits, junk", "  -12x", -12},
        {"every C white space is skipped", " \t\n\v\f\r5", 5},
        {"white space after the sign ends the number", "- 5", 0},
        {"two signs", "+-5", 0},
        {"space inside the digits", "12 34", 12},
        {"no exponent", "1e3", 1},
        {"no hexadecimal", "0x10", 0},
        {"maximum", "2147483647", INT32_MAX},
        {"one below the maximum", "2147483646", INT32_MAX - 1},
        {"one above the maximum", "2147483648", INT32_MAX},
        {"minimum", "-2147483648", INT32_MIN},
        {"one above the minimum", "-2147483647", INT32_MIN + 1},
        {"one below the minimum", "-2147483649", INT32_MIN},
        {"eleven nines", "99999999999", INT32_MAX},
        {"negative eleven nines", "-99999999999", INT32_MIN},
        {"far beyond 64 bits", "1" + std::string(1000, '0'), INT32_MAX},
        {"far below 64 bits", "-" + std::string(1000, '9'), INT32_MIN},
        {"long run of zeros then digits", std::string(1000, '0') + "42", 42},
        {"long run of zeros then the maximum", "-" + std::string(1000, '0') + "2147483648", INT32_MIN},
        {"long run of zeros then one too many", std::string(1000, '0') + "2147483648", INT32_MAX},
        {"255 spaces then digits", std::string(255, ' ') + "1280", 1280},
    };
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.behaviour);
        EXPECT_EQ(ReadDecimalInt32(std::string_view(c.text)), c.value);
        const std::u16string wide(c.text.begin(), c.text.end());
        EXPECT_EQ(ReadDecimalInt32(std::u16string_view(wide)), c.value);
    }
}

TEST(ReadDecimalInt32, TreatsOnlyAsciiDigitsAndCWhiteSpaceAsNumberCharacters) {
    const std::vector<std::pair<const char*, std::u16string>> wideCases = {
        {"no-break space", u"\u00A05"},
        {"next line", u"\u00855"},
        {"ideographic space", u"\u30005"},
        {"fullwidth digit", u"\uFF11"},
        {"arabic-indic digit", u"\u0661"},
        {"fullwidth minus", u"\uFF0D5"},
        {"digit in the low byte of a wider unit", u"\u0135"},
    };
    for (const auto& [behaviour, text] : wideCases) {
        SCOPED_TRACE(behaviour);
        EXPECT_EQ(ReadDecimalInt32(std::u16string_view(text)), 0);
    }
    const std::vector<std::pair<const char*, std::string>> narrowCases = {
        {"no-break space byte",
         "\xA0"
         "5"},
        {"next line byte",
         "\x85"
         "5"},
        {"superscript one byte", "\xB9"},
        {"lead byte before digits",
         "\x82"
         "5"},
    };
    for (const auto& [behaviour, text] : narrowCases) {
        SCOPED_TRACE(behaviour);
        EXPECT_EQ(ReadDecimalInt32(std::string_view(text)), 0);
    }
}

// A double-byte code page shaped like the Japanese one: lead bytes 0x81-0x9F
// and 0xE0-0xFC; trail bytes may take lead-byte values.
std::size_t FakeDoubleByteLength(unsigned char byte) {
    const bool lead = (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    return lead ? 2 : 1;
}

std::string Ascii(std::size_t count) { return std::string(count, 'a'); }

std::string Pairs(std::size_t count, const char* pair) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
        text += pair;
    }
    return text;
}

struct FitCase {
    const char* behaviour;
    std::string converted;
    std::size_t fitted;
};

TEST(FitTrackerHostLength, KeepsWholeDoubleByteCharactersWithin255Bytes) {
    const std::vector<FitCase> cases = {
        {"empty", "", 0},
        {"short name unchanged", "localhost", 9},
        {"255 single bytes unchanged", Ascii(255), 255},
        {"256 single bytes lose the last", Ascii(256), 255},
        {"lead byte at 254 is dropped with its trail", Ascii(254) + "\x82\xA0", 254},
        {"pair ending at 254 is kept", Ascii(253) + "\x82\xA0", 255},
        {"127 pairs and a single byte fit exactly", Pairs(127, "\x82\xA0") + "a", 255},
        {"128 pairs keep 127", Pairs(128, "\x82\xA0"), 254},
        // Trail bytes with lead-byte values: only a walk from the start tells
        // that byte 254 is a trail here, not a lead.
        {"trail bytes that look like leads", "a" + Pairs(128, "\x81\x81"), 255},
        {"lead byte alone at the end", "ab\x82", 2},
        {"lead byte alone at byte 254", Ascii(254) + "\x82", 254},
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(c.behaviour);
        EXPECT_EQ(FitTrackerHostLength(c.converted, FakeDoubleByteLength), c.fitted);
    }
}

TEST(FitTrackerHostLength, KeepsWholeUtf8CharactersWithin255Bytes) {
    const std::string euro = "\xE2\x82\xAC";
    const std::string grin = "\xF0\x9F\x98\x80";
    const std::vector<FitCase> cases = {
        {"85 three-byte characters fit exactly", Pairs(85, euro.c_str()), 255},
        {"86 three-byte characters keep 85", Pairs(86, euro.c_str()), 255},
        {"three-byte character from 253 is dropped", Ascii(253) + euro, 253},
        {"four-byte character from 252 is dropped", Ascii(252) + grin, 252},
        {"four-byte character ending at 254 is kept", Ascii(251) + grin, 255},
        {"two-byte character from 254 is dropped", Ascii(254) + "\xC3\xA9", 254},
        {"stray continuation bytes count singly", std::string(300, '\x80'), 255},
    };
    for (const FitCase& c : cases) {
        SCOPED_TRACE(c.behaviour);
        EXPECT_EQ(FitTrackerHostLength(c.converted, Utf8CharacterLength), c.fitted);
    }
}

TEST(FitTrackerHostLength, TreatsAZeroCharacterLengthAsOneByte) {
    const auto broken = [](unsigned char) { return std::size_t{0}; };
    EXPECT_EQ(FitTrackerHostLength(Ascii(300), broken), 255u);
}

TEST(StoreTrackerHost, WritesTheFittedPrefixAndANulInsideTheBuffer) {
    // Exactly 256 bytes on the heap so that AddressSanitizer sees any overrun.
    const std::unique_ptr<char[][kTrackerHostBufferSize]> owner(new char[1][kTrackerHostBufferSize]);
    char(*const buffer)[kTrackerHostBufferSize] = &owner[0];
    std::memset(*buffer, 0xCC, kTrackerHostBufferSize);

    const std::string longName = Ascii(253) + "\x82\xA0" + Ascii(40);
    EXPECT_EQ(StoreTrackerHost(longName, FakeDoubleByteLength, *buffer), 255u);
    EXPECT_EQ(std::string(*buffer), longName.substr(0, 255));

    const std::string cutName = Ascii(254) + "\x82\xA0";
    EXPECT_EQ(StoreTrackerHost(cutName, FakeDoubleByteLength, *buffer), 254u);
    EXPECT_EQ(std::string(*buffer), Ascii(254));

    EXPECT_EQ(StoreTrackerHost("", FakeDoubleByteLength, *buffer), 0u);
    EXPECT_EQ((*buffer)[0], '\0');
}

}  // namespace
}  // namespace okulon
