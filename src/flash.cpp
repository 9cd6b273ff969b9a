// SPDX-License-Identifier: MIT
#include "flash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mtd/mtd-user.h>
#include <new>
#include <sys/ioctl.h>
#include <unistd.h>

int uboot_fd = -1;
int uboot_env_fd = -1;
int device_tree_fd = -1;
int kernel_fd = -1;
int rfs_fd = -1;
int rescue_fd = -1;
int flash_fd = -1;
flash_descriptor theFlash = {0};

const partition_row kPartitions[PART_COUNT] = {
    {"uboot", "/dev/mtd-uboot", O_RDWR | O_SYNC, &uboot_fd, 0x80000, MAGIC_UBOOT, 240},
    {"ubootenv", "/dev/mtd-ubootenv", O_RDWR | O_SYNC, &uboot_env_fd, 0, 0, 0},
    {"devicetree", "/dev/mtd-devicetree", O_RDWR | O_SYNC, &device_tree_fd, 0x40000, MAGIC_DFT, 0},
    {"kernel", "/dev/mtd-kernel", O_RDWR | O_SYNC, &kernel_fd, 0x300000, MAGIC_KERNEL, 0},
    {"rfs", "/dev/mtd-rfs", O_RDWR | O_SYNC, &rfs_fd, 0xF00000, MAGIC_RFS, 0},
    {"rescue", "/dev/mtd-rescue", O_RDWR, &rescue_fd, 0xA00000, MAGIC_DIAGS, 0},
    {"user", USER_DEVICE, 0, nullptr, 0, 0, 0},
};

const partition_row* partition_of(uint32_t magic) {
    for (const partition_row& p : kPartitions)
        if (p.magic != 0 && p.magic == magic)
            return &p;
    return nullptr;
}

namespace {

constexpr uint32_t as_u32(flash_offset o) {
    return static_cast<uint32_t>(o);
}
constexpr uint32_t as_u32(flash_length l) {
    return static_cast<uint32_t>(l);
}

constexpr uint32_t kWritePiece = 1024;

struct partition_geometry {
    uint32_t size;
    uint32_t erasesize;
};

// The one door to MEMGETINFO.
int mtd_geometry(int fd, partition_geometry* geo) {
    mtd_info_user info;
    std::memset(&info, 0, sizeof info);
    if (ioctl(fd, MEMGETINFO, &info) != 0)
        return -1;
    geo->size = info.size;
    geo->erasesize = info.erasesize;
    return 0;
}

// Number of the lowest set bit, 32 when none is: log2 of a power-of-two erase size.
uint32_t lowest_set_bit(uint32_t v) {
    for (uint32_t bit = 0; bit < 32; ++bit)
        if (v & (1u << bit))
            return bit;
    return 32;
}

void mtd_open() {
    for (const partition_row& p : kPartitions)
        if (p.fd)
            *p.fd = open(p.device, p.open_flags);
    flash_fd = kernel_fd;
}

int mtd_type() {
    partition_geometry geo;
    if (mtd_geometry(flash_fd, &geo) != 0) {
        puts("Could not get MTD device info ");
        return -1;
    }
    theFlash.size = geo.size;
    if (geo.size == 0) {
        puts("NO FLASH !");
        return -1;
    }
    return 0;
}

int flash_open() {
    mtd_open();
    return mtd_type();
}

// A transfer succeeds only when it moved every byte asked for: a short count is a failure.
int mtd_read(void* buffer, int fd, flash_offset offset, flash_length length) {
    return pread(fd, buffer, as_u32(length), as_u32(offset)) == ssize_t(as_u32(length)) ? 0 : -1;
}

int mtd_write(const void* buffer, int fd, flash_offset offset, flash_length length) {
    return pwrite(fd, buffer, as_u32(length), as_u32(offset)) == ssize_t(as_u32(length)) ? 0 : -1;
}

// The one door to MEMERASE.
int mtd_erase(int fd, flash_offset offset, flash_length length) {
    erase_info_user ei;
    ei.start = as_u32(offset);
    ei.length = as_u32(length);
    return ioctl(fd, MEMERASE, &ei) == 0 ? 0 : -1;
}

// Writes one erased block back from `block` in pieces, then reads the whole block back
// into `check` to compare: a write is trusted only once the flash holds what was written.
// One read-back a block, not one a piece: a NOR chip leaves its program mode for each
// read, and that switch costs more than the read.
int program_block(const uint8_t* block, uint8_t* check, int fd, uint32_t at, uint32_t size) {
    for (uint32_t k = 0; k < size; k += kWritePiece)
        if (mtd_write(block + k, fd, flash_offset{at + k}, flash_length{kWritePiece}) != 0)
            return -1;
    if (mtd_read(check, fd, flash_offset{at}, flash_length{size}) != 0 ||
        std::memcmp(check, block, size) != 0)
        return -1;
    return 0;
}

int flash_read(void* buffer, int fd, flash_offset offset, flash_length length) {
    return mtd_read(buffer, fd, offset, length);
}

// The bytes a write puts on the flash: in memory, or read from a file block by block.
struct write_source {
    const uint8_t* bytes;
    FILE* file;
};

bool take_bytes(const write_source& src, uint32_t from, uint32_t count, uint8_t* to) {
    if (src.bytes) {
        std::memcpy(to, src.bytes + from, count);
        return true;
    }
    return fread(to, 1, count, src.file) == count;
}

int fail_block(const char* what) {
    printf("Flash Write mtd %s failed.\n\n", what);
    return -1;
}

int flash_write(const write_source& src, int fd, flash_offset at, flash_length size,
                uint8_t progress) {
    const uint32_t offset = as_u32(at), length = as_u32(size);
    // The progress field comes first, so that every failure message follows it.
    if (progress)
        printf("     ");
    // Each partition is written with its own geometry, and a range that does not fit
    // in it is refused before any block is erased.
    partition_geometry geo;
    if (mtd_geometry(fd, &geo) != 0)
        return fail_block("read");
    const uint32_t S = geo.erasesize;
    if (S < kWritePiece || (S & (S - 1)) != 0 || S % kWritePiece != 0) {
        printf("Flash Write bad erase size %u.\n\n", S);
        return -1;
    }
    if (uint64_t(offset) + length > geo.size) {
        printf("Flash Write beyond end of partition (%u + %u > %u).\n\n", offset, length, geo.size);
        return -1;
    }
    if (length == 0)
        return 0; // nothing to write: no block is erased
    const uint32_t shift = lowest_set_bit(S);

    const uint32_t first = offset & ~(S - 1);
    const uint32_t last = ((offset + length - 1) & ~(S - 1)) + S - 1;
    const uint32_t blocks = (last - first + 1) >> shift;

    // One erase block, and room to read it back into.
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[2 * size_t(S)]);
    if (!block) {
        puts("Flash Write malloc failed");
        return -1;
    }

