// The shipped programs' command line (tools/command_line/command_line.h): both
// option styles, flags, and numbers that must be whole, finite and in range;
// every refusal names the argument it is about.
#include "tools/command_line/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using okulon::cli::Argument;
using okulon::cli::ValueKind;

bool KindOf(const std::string& name, ValueKind& kind) {
    if (name == "port" || name == "host") {
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

template <class Char>
bool Split(std::vector<const Char*> words, std::vector<Argument<Char>>& arguments, std::string& error) {
    words.insert(words.begin(), nullptr);  // argv[0], never read
    return okulon::cli::SplitArguments<Char>(static_cast<int>(words.size()), words.data(), KindOf, arguments, error);
}

TEST(CommandLine, TakesBothOptionStylesAndFlagsInOrder) {
    std::vector<Argument<char>> arguments;
    std::string error;
    ASSERT_TRUE(Split<char>({"--port", "4456", "--host=a=b", "--mouse", "--mouse=0", "--help"}, arguments, error))
        << error;
    ASSERT_EQ(5u, arguments.size());
    EXPECT_EQ("port", arguments[0].name);
    EXPECT_EQ("4456", arguments[0].value);
    EXPECT_EQ("a=b", arguments[1].value) << "only the first '=' separates";
    EXPECT_FALSE(arguments[2].hasValue);
    EXPECT_TRUE(arguments[3].hasValue);
    EXPECT_EQ("0", arguments[3].value);
    EXPECT_EQ("help", arguments[4].name);

    std::vector<Argument<wchar_t>> wide;
    ASSERT_TRUE(Split<wchar_t>({L"--host", L"--port"}, wide, error)) << "a value may look like an option";
    EXPECT_EQ(L"--port", wide[0].value);
}

TEST(CommandLine, RefusesEachBadArgumentNamingIt) {
    const std::vector<std::pair<std::vector<const char*>, std::string>> cases = {
        {{"stray"}, "unexpected argument \"stray\" (options start with --)"},
        {{"-p", "1"}, "unexpected argument \"-p\" (options start with --)"},
        {{"--colour", "blue"}, "unknown option \"--colour\""},
        {{"--port"}, "option --port needs a value"},
        {{"--help=yes"}, "option --help takes no value"},
        {{"--port", "1", "--", "x"}, "unexpected argument \"--\" (options start with --)"},
    };
    for (const auto& [words, message] : cases) {
        std::vector<Argument<char>> arguments;
        std::string error;
        EXPECT_FALSE(Split<char>(words, arguments, error)) << message;
        EXPECT_EQ(message, error);
    }
}

TEST(CommandLine, NumbersMustBeWholeFiniteAndInRange) {
    long long integer = -7;
    EXPECT_TRUE(okulon::cli::ToInteger(std::string("65535"), 1, 65535, integer));
    EXPECT_EQ(65535, integer);
    EXPECT_TRUE(okulon::cli::ToInteger(std::wstring(L"-1"), -1, 5, integer));
    EXPECT_EQ(-1, integer);
    for (const char* bad : {"", "abc", "12abc", " 5", "5 ", "+", "0x10", "70000", "0", "99999999999999999999999"}) {
        integer = -7;
        EXPECT_FALSE(okulon::cli::ToInteger(std::string(bad), 1, 65535, integer)) << bad;
        EXPECT_EQ(-7, integer) << "unchanged on refusal: " << bad;
    }
    double number = -7;
    EXPECT_TRUE(okulon::cli::ToNumber(std::string("0"), 0.0, 60.0, number));
    EXPECT_EQ(0.0, number);
    EXPECT_TRUE(okulon::cli::ToNumber(std::wstring(L"2.5e1"), 0.0, 60.0, number));
    EXPECT_EQ(25.0, number);
    for (const char* bad : {"", "nan", "inf", "1e999", "60.01", "-0.5", "1,5", ".", "e3"}) {
        number = -7;
        EXPECT_FALSE(okulon::cli::ToNumber(std::string(bad), 0.0, 60.0, number)) << bad;
        EXPECT_EQ(-7.0, number) << bad;
    }
}

}  // namespace
