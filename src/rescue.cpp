// SPDX-License-Identifier: MIT
#include "rescue.h"

#include "image.h"
#include "launch.h"
#include "mgmt.h"
#include "xmodem.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int BEL = 7, BS = 8, LF = 10, CR = 13, ESC = 27, DEL = 127;

bool g_input_ended = false;

// Puts the console's settings back when a single-key read ends, on every path.
struct console_settings_guard {
    termios saved{};
    bool have = tcgetattr(0, &saved) == 0;
    ~console_settings_guard() {
        if (have)
            tcsetattr(0, TCSANOW, &saved);
    }
};

void uartPutC(int c) {
    putchar(static_cast<unsigned char>(c));
    fflush(stdout);
}

void put_text(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        uartPutC(static_cast<unsigned char>(s[i]));
}

void put_repeated(int c, size_t n) {
    for (size_t i = 0; i < n; ++i)
        uartPutC(c);
}

// What a key does to the line when no escape sequence is under way.
enum class key_action { none, bell, home, left, right, brk, del, backspace, enter, escape, insert };

key_action action_of(int key) {
    switch (key) {
    case 1:
        return key_action::home;
    case 2:
        return key_action::left;
    case 3:
        return key_action::brk;
    case 4:
        return key_action::del;
    case 6:
        return key_action::right;
    case BS:
    case DEL:
        return key_action::backspace;
    case LF:
    case CR:
        return key_action::enter;
    case ESC:
        return key_action::escape;
    default:
        return key < 32 ? key_action::bell : key_action::insert;
    }
}

struct line_editor {
    char* buf;
    int size;
    size_t cursor = 0;
    int room;
    int escape = 0;
    bool done = false;

    size_t length() const { return size_t(size - room); }

    // Redraws from the cursor after a character was removed there.
    void redraw_after_removal() {
        size_t rest = length() - cursor;
        put_text(buf + cursor, rest);
        uartPutC(' ');
        put_repeated(BS, rest + 1);
    }

    void apply(key_action a, int key) {
        switch (a) {
        case key_action::none:
            break;
        case key_action::bell:
            uartPutC(BEL);
            break;
        case key_action::home:
            put_repeated(BS, cursor);
            cursor = 0;
            break;
        case key_action::left:
            if (cursor > 0) {
                --cursor;
                uartPutC(BS);
            }
            break;
        case key_action::right:
            if (cursor < length())
                uartPutC(static_cast<unsigned char>(buf[cursor++]));
            break;
        case key_action::brk:
            printf(" <break>\n");
            fflush(stdout);
            done = true;
            break;
        case key_action::backspace:
            if (cursor == 0)
                break;
            --cursor;
            uartPutC(BS);
            [[fallthrough]];
        case key_action::del:
            if (cursor == length())
                break;
            std::memmove(buf + cursor, buf + cursor + 1, length() - cursor);
            ++room;
            redraw_after_removal();
            break;
        case key_action::enter:
            uartPutC(LF);
            done = true;
            break;
        case key_action::escape:
            escape = 1;
            break;
        case key_action::insert: {
            if (room <= 1) {
                uartPutC(BEL);
                break;
            }
            size_t rest = length() - cursor;
            uartPutC(key);
            put_text(buf + cursor, rest);
            std::memmove(buf + cursor + 1, buf + cursor, rest + 1);
            put_repeated(BS, rest);
            buf[cursor++] = static_cast<char>(key);
            --room;
            break;
        }
        }
    }

    void key(int k) {
        if (escape == 1) {
            escape = 0;
            if (k == '[') {
                escape = 2;
                return;
            }
            if (k == BS || k == DEL) {
                apply(key_action::backspace, k);
                return;
            }
            apply(action_of(k), k);
            return;
        }
        if (escape == 2) {
            if ((k >= '0' && k <= '9') || k == ';')
                return;
            escape = 0;
            if (k == 'C')
                apply(key_action::right, k);
            else if (k == 'D')
                apply(key_action::left, k);
            return;
        }
        apply(action_of(k), k);
    }
};

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
        found = mount_point && std::strncmp(mount_point, " /user ", 7) == 0;
    }
    fclose(f);
    return found;
}

bool exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0;
}

} // namespace

namespace {

// After an ESC, the rest of a cursor or function key's sequence (ESC [ parameters final,
// or ESC O final), or the one key an Alt press sent with it.
void drop_escape_rest() {
    unsigned char b = 0;
    if (read(0, &b, 1) != 1)
        return; // a lone ESC
    if (b == '[') {
        while (read(0, &b, 1) == 1 && (b < 0x40 || b > 0x7E)) {
        }
    } else if (b == 'O') {
        (void)!read(0, &b, 1);
    }
}

// One key in raw mode. With `whole_key`, an escape sequence is read to its end in the same
// raw session and comes back as the one key ESC.
int read_key(bool whole_key) {
    unsigned char c = 0;
    ssize_t n;
    {
        console_settings_guard guard;
        termios raw = guard.saved;
        raw.c_lflag &= ~tcflag_t(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        if (guard.have)
            tcsetattr(0, TCSANOW, &raw);
        n = read(0, &c, 1);
        if (n == 1 && c == ESC && whole_key && guard.have) {
            // The bytes of one key arrive together; a tenth of a second ends the wait.
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 1;
            tcsetattr(0, TCSANOW, &raw);
            drop_escape_rest();
        }
    }
    if (n == 0)
        g_input_ended = true;
    return n == 1 ? c : 0;
}

} // namespace

int uartGetC() {
    return read_key(false);
}

bool console_input_ended() {
    return g_input_ended;
}

char* get_user_input(char* buffer, int size) {
    std::memset(buffer, 0, size_t(size));
    line_editor ed{buffer, size, 0, size};
    while (!ed.done) {
        int k = uartGetC();
        // A console that has reached its end can send nothing more: the line ends as
        // Break would end it.
        if (k == 0 && console_input_ended()) {
            ed.apply(key_action::brk, 3);
            break;
        }
        ed.key(k);
    }
    api_discard_typed_ahead();
    return buffer;
}

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
    // Only a key pressed after the question may answer it.
    api_discard_typed_ahead();
    printf("Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ");
    fflush(stdout);
    int key = uartGetC();
    printf("\n");
    if (key != 0 && toupper(key) == 'Y') {
        puts("unmount filesystem");
        api_run_command("/bin/umount /user &> /dev/null");
        // Erasing the flash under a mounted filesystem would corrupt it.
        if (user_mounted()) {
            puts("/user is still mounted; the filesystem is not erased");
        } else {
            puts("\nErasing filesystem for clean install");
            api_run_command("flash_eraseall /dev/mtd-user-char");
            puts("Mounting...");
            api_run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null");
            puts("creating default filesystem");
            api_run_command("mkdir /user/images &> /dev/null");
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
            printf("\nOption? : ");
            fflush(stdout);
            int key = read_key(true);
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
        printf("Image Filename: ");
        fflush(stdout);
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
        snprintf(command, sizeof command, "tftp -g -r %s -l /tmp/image %s\n", name, server_text);
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
    api_run_command("/usr/bin/rx /tmp/image");
    const bool received = exists(DOWNLOAD_FILE);
    reset_serial(port);
    close(port);
    if (!received)
        return 0;
    return processBladeImage(DOWNLOAD_FILE);
}
