// SPDX-License-Identifier: MIT
// The system board's boot by phase, in the guest's own time (seconds since the kernel
// started), on the event line:
//   phases NAME            "phase NAME T" now (init, launcher, exec)
//   phases watch SLOTS ARCHIVE
//                          "phase mounted T" when /user is mounted, "phase slot T" when an
//                          image slot file is first opened (its name in /run/phase-slot),
//                          "phase archive T" when the application archive has been written;
//                          ends at SIGTERM
//   phases floor SLOT      what the same guest takes for the slot's bytes alone: "floor cat
//                          T" (reading the slot file) and "floor untar T" (unpacking its
//                          first component's archive, as the launcher's shell does)
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/wait.h>
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

// Seconds a shell command takes, as the launcher's commands go through the shell.
static double timed(const char* command) {
    const double start = uptime();
    if (system(command) != 0)
        fprintf(stderr, "phases: %s failed\n", command);
    return uptime() - start;
}

static int floor_of(const char* slot) {
    char command[512];
    snprintf(command, sizeof command, "cat %s > /dev/null", slot);
    const double cat = timed(command);
    snprintf(command, sizeof command,
             "mkdir -p /tmp/floor && cd /tmp/floor && tail -c +17 %s | gunzip | tar x", slot);
    const double untar = timed(command);
    say("floor", "cat", cat);
    say("floor", "untar", untar);
    return 0;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "watch") == 0)
        return watch(argv[2], argv[3]);
    if (argc == 3 && strcmp(argv[1], "floor") == 0)
        return floor_of(argv[2]);
    if (argc == 2) {
        say("phase", argv[1], uptime());
        return 0;
    }
    fprintf(stderr, "usage: phases NAME | phases watch SLOTS ARCHIVE | phases floor SLOT\n");
    return 2;
}
