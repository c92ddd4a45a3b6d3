// Listening on builds for a PC: there is no GPIO input to listen on.
#include <cstdio>

#include "live.h"

int listen(int /*pin*/, double /*seconds*/, TerunaRx & /*rx*/) {
    std::fputs("teruna-sniff: listening on a GPIO input needs a Raspberry Pi build (the cdev backend); "
               "this build reads recordings only (-f FILE)\n",
               stderr);
    return 2;
}
