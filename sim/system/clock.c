// SPDX-License-Identifier: MIT
// The system board's clock for the launcher, preloaded by the guest's init into bladeboot
// alone: each of the launcher's pauses is said on the event line ("pause SECONDS", the
// length it asked for) and slept at the board's time scale (BLADESIM_TIME_SCALE, 1 when
// unset). Everything below the launcher's own pauses (the kernel, the drivers, the
// programs it starts) keeps real time: the library leaves no trace in them.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int events = -1;
static double scale = 1.0;

__attribute__((constructor)) static void start(void) {
    if (strcmp(program_invocation_short_name, "bladeboot") != 0)
        return; // a program on the way to the launcher (setsid)
    const char* s = getenv("BLADESIM_TIME_SCALE");
    if (s && atof(s) >= 0)
        scale = atof(s);
    events = open("/dev/ttyS1", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    unsetenv("LD_PRELOAD");
    unsetenv("BLADESIM_TIME_SCALE");
}

static int pause_for(double seconds, struct timespec* rem) {
    static int (*real)(const struct timespec*, struct timespec*);
    if (!real)
        real = (int (*)(const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "nanosleep");
    if (events >= 0) {
        char said[48];
        const int n = snprintf(said, sizeof said, "pause %.6f\n", seconds);
        if (write(events, said, (size_t)n) != n)
            events = -1;
    }
    const double s = seconds * scale;
    struct timespec ts = {(time_t)s, (long)((s - (double)(time_t)s) * 1e9)};
    return real(&ts, rem);
}

unsigned int sleep(unsigned int seconds) {
    return pause_for(seconds, NULL) == 0 ? 0 : seconds;
}

int usleep(useconds_t microseconds) {
    return pause_for(microseconds / 1e6, NULL);
}

int nanosleep(const struct timespec* req, struct timespec* rem) {
    if (!req || req->tv_nsec < 0 || req->tv_nsec >= 1000000000L) {
        errno = EINVAL;
        return -1;
    }
    return pause_for((double)req->tv_sec + (double)req->tv_nsec / 1e9, rem);
}
