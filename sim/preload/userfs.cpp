// SPDX-License-Identifier: MIT
// The user filesystem as JFFS2 on the blade keeps it: a capacity (a write beyond fails with
// ENOSPC) and, across a power cut, only what was made durable. A cut loses data written to
// a file since its last fsync, and creations, renames and removals since the last fsync of
// the file's directory. Each path touched since it was last durable keeps its durable state
// (its content, or its absence) in a shadow file under the sandbox's /run until it is
// durable again; a cut puts every shadow back before the launcher dies.
#include "sim.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

struct shadow {
    bool used;
    bool existed;    // the durable state has the file, with the shadow file's content
    bool data_dirty; // written since its last fsync
    bool name_dirty; // created, renamed or removed since its directory's last fsync
    char path[128];
};
constexpr int kShadows = 32;
shadow g_shadows[kShadows];

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

// What the files under DIR take.
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

// Room left on /user: the partition less the filesystem's own blocks, against what its
// files take.
bool user_fs_full(size_t more) {
    const char* capacity = getenv("BLADESIM_USER_CAPACITY");
    std::string top(board::kUserDir);
    top.pop_back(); // without its slash
    return capacity && user_fs_used(top.c_str()) + more > std::strtoull(capacity, nullptr, 10);
}

// A slot file written: a write point for power cuts, room on /user, data not yet durable.
ssize_t slot_write(fd_entry& e, int fd, const void* buf, size_t n) {
    REAL(write);
    power_check();
    if (user_fs_full(n)) {
        errno = ENOSPC;
        return -1;
    }
    if (shadow* sh = touch(e.name))
        sh->data_dirty = true;
    char f[160];
    snprintf(f, sizeof f, "\"file\": \"%s\", \"offset\": %lld, \"length\": %zu", e.name,
             (long long)lseek(fd, 0, SEEK_CUR), n);
    journal("write", f);
    return real_write(fd, buf, n);
}

} // namespace

const device_ops slot_ops = {nullptr, slot_write, nullptr, nullptr, nullptr, nullptr};

bool on_user_fs(const char* path) {
    return path && std::strncmp(path, board::kUserDir, std::strlen(board::kUserDir)) == 0;
}

void user_open(const char* path, int flags) {
    if (!on_user_fs(path) || !(flags & (O_CREAT | O_TRUNC)))
        return;
    struct stat st;
    const bool is_new = stat(path, &st) != 0;
    if (shadow* sh = touch(path)) {
        sh->data_dirty = sh->data_dirty || (flags & O_TRUNC) || is_new;
        sh->name_dirty = sh->name_dirty || is_new;
    }
}

void user_rename(const char* from, const char* to) {
    if (!on_user_fs(from) || !on_user_fs(to))
        return;
    shadow* old_to = touch(to);
    shadow* old_from = touch(from);
    if (old_to && old_from) {
        old_to->name_dirty = old_from->name_dirty = true;
        old_to->data_dirty = old_from->data_dirty;
    }
}

void user_unlink(const char* path) {
    struct stat st;
    if (on_user_fs(path) && stat(path, &st) == 0)
        if (shadow* sh = touch(path))
            sh->name_dirty = true;
}

void user_fsync(const char* path) {
    if (!on_user_fs(path))
        return;
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

} // namespace sim
