// SPDX-License-Identifier: MIT
#include "launch.h"

#include "console.h"
#include "env.h"
#include "flash.h"
#include "handles.h"
#include "i2c.h"
#include "image.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

volatile uint8_t sig_quit_raised = 0;
uint8_t tried_alt_image = 0;
char stringbuff[256];

namespace {

// Ctrl-\ and Ctrl-Z on the console must neither kill nor stop the launcher. They are
// caught rather than ignored, so that the programs it starts get their default handling
// back at exec, and the reads they interrupt go on.
void console_key_ignored(int) {}

} // namespace

void sig_handler(int) {
    sig_quit_raised = 1;
}

int sig_init() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = console_key_ignored;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGQUIT, &sa, nullptr);
    sigaction(SIGTSTP, &sa, nullptr);
    sa.sa_handler = sig_handler;
    sa.sa_flags = 0; // no SA_RESTART: a console read returns when interrupted
    return sigaction(SIGINT, &sa, nullptr);
}

void board_reset() {
    sleep(1);
    if (api_run_command("reboot") < 0)
        fputs("System reboot failed, please power-cycle.\n", stderr);
    exit(0);
}

int api_run_command(const char* command) {
    fflush(stdout);
    fflush(stderr);
    static const char kDiscard[] = " &> /dev/null";
    size_t n = std::strlen(command);
    size_t k = sizeof kDiscard - 1;
    if (n >= k && std::strcmp(command + n - k, kDiscard) == 0) {
        std::string portable(command, n - k);
        portable += " >/dev/null 2>&1";
        return system(portable.c_str());
    }
    return system(command);
}

namespace {

// Replaces the launcher by `program` (no arguments but its name); returns only when the
// program cannot be executed. Output written so far is flushed first.
int exec_program(const char* program) {
    fflush(stdout);
    fflush(stderr);
    return execlp(program, program, static_cast<char*>(nullptr));
}

constexpr uint8_t BOOTED_RESCUE = 4;

int other_slot(int slot) {
    return slot == 1 ? 2 : 1;
}

void run_shell_if_enabled() {
    if (shell_enable)
        api_run_command("/bin/sh\n");
}

// Copies the recovery application into an image slot and makes it the one to boot; what
// then boots, the slot or (when the copy failed) the rescue partition. The copy replaces
// the slot file as the installer does, so a power cut during it leaves no slot file or a
// whole one, never a truncated slot that would fail at every start.
uint8_t install_recovery_image(char slot_char, const component_header& h) {
    printf("\nInstalling recovery image as image%c...\n", slot_char);
    const int slot = slot_char - '0';
    component_source source{nullptr, rescue_fd, 0};
    if (!write_slot(slot, source, h, false)) {
        fputs("Failed to write image file.\n", stderr);
        return BOOTED_RESCUE;
    }
    printf("Setting boot image to %d\n", slot);
    api_set_image(slot);
    return uint8_t(slot);
}

// How the application is started, first matching row first.
enum launch_need : uint8_t {
    NEED_GDBSERVER = 1,
    NEED_MEMCHK = 2,
    NEED_GDB = 4,
    NEED_GDB_PRESENT = 8,
    NEED_GDB_ABSENT = 16,
};

struct launch_mode {
    uint8_t needs;
    const char* message; // printed before the start, or nullptr
    const char* command; // formatted with gdbport
    bool replaces;       // exec instead of a child followed by a board reset
};

constexpr launch_mode kLaunchModes[] = {
    {NEED_GDBSERVER | NEED_MEMCHK, nullptr,
     "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d " APPLICATION_PROGRAM "\n", false},
    {NEED_GDBSERVER, nullptr, "/bin/gdbserver :%d " APPLICATION_PROGRAM "\n", false},
    {NEED_GDB | NEED_GDB_PRESENT, "*** Launching under GDB ***", "/tmp/gdb " APPLICATION_PROGRAM,
     false},
    {NEED_GDB | NEED_GDB_ABSENT,
     "**** GDB mode selected but GDB not available. Please install GDB image ***", "/bin/backtrace",
     true},
    {NEED_MEMCHK, nullptr, "LD_PRELOAD=libduma.so.0.0.0 " APPLICATION_PROGRAM "\n", false},
    {0, nullptr, "/bin/backtrace", true},
};

uint8_t launch_conditions() {
    struct stat st;
    uint8_t have = stat("/tmp/gdb", &st) == 0 ? NEED_GDB_PRESENT : NEED_GDB_ABSENT;
    if (gdbserver_enable)
        have |= NEED_GDBSERVER;
    if (memchk_enable)
        have |= NEED_MEMCHK;
    if (gdb_enable)
        have |= NEED_GDB;
    return have;
}

// Unpacks the application archive into /tmp. The script keeps tar's verdict as its own; an
// archive that does not unpack, or leaves no program to start, is an image that failed.
bool unpack_image(uint8_t diags) {
    sleep(1);
    snprintf(stringbuff, sizeof stringbuff,
             "cd /tmp \ntar mxzf %s \nunpacked=$? \nrm %s\nexit $unpacked\n", APP_ARCHIVE,
             APP_ARCHIVE);
    const int status = api_run_command(stringbuff);
    if (status < 0) {
        fputs("Failed to gunzip Application OS.\n", stderr);
        board_reset();
    }
    char program[64];
    snprintf(program, sizeof program, "/tmp/%s",
             launched_program(diags ? MAGIC_DIAGS : MAGIC_APPLICATION));
    struct stat st;
    if (status != 0 || stat(program, &st) != 0 || !S_ISREG(st.st_mode)) {
        fputs("Failed to unpack Application OS.\n", stderr);
        unlink(APP_ARCHIVE);
        return false;
    }
    return true;
}

// A slot whose image cannot start: the other slot next, or after both the rescue
// partition, then the reset.
int slot_failed(int used, int next, const char* why) {
    if (tried_alt_image) {
        fputs("Both image1 and image2 failed.\n", stderr);
        // An unusable slot falls back as a missing one does: an intact image in the
        // rescue partition still starts.
        extract_image_from_flash();
        run_shell_if_enabled();
        board_reset();
    }
    fprintf(stderr, "Image%d %s, trying Image%d now.\n", used, why, next);
    return 0;
}

} // namespace

