// SPDX-License-Identifier: MIT
// Loaded with LD_PRELOAD: the wall clock SKEW_MS milliseconds off, the monotonic clock as it
// is, as on a Pi whose clock no NTP has set.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

int clock_gettime(clockid_t id, struct timespec *time) {
    static int (*real)(clockid_t, struct timespec *);
    if (real == NULL) {
        real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
    }
    const int rc = real(id, time);
    const char *skewMs = getenv("SKEW_MS");
    if (rc == 0 && skewMs != NULL && (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE)) {
        const long long ns = (long long)time->tv_sec * 1000000000LL + time->tv_nsec + atoll(skewMs) * 1000000LL;
        time->tv_sec = ns / 1000000000LL;
        time->tv_nsec = ns % 1000000000LL;
    }
    return rc;
}
