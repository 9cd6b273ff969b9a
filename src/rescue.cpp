// SPDX-License-Identifier: MIT
#include "rescue.h"

#include "console.h"
#include "image.h"
#include "installer.h"
#include "launch.h"
#include "layout.h"
#include "mgmt.h"
#include "xmodem.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The menu, one row per key; rows without a text work but are not offered.
enum class menu_action { tftp, xmodem, reboot, exit, diags, versions };

struct menu_entry {
    char key;
    const char* shown;
    menu_action action;
};

constexpr menu_entry kMenu[] = {
    {'T', "\t%c) Configure networking and tftp download an image\n", menu_action::tftp},
    {'X', "\t%c) Use xmodem 1K to serial download an image\n", menu_action::xmodem},
    {'R', "\t%c) Reboot\n", menu_action::reboot},
    {'E', "\t%c) Exit\n", menu_action::exit},
    {'D', nullptr, menu_action::diags},
    {'H', nullptr, menu_action::versions},
};

const menu_entry* menu_entry_for(int key) {
    for (const auto& e : kMenu)
        if (e.key == key)
            return &e;
    return nullptr;
}

// The version display, one row per line.
struct version_row {
    const char* format;
    uint32_t type;
    int slot;
};

constexpr version_row kVersionRows[] = {
    {"\tBoot image  : %d.%d.%d.%d\n", MAGIC_UBOOT, 0},
    {"\tRFS image   : %d.%d.%d.%d\n", MAGIC_RFS, 0},
    {"\tKernel image: %d.%d.%d.%d\n", MAGIC_KERNEL, 0},
    {"\tDFT image   : %d.%d.%d.%d\n", MAGIC_DFT, 0},
    {"\tOS image 1  : %d.%d.%d.%d\n", MAGIC_APPLICATION, 1},
    {"\tOS image 2  : %d.%d.%d.%d\n", MAGIC_APPLICATION, 2},
};

// True while a filesystem is mounted at /user.
bool user_mounted() {
    FILE* f = fopen("/proc/self/mounts", "r");
    if (!f)
        return false;
    char line[512];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        char* mount_point = std::strchr(line, ' ');
        found =
            mount_point && std::strncmp(mount_point, " " USER_DIR " ", sizeof USER_DIR + 1) == 0;
    }
    fclose(f);
    return found;
}

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

} // namespace

int run_image_display() {
    puts("Installed images versions: ");
    for (const auto& row : kVersionRows) {
        uint8_t raw[HEADER_SIZE];
        read_flash_image_header(row.type, raw, row.slot);
        const uint32_t id = decode_header(raw).id;
        printf(row.format, int(id >> 24), int((id >> 16) & 0xFF), int((id >> 8) & 0xFF),
               int(id & 0xFF));
    }
    return 0;
}

int run_standalone_diags() {
    console_ask(
        "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    int key = uartGetC();
    printf("\n");
    if (key != 0 && toupper(key) == 'Y') {
        puts("unmount filesystem");
        api_run_command("/bin/umount " USER_DIR " &> /dev/null");
        // Erasing the flash under a mounted filesystem would corrupt it.
        if (user_mounted()) {
            puts(USER_DIR " is still mounted; the filesystem is not erased");
        } else {
            puts("\nErasing filesystem for clean install");
            api_run_command("flash_eraseall " USER_CHAR_DEVICE);
            puts("Mounting...");
            api_run_command(MOUNT_USER " &> /dev/null");
            puts("creating default filesystem");
            api_run_command("mkdir " SLOT_DIR " &> /dev/null");
        }
    }
    puts("Booting diags image...");
    extract_image_from_flash();
    return 1;
}

int run_rescue_mode() {
    puts("Entering Rescue Mode.");
    for (;;) {
        puts("Please select one of the following options:");
        for (const auto& e : kMenu)
            if (e.shown)
                printf(e.shown, e.key);
        const menu_entry* choice = nullptr;
        while (!choice) {
            console_ask("\nOption? : ");
            int key = console_read_key();
            api_discard_typed_ahead();
            printf("%c\n", key);
            if (sig_quit_raised) {
                sig_quit_raised = 0;
                continue;
            }
            if (key == 0) {
                // Nobody is left at the console: the boot goes on as after Exit.
                if (console_input_ended())
                    return 1;
                continue;
            }
            int folded = toupper(key);
            choice = menu_entry_for(folded);
            if (!choice)
                printf("unknown option \"%c\". Please try again\n", folded);
        }
        switch (choice->action) {
        case menu_action::tftp:
            run_tftp_rescue();
            break;
        case menu_action::xmodem:
            run_xmodem_rescue();
            break;
        case menu_action::reboot:
            sleep(1);
            board_reset();
        case menu_action::exit:
            return 1;
        case menu_action::diags:
            run_standalone_diags();
            break;
        case menu_action::versions:
            run_image_display();
            break;
        }
        if (sig_quit_raised)
            sig_quit_raised = 0;
    }
}

bool safe_file_name(const char* name) {
    // Letters, digits and punctuation that no shell gives a meaning to in a word.
    static const char kAllowed[] = "._-/+:@%,=";
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c >= 128 || !(std::isalnum(c) || std::strchr(kAllowed, c)))
            return false;
    }
    return true;
}

int run_tftp_rescue() {
    puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    mgmt_port_settings port{'1', 0, {0}, {0}, {0}};
    if (!mgmt_port_params(&port.use_dhcp, &port.address, &port.netmask, &port.gateway, 0))
        return 0;
    in_addr server{0};
    if (!get_ip_addr("Server addr:", &server, 1, 1))
        return 0;

    char name[128];
    for (;;) {
        console_ask("Image Filename: ");
        get_user_input(name, sizeof name);
        if (std::strlen(name) >= 2) {
            if (sig_quit_raised)
                return 0;
            // The name goes into a shell command line: nothing in it may be read as shell.
            if (safe_file_name(name))
                break;
        } else if (std::strcmp(name, "q") == 0 || sig_quit_raised) {
            return 0;
        }
        puts("Invalid filename. Try again please");
        if (console_input_ended())
            return 0;
    }

    mgmt_port_configure(port.use_dhcp, port.port, port.address, port.netmask, port.gateway);
    char server_text[16];
    snprintf(server_text, sizeof server_text, "%s", inet_ntoa(server));
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (sig_quit_raised)
            return 0;
        printf("Installing image %s from TFTP server %s\n", name, server_text);
        char command[192];
        snprintf(command, sizeof command, "tftp -g -r %s -l " DOWNLOAD_FILE " %s\n", name,
                 server_text);
        api_run_command(command);
        if (exists(DOWNLOAD_FILE))
            break;
        printf("Attempt %d/3 of tftp timed out\n", attempt);
        sleep(3);
    }
    if (!exists(DOWNLOAD_FILE)) {
        puts("Tftp download failed. Aborting");
        return 0;
    }
    return processBladeImage(DOWNLOAD_FILE);
}

int run_xmodem_rescue() {
    puts("Running xmodem rescue.....");
    int port = init_serial();
    // Without the port neither speed switch can be confirmed by the operator's Enter:
    // the transfer would run at a speed nobody agreed on, and the switch back would wait
    // for ever.
    if (port < 0) {
        puts("Serial download abandoned.");
        return 0;
    }
    api_run_command("/usr/bin/rx " DOWNLOAD_FILE);
    const bool received = exists(DOWNLOAD_FILE);
    reset_serial(port);
    close(port);
    if (!received)
        return 0;
    return processBladeImage(DOWNLOAD_FILE);
}
