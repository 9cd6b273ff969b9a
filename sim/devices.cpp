// SPDX-License-Identifier: MIT
// The simulated blade's hardware, below libc: a preload library that turns the board's
// plain files into MTD partitions (geometry, erase, NOR programming) and journals what
// the launcher asks of the platform: shell commands, execs, erases, writes and pauses.
//
// Configuration comes from the environment that bladesim sets:
//   BLADESIM_JOURNAL     journal file (JSON lines), appended to
//   BLADESIM_TIME_SCALE  factor applied to every pause (default 1)
//   BLADESIM_ERASESIZE   erase block size of every partition (default 65536)
//   BLADESIM_FAULTS      comma-separated faults: PART:open, PART:getinfo,
//                        PART:read[@BLOCK], PART:erase[@BLOCK], PART:write[@BLOCK],
//                        system, cpld-busy, eeprom-read, eeprom-write, tmp-create (no
//                        file can be created in /tmp), cut@N (the power fails at the Nth
//                        erase or write of a partition or of a file in /user/images,
//                        counted across the board's processes: the launcher is killed
//                        before it happens, and /user loses what was not synced)
//   BLADESIM_USER_CAPACITY  bytes the files of /user may take (ENOSPC beyond)
//
// I2C bus 0 ("/dev/i2c-0", the board's EEPROM file) carries the multiplexer at 0x70,
// the Summit device at 0x4F and the VPD EEPROM at 0x54, which answers only while
// multiplexer channel 3 is selected, the CPLD grants VPD access (bit 0 of register 20 of
// "/dev/blade/cpld_mmmap") and the Summit device's register 0x87 holds 0x55. The CPLD's
// status register 24 reads busy for 25 ms of board time (real time plus what scaled
// pauses skipped) after each write of register 20. Reads and writes of an I2C descriptor
// are raw transfers with the selected device, positioned or not, as with i2c-dev. Bus 1
// opens and carries nothing.
// The library removes itself from LD_PRELOAD when it loads, so that the programs the
// launcher starts run as they would on the blade. With BLADESIM_LINE_ONLY set it gives a
// program only the console line's UART behaviour (the rx stand-in loads it so).
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <mtd/mtd-user.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

enum class kind : uint8_t { plain, mtd, i2c, cpld, slot };

// Plain data only: the sanitizer runtimes of an instrumented launcher call into these
// wrappers before any constructor of this library has run.
struct fd_entry {
    kind k;
    char name[64];    // partition name, e.g. "kernel", or the slot file's path
    int bus;          // I2C bus number
    uint16_t address; // I2C device selected with I2C_SLAVE
    bool watched;     // a slot file or the application archive: opens and closes journaled
};

constexpr uint8_t kMuxAddress = 0x70;
constexpr uint8_t kSummitAddress = 0x4F;
constexpr uint8_t kVpdAddress = 0x54;
constexpr uint8_t kVpdChannelBit = 1u << 3;
constexpr off_t kCpldVpdAccess = 20;
constexpr off_t kCpldVpdStatus = 24;
constexpr uint8_t kSummitVpdRegister = 0x87;
constexpr uint8_t kSummitVpdValue = 0x55;
// The CPLD reports busy for this long of board time after register 20 changes.
constexpr double kCpldBusySeconds = 0.025;

// Board hardware state that outlives one transfer.
uint8_t g_mux;
uint8_t g_summit[256];
double g_cpld_busy_until;
// Board time runs ahead of real time by what the scaled pauses did not sleep.
double g_pause_credit;

constexpr int kMaxFds = 1024;
fd_entry g_fds[kMaxFds];

struct sim_config {
    bool loaded;
    char journal[256];
    double scale;
    uint32_t erasesize;
    char faults[512];
};
sim_config g_cfg;

const sim_config& cfg() {
    if (!g_cfg.loaded) {
        g_cfg.loaded = true;
        g_cfg.scale = 1.0;
        g_cfg.erasesize = 65536;
        if (const char* j = getenv("BLADESIM_JOURNAL"))
            snprintf(g_cfg.journal, sizeof g_cfg.journal, "%s", j);
        if (const char* s = getenv("BLADESIM_TIME_SCALE"))
            g_cfg.scale = std::strtod(s, nullptr);
        if (const char* e = getenv("BLADESIM_ERASESIZE"))
            g_cfg.erasesize = uint32_t(std::strtoul(e, nullptr, 0));
        if (const char* f = getenv("BLADESIM_FAULTS"))
            snprintf(g_cfg.faults, sizeof g_cfg.faults, "%s", f);
    }
    return g_cfg;
}

template <typename F> F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

#define REAL(fn) static auto real_##fn = real<decltype(&::fn)>(#fn)

// Seconds of the board's own clock: real time plus what the scaled pauses skipped.
double board_time() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9 + g_pause_credit;
}

