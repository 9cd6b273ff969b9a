// SPDX-License-Identifier: MIT
// bladeboot: the blade's boot-time launcher and rescue console.
#include "env.h"
#include "flash.h"
#include "handles.h"
#include "i2c.h"
#include "image.h"
#include "launch.h"
#include "mgmt.h"
#include "rescue.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kUsage =
    "usage: bladeboot [--help | --version | --launch-options ENVIRONMENT]\n"
    "The blade starts it without arguments at every boot. --launch-options prints the\n"
    "launch options that a boot environment partition (or a copy of it) gives.\n";

// The launch options a boot environment gives, read as the launcher reads it at start-up.
int show_launch_options(const char* path) {
    unique_fd env(open(path, O_RDONLY));
    uint8_t area[ENV_AREA_SIZE] = {};
    if (!env.ok() || pread(env.fd, area, sizeof area, ENV_AREA_OFFSET) < 0) {
        fprintf(stderr, "bladeboot: cannot read %s: %s\n", path, strerror(errno));
        return 1;
    }
    parse_env_area(area);
    print_launch_options(stdout);
    return 0;
}

// The partitions the launcher reads and writes; a machine with none of them is no blade.
bool on_a_blade() {
    struct stat st;
    for (const partition_row& p : kPartitions)
        if (stat(p.device, &st) == 0)
            return true;
    return false;
}

} // namespace

int main(int argc, char** argv) {
    // Tried on a workstation, the launcher must touch nothing: it mounts, writes /tmp and
    // reboots only where it starts as the blade starts it.
    if (argc > 1) {
        if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
            puts("bladeboot " BLADEBOOT_VERSION);
            return 0;
        }
        if (argc == 3 && std::strcmp(argv[1], "--launch-options") == 0)
            return show_launch_options(argv[2]);
        fprintf(stderr, "bladeboot: unexpected argument '%s'\n%s", argv[1], kUsage);
        return 2;
    }
    if (!on_a_blade()) {
        fputs("bladeboot: not running on a blade (no /dev/mtd-* flash devices); nothing done\n",
              stderr);
        return 2;
    }
    sig_init();
    // A bus or partition that cannot be opened does not stop the boot: each has said so,
    // an unreadable slot record boots slot 1, and a missing partition fails where it is
    // used, with its own message. Only the launcher can still start the application.
    api_i2c_init();
    api_flash_init();
    parse_uboot_env();
    api_run_command(MOUNT_USER);
    remove_staged_slots();

    if (rescue_enable)
        run_rescue_mode();
    if (standalone_diags)
        run_standalone_diags();

    const int slot = which_image();
    if (gdbserver_enable)
        mgmt_port_setup(1);
    printf("Booting image '%d'\n", slot);
    extract_image(slot);

    const int alternate = slot == 1 ? 2 : 1;
    printf("Booting image '%d'\n", alternate);
    tried_alt_image = 1;
    extract_image(alternate);
    board_reset();
}
