#pragma once
// A link-time seam below the flash module: open, ioctl, pread and pwrite of the
// "/dev/mtd-*" paths are answered from memory (NOR semantics: a write ANDs the cells,
// an erase sets them to 0xFF), and every erase and write is recorded.
#include <cstdint>
#include <string>
#include <vector>

namespace fake_mtd {

struct op {
    char kind; // 'e' erase, 'w' write
    std::string partition;
    uint32_t offset;
    uint32_t length;
};

struct partition {
    std::vector<uint8_t> cells;
    uint32_t erasesize = 65536;
    bool fail_getinfo = false;
    long fail_read_block = -1;
    long fail_erase_block = -1;
    long fail_write_block = -1;
};

// Removes every partition and the recorded operations; partitions not added fail to open.
void reset();
partition& add(const std::string& name, uint32_t size, uint32_t erasesize = 65536,
               uint8_t fill = 0xFF);
partition& get(const std::string& name);
const std::vector<op>& ops();

} // namespace fake_mtd