double now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// Appends one event; `fields` is the JSON text after the event name.
void journal(const char* event, const std::string& fields) {
    if (!cfg().journal[0])
        return;
    REAL(open);
    int saved = errno;
    char head[128];
    snprintf(head, sizeof head, "{\"t\": %.6f, \"pid\": %d, \"event\": \"%s\"", now(),
             int(getpid()), event);
    std::string line = head;
    if (!fields.empty())
        line += ", " + fields;
    line += "}\n";
    int fd = real_open(cfg().journal, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, line.data(), line.size());
        (void)ignored;
        ::close(fd);
    }
    errno = saved;
}

// True when some item of the comma-separated fault list satisfies `match`.
template <typename Match> bool any_fault(Match match) {
    const std::string faults = cfg().faults;
    for (size_t pos = 0; pos <= faults.size();) {
        size_t end = faults.find(',', pos);
        if (end == std::string::npos)
            end = faults.size();
        if (match(faults.substr(pos, end - pos)))
            return true;
        pos = end + 1;
    }
    return false;
}

// True when the fault list names `what` for `part`, for this block (or every block).
bool fault(const char* part, const char* what, long block = -1) {
    const std::string want = std::string(part) + ":" + what;
    return any_fault([&](const std::string& item) {
        return item == want || (block >= 0 && item == want + "@" + std::to_string(block));
    });
}

// True when the fault list holds `name` as an item of its own.
bool fault_named(const char* name) {
    return any_fault([&](const std::string& item) { return item == name; });
}

// --- The user filesystem across a power cut ----------------------------------------------
// A cut loses what the blade had not made durable on /user: data written to a file since
// its last fsync, and creations, renames and removals since the last fsync of the file's
// directory. Each path touched since it was last durable keeps its durable state (its
// content, or its absence) in a shadow file under the sandbox's /run until it is durable
// again; a cut puts every shadow back before the launcher dies.
struct shadow {
    bool used;
    bool existed;    // the durable state has the file, with the shadow file's content
    bool data_dirty; // written since its last fsync
    bool name_dirty; // created, renamed or removed since its directory's last fsync
    char path[128];
};
constexpr int kShadows = 32;
shadow g_shadows[kShadows];

bool on_user_fs(const char* path) {
    return path && std::strncmp(path, "/user/", 6) == 0;
}

void shadow_file(const shadow& sh, char (&out)[48]) {
    snprintf(out, sizeof out, "/run/bladesim-shadow-%d", int(&sh - g_shadows));
}

bool copy_file(const char* from, const char* to) {
    REAL(open);
    REAL(read);
    REAL(write);
    int in = real_open(from, O_RDONLY | O_CLOEXEC, 0);
    if (in < 0)
        return false;
    int out = real_open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    char buf[65536];
    ssize_t n = 0;
    while (out >= 0 && (n = real_read(in, buf, sizeof buf)) > 0)
        if (real_write(out, buf, size_t(n)) != n)
            n = -1;
    ::close(in);
    if (out >= 0)
        ::close(out);
    return out >= 0 && n == 0;
}

// The shadow of PATH, taken now (its current state is durable) if it has none yet.
shadow* touch(const char* path) {
    shadow* free_slot = nullptr;
    for (shadow& sh : g_shadows) {
        if (sh.used && std::strcmp(sh.path, path) == 0)
            return &sh;
        if (!sh.used && !free_slot)
            free_slot = &sh;
    }
    if (!free_slot || std::strlen(path) >= sizeof free_slot->path)
        return nullptr;
    shadow& sh = *free_slot;
    sh = shadow{true, false, false, false, {}};
    snprintf(sh.path, sizeof sh.path, "%s", path);
    char saved[48];
    shadow_file(sh, saved);
    struct stat st;
    sh.existed = stat(path, &st) == 0 && S_ISREG(st.st_mode) && copy_file(path, saved);
    return &sh;
}

void settle(shadow& sh) {
    if (sh.data_dirty || sh.name_dirty)
        return;
    char saved[48];
    shadow_file(sh, saved);
    unlink(saved);
    sh.used = false;
}

// An fsync of the file or directory at PATH.
void made_durable(const char* path) {
    struct stat st;
    const bool dir = stat(path, &st) == 0 && S_ISDIR(st.st_mode);
    const size_t len = std::strlen(path);
    for (shadow& sh : g_shadows) {
        if (!sh.used)
            continue;
        if (!dir && std::strcmp(sh.path, path) == 0)
            sh.data_dirty = false;
        else if (dir && std::strncmp(sh.path, path, len) == 0 && sh.path[len] == '/' &&
                 !std::strchr(sh.path + len + 1, '/'))
            sh.name_dirty = false;
        settle(sh);
    }
}

// Every shadow put back: the user filesystem as the power cut leaves it.
std::string lose_unsynced() {
    std::string lost;
    for (shadow& sh : g_shadows) {
        if (!sh.used)
            continue;
        char saved[48];
        shadow_file(sh, saved);
        if (sh.existed)
            copy_file(saved, sh.path);
        else
            unlink(sh.path);
        lost += (lost.empty() ? "" : ", ") + json_string(sh.path);
    }
    return lost;
}

