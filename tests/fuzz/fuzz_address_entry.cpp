// SPDX-License-Identifier: MIT
// Arbitrary keys typed at an address question and a file name: an address the question
// accepts is one the check accepts, and a file name the filter passes has no byte a
// shell would give a meaning to.
#include "mgmt.h"
#include "rescue.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int keys = memfd_create("console", 0);
    if (keys < 0 || ftruncate(keys, 0) != 0 || pwrite(keys, data, size, 0) != ssize_t(size) ||
        lseek(keys, 0, SEEK_SET) != 0 || dup2(keys, 0) != 0)
        return 0;
    in_addr a{};
    if (get_ip_addr("IP addr    :", &a, 1, 1) == 1 && !verify_ip_address(a.s_addr))
        __builtin_trap();

    char name[128] = {};
    std::memcpy(name, data, std::min<size_t>(size, sizeof name - 1));
    if (safe_file_name(name))
        for (const char* p = name; *p; ++p)
            if (uint8_t(*p) >= 128 || uint8_t(*p) <= ' ' ||
                std::strchr("'\"\\$`;|&<>(){}[]*?~#!", *p))
                __builtin_trap();
    return 0;
}