    uint32_t b = first;
    uint32_t p = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        uint32_t dest, count;
        if (blocks == 1) {
            dest = offset - first;
            count = length;
        } else if (i == 0) {
            dest = offset - first;
            count = S - dest;
        } else if (i == blocks - 1) {
            dest = 0;
            count = length - p;
        } else {
            dest = 0;
            count = S;
        }
        // A block that cannot be read whole is never erased.
        if (mtd_read(block.get(), fd, flash_offset{b}, flash_length{S}) != 0)
            return fail_block("read");
        if (!take_bytes(src, p, count, block.get() + dest)) {
            puts("Flash Write image read failed.\n");
            return -1;
        }
        if (mtd_erase(fd, flash_offset{b}, flash_length{S}) != 0)
            return fail_block("erase");
        if (program_block(block.get(), block.get() + S, fd, b, S) != 0)
            return fail_block("write");
        if (progress) {
            printf("\b\b\b\b%3.3d%c", int(uint64_t(i) * 100 / blocks), '%');
            fflush(stdout);
        }
        b += S;
        p += count;
    }
    if (progress)
        printf("\b\b\b\b100%c\n", '%');
    return 0;
}

} // namespace

int api_flash_init() {
    return flash_open();
}

int api_flash_read(void* buffer, int fd, flash_offset offset, flash_length length) {
    if (theFlash.size == 0)
        return -1;
    return flash_read(buffer, fd, offset, length);
}

int api_flash_size(int fd, uint32_t* size) {
    partition_geometry geo;
    if (theFlash.size == 0 || mtd_geometry(fd, &geo) != 0)
        return -1;
    *size = geo.size;
    return 0;
}

int api_flash_write(const void* buffer, int fd, flash_offset offset, flash_length length,
                    uint8_t progress) {
    if (theFlash.size == 0)
        return -1;
    const write_source src{static_cast<const uint8_t*>(buffer), nullptr};
    return flash_write(src, fd, offset, length, progress);
}

int api_flash_write_file(FILE* source, int fd, flash_offset offset, flash_length length,
                         uint8_t progress) {
    if (theFlash.size == 0)
        return -1;
    const write_source src{nullptr, source};
    return flash_write(src, fd, offset, length, progress);
}
