// SPDX-License-Identifier: MIT
// Configuration from the environment bladesim sets, the journal, the fault list, and the
// table that tells which device a descriptor leads to.
//   BLADESIM_JOURNAL     journal file (JSON lines), appended to
//   BLADESIM_TIME_SCALE  factor applied to every pause (default 1)
//   BLADESIM_ERASESIZE   erase block size of every partition
//   BLADESIM_FAULTS      comma-separated faults (sim/board.json lists them), read at each
//                        check, so that a program may change them as it goes
#include "sim.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

namespace {

sim_config g_cfg;

constexpr int kMaxFds = 1024;
fd_entry g_fds[kMaxFds];

void name_start(fd_entry& e, const char* path) {
    snprintf(e.name, sizeof e.name, "%s", path);
}

// The board's devices, by the path they are opened at.
struct device_kind {
    const char* path;
    bool prefix; // every path that starts with it
    const device_ops* ops;
    void (*start)(fd_entry& e, const char* path);
};

const device_kind kDevices[] = {
    {board::kDevicePrefix, true, &mtd_ops, mtd_start},
    {board::kI2cPrefix, true, &i2c_ops, i2c_start},
    {board::kCpldPath, false, &cpld_ops, nullptr},
    {board::kSlotDir, true, &slot_ops, name_start},
};

bool matches(const device_kind& d, const char* path) {
    return d.prefix ? std::strncmp(path, d.path, std::strlen(d.path)) == 0
                    : std::strcmp(path, d.path) == 0;
}

// True when some item of the comma-separated fault list satisfies `match`.
template <typename Match> bool any_fault(Match match) {
    const char* list = getenv("BLADESIM_FAULTS");
    const std::string faults = list ? list : "";
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

} // namespace

const sim_config& cfg() {
    if (!g_cfg.loaded) {
        g_cfg.loaded = true;
        g_cfg.scale = 1.0;
        g_cfg.erasesize = board::kEraseSize;
        if (const char* j = getenv("BLADESIM_JOURNAL"))
            snprintf(g_cfg.journal, sizeof g_cfg.journal, "%s", j);
        if (const char* s = getenv("BLADESIM_TIME_SCALE"))
            g_cfg.scale = std::strtod(s, nullptr);
        if (const char* e = getenv("BLADESIM_ERASESIZE"))
            g_cfg.erasesize = uint32_t(std::strtoul(e, nullptr, 0));
    }
    return g_cfg;
}

void line_only() {
    cfg();
    g_cfg.journal[0] = '\0';
    g_cfg.scale = 1.0;
    unsetenv("BLADESIM_FAULTS");
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

void journal(const char* event, const std::string& fields) {
    if (!cfg().journal[0])
        return;
    REAL(open);
    int saved = errno;
    char head[128];
    snprintf(head, sizeof head, "{\"t\": %.6f, \"pid\": %d, \"event\": \"%s\"", wall_time(),
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

bool fault(const char* part, const char* what, long block) {
    const std::string want = std::string(part) + ":" + what;
    return any_fault([&](const std::string& item) {
        return item == want || (block >= 0 && item == want + "@" + std::to_string(block));
    });
}

bool fault_named(const char* name) {
    return any_fault([&](const std::string& item) { return item == name; });
}

long fault_number(const char* prefix) {
    long n = 0;
    const std::string p = std::string(prefix) + "@";
    any_fault([&](const std::string& item) {
        if (item.rfind(p, 0) != 0)
            return false;
        n = std::strtol(item.c_str() + p.size(), nullptr, 10);
        return true;
    });
    return n;
}

void classify(int fd, const char* path) {
    if (fd < 0 || fd >= kMaxFds)
        return;
    fd_entry& e = g_fds[fd];
    e = fd_entry{nullptr, {}, 0, 0, false};
    if (!path)
        return;
    e.watched = std::strncmp(path, board::kSlotDir, std::strlen(board::kSlotDir)) == 0 ||
                std::strcmp(path, board::kArchive) == 0;
    if (e.watched) {
        name_start(e, path);
        journal("open", "\"file\": " + json_string(path));
    }
    for (const device_kind& d : kDevices) {
        if (!matches(d, path))
            continue;
        e.ops = d.ops;
        if (d.start)
            d.start(e, path);
        break;
    }
}

void forget(int fd) {
    if (fd < 0 || fd >= kMaxFds)
        return;
    fd_entry& e = g_fds[fd];
    if (e.ops && e.ops->close)
        e.ops->close(e);
    if (e.watched)
        journal("close", "\"file\": " + json_string(e.name));
    classify(fd, nullptr);
}

fd_entry* device(int fd) {
    if (fd < 0 || fd >= kMaxFds || !g_fds[fd].ops)
        return nullptr;
    return &g_fds[fd];
}

} // namespace sim
