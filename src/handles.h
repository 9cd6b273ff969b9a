// SPDX-License-Identifier: MIT
#pragma once
// Small owners for a FILE* and a descriptor, so that every way out of a function
// closes what it opened.
#include <cstdio>
#include <memory>
#include <unistd.h>

struct file_closer {
    void operator()(FILE* f) const {
        if (f)
            fclose(f);
    }
};
using file_ptr = std::unique_ptr<FILE, file_closer>;

// Writes all `n` bytes and closes the file: false when any of it did not reach the file
// (a full /tmp), so that nothing half-written is ever used.
inline bool write_and_close(file_ptr& f, const void* data, size_t n) {
    bool ok = fwrite(data, 1, n, f.get()) == n;
    ok = fflush(f.get()) == 0 && ok;
    return fclose(f.release()) == 0 && ok;
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
