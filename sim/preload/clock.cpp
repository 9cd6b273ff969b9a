// SPDX-License-Identifier: MIT
// The board's clock: the launcher's pauses are journaled at the length it asked for and
// slept at the board's time scale; board time runs ahead of real time by what the scaled
// pauses skipped, so that the hardware's own delays (the CPLD's) keep their length.
#include "sim.h"

namespace sim {

namespace {

double g_pause_credit;

double clock_seconds(clockid_t id) {
    timespec ts;
    clock_gettime(id, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace

double board_time() {
    return clock_seconds(CLOCK_MONOTONIC) + g_pause_credit;
}

double wall_time() {
    return clock_seconds(CLOCK_REALTIME);
}

int pause_for(double seconds, timespec* rem) {
    REAL(nanosleep);
    g_pause_credit += seconds * (1.0 - cfg().scale);
    char f[64];
    snprintf(f, sizeof f, "\"seconds\": %.6f", seconds);
    journal("pause", f);
    const double s = seconds * cfg().scale;
    timespec ts;
    ts.tv_sec = time_t(s);
    ts.tv_nsec = long((s - double(ts.tv_sec)) * 1e9);
    return real_nanosleep(&ts, rem);
}

} // namespace sim
