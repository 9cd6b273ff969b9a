#include "launch.h"

#include "flash.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

int gdb_enable = 0;
int gdbserver_enable = 0;
int gdbport = 1234;
uint8_t shell_enable = 0;
uint8_t memchk_enable = 0;
int rescue_enable = 0;
int standalone_diags = 0;

volatile uint8_t sig_quit_raised = 0;

namespace {

// Value of the first occurrence of `key` anywhere in the text, or nullptr.
const char* env_value(const char* text, const char* key) {
    const char* at = std::strstr(text, key);
    return at ? at + std::strlen(key) : nullptr;
}

bool value_is(const char* value, const char* prefix) {
    return std::strncmp(value, prefix, std::strlen(prefix)) == 0;
}

// "%d"-style conversion: blanks skipped, optional sign, digits up to the first other byte.
bool convert_decimal(const char* value, int* out) {
    char* end = nullptr;
    long v = std::strtol(value, &end, 10);
    if (end == value)
        return false;
    *out = static_cast<int>(static_cast<unsigned long>(v));
    return true;
}

} // namespace

void sig_handler(int) {
    sig_quit_raised = 1;
}

int sig_init() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = sig_handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a console read returns when interrupted
    return sigaction(SIGINT, &sa, nullptr);
}

void board_reset() {
    sleep(1);
    if (api_run_command("reboot") < 0)
        fputs("System reboot failed, please power-cycle.\n", stderr);
    exit(0);
}

void parse_env_area(const uint8_t* area) {
    char text[ENV_AREA_SIZE + 1];
    for (size_t i = 0; i < ENV_AREA_SIZE; ++i)
        text[i] = area[i] == 0 ? ' ' : static_cast<char>(area[i]);
    text[ENV_AREA_SIZE] = 0;

    if (const char* v = env_value(text, "gdb="))
        gdb_enable = value_is(v, "on");
    if (const char* v = env_value(text, "gdbserver=")) {
        gdbserver_enable = value_is(v, "on");
        if (gdbserver_enable)
            gdb_enable = 1;
    }
    if (const char* v = env_value(text, "gdbport="))
        convert_decimal(v, &gdbport);
    if (const char* v = env_value(text, "shell="))
        shell_enable = value_is(v, "on");
    if (const char* v = env_value(text, "memchk="))
        memchk_enable = value_is(v, "on");
    if (const char* v = env_value(text, "diagnostics=")) {
        rescue_enable = value_is(v, "rescue");
        standalone_diags = value_is(v, "diags");
    }
}

int parse_uboot_env() {
    // NUL-filled first, so a failed read leaves nothing but blanks to parse.
    uint8_t area[ENV_AREA_SIZE] = {};
    api_flash_read(area, uboot_env_fd, 4, ENV_AREA_SIZE);
    parse_env_area(area);
    return 0;
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
