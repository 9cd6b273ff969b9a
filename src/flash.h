// SPDX-License-Identifier: MIT
#pragma once
#include "layout.h"
#include <cstdint>
#include <cstdio>

// The flash partitions behind the MTD character devices.
//
// Every operation of this module takes its arguments in one order, (buffer, descriptor,
// offset, length[, progress]), and returns 0 on success and -1 on failure. Offsets and
// lengths are byte counts of types of their own, so that a call that swaps them does not
// compile: api_flash_read(buf, fd, flash_offset{240}, flash_length{16}).
enum class flash_offset : uint32_t {};
enum class flash_length : uint32_t {};

// Partition descriptors, opened once at start-up and never closed; -1 when the open failed.
extern int uboot_fd;
extern int uboot_env_fd;
extern int device_tree_fd;
extern int kernel_fd;
extern int rfs_fd;
extern int rescue_fd;
extern int flash_fd; // a copy of kernel_fd: the partition whose geometry is queried

// Size of the kernel partition as the start-up query found it; 0 means no usable flash,
// and then every read and write fails.
struct flash_descriptor {
    uint32_t size;
};
extern flash_descriptor theFlash;

// The blade's partitions, one row each, in the order the launcher opens them.
struct partition_row {
    const char* name;
    const char* device;     // its MTD character device
    int open_flags;         // how the launcher opens it
    int* fd;                // its descriptor; nullptr: never opened (the user partition is mounted)
    uint32_t limit;         // most bytes a component installed there takes; 0: none is
    uint32_t magic;         // the component type installed there; 0: none
    uint32_t header_offset; // where the installed component's header is read back
};
extern const partition_row kPartitions[PART_COUNT];

// The partition a component type is installed to, or nullptr (the application goes to an
// image slot).
const partition_row* partition_of(uint32_t magic);

// Opens the partitions and queries the geometry.
int api_flash_init();
// Reads `length` bytes at `offset` into `buffer`; fails without touching it when there is
// no usable flash.
int api_flash_read(void* buffer, int fd, flash_offset offset, flash_length length);
// Read-modify-write of whole erase blocks; `progress` shows the percentage display.
int api_flash_write(const void* buffer, int fd, flash_offset offset, flash_length length,
                    uint8_t progress);
// The same write with its `length` bytes read from `source` as each block needs them.
int api_flash_write_file(FILE* source, int fd, flash_offset offset, flash_length length,
                         uint8_t progress);
// Size in bytes of the partition behind `fd`.
int api_flash_size(int fd, uint32_t* size);