int which_image() {
    return api_get_image() == 2 ? 2 : 1;
}

int extract_image(int slot) {
    const int next = other_slot(slot); // the slot the start-up sequence retries
    int used = slot;
    file_ptr package(fopen(slot_path(slot), "rb"));
    if (!package) {
        fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", slot, next);
        used = next;
        package.reset(fopen(slot_path(used), "rb"));
        if (!package) {
            fprintf(stderr, "Failed to open Application image %d. Trying rescue image\n", used);
            extract_image_from_flash();
            run_shell_if_enabled();
            board_reset();
        }
    }
    unique_fd archive(create_file(APP_ARCHIVE));
    if (!archive.ok()) {
        fputs("Failed to open application image output file.\n", stderr);
        package.reset();
        run_shell_if_enabled();
        board_reset();
    }

    component_header h{0, 0, 0, 0};
    bool archive_written = false;
    const slot_verdict verdict =
        check_slot_package(package.get(), &h, archive.fd, &archive_written);
    package.reset();
    if (verdict == slot_verdict::good) {
        if (!archive.close_now() || !archive_written) {
            fputs("Failed to write application image output file.\n", stderr);
            unlink(APP_ARCHIVE);
            run_shell_if_enabled();
            board_reset();
        }
        if (gdb_enable && !gdbserver_enable)
            extract_gdb(used);
        launch_image(h.magic == MAGIC_DIAGS, uint8_t(used));
        return slot_failed(used, next, "could not be unpacked");
    }
    archive.close_now();
    if (verdict != slot_verdict::no_component) {
        // What was written of a component that is not good is no archive.
        unlink(APP_ARCHIVE);
        // A component cut short is rejected like one whose CRC does not match.
        if (verdict == slot_verdict::cut_short)
            fprintf(stderr, "Image%d component of %u bytes cannot be read whole.\n", used, h.len);
        return slot_failed(used, next, "CRC failed");
    }

    if (tried_alt_image) {
        fputs("No valid application image found. Trying rescue image\n", stderr);
        extract_image_from_flash();
        run_shell_if_enabled();
        board_reset();
    }
    fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", h.magic, MAGIC_DIAGS);
    fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", used, next);
    return 0;
}

