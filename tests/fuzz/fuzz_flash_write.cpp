// SPDX-License-Identifier: MIT
// Flash writes at any offset and length, on the simulated board's device library, with a
// fault on one erase block: a write that fits and meets no fault leaves the partition
// holding the old bytes with the range replaced; one that does not fit changes nothing;
// one that meets a fault fails, with every block before the failing one written, every
// block after it untouched, and a block that could not be read or erased untouched too.
#include "board.h"
#include "flash.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t word(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9)
        return 0;
    const uint32_t S = fuzz::erase_size();
    static const std::vector<uint8_t> old = fuzz::old_cells(fuzz::partition("rfs").size(), 3);
    const uint32_t part = uint32_t(old.size());
    const uint32_t blocks = part / S;
    const uint32_t offset = word(data) % (part + 2 * S);
    const uint32_t length = word(data + 4) % (part + S);
    const std::string fault = fuzz::block_fault("rfs", data[8], blocks);
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i)
        bytes[i] = size > 9 ? data[9 + i % (size - 9)] : 0;

    static const int opened = api_flash_init();
    if (opened != 0)
        abort();
    fuzz::set_partition("rfs", old);
    fuzz::set_faults(fault);
    const int r =
        api_flash_write(bytes.data(), rfs_fd, flash_offset{offset}, flash_length{length}, 0);
    fuzz::set_faults("");
    const std::vector<uint8_t> got = fuzz::partition("rfs");

    std::vector<uint8_t> want = old;
    const bool fits = uint64_t(offset) + length <= part;
    if (fits)
        std::copy(bytes.begin(), bytes.end(), want.begin() + offset);
    // The blocks the write reads, erases and writes back, and the one a fault names.
    const uint32_t first = offset & ~(S - 1);
    const uint32_t last = ((offset + length - 1) & ~(S - 1)) + S - 1;
    // A zero-length write touches no block at all, wherever it starts.
    const uint32_t touched = fits && length > 0 ? (last - first + 1) / S : 0;
    long failing = -1;
    if (!fault.empty()) {
        const uint32_t b = uint32_t(std::stoul(fault.substr(fault.find('@') + 1)));
        const bool stuck = fault.find(":stuck@") != std::string::npos;
        // A stuck bit shows only where the block is to hold a programmed (not 0xFF) byte.
        const bool shows =
            !stuck || std::any_of(want.begin() + long(b) * S, want.begin() + long(b + 1) * S,
                                  [](uint8_t c) { return c != 0xFF; });
        if (b >= first / S && b < first / S + touched && shows)
            failing = b;
    }
    if (!fits) {
        if (r != -1 || got != old)
            __builtin_trap();
        return 0;
    }
    if (failing < 0) {
        if (r != 0 || got != want)
            __builtin_trap();
        return 0;
    }
    if (r != -1)
        __builtin_trap();
    const bool untouched = fault.find(":read@") != std::string::npos ||
                           fault.find(":short-read@") != std::string::npos ||
                           fault.find(":erase@") != std::string::npos;
    for (uint32_t b = 0; b < blocks; ++b) {
        const auto at = long(b) * S;
        const bool same_as_want =
            std::equal(got.begin() + at, got.begin() + at + S, want.begin() + at);
        const bool same_as_old =
            std::equal(got.begin() + at, got.begin() + at + S, old.begin() + at);
        if ((long(b) < failing && !same_as_want) || (long(b) > failing && !same_as_old) ||
            (long(b) == failing && untouched && !same_as_old))
            __builtin_trap();
    }
    return 0;
}
