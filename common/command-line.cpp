// SPDX-License-Identifier: MIT
#include "command-line.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fail.h"

namespace common {

namespace {

HelpHint helpHint = HelpHint::sameLine;

// Far beyond any board's pins, and well within an int.
constexpr long kMaxPin = 1000000;

[[noreturn]] void wrongValue(int option, const char *text, const std::string &what) {
    usageError("-%c takes %s, not '%s'", option, what.c_str(), text);
}

}  // namespace

void placeHelpHint(HelpHint where) { helpHint = where; }

void usageError(const char *format, ...) {
    va_list arguments, again;
    va_start(arguments, format);
    va_copy(again, arguments);
    // Sized first, as an unexpected argument may be of any length.
    std::string what(static_cast<std::size_t>(std::vsnprintf(nullptr, 0, format, arguments)) + 1, '\0');
    va_end(arguments);
    std::vsnprintf(what.data(), what.size(), format, again);
    va_end(again);
    fail(kTrouble, "%s%stry '%s -h'", what.c_str(), helpHint == HelpHint::ownLine ? "\n" : "; ",
         program_invocation_short_name);
}

void printHelp(const char *help) {
    std::fputs(help, stdout);
    std::exit(0);
}

int nextOption(int argc, char *argv[], const char *options) {
    const std::string quiet = std::string(":") + options;  // ':' for an option without its value
    opterr = 0;
    const int option = getopt(argc, argv, quiet.c_str());
    if (option == ':') {
        usageError("option -%c needs a value", optopt);
    }
    if (option == '?') {
        usageError("unknown option -%c", optopt);
    }
    if (option == -1 && optind < argc) {
        usageError("unexpected argument '%s'", argv[optind]);
    }
    return option;
}

std::optional<long> wholeNumber(const char *text, long low, long high) {
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

long numberOrDie(int option, const char *text, long low, long high, const char *what) {
    const std::optional<long> value = wholeNumber(text, low, high);
    if (!value) {
        wrongValue(option, text, what);
    }
    return *value;
}

int pinOrDie(int option, const char *text) {
    return static_cast<int>(numberOrDie(option, text, -kMaxPin, kMaxPin, "a pin number"));
}

double secondsOrDie(int option, const char *text, double longest) {
    char *end = nullptr;
    const double seconds = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(seconds > 0) || seconds > longest) {
        wrongValue(option, text, "a number of seconds");
    }
    return seconds;
}

const char *pathOrDie(int option, const char *text) {
    if (*text == '\0') {
        wrongValue(option, text, "a path");
    }
    return text;
}

int choiceOrDie(int option, const char *text, std::initializer_list<const char *> choices) {
    std::string what;
    int index = 0;
    for (const char *choice : choices) {
        if (std::strcmp(text, choice) == 0) {
            return index;
        }
        what += index == 0 ? "" : index + 1 == static_cast<int>(choices.size()) ? " or " : ", ";
        what += choice;
        ++index;
    }
    wrongValue(option, text, what);
}

}  // namespace common
