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
std::vector<op> g_ops;

partition* lookup(int fd, std::string* name = nullptr) {
    if (fd < kFirstFd || fd >= kFirstFd + int(g_fds.size()))
        return nullptr;
    auto it = g_parts.find(g_fds[fd - kFirstFd]);
    if (it == g_parts.end())
        return nullptr;
    if (name)
        *name = it->first;
    return &it->second;
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
    g_ops.clear();
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

const std::vector<op>& ops() {
    return g_ops;
}

} // namespace fake_mtd

namespace fake_i2c {
namespace {
board g_board;
uint8_t g_mux = 0;
// Descriptor numbers of the fake buses and the CPLD window.
constexpr int kBus0 = 980, kBus1 = 981, kCpld = 982;
off_t g_cpld_pos = 0;
unsigned g_address[2] = {0, 0};
} // namespace

board& reset() {
    g_board = board{};
    g_mux = 0;
    return g_board;
}

board& state() {
    return g_board;
}

int open_device(const char* path) {
    g_board.opened.push_back(path);
    std::string p = path;
    if (p == "/dev/i2c-0" && g_board.bus0_present)
        return kBus0;
    if (p == "/dev/i2c-1")
        return kBus1;
    if (p == "/dev/blade/cpld_mmmap" && g_board.cpld_present)
        return kCpld;
    errno = ENOENT;
    return -1;
}

bool is_device(int fd) {
    return fd == kBus0 || fd == kBus1 || fd == kCpld;
}

int ioctl_device(int fd, unsigned long request, void* arg) {
    int bus = fd == kBus0 ? 0 : 1;
    if (request == I2C_SLAVE) {
        unsigned address = unsigned(reinterpret_cast<uintptr_t>(arg));
        g_address[bus] = address;
        g_board.requests.push_back({bus, 's', address, 0, 0, 0, 0});
        return 0;
    }
    if (request != I2C_SMBUS) {
        errno = ENOTTY;
        return -1;
    }
    auto* a = static_cast<i2c_smbus_ioctl_data*>(arg);
    unsigned byte = a->read_write == I2C_SMBUS_WRITE ? a->data->byte : 0;
    g_board.requests.push_back(
        {bus, 'b', g_address[bus], a->read_write, a->command, a->size, byte});
    if (g_address[bus] == 0x54) {
        bool reachable = g_mux == 0x08 && (g_board.cpld[20] & 1);
        if (!reachable || g_board.eeprom_errno) {
            errno = reachable ? g_board.eeprom_errno : ENXIO;
            return -1;
        }
        if (a->read_write == I2C_SMBUS_READ)
            a->data->byte = g_board.eeprom[a->command];
        else
            g_board.eeprom[a->command] = uint8_t(byte);
    }
    return 0;
}

ssize_t read_device(int fd, void* buf, size_t n) {
    if (fd != kCpld || n != 1) {
        errno = EIO;
        return -1;
    }
    auto* out = static_cast<uint8_t*>(buf);
    if (g_cpld_pos == 24) {
        ++g_board.status_reads;
        bool busy = g_board.cpld_busy_polls != 0;
        if (g_board.cpld_busy_polls > 0)
            --g_board.cpld_busy_polls;
        *out = busy ? 0x81 : 0x01; // bit 0 does not count
        return 1;
    }
    *out = g_board.cpld[g_cpld_pos & 0xFF];
    return 1;
}

ssize_t write_device(int fd, const void* buf, size_t n) {
    uint8_t v = *static_cast<const uint8_t*>(buf);
    if (fd == kCpld) {
        g_board.cpld[g_cpld_pos & 0xFF] = v;
        return 1;
    }
    int bus = fd == kBus0 ? 0 : 1;
    g_board.requests.push_back({bus, 'w', g_address[bus], 0, 0, 0, v});
    if (n != 1 || g_address[bus] != 0x70) {
        errno = ENXIO;
        return -1;
    }
    g_mux = v;
    return 1;
}

off_t seek_device(int fd, off_t offset, int whence) {
    if (fd != kCpld || whence != SEEK_SET) {
        errno = ESPIPE;
        return -1;
    }
    g_cpld_pos = offset;
    return offset;
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
    if (fake_files::is_file(fd))
        return 0;
    if (fake_i2c::is_device(fd)) {
        ++fake_i2c::state().closed;
        return 0;
    }
    return __real_close(fd);
}

ssize_t __wrap_read(int fd, void* buf, size_t n) {
    if (fake_i2c::is_device(fd))
        return fake_i2c::read_device(fd, buf, n);
    return __real_read(fd, buf, n);
}

ssize_t __wrap_write(int fd, const void* buf, size_t n) {
    if (fake_files::is_file(fd))
        return fake_files::write_file(fd, buf, n);
    if (fake_i2c::is_device(fd))
        return fake_i2c::write_device(fd, buf, n);
    return __real_write(fd, buf, n);
}

off_t __wrap_lseek(int fd, off_t offset, int whence) {
    if (fake_i2c::is_device(fd))
        return fake_i2c::seek_device(fd, offset, whence);
    return __real_lseek(fd, offset, whence);
}

off64_t __wrap_lseek64(int fd, off64_t offset, int whence) {
    if (fake_i2c::is_device(fd))
        return fake_i2c::seek_device(fd, off_t(offset), whence);
    return __real_lseek64(fd, offset, whence);
}

int __wrap_usleep(useconds_t us) {
    fake_i2c::state().sleeps.push_back(us);
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

int __wrap_open(const char* path, int flags, ...) {
    int fd;
    if (open_fake(path, flags, &fd))
        return fd;
    va_list ap;
    va_start(ap, flags);
    mode_t mode = va_arg(ap, mode_t);
    va_end(ap);
    return __real_open(path, flags, mode);
}

int __wrap_open64(const char* path, int flags, ...) {
    int fd;
    if (open_fake(path, flags, &fd))
        return fd;
    va_list ap;
    va_start(ap, flags);
    mode_t mode = va_arg(ap, mode_t);
    va_end(ap);
    return __real_open64(path, flags, mode);
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fake_i2c::is_device(fd))
        return fake_i2c::ioctl_device(fd, request, arg);
    std::string name;
    partition* p = lookup(fd, &name);
    if (!p) {
        if (fd >= kFirstFd || fd < 0) {
            errno = EBADF;
            return -1;
        }
        return __real_ioctl(fd, request, arg);
    }
    if (request == MEMGETINFO) {
        if (p->fail_getinfo) {
            errno = EIO;
            return -1;
        }
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
        g_ops.push_back({'e', name, ei->start, ei->length});
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

static ssize_t fake_pwrite(const std::string& name, partition* p, const void* buf, size_t n,
                           uint64_t offset) {
    if (offset >= p->cells.size()) {
        errno = ENOSPC;
        return -1;
    }
    n = std::min<uint64_t>(n, p->cells.size() - offset);
    if (touches(offset, n, p->erasesize, p->fail_write_block)) {
        errno = EIO;
        return -1;
    }
    g_ops.push_back({'w', name, uint32_t(offset), uint32_t(n)});
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
    std::string name;
    if (partition* p = lookup(fd, &name))
        return fake_pwrite(name, p, buf, n, uint64_t(offset));
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
