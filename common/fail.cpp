// SPDX-License-Identifier: MIT
#include "fail.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "signals.h"

namespace common {

namespace {

// One lock around the line: the gateway's threads complain at the same time, and standard
// error, unbuffered, writes each piece on its own.
void say(const char *format, va_list arguments) {
    flockfile(stderr);
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
    funlockfile(stderr);
}

}  // namespace

void complain(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    say(format, arguments);
    va_end(arguments);
}

void fail(int status, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    say(format, arguments);
    va_end(arguments);
    releaseHeldSignals();
    std::exit(status);
}

}  // namespace common