// Room left on /user: the partition less the filesystem's own blocks, against what its
// files take.
uint64_t user_fs_used(const char* dir) {
    uint64_t used = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* ent = readdir(d)) {
            if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0)
                continue;
            std::string path = std::string(dir) + "/" + ent->d_name;
            struct stat st;
            if (lstat(path.c_str(), &st) != 0)
                continue;
            used += S_ISDIR(st.st_mode) ? user_fs_used(path.c_str()) : uint64_t(st.st_size);
        }
        closedir(d);
    }
    return used;
}

bool user_fs_full(size_t more) {
    const char* capacity = getenv("BLADESIM_USER_CAPACITY");
    return capacity && user_fs_used("/user") + more > std::strtoull(capacity, nullptr, 10);
}

// Every erase or write of the board's storage is counted across the board's processes
// (the launcher here, the platform stand-ins such as flash_eraseall through journal.sh),
// in one file under the sandbox's /run; at the one named by cut@N the board loses its
// power: the launcher and the writer die before the operation happens.
constexpr const char* kWriteCounter = "/run/bladesim-writes";
constexpr const char* kLauncherPid = "/run/bladesim-launcher.pid";

long next_write_number() {
    REAL(open);
    REAL(read);
    REAL(pwrite);
    int fd = real_open(kWriteCounter, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    flock(fd, LOCK_EX);
    char text[32] = {};
    long n = real_read(fd, text, sizeof text - 1) > 0 ? std::strtol(text, nullptr, 10) : 0;
    int len = snprintf(text, sizeof text, "%ld\n", ++n);
    if (ftruncate(fd, 0) != 0 || real_pwrite(fd, text, size_t(len), 0) != len)
        n = 0;
    ::close(fd); // also releases the lock
    return n;
}

void power_check() {
    long cut_at = 0;
    if (!any_fault([&](const std::string& item) {
            if (item.rfind("cut@", 0) != 0)
                return false;
            cut_at = std::strtol(item.c_str() + 4, nullptr, 10);
            return true;
        }))
        return;
    const long count = next_write_number();
    if (count == cut_at) {
        char f[48];
        snprintf(f, sizeof f, "\"operation\": %ld", count);
        journal("power-cut", f + (", \"lost\": [" + lose_unsynced() + "]"));
        kill(getpid(), SIGKILL);
    }
}

// The launcher's pid, for a stand-in that cuts the power.
void record_launcher() {
    REAL(open);
    int fd = real_open(kLauncherPid, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    char text[32];
    int len = snprintf(text, sizeof text, "%d\n", int(getpid()));
    ssize_t ignored = ::write(fd, text, size_t(len));
    (void)ignored;
    ::close(fd);
}

void classify(int fd, const char* path) {
    if (fd < 0 || fd >= kMaxFds)
        return;
    g_fds[fd].k = kind::plain;
    g_fds[fd].name[0] = 0;
    g_fds[fd].watched = path && (std::strncmp(path, "/user/images/", 13) == 0 ||
                                 std::strcmp(path, "/tmp/vemiximage.tar.gz") == 0);
    if (g_fds[fd].watched) {
        snprintf(g_fds[fd].name, sizeof g_fds[fd].name, "%s", path);
        journal("open", "\"file\": " + json_string(path));
    }
    static const char kMtd[] = "/dev/mtd-";
    static const char kI2c[] = "/dev/i2c-";
    if (path && std::strncmp(path, kMtd, sizeof kMtd - 1) == 0) {
        g_fds[fd].k = kind::mtd;
        snprintf(g_fds[fd].name, sizeof g_fds[fd].name, "%s", path + sizeof kMtd - 1);
    } else if (path && std::strncmp(path, kI2c, sizeof kI2c - 1) == 0) {
        g_fds[fd].k = kind::i2c;
        g_fds[fd].bus = std::atoi(path + sizeof kI2c - 1);
        g_fds[fd].address = 0;
    } else if (path && std::strcmp(path, "/dev/blade/cpld_mmmap") == 0) {
        g_fds[fd].k = kind::cpld;
    } else if (path && std::strncmp(path, "/user/images/", 13) == 0) {
        g_fds[fd].k = kind::slot;
        snprintf(g_fds[fd].name, sizeof g_fds[fd].name, "%s", path);
    }
}

// A descriptor being closed: its close journaled if it is watched, its kind forgotten.
void forget(int fd) {
    if (fd < 0 || fd >= kMaxFds)
        return;
    if (g_fds[fd].watched)
        journal("close", "\"file\": " + json_string(g_fds[fd].name));
    classify(fd, nullptr);
}

fd_entry* device_of(int fd, kind k) {
    if (fd < 0 || fd >= kMaxFds || g_fds[fd].k != k)
        return nullptr;
    return &g_fds[fd];
}

fd_entry* mtd_of(int fd) {
    return device_of(fd, kind::mtd);
}

uint64_t file_size(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? uint64_t(st.st_size) : 0;
}

// Faults for every block the range [offset, offset+length) touches.
bool range_fault(const fd_entry& e, const char* what, uint64_t offset, uint64_t length) {
    if (fault(e.name, what))
        return true;
    uint64_t last = length ? offset + length - 1 : offset;
    for (uint64_t b = offset / cfg().erasesize; b <= last / cfg().erasesize; ++b)
        if (fault(e.name, what, long(b)))
            return true;
    return false;
}

ssize_t mtd_pread(int fd, fd_entry& e, void* buf, size_t n, uint64_t offset) {
    REAL(pread);
    uint64_t size = file_size(fd);
    if (offset >= size)
        return 0;
    if (n > size - offset)
        n = size_t(size - offset);
    if (range_fault(e, "read", offset, n)) {
        errno = EIO;
        return -1;
    }
    return real_pread(fd, buf, n, off_t(offset));
}

// NOR programming: every byte becomes old AND new, so only an erased byte takes any value.
ssize_t mtd_pwrite(int fd, fd_entry& e, const void* buf, size_t n, uint64_t offset) {
    REAL(pread);
    REAL(pwrite);
    uint64_t size = file_size(fd);
    if (offset >= size) {
        errno = ENOSPC;
        return -1;
    }
    if (n > size - offset)
        n = size_t(size - offset);
    if (range_fault(e, "write", offset, n)) {
        errno = EIO;
        return -1;
    }
    power_check();
    std::vector<uint8_t> cells(n);
    ssize_t got = real_pread(fd, cells.data(), n, off_t(offset));
    if (got != ssize_t(n)) {
        errno = EIO;
        return -1;
    }
    const auto* in = static_cast<const uint8_t*>(buf);
    for (size_t i = 0; i < n; ++i)
        cells[i] &= in[i];
    char f[160];
    snprintf(f, sizeof f, "\"partition\": \"%s\", \"offset\": %llu, \"length\": %zu", e.name,
             (unsigned long long)offset, n);
    journal("write", f);
    return real_pwrite(fd, cells.data(), n, off_t(offset));
}

int mtd_ioctl(int fd, fd_entry& e, unsigned long request, void* arg) {
    REAL(pwrite);
    uint64_t size = file_size(fd);
    if (request == MEMGETINFO) {
        if (fault(e.name, "getinfo")) {
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
        if (range_fault(e, "erase", ei->start, ei->length)) {
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

// --- CPLD register window: reads and writes stay at the current register ------------
uint8_t cpld_register(off_t reg) {
    REAL(open);
    REAL(pread);
    uint8_t v = 0;
    int fd = real_open("/dev/blade/cpld_mmmap", O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
        if (real_pread(fd, &v, 1, reg) != 1)
            v = 0;
        ::close(fd);
    }
    return v;
}

// The CPLD's VPD status is busy for a while after the access register changes, and for
// ever under the cpld-busy fault.
bool cpld_busy() {
    return fault_named("cpld-busy") || board_time() < g_cpld_busy_until;
}

ssize_t cpld_read(int fd, void* buf, size_t n) {
    REAL(pread);
    if (n == 0)
        return 0;
    off_t reg = lseek(fd, 0, SEEK_CUR);
    auto* out = static_cast<uint8_t*>(buf);
    if (reg == kCpldVpdStatus) {
        out[0] = cpld_busy() ? 0x03 : 0x01; // bit 0 is not part of the status
        return 1;
    }
    return real_pread(fd, out, 1, reg);
}

ssize_t cpld_write(int fd, const void* buf, size_t n) {
    REAL(pwrite);
    if (n == 0)
        return 0;
    off_t reg = lseek(fd, 0, SEEK_CUR);
    uint8_t v = *static_cast<const uint8_t*>(buf);
    char f[96];
    snprintf(f, sizeof f, "\"register\": %ld, \"value\": %u", long(reg), v);
    journal("cpld", f);
    if (reg == kCpldVpdAccess)
        g_cpld_busy_until = board_time() + kCpldBusySeconds;
    return real_pwrite(fd, &v, 1, reg);
}

// --- I2C bus 0 -------------------------------------------------------------------------
void journal_i2c(const fd_entry& e, const char* op, unsigned command, unsigned value, int result) {
    char f[192];
    snprintf(f, sizeof f,
             "\"bus\": %d, \"address\": %u, \"op\": \"%s\", \"command\": %u, \"value\": %u, "
             "\"result\": %d",
             e.bus, e.address, op, command, value, result);
    journal("i2c", f);
}

int i2c_fail(int err) {
    errno = err;
    return -1;
}

// The EEPROM is on the bus only behind multiplexer channel 3, with the CPLD granting
// access and done switching it (a CPLD that never clears never lets it on), and the
// Summit device set up for it.
bool vpd_reachable() {
    return (g_mux & kVpdChannelBit) && (cpld_register(kCpldVpdAccess) & 1) && !cpld_busy() &&
           g_summit[kSummitVpdRegister] == kSummitVpdValue;
}

int i2c_smbus(int fd, fd_entry& e, i2c_smbus_ioctl_data* args) {
    REAL(pread);
    REAL(pwrite);
    if (args->size != I2C_SMBUS_BYTE_DATA)
        return i2c_fail(EINVAL);
    const bool reading = args->read_write == I2C_SMBUS_READ;
    const uint8_t command = args->command;
    uint8_t value = reading ? 0 : args->data->byte;
    int err = 0;
    if (e.bus != 0) {
        err = ENXIO;
    } else if (e.address == kSummitAddress) {
        if (reading)
            value = g_summit[command];
        else
            g_summit[command] = value;
    } else if (e.address == kVpdAddress) {
        if (!vpd_reachable())
            err = ENXIO; // no acknowledge: the EEPROM is not on the bus
        else if (fault_named(reading ? "eeprom-read" : "eeprom-write"))
            err = EIO;
        else if (reading)
            err = real_pread(fd, &value, 1, command) == 1 ? 0 : EIO;
        else
            err = real_pwrite(fd, &value, 1, command) == 1 ? 0 : EIO;
    } else {
        err = ENXIO;
    }
    if (reading && !err)
        args->data->byte = value;
    journal_i2c(e, reading ? "read" : "write", command, value, err ? -err : 0);
    return err ? i2c_fail(err) : 0;
}

ssize_t i2c_write(fd_entry& e, const void* buf, size_t n) {
    uint8_t v = n ? *static_cast<const uint8_t*>(buf) : 0;
    if (e.bus != 0 || e.address != kMuxAddress || n != 1) {
        journal_i2c(e, "send", 0, v, -ENXIO);
        return i2c_fail(ENXIO);
    }
    g_mux = v;
    journal_i2c(e, "send", 0, v, 0);
    return 1;
}

int i2c_ioctl(int fd, fd_entry& e, unsigned long request, void* arg) {
    if (request == I2C_SLAVE) {
        e.address = uint16_t(reinterpret_cast<uintptr_t>(arg));
        return 0;
    }
    if (request == I2C_SMBUS)
        return i2c_smbus(fd, e, static_cast<i2c_smbus_ioctl_data*>(arg));
    return i2c_fail(ENOTTY);
}

void scaled_pause(double seconds) {
    g_pause_credit += seconds * (1.0 - cfg().scale);
    char f[64];
    snprintf(f, sizeof f, "\"seconds\": %.6f", seconds);
    journal("pause", f);
}

int scaled_nanosleep(double seconds, timespec* rem) {
    REAL(nanosleep);
    double s = seconds * cfg().scale;
    timespec ts;
    ts.tv_sec = time_t(s);
    ts.tv_nsec = long((s - double(ts.tv_sec)) * 1e9);
    return real_nanosleep(&ts, rem);
}

// The launcher's peak resident memory so far, in KiB (VmHWM), or -1.
long peak_rss_kb() {
    long kb = -1;
    if (FILE* f = fopen("/proc/self/status", "r")) {
        char line[256];
        while (fgets(line, sizeof line, f))
            if (std::strncmp(line, "VmHWM:", 6) == 0)
                kb = std::strtol(line + 6, nullptr, 10);
        fclose(f);
    }
    return kb;
}

void journal_exec(const char* path, char* const argv[]) {
    std::string f = "\"path\": " + json_string(path ? path : "") + ", \"argv\": [";
    for (int i = 0; argv && argv[i]; ++i)
        f += (i ? ", " : "") + json_string(argv[i]);
    journal("exec", f + "], \"peak_rss_kb\": " + std::to_string(peak_rss_kb()));
}

// The console line is a pseudo-terminal, and bladesim's relay on its other side stands in
// for the blade's UART: output waits in its queue for the time the line's speed takes,
// a drain waits for that queue, a flush of the output discards what is still in it, and it
// holds the character size, parity and stop bits that a pseudo-terminal cannot. Without a
// relay (no terminal) the calls go to the pseudo-terminal as they are.
bool on_uart(int fd) {
    return getenv("BLADESIM_LINE") && isatty(fd);
}

// One request to the line's UART; its one-line answer in ANSWER. False when there is no
// relay to ask.
bool uart_ask(const char* request, char* answer = nullptr, size_t size = 0) {
    REAL(read);
    REAL(write);
    REAL(close);
    const char* path = getenv("BLADESIM_LINE");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (!path || strlen(path) >= sizeof addr.sun_path)
        return false;
    strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    std::string line = std::string(request) + "\n";
    char got[64];
    size_t have = 0;
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              real_write(fd, line.data(), line.size()) == ssize_t(line.size());
    while (ok && have < sizeof got - 1) {
        ssize_t n = real_read(fd, got + have, sizeof got - 1 - have);
        if (n <= 0)
            break;
        have += size_t(n);
        if (got[have - 1] == '\n')
            break;
    }
    real_close(fd);
    got[have] = '\0';
    got[strcspn(got, "\n")] = '\0';
    if (answer)
        snprintf(answer, size, "%s", got);
    return ok && have > 0 && strcmp(got, "error") != 0;
}

struct line_speed {
    speed_t code;
    long baud;
};
constexpr line_speed kLineSpeeds[] = {{B1200, 1200},   {B2400, 2400},    {B4800, 4800},
                                      {B9600, 9600},   {B19200, 19200},  {B38400, 38400},
                                      {B57600, 57600}, {B115200, 115200}};

long line_baud(speed_t code) {
    for (const auto& s : kLineSpeeds)
        if (s.code == code)
            return s.baud;
    return 0;
}

speed_t line_code(long baud) {
    for (const auto& s : kLineSpeeds)
        if (s.baud == baud)
            return s.code;
    return B0;
}

// Before an open: false (errno set) when a fault refuses it; a file about to be created
// or truncated on /user is a change to its data, and to its directory when it is new.
bool may_open(const char* path, int flags) {
    if (!path)
        return true;
    if (((flags & O_CREAT) && std::strncmp(path, "/tmp/", 5) == 0 && fault_named("tmp-create")) ||
        (std::strncmp(path, "/dev/mtd-", 9) == 0 && fault(path + 9, "open"))) {
        errno = EACCES;
        return false;
    }
    if (!on_user_fs(path) || !(flags & (O_CREAT | O_TRUNC)))
        return true;
    struct stat st;
    const bool is_new = stat(path, &st) != 0;
    if (shadow* sh = touch(path)) {
        sh->data_dirty = sh->data_dirty || (flags & O_TRUNC) || is_new;
        sh->name_dirty = sh->name_dirty || is_new;
    }
    return true;
}

// Off the board (the unit tests), the partitions are the files "mtd-NAME" in the directory
// BLADESIM_MTD_DIR names; on the board they are bound over "/dev/mtd-NAME".
const char* device_path(const char* path, char (&buf)[256]) {
    const char* dir = getenv("BLADESIM_MTD_DIR");
    if (!dir || !path || std::strncmp(path, "/dev/mtd-", 9) != 0)
        return path;
    snprintf(buf, sizeof buf, "%s/%s", dir, path + 5);
    return buf;
}

std::vector<char*> collect_args(const char* arg0, va_list ap) {
    std::vector<char*> args;
    args.push_back(const_cast<char*>(arg0));
    while (char* a = va_arg(ap, char*))
        args.push_back(a);
    args.push_back(nullptr);
    return args;
}

__attribute__((constructor)) void load() {
    cfg();
    unsetenv("LD_PRELOAD");
    // The XMODEM receiver takes the console line's behaviour and nothing else: it is not
    // the launcher, journals nothing and keeps real time.
    if (getenv("BLADESIM_LINE_ONLY")) {
        g_cfg.journal[0] = '\0';
        g_cfg.faults[0] = '\0';
        g_cfg.scale = 1.0;
        return;
    }
    if (getenv("BLADESIM_MTD_DIR"))
        return; // a unit test: no board around it
    record_launcher();
    journal("start", "");
}

} // namespace

extern "C" {

#define OPEN_WRAPPER(fn)                                                                           \
    int fn(const char* path, int flags, ...) {                                                     \
        REAL(fn);                                                                                  \
        mode_t mode = 0;                                                                           \
        if (flags & (O_CREAT | O_TMPFILE)) {                                                       \
            va_list ap;                                                                            \
            va_start(ap, flags);                                                                   \
            mode = va_arg(ap, mode_t);                                                             \
            va_end(ap);                                                                            \
        }                                                                                          \
        if (!may_open(path, flags))                                                                \
            return -1;                                                                             \
        char buf[256];                                                                             \
        int fd = real_##fn(device_path(path, buf), flags, mode);                                   \
        classify(fd, path);                                                                        \
        return fd;                                                                                 \
    }
OPEN_WRAPPER(open)
OPEN_WRAPPER(open64)

int openat(int dirfd, const char* path, int flags, ...) {
    REAL(openat);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (!may_open(path, flags))
        return -1;
    char buf[256];
    int fd = real_openat(dirfd, device_path(path, buf), flags, mode);
    classify(fd, path);
    return fd;
}

// Streams open and close their descriptors inside libc, past the wrappers above.
#define FOPEN_WRAPPER(fn)                                                                          \
    FILE* fn(const char* path, const char* mode) {                                                 \
        REAL(fn);                                                                                  \
        FILE* f = real_##fn(path, mode);                                                           \
        if (f)                                                                                     \
            classify(fileno(f), path);                                                             \
        return f;                                                                                  \
    }
FOPEN_WRAPPER(fopen)
FOPEN_WRAPPER(fopen64)

int fclose(FILE* f) {
    REAL(fclose);
    forget(f ? fileno(f) : -1);
    return real_fclose(f);
}

int close(int fd) {
    REAL(close);
    if (fd_entry* e = device_of(fd, kind::i2c)) {
        char f[32];
        snprintf(f, sizeof f, "\"bus\": %d", e->bus);
        journal("i2c-close", f);
    }
    forget(fd);
    return real_close(fd);
}

ssize_t pread(int fd, void* buf, size_t n, off_t offset) {
    REAL(pread);
    // i2c-dev ignores the offset: a positioned read is a plain receive.
    if (device_of(fd, kind::i2c))
        return i2c_fail(ENXIO);
    if (fd_entry* e = mtd_of(fd))
        return mtd_pread(fd, *e, buf, n, uint64_t(offset));
    return real_pread(fd, buf, n, offset);
}

ssize_t pread64(int fd, void* buf, size_t n, off64_t offset) {
    REAL(pread64);
    // i2c-dev ignores the offset: a positioned read is a plain receive.
    if (device_of(fd, kind::i2c))
        return i2c_fail(ENXIO);
    if (fd_entry* e = mtd_of(fd))
        return mtd_pread(fd, *e, buf, n, uint64_t(offset));
    return real_pread64(fd, buf, n, offset);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t offset) {
    REAL(pwrite);
    if (fd_entry* e = device_of(fd, kind::i2c))
        return i2c_write(*e, buf, n);
    if (fd_entry* e = mtd_of(fd))
        return mtd_pwrite(fd, *e, buf, n, uint64_t(offset));
    return real_pwrite(fd, buf, n, offset);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t offset) {
    REAL(pwrite64);
    if (fd_entry* e = device_of(fd, kind::i2c))
        return i2c_write(*e, buf, n);
    if (fd_entry* e = mtd_of(fd))
        return mtd_pwrite(fd, *e, buf, n, uint64_t(offset));
    return real_pwrite64(fd, buf, n, offset);
}

ssize_t read(int fd, void* buf, size_t n) {
    REAL(read);
    if (device_of(fd, kind::cpld))
        return cpld_read(fd, buf, n);
    if (device_of(fd, kind::i2c))
        return i2c_fail(ENXIO);
    if (fd_entry* e = mtd_of(fd)) {
        off_t at = lseek(fd, 0, SEEK_CUR);
        ssize_t got = mtd_pread(fd, *e, buf, n, uint64_t(at));
        if (got > 0)
            lseek(fd, at + got, SEEK_SET);
        return got;
    }
    return real_read(fd, buf, n);
}

ssize_t write(int fd, const void* buf, size_t n) {
    REAL(write);
    if (fd_entry* e = device_of(fd, kind::slot)) {
        power_check();
        if (user_fs_full(n)) {
            errno = ENOSPC;
            return -1;
        }
        if (shadow* sh = touch(e->name))
            sh->data_dirty = true;
        char f[160];
        snprintf(f, sizeof f, "\"file\": \"%s\", \"offset\": %lld, \"length\": %zu", e->name,
                 (long long)lseek(fd, 0, SEEK_CUR), n);
        journal("write", f);
        return real_write(fd, buf, n);
    }
    if (device_of(fd, kind::cpld))
        return cpld_write(fd, buf, n);
    if (fd_entry* e = device_of(fd, kind::i2c))
        return i2c_write(*e, buf, n);
    if (fd_entry* e = mtd_of(fd)) {
        off_t at = lseek(fd, 0, SEEK_CUR);
        ssize_t put = mtd_pwrite(fd, *e, buf, n, uint64_t(at));
        if (put > 0)
            lseek(fd, at + put, SEEK_SET);
        return put;
    }
    return real_write(fd, buf, n);
}

int ioctl(int fd, unsigned long request, ...) {
    REAL(ioctl);
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fd < 0) {
        // As the kernel answers; qemu-user would say ENOSYS for a request it does not know.
        errno = EBADF;
        return -1;
    }
    if (fd_entry* e = mtd_of(fd))
        return mtd_ioctl(fd, *e, request, arg);
    if (fd_entry* e = device_of(fd, kind::i2c))
        return i2c_ioctl(fd, *e, request, arg);
    // lrzsz's receiver drains and flushes with these requests rather than the calls.
    if (request == TCFLSH)
        return tcflush(fd, int(reinterpret_cast<intptr_t>(arg)));
    if (request == TCSBRK && arg && on_uart(fd))
        return uart_ask("drain") ? 0 : real_ioctl(fd, request, arg);
    return real_ioctl(fd, request, arg);
}

unsigned int sleep(unsigned int seconds) {
    scaled_pause(seconds);
    timespec rem{0, 0};
    if (scaled_nanosleep(seconds, &rem) != 0)
        return unsigned(std::ceil(double(rem.tv_sec) / cfg().scale));
    return 0;
}

int usleep(useconds_t us) {
    scaled_pause(double(us) / 1e6);
    return scaled_nanosleep(double(us) / 1e6, nullptr);
}

int nanosleep(const timespec* req, timespec* rem) {
    double s = double(req->tv_sec) + double(req->tv_nsec) / 1e9;
    scaled_pause(s);
    return scaled_nanosleep(s, rem);
}

int tcflush(int fd, int queue) {
    REAL(tcflush);
    if (!on_uart(fd) || queue == TCIFLUSH)
        return real_tcflush(fd, queue);
    if (!uart_ask("flush"))
        return real_tcflush(fd, queue);
    return queue == TCIOFLUSH ? real_tcflush(fd, TCIFLUSH) : 0;
}

int tcdrain(int fd) {
    REAL(tcdrain);
    return on_uart(fd) && uart_ask("drain") ? 0 : real_tcdrain(fd);
}

int tcsetattr(int fd, int when, const termios* t) {
    REAL(tcsetattr);
    if (on_uart(fd) && t) {
        if (when != TCSANOW)
            uart_ask("drain");
        char request[64];
        tcflag_t size = t->c_cflag & CSIZE;
        snprintf(request, sizeof request, "set %ld %d %s %d", line_baud(cfgetospeed(t)),
                 size == CS5   ? 5
                 : size == CS6 ? 6
                 : size == CS7 ? 7
                               : 8,
                 !(t->c_cflag & PARENB)  ? "none"
                 : (t->c_cflag & PARODD) ? "odd"
                                         : "even",
                 t->c_cflag & CSTOPB ? 2 : 1);
        uart_ask(request);
    }
    return real_tcsetattr(fd, when, t);
}

int tcgetattr(int fd, termios* t) {
    REAL(tcgetattr);
    int r = real_tcgetattr(fd, t);
    char answer[64];
    long baud;
    int bits, stop;
    char parity[8];
    if (r == 0 && on_uart(fd) && uart_ask("get", answer, sizeof answer) &&
        sscanf(answer, "%ld %d %7s %d", &baud, &bits, parity, &stop) == 4) {
        // The pseudo-terminal keeps 8 data bits and no parity whatever it is told, and the
        // speed that the UART holds may have been set from its other side.
        if (speed_t code = line_code(baud); code != B0) {
            cfsetispeed(t, code);
            cfsetospeed(t, code);
        }
        t->c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB);
        t->c_cflag |= bits == 5 ? CS5 : bits == 6 ? CS6 : bits == 7 ? CS7 : CS8;
        if (strcmp(parity, "none") != 0)
            t->c_cflag |= strcmp(parity, "odd") == 0 ? PARENB | PARODD : PARENB;
        if (stop == 2)
            t->c_cflag |= CSTOPB;
    }
    return r;
}

int rename(const char* from, const char* to) {
    REAL(rename);
    if (on_user_fs(from) && on_user_fs(to)) {
        shadow* old_to = touch(to);
        shadow* old_from = touch(from);
        if (old_to && old_from) {
            old_to->name_dirty = old_from->name_dirty = true;
            old_to->data_dirty = old_from->data_dirty;
        }
    }
    journal("rename", "\"from\": " + json_string(from) + ", \"to\": " + json_string(to));
    return real_rename(from, to);
}

int unlink(const char* path) {
    REAL(unlink);
    struct stat st;
    if (on_user_fs(path) && stat(path, &st) == 0)
        if (shadow* sh = touch(path))
            sh->name_dirty = true;
    return real_unlink(path);
}

int fsync(int fd) {
    REAL(fsync);
    int r = real_fsync(fd);
    char link[32], path[256];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = r == 0 ? readlink(link, path, sizeof path - 1) : -1;
    if (n > 0) {
        path[n] = '\0';
        if (on_user_fs(path))
            made_durable(path);
    }
    return r;
}

int system(const char* command) {
    REAL(system);
    journal("shell", "\"command\": " + json_string(command ? command : "") +
                         ", \"peak_rss_kb\": " + std::to_string(peak_rss_kb()));
    if (fault_named("system")) {
        errno = EAGAIN; // the board cannot start another process
        return -1;
    }
    return real_system(command);
}

int execve(const char* path, char* const argv[], char* const envp[]) {
    REAL(execve);
    journal_exec(path, argv);
    return real_execve(path, argv, envp);
}

int execv(const char* path, char* const argv[]) {
    REAL(execv);
    journal_exec(path, argv);
    return real_execv(path, argv);
}

int execvp(const char* file, char* const argv[]) {
    REAL(execvp);
    journal_exec(file, argv);
    return real_execvp(file, argv);
}

int execl(const char* path, const char* arg0, ...) {
    va_list ap;
    va_start(ap, arg0);
    std::vector<char*> args = collect_args(arg0, ap);
    va_end(ap);
    return execv(path, args.data());
}

int execlp(const char* file, const char* arg0, ...) {
    va_list ap;
    va_start(ap, arg0);
    std::vector<char*> args = collect_args(arg0, ap);
    va_end(ap);
    return execvp(file, args.data());
}

} // extern "C"
