// SPDX-License-Identifier: MIT
#pragma once
#include <cstdint>
#include <cstdio>

// Partition descriptors, opened once at start-up and never closed; -1 when the open failed.
extern int uboot_fd;
extern int uboot_env_fd;
extern int device_tree_fd;
extern int kernel_fd;
extern int rfs_fd;
extern int rescue_fd;
extern int flash_fd; // a copy of kernel_fd: the partition whose geometry is queried

// Erase geometry of the kernel partition; size 0 means no usable flash.
struct flash_descriptor {
    uint32_t sector_size;
    uint32_t sector_shift;
    uint32_t size;
};
extern flash_descriptor theFlash;

// 0 when the geometry query succeeded with a non-zero size, -1 otherwise.
int api_flash_init();
// 0 when the read did not fail, -1 when it did or when there is no usable flash.
int api_flash_read(void* buffer, int fd, uint32_t offset, uint32_t length);
// Size in bytes of the partition behind `fd`: 0, or -1 when it cannot be queried.
int api_flash_size(int fd, uint32_t* size);
// Read-modify-write of whole erase blocks; `progress` shows the percentage display.
// 0 on success, -1 after any failure.
int api_flash_write(const void* buffer, int fd, uint32_t offset, uint32_t length, uint8_t progress);
// The same write with its `length` bytes read from `source` as each block needs them.
int api_flash_write_file(FILE* source, int fd, uint32_t offset, uint32_t length, uint8_t progress);
