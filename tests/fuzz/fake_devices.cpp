// SPDX-License-Identifier: MIT
#include "fake_devices.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/types.h>

namespace fake_mtd {
namespace {

constexpr int kFirstFd = 900;
std::map<std::string, partition> g_parts;
std::vector<std::string> g_fds; // index fd - kFirstFd

partition* lookup(int fd) {
    if (fd < kFirstFd || fd >= kFirstFd + int(g_fds.size()))
        return nullptr;
    auto it = g_parts.find(g_fds[fd - kFirstFd]);
    return it == g_parts.end() ? nullptr : &it->second;
}

bool touches(uint64_t offset, uint64_t length, uint32_t erasesize, long block) {
    if (block < 0 || length == 0)
        return false;
    return offset / erasesize <= uint64_t(block) &&
           uint64_t(block) <= (offset + length - 1) / erasesize;
}

} // namespace

void reset() {
    g_parts.clear();
    g_fds.clear();
}

partition& add(const std::string& name, uint32_t size, uint32_t erasesize, uint8_t fill) {
    partition& p = g_parts[name];
    p.cells.assign(size, fill);
    p.erasesize = erasesize;
    return p;
}

partition& get(const std::string& name) {
    return g_parts.at(name);
}

} // namespace fake_mtd

namespace fake_i2c {
namespace {
// Descriptor numbers of the two buses and the CPLD window.
constexpr int kFirstDevice = 980, kDevices = 3;
} // namespace

int open_device(const char* path) {
    static const char* const kPaths[kDevices] = {"/dev/i2c-0", "/dev/i2c-1",
                                                 "/dev/blade/cpld_mmmap"};
    for (int i = 0; i < kDevices; ++i)
        if (std::strcmp(path, kPaths[i]) == 0)
            return kFirstDevice + i;
    errno = ENOENT;
    return -1;
}

bool is_device(int fd) {
    return fd >= kFirstDevice && fd < kFirstDevice + kDevices;
}

} // namespace fake_i2c

namespace fake_files {
namespace {
state g_state;
constexpr int kFirstFileFd = 960;
std::vector<std::string> g_open; // index fd - kFirstFileFd
} // namespace

state& reset() {
    g_state = state{};
    g_open.clear();
    return g_state;
}

state& get() {
    return g_state;
}

bool is_file(int fd) {
    return fd >= kFirstFileFd && fd < kFirstFileFd + int(g_open.size()) && fd < 980;
}

// Opens a user filesystem path: reading is allowed anywhere (the directory, for its
// fsync); writing only to a file under /user/images, else it is a stray write (refused).
int open_for_write(const char* path, int flags) {
    std::string p = path;
    const bool writing = flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC);
    if (writing && (p.rfind("/user/images/", 0) != 0 || !g_state.images_dir)) {
        g_state.stray_writes.push_back(p);
        errno = EACCES;
        return -1;
    }
    if (flags & O_TRUNC)
        g_state.files[p].clear();
    g_open.push_back(p);
    return kFirstFileFd + int(g_open.size()) - 1;
}

ssize_t write_file(int fd, const void* buf, size_t n) {
    auto& f = g_state.files[g_open[fd - kFirstFileFd]];
    const auto* b = static_cast<const uint8_t*>(buf);
    f.insert(f.end(), b, b + n);
    return ssize_t(n);
}

} // namespace fake_files

using namespace fake_mtd;

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real_ioctl(int fd, unsigned long request, ...);
ssize_t __real_pread(int fd, void* buf, size_t n, off_t offset);
ssize_t __real_pread64(int fd, void* buf, size_t n, off64_t offset);
ssize_t __real_pwrite(int fd, const void* buf, size_t n, off_t offset);
ssize_t __real_pwrite64(int fd, const void* buf, size_t n, off64_t offset);

static int fake_open(const char* path) {
    static const char kPrefix[] = "/dev/mtd-";
    std::string name = path + sizeof kPrefix - 1;
    if (!g_parts.count(name)) {
        errno = ENOENT;
        return -1;
    }
    g_fds.push_back(name);
    return kFirstFd + int(g_fds.size()) - 1;
}

static bool is_mtd_path(const char* path) {
    return std::strncmp(path, "/dev/mtd-", 9) == 0;
}

static bool is_board_device(const char* path) {
    return std::strncmp(path, "/dev/i2c-", 9) == 0 ||
           std::strcmp(path, "/dev/blade/cpld_mmmap") == 0;
}

int __real_close(int fd);
ssize_t __real_read(int fd, void* buf, size_t n);
ssize_t __real_write(int fd, const void* buf, size_t n);
off_t __real_lseek(int fd, off_t offset, int whence);
off64_t __real_lseek64(int fd, off64_t offset, int whence);
int __real_usleep(useconds_t us);

int __wrap_close(int fd) {
    return fake_files::is_file(fd) || fake_i2c::is_device(fd) ? 0 : __real_close(fd);
}

ssize_t __wrap_read(int fd, void* buf, size_t n) {
    if (!fake_i2c::is_device(fd))
        return __real_read(fd, buf, n);
    std::memset(buf, 0, n); // the CPLD's status: ready
    return ssize_t(n);
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (fake_files::is_file(fd))
        return fake_files::write_file(fd, buf, n);
    return fake_i2c::is_device(fd) ? ssize_t(n) : __real_write(fd, buf, n);
}

off_t __wrap_lseek(int fd, off_t offset, int whence) {
    return fake_i2c::is_device(fd) ? offset : __real_lseek(fd, offset, whence);
}

