// SPDX-License-Identifier: MIT
// Arbitrary keys typed at an address question and a file name: an address the question
// accepts is one the check accepts, a plain line the check accepts is the address the
// question returns, and a file name the filter passes has no byte a shell would give a
// meaning to. Each input is a console of its own, from its first key to its end.
#include "mgmt.h"
#include "rescue.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <string>
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
    const int got = get_ip_addr("IP addr    :", &a, 1, 1);
    if (got == 1 && !verify_ip_address(a.s_addr))
        __builtin_trap();
    // A first line of digits and dots alone is answered as typed.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const size_t end = text.find('\r');
    const std::string line = text.substr(0, end);
    in_addr parsed{};
    if (end != std::string::npos && !line.empty() && line.size() < 128 &&
        line.find_first_not_of("0123456789.") == std::string::npos &&
        inet_aton(line.c_str(), &parsed) && verify_ip_address(parsed.s_addr) &&
        (got != 1 || a.s_addr != parsed.s_addr))
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
