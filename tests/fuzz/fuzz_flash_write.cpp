// SPDX-License-Identifier: MIT
// Writes at arbitrary offsets and lengths, from memory or from a file, against a model of
// the NOR result: a write that succeeds leaves its range holding the data and every other
// byte as it was; one refused for its range changes nothing.
#include "fake_devices.h"
#include "flash.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    return freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint32_t kBlock = 1024, kSize = 16 * kBlock;
    if (size < 6)
        return 0;
    const uint32_t offset = (uint32_t(data[0]) << 8 | data[1]) % (kSize + 2 * kBlock);
    const uint32_t length = std::min<uint32_t>(uint32_t(data[2]) << 8 | data[3], size - 5);
    const bool from_file = data[4] & 1;
    const uint8_t* bytes = data + 5;
    fake_mtd::reset();
    fake_mtd::add("kernel", kSize, kBlock);
    auto& p = fake_mtd::add("rfs", kSize, kBlock);
    for (uint32_t i = 0; i < kSize; ++i)
        p.cells[i] = uint8_t(i * 7 + data[4]);
    std::vector<uint8_t> before = p.cells;
    api_flash_init();
    int result;
    if (from_file) {
        FILE* f = fmemopen(const_cast<uint8_t*>(bytes), length ? length : 1, "rb");
        result = api_flash_write_file(f, rfs_fd, offset, length, 1);
        fclose(f);
    } else {
        result = api_flash_write(bytes, rfs_fd, offset, length, 1);
    }
    const auto& after = fake_mtd::get("rfs").cells;
    const bool fits = uint64_t(offset) + length <= kSize;
    if ((result == 0) != fits)
        __builtin_trap();
    if (fits)
        std::copy(bytes, bytes + length, before.begin() + offset);
    if (after != before)
        __builtin_trap();
    return 0;
}
