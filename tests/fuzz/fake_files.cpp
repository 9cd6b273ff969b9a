// SPDX-License-Identifier: MIT
// The rest of the user filesystem seam, for targets that link the installer: mkdir, stat,
// rename and fsync of "/user/images" paths, and the slot question's line input.
#include "fake_devices.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
int __real_stat(const char* path, struct stat* st);
int __real_mkdir(const char* path, mode_t mode);
int __real_rename(const char* from, const char* to);
int __real_fsync(int fd);

int __wrap_stat(const char* path, struct stat* st) {
    if (std::strcmp(path, "/user/images") == 0) {
        if (!fake_files::get().images_dir) {
            errno = ENOENT;
            return -1;
        }
        std::memset(st, 0, sizeof *st);
        st->st_mode = S_IFDIR | 0755;
        return 0;
    }
    return __real_stat(path, st);
}

int __wrap_mkdir(const char* path, mode_t mode) {
    if (std::strcmp(path, "/user/images") == 0) {
        fake_files::get().images_dir = true;
        return 0;
    }
    if (std::strncmp(path, "/user/", 6) == 0) {
        fake_files::get().stray_writes.push_back(path);
        errno = EACCES;
        return -1;
    }
    return __real_mkdir(path, mode);
}

int __wrap_rename(const char* from, const char* to) {
    auto& files = fake_files::get().files;
    auto it = files.find(from);
    if (it == files.end() || std::strncmp(to, "/user/images/", 13) != 0) {
        fake_files::get().stray_writes.push_back(to);
        errno = ENOENT;
        return -1;
    }
    files[to] = it->second;
    files.erase(from);
    return 0;
}

int __wrap_fsync(int fd) {
    if (fd >= 900)
        return 0;
    return __real_fsync(fd);
}

char* __wrap_fgets(char* s, int size, FILE* stream) {
    if (stream == stdin) {
        snprintf(s, size_t(size), "%s", fake_files::get().answer.c_str());
        return s;
    }
    return fgets(s, size, stream);
}
}
