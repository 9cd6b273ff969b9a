// SPDX-License-Identifier: MIT
// Arbitrary partition contents and slot files for the readers that take them, on the
// simulated board's device library, with a fault on one erase block of the rescue
// partition: the rescue partition's image is good exactly when its first component is an
// application or diagnostics component that lies inside the partition, reads whole and
// matches its CRC, and then the archive holds its data; a block that cannot be read makes
// it unusable, never good. Installed headers are the 16 bytes where each type keeps
// them, zeros where nothing can be read.
#include "board.h"
#include "crc.h"
#include "flash.h"
#include "image.h"

#include <cstring>
#include <sys/stat.h>

namespace {

slot_verdict expected_rescue(const std::vector<uint8_t>& cells, long faulty_block, uint32_t S) {
    if (faulty_block == 0)
        return slot_verdict::no_component; // the header itself cannot be read
    const component_header h = decode_header(cells.data());
    if (!is_bootable(h.magic))
        return slot_verdict::no_component;
    const uint64_t total = uint64_t(h.len) + HEADER_SIZE;
    if (total > cells.size() || (faulty_block > 0 && uint64_t(faulty_block) * S < total))
        return slot_verdict::cut_short;
    const uint32_t crc = gen_crc(cells.data() + 4, uint32_t(total) - 4, 0xFFFFFFFFu);
    return crc == h.crc ? slot_verdict::good : slot_verdict::bad_crc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint32_t S = fuzz::erase_size();
    static const size_t part = fuzz::partition("rescue").size();
    static const int opened = api_flash_init();
    static int archive = memfd_create("archive", 0);
    if (opened != 0 || archive < 0)
        abort();
    std::vector<uint8_t> cells(data + 1, data + std::min(size, part + 1));
    cells.resize(part, 0xFF);
    for (const char* p : {"uboot", "kernel", "rfs", "devicetree", "rescue"})
        fuzz::set_partition(p, cells);
    mkdir("/user/images", 0755);
    fuzz::write_file("/user/images/image1", std::vector<uint8_t>(data + 1, data + size));
    unlink("/user/images/image2");

    const std::string fault = fuzz::block_fault("rescue", data[0], uint32_t(part / S));
    const bool read_fault = fault.find("read@") != std::string::npos;
    const long faulty = read_fault ? long(std::stoul(fault.substr(fault.find('@') + 1))) : -1;
    fuzz::set_faults(fault);

    component_header h{};
    bool written = false;
    if (ftruncate(archive, 0) != 0 || lseek(archive, 0, SEEK_SET) != 0)
        abort();
    const slot_verdict v = check_rescue_component(rescue_fd, &h, archive, &written);
    if (v != expected_rescue(cells, faulty, S))
        __builtin_trap();
    if (v == slot_verdict::good) {
        std::vector<uint8_t> got(h.len + 1);
        if (!written || pread(archive, got.data(), got.size(), 0) != ssize_t(h.len) ||
            std::memcmp(got.data(), cells.data() + HEADER_SIZE, h.len) != 0)
            __builtin_trap();
    }

    // Installed headers: the boot loader's at offset 240, the others' at 0; the rescue
    // partition's block 0 may be the one that cannot be read.
    struct {
        uint32_t type;
        uint32_t at;
        bool unreadable;
    } rows[] = {{MAGIC_UBOOT, 240, false},
                {MAGIC_KERNEL, 0, false},
                {MAGIC_RFS, 0, false},
                {MAGIC_DFT, 0, false},
                {MAGIC_DIAGS, 0, faulty == 0}};
    for (const auto& row : rows) {
        uint8_t header[HEADER_SIZE];
        std::memset(header, 0x5A, sizeof header);
        uint8_t want[HEADER_SIZE] = {};
        if (!row.unreadable)
            std::memcpy(want, cells.data() + row.at, HEADER_SIZE);
        if (read_flash_image_header(row.type, header, 0) != 1 ||
            std::memcmp(header, want, HEADER_SIZE) != 0)
            __builtin_trap();
    }
    uint8_t header[HEADER_SIZE], want[HEADER_SIZE] = {};
    std::memcpy(want, data + 1, std::min<size_t>(size - 1, HEADER_SIZE));
    if (read_flash_image_header(MAGIC_APPLICATION, header, 1) != 1 ||
        std::memcmp(header, want, HEADER_SIZE) != 0 ||
        read_flash_image_header(MAGIC_APPLICATION, header, 2) != 0 ||
        std::memcmp(header, std::vector<uint8_t>(HEADER_SIZE).data(), HEADER_SIZE) != 0 ||
        read_flash_image_header(0x07504F4C, header, 0) != 0)
        __builtin_trap();
    fuzz::set_faults("");
    return 0;
}
