// SPDX-License-Identifier: MIT
// Arbitrary bytes as the image slot the debugger is copied from: the copy is the first
// component's data, no more than `len` bytes and ending with the file, and only for an
// application or diagnostics component.
#include "image.h"

#include <algorithm>
#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int slot = memfd_create("slot", 0);
    static int out = memfd_create("gdb.gz", 0);
    if (slot < 0 || out < 0 || ftruncate(slot, 0) != 0 || ftruncate(out, 0) != 0 ||
        pwrite(slot, data, size, 0) != ssize_t(size) || lseek(out, 0, SEEK_SET) != 0)
        return 0;
    FILE* f = fdopen(dup(slot), "rb");
    if (!f)
        return 0;
    rewind(f);
    component_header h;
    bool written = false;
    const bool found = copy_first_component_data(f, out, &h, &written);
    fclose(f);
    std::vector<uint8_t> got(size + 1);
    const ssize_t n = pread(out, got.data(), got.size(), 0);
    const size_t want =
        size < HEADER_SIZE ? 0 : std::min<uint64_t>(h.len, uint64_t(size) - HEADER_SIZE);
    if (found != (size >= HEADER_SIZE && is_bootable(h.magic)))
        __builtin_trap();
    if (found ? !written || n != ssize_t(want) ||
                    !std::equal(got.begin(), got.begin() + n, data + HEADER_SIZE)
              : n != 0)
        __builtin_trap();
    return 0;
}
