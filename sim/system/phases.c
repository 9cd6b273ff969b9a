// SPDX-License-Identifier: MIT
// The system board's boot by phase, in the guest's own time (seconds since the kernel
// started), on the event line:
//   phases NAME            "phase NAME T" now (init, launcher, exec)
//   phases watch SLOTS ARCHIVE
//                          "phase mounted T" when /user is mounted, "phase slot T" when an
//                          image slot file is first opened (its name in /run/phase-slot),
//                          "phase archive T" when the application archive has been written;
//                          ends at SIGTERM
//   phases reads           "line BAUD STOP" when the console's (ttyS0) speed or stop bits
//                          change; "read TX RX" each time a process started after it (the
//                          launcher and what it runs) waits in a read of the
//                          console with the line's counts of bytes sent and received other
//                          than at its last report: the operator may type now. Ends at
//                          SIGTERM
//   phases floor SLOT      what the same guest takes for the slot's bytes alone: "floor cat
//                          T" (reading the slot file) and "floor untar T" (unpacking its
//                          first component's archive, as the launcher's shell does)
#include <ctype.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static double uptime(void) {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void say(const char* what, const char* name, double t) {
    printf("%s %s %.6f\n", what, name, t);
    fflush(stdout);
}

static int user_mounted(void) {
    FILE* f = fopen("/proc/self/mounts", "r");
    char line[512];
    int found = 0;
    while (f && !found && fgets(line, sizeof line, f)) {
        char* at = strchr(line, ' ');
        found = at && strncmp(at, " /user ", 7) == 0;
    }
    if (f)
        fclose(f);
    return found;
}

static volatile sig_atomic_t stopping;

static void stop(int sig) {
    (void)sig;
    stopping = 1;
}

