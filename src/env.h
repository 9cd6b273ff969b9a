// SPDX-License-Identifier: MIT
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Launch options from the boot loader's environment partition.
extern int gdb_enable;
extern int gdbserver_enable;
extern int gdbport;
extern uint8_t shell_enable;
extern uint8_t memchk_enable;
extern int rescue_enable;
extern int standalone_diags;

// Bytes of the boot environment the launcher reads, from offset 4 of its partition (the
// first four are the boot loader's checksum).
constexpr size_t ENV_AREA_SIZE = 1280;
constexpr uint32_t ENV_AREA_OFFSET = 4;

// Reads the boot environment partition and sets the launch options.
int parse_uboot_env();
// Sets the launch options from the raw environment area (ENV_AREA_SIZE bytes).
void parse_env_area(const uint8_t* area);
// The launch options, one "name=value" line each.
void print_launch_options(FILE* out);
