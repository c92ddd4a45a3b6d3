// SPDX-License-Identifier: MIT
// Listening on builds for systems other than Linux: there is no GPIO input to listen on.
#include <cstdio>

#include "live.h"

bool listenForPresses(int /*pin*/, double /*seconds*/, rx::TerunaRx & /*receiver*/, unsigned long & /*lostEdges*/) {
    std::fputs("teruna-sniff: listening on a GPIO input needs Linux's GPIO character device; "
               "this build reads recordings only (-f FILE)\n",
               stderr);
    return false;
}
