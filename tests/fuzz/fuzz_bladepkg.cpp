// SPDX-License-Identifier: MIT
// Arbitrary bytes as a package for bladepkg: `verify` accepts exactly the packages made
// of whole components of the six types with matching CRCs, and `list` agrees with it on
// any file that is not empty.
#include "crc.h"
#include "image.h"

#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

int bladepkg_main(int argc, char** argv);

namespace {

bool well_formed(const uint8_t* p, size_t size) {
    size_t at = 0;
    for (; at < size; at += HEADER_SIZE + decode_header(p + at).len) {
        if (size - at < HEADER_SIZE)
            return false;
        const component_header h = decode_header(p + at);
        if (!component_type_of(h.magic) || size - at - HEADER_SIZE < h.len ||
            gen_crc(p + at + 4, h.len + HEADER_SIZE - 4, 0xFFFFFFFFu) != h.crc)
            return false;
    }
    return size > 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("pkg", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        return 0;
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    char tool[] = "bladepkg", verify[] = "verify", list[] = "list";
    char* verify_args[] = {tool, verify, path, nullptr};
    char* list_args[] = {tool, list, path, nullptr};
    const int verified = bladepkg_main(3, verify_args);
    if ((verified == 0) != well_formed(data, size) ||
        (size > 0 && bladepkg_main(3, list_args) != verified))
        __builtin_trap();
    return 0;
}
