// SPDX-License-Identifier: MIT
// The flash partitions: the board's partition files as MTD character devices. MEMGETINFO
// reports NOR flash with the board's erase size, MEMERASE takes only whole blocks inside the
// partition and sets them to 0xFF, and a write programs NOR cells: every byte becomes old
// AND new, so only an erased byte takes any value. Reads and writes stop at the end of the
// partition as the driver's do.
#include "sim.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace sim {

namespace {

uint64_t file_size(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? uint64_t(st.st_size) : 0;
}

// True when a fault names `what` for every block, or for a block the range
// [offset, offset+length) touches.
bool range_fault(const fd_entry& e, const char* what, uint64_t offset, uint64_t length) {
    if (fault(e.name, what))
        return true;
    uint64_t last = length ? offset + length - 1 : offset;
    for (uint64_t b = offset / cfg().erasesize; b <= last / cfg().erasesize; ++b)
        if (fault(e.name, what, long(b)))
            return true;
    return false;
}

// A transfer cut short by a fault moves half of what was asked.
size_t short_count(size_t n) {
    return n / 2;
}

// A cell that cannot be programmed: the first byte a write programs in a block with a
// stuck bit keeps its lowest programmed bit at 1.
void stick_a_bit(std::vector<uint8_t>& cells) {
    for (uint8_t& c : cells)
        if (c != 0xFF) {
            const int zeros = uint8_t(~c);
            c |= uint8_t(zeros & -zeros); // its lowest bit that is 0
            return;
        }
}

ssize_t mtd_pread(fd_entry& e, int fd, void* buf, size_t n, uint64_t offset) {
    REAL(pread);
    uint64_t size = file_size(fd);
    if (offset >= size)
        return 0;
    if (n > size - offset)
        n = size_t(size - offset);
    if (range_fault(e, board::fault::part_read, offset, n)) {
        errno = EIO;
        return -1;
    }
    if (range_fault(e, board::fault::part_short_read, offset, n))
        n = short_count(n);
    return real_pread(fd, buf, n, off_t(offset));
}

ssize_t mtd_pwrite(fd_entry& e, int fd, const void* buf, size_t n, uint64_t offset) {
    REAL(pread);
    REAL(pwrite);
    uint64_t size = file_size(fd);
    if (offset >= size) {
        errno = ENOSPC;
        return -1;
    }
    if (n > size - offset)
        n = size_t(size - offset);
    if (range_fault(e, board::fault::part_write, offset, n)) {
        errno = EIO;
        return -1;
    }
    power_check();
    if (range_fault(e, board::fault::part_short_write, offset, n))
        n = short_count(n);
    std::vector<uint8_t> cells(n);
    ssize_t got = real_pread(fd, cells.data(), n, off_t(offset));
    if (got != ssize_t(n)) {
        errno = EIO;
        return -1;
    }
    const auto* in = static_cast<const uint8_t*>(buf);
    for (size_t i = 0; i < n; ++i)
        cells[i] &= in[i];
    if (range_fault(e, board::fault::part_stuck, offset, n))
        stick_a_bit(cells);
    char f[160];
    snprintf(f, sizeof f, "\"partition\": \"%s\", \"offset\": %llu, \"length\": %zu", e.name,
             (unsigned long long)offset, n);
    journal("write", f);
    return real_pwrite(fd, cells.data(), n, off_t(offset));
}

// Plain reads and writes go from the descriptor's position, which they move.
ssize_t mtd_read(fd_entry& e, int fd, void* buf, size_t n) {
    off_t at = lseek(fd, 0, SEEK_CUR);
    ssize_t got = mtd_pread(e, fd, buf, n, uint64_t(at));
    if (got > 0)
        lseek(fd, at + got, SEEK_SET);
    return got;
}

ssize_t mtd_write(fd_entry& e, int fd, const void* buf, size_t n) {
    off_t at = lseek(fd, 0, SEEK_CUR);
    ssize_t put = mtd_pwrite(e, fd, buf, n, uint64_t(at));
    if (put > 0)
        lseek(fd, at + put, SEEK_SET);
    return put;
}

int mtd_ioctl(fd_entry& e, int fd, unsigned long request, void* arg) {
    REAL(pwrite);
    uint64_t size = file_size(fd);
    if (request == MEMGETINFO) {
        if (fault(e.name, board::fault::part_getinfo)) {
            errno = EIO;
            return -1;
        }
        auto* info = static_cast<mtd_info_user*>(arg);
        std::memset(info, 0, sizeof *info);
        info->type = MTD_NORFLASH;
        info->flags = MTD_CAP_NORFLASH;
        info->size = uint32_t(size);
        info->erasesize = cfg().erasesize;
        info->writesize = 1;
        return 0;
    }
    if (request == MEMERASE) {
        auto* ei = static_cast<erase_info_user*>(arg);
        // The MTD layer refuses a range that is unaligned or reaches past the end.
        if (ei->start % cfg().erasesize || ei->length % cfg().erasesize ||
            uint64_t(ei->start) + ei->length > size) {
            errno = EINVAL;
            return -1;
        }
        if (range_fault(e, board::fault::part_erase, ei->start, ei->length)) {
            errno = EIO;
            return -1;
        }
        power_check();
        char f[160];
        snprintf(f, sizeof f, "\"partition\": \"%s\", \"offset\": %u, \"length\": %u", e.name,
                 ei->start, ei->length);
        journal("erase", f);
        std::vector<uint8_t> ones(ei->length, 0xFF);
        return real_pwrite(fd, ones.data(), ones.size(), off_t(ei->start)) == ssize_t(ei->length)
                   ? 0
                   : -1;
    }
    errno = ENOTTY;
    return -1;
}

} // namespace

const device_ops mtd_ops = {mtd_read, mtd_write, mtd_pread, mtd_pwrite, mtd_ioctl, nullptr};

void mtd_start(fd_entry& e, const char* path) {
    snprintf(e.name, sizeof e.name, "%s", path + std::strlen(board::kDevicePrefix));
}

const char* device_path(const char* path, char (&buf)[256]) {
    const char* dir = getenv("BLADESIM_MTD_DIR");
    if (!dir || !path ||
        std::strncmp(path, board::kDevicePrefix, std::strlen(board::kDevicePrefix)) != 0)
        return path;
    snprintf(buf, sizeof buf, "%s/%s", dir, std::strrchr(path, '/') + 1);
    return buf;
}

} // namespace sim