off64_t __wrap_lseek64(int fd, off64_t offset, int whence) {
    return fake_i2c::is_device(fd) ? offset : __real_lseek64(fd, offset, whence);
}

int __wrap_usleep(useconds_t) {
    return 0;
}

// The paths the fakes answer: the flash, the board controller, the user filesystem, and
// any other path opened for writing (a stray write, outside /dev, /tmp and /proc).
static bool open_fake(const char* path, int flags, int* fd) {
    auto under = [path](const char* dir) { return std::strncmp(path, dir, std::strlen(dir)) == 0; };
    if (is_mtd_path(path))
        *fd = fake_open(path);
    else if (is_board_device(path))
        *fd = fake_i2c::open_device(path);
    else if (under("/user/") || ((flags & (O_WRONLY | O_RDWR)) && !under("/dev/") &&
                                 !under("/tmp/") && !under("/proc/")))
        *fd = fake_files::open_for_write(path, flags);
    else
        return false;
    return true;
}

// open and open64 alike: a fake's descriptor, or the real call with its mode.
#define WRAP_OPEN(fn)                                                                              \
    int __wrap_##fn(const char* path, int flags, ...) {                                            \
        int fd;                                                                                    \
        if (open_fake(path, flags, &fd))                                                           \
            return fd;                                                                             \
        va_list ap;                                                                                \
        va_start(ap, flags);                                                                       \
        mode_t mode = va_arg(ap, mode_t);                                                          \
        va_end(ap);                                                                                \
        return __real_##fn(path, flags, mode);                                                     \
    }
WRAP_OPEN(open)
WRAP_OPEN(open64)

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fake_i2c::is_device(fd)) { // every I2C transfer succeeds; a read gives 0
        auto* smbus = static_cast<i2c_smbus_ioctl_data*>(arg);
        if (request == I2C_SMBUS && smbus->read_write == I2C_SMBUS_READ)
            smbus->data->byte = 0;
        return 0;
    }
    partition* p = lookup(fd);
    if (!p) {
        if (fd >= kFirstFd || fd < 0) {
            errno = EBADF;
            return -1;
        }
        return __real_ioctl(fd, request, arg);
    }
    if (request == MEMGETINFO) {
        auto* info = static_cast<mtd_info_user*>(arg);
        std::memset(info, 0, sizeof *info);
        info->size = uint32_t(p->cells.size());
        info->erasesize = p->erasesize;
        return 0;
    }
    if (request == MEMERASE) {
        auto* ei = static_cast<erase_info_user*>(arg);
        if (ei->start % p->erasesize || ei->length % p->erasesize ||
            uint64_t(ei->start) + ei->length > p->cells.size()) {
            errno = EINVAL;
            return -1;
        }
        if (touches(ei->start, ei->length, p->erasesize, p->fail_erase_block)) {
            errno = EIO;
            return -1;
        }
        std::memset(p->cells.data() + ei->start, 0xFF, ei->length);
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

static ssize_t fake_pread(partition* p, void* buf, size_t n, uint64_t offset) {
    if (offset >= p->cells.size())
        return 0;
    n = std::min<uint64_t>(n, p->cells.size() - offset);
    if (touches(offset, n, p->erasesize, p->fail_read_block)) {
        errno = EIO;
        return -1;
    }
    std::memcpy(buf, p->cells.data() + offset, n);
    return ssize_t(n);
}

static ssize_t fake_pwrite(partition* p, const void* buf, size_t n, uint64_t offset) {
    if (offset >= p->cells.size()) {
        errno = ENOSPC;
        return -1;
    }
    n = std::min<uint64_t>(n, p->cells.size() - offset);
    if (touches(offset, n, p->erasesize, p->fail_write_block)) {
        errno = EIO;
        return -1;
    }
    const auto* in = static_cast<const uint8_t*>(buf);
    for (size_t i = 0; i < n; ++i)
        p->cells[offset + i] &= in[i];
    return ssize_t(n);
}

} // extern "C"

// Positioned reads and writes of the fake partitions; other descriptors go to the
// real call (both the plain and the 64-bit-offset names are wrapped).
template <typename Real, typename Off>
static ssize_t positioned_read(int fd, void* buf, size_t n, Off offset, Real real) {
    if (partition* p = lookup(fd))
        return fake_pread(p, buf, n, uint64_t(offset));
    if (fd >= kFirstFd || fd < 0) {
        errno = EBADF;
        return -1;
    }
    return real(fd, buf, n, offset);
}

template <typename Real, typename Off>
static ssize_t positioned_write(int fd, const void* buf, size_t n, Off offset, Real real) {
    if (partition* p = lookup(fd))
        return fake_pwrite(p, buf, n, uint64_t(offset));
    if (fd >= kFirstFd || fd < 0) {
        errno = EBADF;
        return -1;
    }
    return real(fd, buf, n, offset);
}

extern "C" {

ssize_t __wrap_pread(int fd, void* buf, size_t n, off_t offset) {
    return positioned_read(fd, buf, n, offset, __real_pread);
}

ssize_t __wrap_pread64(int fd, void* buf, size_t n, off64_t offset) {
    return positioned_read(fd, buf, n, offset, __real_pread64);
}

ssize_t __wrap_pwrite(int fd, const void* buf, size_t n, off_t offset) {
    return positioned_write(fd, buf, n, offset, __real_pwrite);
}

ssize_t __wrap_pwrite64(int fd, const void* buf, size_t n, off64_t offset) {
    return positioned_write(fd, buf, n, offset, __real_pwrite64);
}
}