int extract_image_from_flash() {
    unique_fd archive(create_file(APP_ARCHIVE));
    if (!archive.ok()) {
        fputs("Failed to open AppOS tarfile.\n", stderr);
        board_reset();
    }
    component_header h{0, 0, 0, 0};
    bool written = false;
    const slot_verdict verdict = check_rescue_component(rescue_fd, &h, archive.fd, &written);
    if (verdict == slot_verdict::no_component) {
        fputs("Image not found... \n", stderr);
        return 0;
    }
    if (verdict != slot_verdict::good) {
        fputs("Image CRC failed. Quitting\n", stderr);
        archive.close_now();
        unlink(APP_ARCHIVE);
        return 0;
    }
    if (!archive.close_now() || !written) {
        fputs("Failed to write AppOS tarfile.\n", stderr);
        unlink(APP_ARCHIVE);
        board_reset();
    }

    uint8_t booted = BOOTED_RESCUE;
    if (h.magic == MAGIC_DIAGS) {
        puts("Launching diagnostics image");
    } else {
        console_ask("Install recovery image as image 1 or 2 (hit return to just boot image): ");
        char answer[8];
        // The end of the console's input boots the image as Enter does.
        if (api_read_answer(answer, sizeof answer) && (answer[0] == '1' || answer[0] == '2'))
            booted = install_recovery_image(answer[0], h);
        else
            puts("\nBooting recovery image. You will need to download and install an image "
                 "before rebooting");
    }
    launch_image(h.magic == MAGIC_DIAGS, booted);
    // Nothing is left to fall back to.
    run_shell_if_enabled();
    board_reset();
}

int extract_gdb(int slot) {
    if (slot != 1 && slot != 2)
        return 0;
    const int from = other_slot(slot);
    printf("Extracting GDB from image slot %d\n", from);
    file_ptr source(fopen(slot_path(from), "rb"));
    if (!source) {
        fprintf(stderr, "Failed to open GDB image (from slot %d)\n", from);
        return 0;
    }
    unique_fd out(create_file("/tmp/gdb.gz"));
    if (!out.ok()) {
        fputs("Failed to open GDB output file.\n", stderr);
        return 0;
    }
    component_header h{0, 0, 0, 0};
    bool written = false;
    if (!copy_first_component_data(source.get(), out.fd, &h, &written)) {
        fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
        return 0;
    }
    printf("Found GDB image %d of length = %u.\n", from, h.len);
    source.reset();
    if (!out.close_now() || !written) {
        fputs("Failed to write GDB output file.\n", stderr);
        unlink("/tmp/gdb.gz");
        return 0;
    }
    puts("decompressing GDB....");
    api_run_command("gunzip /tmp/gdb.gz");
    api_run_command("chmod +x /tmp/gdb");
    return 1;
}

void launch_image(uint8_t diags, uint8_t booted) {
    // Each image tried is recorded before it unpacks; one that does not is followed by the
    // next, which records itself in turn.
    if (booted != 0)
        api_set_booted_image(booted);
    if (!unpack_image(diags))
        return;
    api_i2c_close();
    if (diags) {
        puts("install diags image");
        api_run_command("mkdir -p /tmp/home/bin");
        api_run_command("mv /tmp/" DIAGNOSTICS_MEMBER " " APPLICATION_PROGRAM);
    }
    if (shell_enable) {
        puts("Dropping into shell");
        snprintf(stringbuff, sizeof stringbuff, "%s", "/bin/sh\n");
        api_run_command(stringbuff);
        puts("Dropping out of shell");
    }
    const uint8_t have = launch_conditions();
    for (const launch_mode& mode : kLaunchModes) {
        if ((mode.needs & have) != mode.needs)
            continue;
        if (mode.message)
            puts(mode.message);
        snprintf(stringbuff, sizeof stringbuff, mode.command, gdbport);
        if (mode.replaces) {
            exec_program(stringbuff);
            fputs("Failed to start Application OS.\n", stderr);
        } else {
            api_run_command(stringbuff);
        }
        break;
    }
    board_reset();
}
