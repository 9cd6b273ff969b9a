// SPDX-License-Identifier: MIT
// The libc functions the launcher reaches the board through. Each finds the device behind
// a descriptor once and calls its operation; what is no device goes to libc. Shell
// commands, execs and pauses are journaled here.
//
// The library removes itself from LD_PRELOAD when it loads, so that the programs the
// launcher starts run as they would on the blade. With BLADESIM_LINE_ONLY set it gives a
// program only the console line's UART behaviour (the rx stand-in loads it so).
#include "sim.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

// The launcher's peak resident memory so far, in KiB (VmHWM), or -1.
long peak_rss_kb() {
    long kb = -1;
    if (FILE* f = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmHWM:", 6) == 0)
                kb = std::strtol(line + 6, nullptr, 10);
        fclose(f);
    }
    return kb;
}

void journal_exec(const char* path, char* const argv[]) {
    std::string f = "\"path\": " + json_string(path ? path : "") + ", \"argv\": [";
    for (int i = 0; argv && argv[i]; ++i)
        f += (i ? ", " : "") + json_string(argv[i]);
    journal("exec", f + "], \"peak_rss_kb\": " + std::to_string(peak_rss_kb()));
}

// Before an open: false (errno set) when a fault refuses it.
bool may_open(const char* path, int flags) {
    if (!path)
        return true;
    if (((flags & O_CREAT) && std::strncmp(path, "/tmp/", 5) == 0 &&
         fault_named(board::fault::tmp_create)) ||
        (std::strncmp(path, board::kDevicePrefix, std::strlen(board::kDevicePrefix)) == 0 &&
         fault(path + std::strlen(board::kDevicePrefix), board::fault::part_open))) {
        errno = EACCES;
        return false;
    }
    user_open(path, flags);
    return true;
}

std::vector<char*> collect_args(const char* arg0, va_list ap) {
    std::vector<char*> args;
    args.push_back(const_cast<char*>(arg0));
    while (char* a = va_arg(ap, char*))
        args.push_back(a);
    args.push_back(nullptr);
    return args;
}

__attribute__((constructor)) void load() {
    cfg();
    unsetenv("LD_PRELOAD");
    // The XMODEM receiver takes the console line's behaviour and nothing else: it is not
    // the launcher, journals nothing and keeps real time.
    if (getenv("BLADESIM_LINE_ONLY")) {
        line_only();
        return;
    }
    if (getenv("BLADESIM_MTD_DIR"))
        return; // a unit test: no board around it
    record_launcher();
    journal("start", "");
}

mode_t open_mode(int flags, va_list ap) {
    return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
}

} // namespace

} // namespace sim

using namespace sim;

extern "C" {

#define OPEN_WRAPPER(fn)                                                                           \
    int fn(const char* path, int flags, ...) {                                                     \
        REAL(fn);                                                                                  \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        const mode_t mode = open_mode(flags, ap);                                                  \
        va_end(ap);                                                                                \
        if (!may_open(path, flags))                                                                \
            return -1;                                                                             \
        char buf[256];                                                                             \
        int fd = real_##fn(device_path(path, buf), flags, mode);                                   \
        classify(fd, path);                                                                        \
        return fd;                                                                                 \
    }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

int openat(int dirfd, const char* path, int flags, ...) {
    REAL(openat);
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = open_mode(flags, ap);
    va_end(ap);
    if (!may_open(path, flags))
        return -1;
    char buf[256];
    int fd = real_openat(dirfd, device_path(path, buf), flags, mode);
    classify(fd, path);
    return fd;
}

// Streams open and close their descriptors inside libc, past the wrappers above.
#define FOPEN_WRAPPER(fn)                                                                          \
    FILE* fn(const char* path, const char* mode) {                                                 \
        REAL(fn);                                                                                  \
        FILE* f = real_##fn(path, mode);                                                           \
        if (f)                                                                                     \
            classify(fileno(f), path);                                                             \
        return f;                                                                                  \
    }
FOPEN_WRAPPER(fopen)
FOPEN_WRAPPER(fopen64)

int fclose(FILE* f) {
    REAL(fclose);
    forget(f ? fileno(f) : -1);
    return real_fclose(f);
}

int close(int fd) {
    REAL(close);
    forget(fd);
    return real_close(fd);
}

// Each transfer goes to the device's own operation when it has one.
#define TRANSFER_WRAPPER(fn, op, params, args)                                                     \
    ssize_t fn params {                                                                            \
        REAL(fn);                                                                                  \
        if (fd_entry* e = device(fd); e && e->ops->op)                                             \
            return e->ops->op args;                                                                \
        return real_##fn PLAIN_##op;                                                               \
    }
#define PLAIN_write (fd, buf, n)
#define PLAIN_pread (fd, buf, n, offset)
#define PLAIN_pwrite (fd, buf, n, offset)
ssize_t read(int fd, void* buf, size_t n) {
    REAL(read);
    if (fd_entry* e = device(fd); e && e->ops->read)
        return e->ops->read(*e, fd, buf, n);
    uart_reading(fd);
    return real_read(fd, buf, n);
}

// A line read from the console waits in libc's own read, past the wrapper above, when
// nothing of it is buffered yet.
char* fgets(char* s, int n, FILE* f) {
    REAL(fgets);
    if (f && f->_IO_read_ptr >= f->_IO_read_end)
        uart_reading(fileno(f));
    return real_fgets(s, n, f);
}

TRANSFER_WRAPPER(write, write, (int fd, const void* buf, size_t n), (*e, fd, buf, n))
TRANSFER_WRAPPER(pread, pread, (int fd, void* buf, size_t n, off_t offset),
                 (*e, fd, buf, n, uint64_t(offset)))
TRANSFER_WRAPPER(pread64, pread, (int fd, void* buf, size_t n, off64_t offset),
                 (*e, fd, buf, n, uint64_t(offset)))
TRANSFER_WRAPPER(pwrite, pwrite, (int fd, const void* buf, size_t n, off_t offset),
                 (*e, fd, buf, n, uint64_t(offset)))
TRANSFER_WRAPPER(pwrite64, pwrite, (int fd, const void* buf, size_t n, off64_t offset),
                 (*e, fd, buf, n, uint64_t(offset)))

int ioctl(int fd, unsigned long request, ...) {
    REAL(ioctl);
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fd < 0) {
        // As the kernel answers; qemu-user would say ENOSYS for a request it does not know.
        errno = EBADF;
        return -1;
    }
    if (fd_entry* e = device(fd); e && e->ops->ioctl)
        return e->ops->ioctl(*e, fd, request, arg);
    // lrzsz's receiver drains and flushes with these requests rather than the calls.
    if (request == TCFLSH)
        return tcflush(fd, int(reinterpret_cast<intptr_t>(arg)));
    if (request == TCSBRK && arg && on_uart(fd))
        return uart_tcdrain(fd) == 0 ? 0 : real_ioctl(fd, request, arg);
    return real_ioctl(fd, request, arg);
}

