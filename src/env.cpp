// SPDX-License-Identifier: MIT
#include "env.h"

#include "flash.h"

#include <cstdlib>
#include <cstring>

int gdb_enable = 0;
int gdbserver_enable = 0;
int gdbport = 1234;
uint8_t shell_enable = 0;
uint8_t memchk_enable = 0;
int rescue_enable = 0;
int standalone_diags = 0;

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
    // A read that fails, even one cut short, leaves nothing but NULs, which the parse
    // turns into blanks: no settings.
    uint8_t area[ENV_AREA_SIZE] = {};
    if (api_flash_read(area, uboot_env_fd, flash_offset{ENV_AREA_OFFSET},
                       flash_length{ENV_AREA_SIZE}) != 0)
        std::memset(area, 0, sizeof area);
    parse_env_area(area);
    return 0;
}

void print_launch_options(FILE* out) {
    fprintf(out,
            "gdb_enable=%d\ngdbserver_enable=%d\ngdbport=%d\nshell_enable=%d\n"
            "memchk_enable=%d\nrescue_enable=%d\nstandalone_diags=%d\n",
            gdb_enable, gdbserver_enable, gdbport, int(shell_enable), int(memchk_enable),
            rescue_enable, standalone_diags);
}