static int watch(const char* slots, const char* archive) {
    signal(SIGTERM, stop);
    int in = inotify_init1(IN_CLOEXEC);
    FILE* mounts = fopen("/proc/self/mounts", "r");
    if (in < 0 || !mounts || inotify_add_watch(in, "/tmp", IN_CLOSE_WRITE) < 0) {
        perror("phases: watch");
        return 1;
    }
    const char* archive_name = strrchr(archive, '/') + 1;
    int mounted = 0, slot_seen = 0, slot_watch = -1;
    while (!stopping) {
        if (!mounted && user_mounted()) {
            mounted = 1;
            say("phase", "mounted", uptime());
        }
        if (mounted && slot_watch < 0)
            slot_watch = inotify_add_watch(in, slots, IN_OPEN);
        struct pollfd fds[2] = {{in, POLLIN, 0}, {fileno(mounts), POLLPRI, 0}};
        if (poll(fds, 2, mounted ? 1000 : 5) <= 0)
            continue;
        if (fds[1].revents & POLLPRI) { // the mount table changed: read it anew
            fclose(mounts);
            mounts = fopen("/proc/self/mounts", "r");
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        char buf[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
        ssize_t n = read(in, buf, sizeof buf);
        for (char* p = buf; n > 0 && p < buf + n;) {
            const struct inotify_event* e = (const struct inotify_event*)p;
            const double t = uptime();
            if (e->wd == slot_watch && !slot_seen && e->len && strncmp(e->name, "image", 5) == 0) {
                slot_seen = 1;
                say("phase", "slot", t);
                FILE* f = fopen("/run/phase-slot", "w");
                if (f) {
                    fprintf(f, "%s\n", e->name);
                    fclose(f);
                }
            } else if (e->wd != slot_watch && e->len && strcmp(e->name, archive_name) == 0) {
                say("phase", "archive", t);
            }
            p += sizeof *e + e->len;
        }
    }
    return 0;
}

// The console's counts of bytes sent and received, from the serial driver's table.
static int console_counts(unsigned long* tx, unsigned long* rx) {
    FILE* f = fopen("/proc/tty/driver/serial", "r");
    char line[256];
    int found = 0;
    while (f && !found && fgets(line, sizeof line, f)) {
        const char *t = strstr(line, " tx:"), *r = strstr(line, " rx:");
        found = strncmp(line, "0:", 2) == 0 && t && r;
        if (found) {
            *tx = strtoul(t + 4, NULL, 10);
            *rx = strtoul(r + 4, NULL, 10);
        }
    }
    if (f)
        fclose(f);
    return found;
}

// True when a process started after this watcher (the launcher and what it runs) waits in
// read(2) on a descriptor of the console. Only those are looked at: every look at a process
// costs the guest's one processor a few system calls, and the launcher's own work shares
// it.
static int console_read_waiting(const char* console) {
    DIR* proc = opendir("/proc");
    struct dirent* d;
    int found = 0;
    const long self = getpid();
    while (proc && !found && (d = readdir(proc))) {
        if (!isdigit((unsigned char)d->d_name[0]) || atol(d->d_name) <= self)
            continue;
        char path[300], line[128], target[32];
        snprintf(path, sizeof path, "/proc/%s/syscall", d->d_name);
        FILE* f = fopen(path, "r");
        long nr = -1;
        unsigned long fd = 0;
        if (f) {
            if (!fgets(line, sizeof line, f) || sscanf(line, "%ld 0x%lx", &nr, &fd) != 2)
                nr = -1;
            fclose(f);
        }
        if (nr != 3) // read
            continue;
        snprintf(path, sizeof path, "/proc/%s/fd/%lu", d->d_name, fd);
        ssize_t n = readlink(path, target, sizeof target - 1);
        found = n > 0 && (target[n] = '\0', strcmp(target, console) == 0);
    }
    if (proc)
        closedir(proc);
    return found;
}

static long baud_of(speed_t code) {
    static const struct {
        speed_t code;
        long baud;
    } speeds[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
                  {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    for (size_t i = 0; i < sizeof speeds / sizeof speeds[0]; ++i)
        if (speeds[i].code == code)
            return speeds[i].baud;
    return 0;
}

// A read counts once what was written before it has left the UART: the operator has seen
// it whole. The receive interrupt counts a byte before the tty's worker hands it to the
// reader, so a process still shown in its read may already have what the operator typed
// last, and be about to flush the input and ask again: a read counts when two looks 5 ms
// apart find it waiting with the same counts (the reader has had the processor between).
static int reads(const char* path) {
    signal(SIGTERM, stop);
    int console = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    unsigned long tx, rx, last_tx = ~0UL, last_rx = ~0UL, seen_tx = ~0UL, seen_rx = ~0UL;
    long last_baud = -1, last_stop = -1;
    while (!stopping) {
        struct termios t;
        if (tcgetattr(console, &t) == 0) {
            const long baud = baud_of(cfgetospeed(&t)), stop_bits = t.c_cflag & CSTOPB ? 2 : 1;
            if (baud != last_baud || stop_bits != last_stop) {
                last_baud = baud;
                last_stop = stop_bits;
                printf("line %ld %ld\n", baud, stop_bits);
                fflush(stdout);
            }
        }
        int queued = 0;
        if (console_read_waiting(path) && ioctl(console, TIOCOUTQ, &queued) == 0 && queued == 0 &&
            console_counts(&tx, &rx) && (tx != last_tx || rx != last_rx)) {
            if (tx == seen_tx && rx == seen_rx) {
                last_tx = tx;
                last_rx = rx;
                printf("read %lu %lu\n", tx, rx);
                fflush(stdout);
            }
            seen_tx = tx;
            seen_rx = rx;
        } else {
            seen_tx = seen_rx = ~0UL;
        }
        usleep(5000);
    }
    return 0;
}

// The seconds a shell command takes, as "floor NAME SECONDS", for the figures' scripts.
static int timed(const char* name, const char* command) {
    const double start = uptime();
    const int status = system(command);
    say("floor", name, uptime() - start);
    return status == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "watch") == 0)
        return watch(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "reads") == 0)
        return reads(argv[2]);
    if (argc == 4 && strcmp(argv[1], "time") == 0)
        return timed(argv[2], argv[3]);
    if (argc == 2) {
        say("phase", argv[1], uptime());
        return 0;
    }
    fprintf(stderr, "usage: phases NAME | phases watch SLOTS ARCHIVE | phases reads CONSOLE | "
                    "phases time NAME COMMAND\n");
    return 2;
}
