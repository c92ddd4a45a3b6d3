// SPDX-License-Identifier: MIT
#include "fail.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "signals.h"

namespace common {

namespace {

void say(const char *format, va_list arguments) {
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    std::vfprintf(stderr, format, arguments);
    std::fputc('\n', stderr);
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
