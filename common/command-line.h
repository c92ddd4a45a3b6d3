// SPDX-License-Identifier: MIT
// The programs' one shape of command line: getopt, and parsers that either return the value
// or end the run with one usage error, status kTrouble.
#ifndef TERUNA_COMMON_COMMAND_LINE_H
#define TERUNA_COMMON_COMMAND_LINE_H

#include <initializer_list>
#include <optional>

namespace common {

// Bad usage, or an input the run needs that cannot be read or is wrong.
constexpr int kTrouble = 2;

// Where a usage error's "try 'PROGRAM -h'" goes: after the error on its line, or on a line of
// its own as teruna-sniff has always printed it.
enum class HelpHint { sameLine, ownLine };
void placeHelpHint(HelpHint where);

// "PROGRAM: <what printf makes of the rest>" and the hint; the run ends with kTrouble.
[[noreturn]] void usageError(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Prints `help` on standard output, and the run ends with status 0.
[[noreturn]] void printHelp(const char *help);

// getopt(3) over `options` (no leading ':'): the next option, or -1 after the last. An unknown
// option, one without its value, or an argument after the options is a usage error.
int nextOption(int argc, char *argv[], const char *options);

// All of `text` read as strtol(3) reads a decimal number, when it is within [low, high].
std::optional<long> wholeNumber(const char *text, long low, long high);

// The value `text` of option `option`, or the usage error "-O takes WHAT, not 'TEXT'".
long numberOrDie(int option, const char *text, long low, long high, const char *what);
// A pin in wiringPi numbering; whether the board has it is for the GPIO layer to say.
int pinOrDie(int option, const char *text);
// A positive number of seconds, up to `longest`.
double secondsOrDie(int option, const char *text, double longest);
// A path, which is never empty.
const char *pathOrDie(int option, const char *text);
// The index of the one of `choices` that `text` is.
int choiceOrDie(int option, const char *text, std::initializer_list<const char *> choices);

}  // namespace common

#endif
