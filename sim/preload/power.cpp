// SPDX-License-Identifier: MIT
// Power cuts. Every erase or write of the board's storage is counted across the board's
// processes (the launcher here, the platform stand-ins such as flash_eraseall through
// journal.sh) in one file under the sandbox's /run; at the one named by cut@N the board
// loses its power: the launcher and the writer die before the operation happens, and
// /user loses what was not made durable.
#include "sim.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr const char* kWriteCounter = board::kWritesFile;
constexpr const char* kLauncherPid = board::kLauncherPidFile;

long next_write_number() {
    REAL(open);
    REAL(read);
    REAL(pwrite);
    int fd = real_open(kWriteCounter, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    flock(fd, LOCK_EX);
    char text[32] = {};
    long n = real_read(fd, text, sizeof text - 1) > 0 ? std::strtol(text, nullptr, 10) : 0;
    int len = snprintf(text, sizeof text, "%ld\n", ++n);
    if (ftruncate(fd, 0) != 0 || real_pwrite(fd, text, size_t(len), 0) != len)
        n = 0;
    ::close(fd); // also releases the lock
    return n;
}

} // namespace

void power_check() {
    const long cut_at = fault_number(board::fault::cut);
    if (cut_at <= 0)
        return;
    const long count = next_write_number();
    if (count == cut_at) {
        char f[48];
        snprintf(f, sizeof f, "\"operation\": %ld", count);
        journal("power-cut", f + (", \"lost\": [" + lose_unsynced() + "]"));
        kill(getpid(), SIGKILL);
    }
}

// The launcher's pid, for a stand-in that cuts the power.
void record_launcher() {
    REAL(open);
    int fd = real_open(kLauncherPid, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char text[32];
    int len = snprintf(text, sizeof text, "%d\n", int(getpid()));
    ssize_t ignored = ::write(fd, text, size_t(len));
    (void)ignored;
    ::close(fd);
}

} // namespace sim
