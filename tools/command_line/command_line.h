// The command line of every shipped program (okulon_host, okulon_check,
// simtracker), in one style: "--name value" or "--name=value", flags without a
// value, and numbers checked against their range. Errors name the argument
// they are about, so a program can print them as they stand and exit 2.
// Platform-free, for narrow (main) and wide (wmain) argument vectors.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace okulon::cli {

enum class ValueKind {
    kNone,      // a flag: "--help"
    kRequired,  // "--port 4455" or "--port=4455"
    kOptional,  // a flag that may take "=value": "--mouse" or "--mouse=1"
};

template <class Char>
struct Argument {
    std::string name;  // without the leading "--"
    std::basic_string<Char> value;
    bool hasValue = false;
};

// The text as ASCII for a message; anything else shows as '?'.
template <class Char>
std::string Printable(const std::basic_string<Char>& text) {
    std::string printable;
    for (Char c : text) printable += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    return printable;
}

// Splits argv[1..] into options in order. `kindOf(name, kind)` answers whether
// the program knows the option and sets what it takes. On the first bad
// argument returns false with `error` naming it.
template <class Char>
bool SplitArguments(int argc, const Char* const* argv,
                    const std::function<bool(const std::string& name, ValueKind& kind)>& kindOf,
                    std::vector<Argument<Char>>& arguments, std::string& error) {
    arguments.clear();
    for (int i = 1; i < argc; ++i) {
        const std::basic_string<Char> text = argv[i];
        if (text.size() < 3 || text[0] != '-' || text[1] != '-') {
            error = "unexpected argument \"" + Printable(text) + "\" (options start with --)";
            return false;
        }
        const size_t equals = text.find(Char('='));
        Argument<Char> argument;
        argument.name = Printable(
            text.substr(2, equals == std::basic_string<Char>::npos ? std::basic_string<Char>::npos : equals - 2));
        ValueKind kind = ValueKind::kNone;
        if (!kindOf(argument.name, kind)) {
            error = "unknown option \"--" + argument.name + "\"";
            return false;
        }
        if (equals != std::basic_string<Char>::npos) {
            if (kind == ValueKind::kNone) {
                error = "option --" + argument.name + " takes no value";
                return false;
            }
            argument.value = text.substr(equals + 1);
            argument.hasValue = true;
        } else if (kind == ValueKind::kRequired) {
            if (i + 1 >= argc) {
                error = "option --" + argument.name + " needs a value";
                return false;
            }
            argument.value = argv[++i];
            argument.hasValue = true;
        }
        arguments.push_back(std::move(argument));
    }
    return true;
}

// A whole decimal number in [low, high], nothing before or after it.
template <class Char>
bool ToInteger(const std::basic_string<Char>& text, long long low, long long high, long long& value) {
    const std::string ascii = Printable(text);
    if (ascii.empty() || ascii.find_first_not_of("+-0123456789") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(ascii.c_str(), &end, 10);
    if (errno != 0 || end != ascii.c_str() + ascii.size() || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

// A finite decimal number in [low, high], nothing before or after it.
template <class Char>
bool ToNumber(const std::basic_string<Char>& text, double low, double high, double& value) {
    const std::string ascii = Printable(text);
    if (ascii.empty() || ascii.find_first_not_of("+-.0123456789eE") != std::string::npos) return false;
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(ascii.c_str(), &end);
    if (errno != 0 || end != ascii.c_str() + ascii.size() || !std::isfinite(parsed) || parsed < low || parsed > high)
        return false;
    value = parsed;
    return true;
}

}  // namespace okulon::cli
