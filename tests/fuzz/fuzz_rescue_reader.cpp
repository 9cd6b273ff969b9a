// SPDX-License-Identifier: MIT
// Arbitrary bytes as the rescue partition, with a read failure on one block: a good
// verdict must leave in the archive exactly the data of a component at offset 0 that lies
// inside the partition and whose CRC matches.
#include "crc.h"
#include "fake_devices.h"
#include "flash.h"
#include "image.h"

#include <algorithm>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr uint32_t kBlock = 4096;
    if (size < 1)
        return 0;
    const long bad_block = data[0] < 8 ? data[0] : -1;
    ++data, --size;
    fake_mtd::reset();
    fake_mtd::add("kernel", kBlock, kBlock);
    auto& rescue = fake_mtd::add("rescue", uint32_t(std::max<size_t>(kBlock, size)), kBlock);
    std::copy(data, data + size, rescue.cells.begin());
    rescue.fail_read_block = bad_block;
    api_flash_init();

    static int archive = memfd_create("archive", 0);
    if (archive < 0 || ftruncate(archive, 0) != 0 || lseek(archive, 0, SEEK_SET) != 0)
        return 0;
    component_header h;
    bool written = false;
    if (check_rescue_component(rescue_fd, &h, archive, &written) == slot_verdict::good) {
        const auto& cells = fake_mtd::get("rescue").cells;
        std::vector<uint8_t> got(cells.size() + 1);
        if (!written || h.len + HEADER_SIZE > cells.size() ||
            pread(archive, got.data(), got.size(), 0) != ssize_t(h.len) ||
            !std::equal(got.begin(), got.begin() + h.len, cells.begin() + HEADER_SIZE) ||
            component_crc(cells.data(), h.len) != h.crc)
            __builtin_trap();
    }
    return 0;
}
