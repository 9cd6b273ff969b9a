#include "fake_mtd.h"

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

int __wrap_open(const char* path, int flags, ...) {
    if (is_mtd_path(path))
        return fake_open(path);
    va_list ap;
    va_start(ap, flags);
    mode_t mode = va_arg(ap, mode_t);
    va_end(ap);
    return __real_open(path, flags, mode);
}

int __wrap_open64(const char* path, int flags, ...) {
    if (is_mtd_path(path))
        return fake_open(path);
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

ssize_t __wrap_pread(int fd, void* buf, size_t n, off_t offset) {
    if (partition* p = lookup(fd))
        return fake_pread(p, buf, n, uint64_t(offset));
    if (fd >= kFirstFd || fd < 0) {
        errno = EBADF;
        return -1;
    }
    return __real_pread(fd, buf, n, offset);
}

ssize_t __wrap_pread64(int fd, void* buf, size_t n, off64_t offset) {
    if (partition* p = lookup(fd))
        return fake_pread(p, buf, n, uint64_t(offset));
    if (fd >= kFirstFd || fd < 0) {
        errno = EBADF;
        return -1;
    }
    return __real_pread64(fd, buf, n, offset);
}

ssize_t __wrap_pwrite(int fd, const void* buf, size_t n, off_t offset) {
    std::string name;
    if (partition* p = lookup(fd, &name))
        return fake_pwrite(name, p, buf, n, uint64_t(offset));
    if (fd >= kFirstFd || fd < 0) {
        errno = EBADF;
        return -1;
    }
    return __real_pwrite(fd, buf, n, offset);
}

ssize_t __wrap_pwrite64(int fd, const void* buf, size_t n, off64_t offset) {
    std::string name;
    if (partition* p = lookup(fd, &name))
        return fake_pwrite(name, p, buf, n, uint64_t(offset));
    if (fd >= kFirstFd || fd < 0) {
        errno = EBADF;
        return -1;
    }
    return __real_pwrite64(fd, buf, n, offset);
}
}
