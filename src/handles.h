// SPDX-License-Identifier: MIT
#pragma once
// Small owners for a FILE* and a descriptor, so that every way out of a function
// closes what it opened.
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

struct file_closer {
    void operator()(FILE* f) const {
        if (f)
            fclose(f);
    }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// A new, empty file for writing (an existing one is truncated), or -1.
inline int create_file(const char* path, mode_t mode = 0666) {
    return open(path, O_WRONLY | O_CREAT | O_TRUNC, mode);
}

struct unique_fd {
    int fd = -1;

    unique_fd() = default;
    explicit unique_fd(int descriptor) : fd(descriptor) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    ~unique_fd() {
        if (fd >= 0)
            close(fd);
    }

    bool ok() const { return fd >= 0; }
    // Closes now and reports whether the close succeeded (a write may fail only here).
    bool close_now() {
        int f = fd;
        fd = -1;
        return f < 0 || close(f) == 0;
    }
};
