// SPDX-License-Identifier: MIT
// Arbitrary bytes as the flash partitions and a type code: the installed header of a
// flash type is the 16 bytes at its partition's header offset, of any other code nothing.
#include "fake_devices.h"
#include "flash.h"
#include "image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint32_t kBlock = 4096;
    const char* names[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};
    if (size < 4)
        return 0;
    const uint32_t type = uint32_t(data[0]) << 24 | 0x504F4Cu;
    const bool unreadable = data[1] & 1;
    data += 2, size -= 2;
    fake_mtd::reset();
    for (const char* name : names) {
        auto& p = fake_mtd::add(name, kBlock, kBlock);
        std::memcpy(p.cells.data(), data, std::min<size_t>(size, kBlock));
        p.fail_read_block = unreadable ? 0 : -1;
    }
    api_flash_init();
    uint8_t got[HEADER_SIZE];
    std::memset(got, 0xEE, sizeof got);
    const component_type* t = component_type_of(type);
    const int result = read_flash_image_header(type, got, 1);
    uint8_t want[HEADER_SIZE] = {};
    if (t && type != MAGIC_APPLICATION && !unreadable)
        std::memcpy(want, fake_mtd::get("uboot").cells.data() + t->header_offset, HEADER_SIZE);
    if (type != MAGIC_APPLICATION &&
        (result != (t ? 1 : 0) || std::memcmp(got, want, HEADER_SIZE) != 0))
        __builtin_trap();
    return 0;
}