unsigned int sleep(unsigned int seconds) {
    timespec rem{0, 0};
    if (pause_for(seconds, &rem) != 0)
        return unsigned(std::ceil(double(rem.tv_sec) / cfg().scale));
    return 0;
}

int usleep(useconds_t us) {
    return pause_for(double(us) / 1e6, nullptr);
}

int nanosleep(const timespec* req, timespec* rem) {
    return pause_for(double(req->tv_sec) + double(req->tv_nsec) / 1e9, rem);
}

int tcflush(int fd, int queue) {
    REAL(tcflush);
    if (uart_tcflush(fd, queue) != 0)
        return real_tcflush(fd, queue);
    return queue == TCIOFLUSH ? real_tcflush(fd, TCIFLUSH) : 0;
}

int tcdrain(int fd) {
    REAL(tcdrain);
    return uart_tcdrain(fd) == 0 ? 0 : real_tcdrain(fd);
}

int tcsetattr(int fd, int when, const termios* t) {
    REAL(tcsetattr);
    uart_tcsetattr(fd, when, t);
    return real_tcsetattr(fd, when, t);
}

int tcgetattr(int fd, termios* t) {
    REAL(tcgetattr);
    int r = real_tcgetattr(fd, t);
    if (r == 0)
        uart_tcgetattr(fd, t);
    return r;
}

int rename(const char* from, const char* to) {
    REAL(rename);
    user_rename(from, to);
    journal("rename", "\"from\": " + json_string(from) + ", \"to\": " + json_string(to));
    return real_rename(from, to);
}

int unlink(const char* path) {
    REAL(unlink);
    user_unlink(path);
    return real_unlink(path);
}

int fsync(int fd) {
    REAL(fsync);
    int r = real_fsync(fd);
    char link[32], path[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = r == 0 ? readlink(link, path, sizeof path - 1) : -1;
    if (n > 0) {
        path[n] = '\0';
        user_fsync(path);
    }
    return r;
}

int system(const char* command) {
    REAL(system);
    journal("shell", "\"command\": " + json_string(command ? command : "") +
                         ", \"peak_rss_kb\": " + std::to_string(peak_rss_kb()));
    if (fault_named(board::fault::no_process)) {
        errno = EAGAIN; // the board cannot start another process
        return -1;
    }
    return real_system(command);
}

int execve(const char* path, char* const argv[], char* const envp[]) {
    REAL(execve);
    journal_exec(path, argv);
    return real_execve(path, argv, envp);
}

int execv(const char* path, char* const argv[]) {
    REAL(execv);
    journal_exec(path, argv);
    return real_execv(path, argv);
}

int execvp(const char* file, char* const argv[]) {
    REAL(execvp);
    journal_exec(file, argv);
    return real_execvp(file, argv);
}

int execl(const char* path, const char* arg0, ...) {
    va_list ap;
    va_start(ap, arg0);
    std::vector<char*> args = collect_args(arg0, ap);
    va_end(ap);
    return execv(path, args.data());
}

int execlp(const char* file, const char* arg0, ...) {
    va_list ap;
    va_start(ap, arg0);
    std::vector<char*> args = collect_args(arg0, ap);
    va_end(ap);
    return execvp(file, args.data());
}

} // extern "C"
