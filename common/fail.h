// SPDX-License-Identifier: MIT
// The tools' one way of saying what failed: one line on standard error, the program's name
// first, then why.
#ifndef TERUNA_COMMON_FAIL_H
#define TERUNA_COMMON_FAIL_H

namespace common {

// "teruna: <what printf makes of the rest>"
void complain(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Complains, lets any held signal take effect (it then ends the run instead), and ends the
// run with `status`.
[[noreturn]] void fail(int status, const char *format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace common

#endif
