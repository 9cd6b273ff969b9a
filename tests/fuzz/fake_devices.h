// SPDX-License-Identifier: MIT
#pragma once
// A link-time seam below the flash and board-controller modules, for the fuzz targets.
// - "/dev/mtd-*": open, ioctl, pread and pwrite are answered from memory (NOR semantics:
//   a write ANDs the cells, an erase sets them to 0xFF), with a failing block on request.
// - "/dev/i2c-*" and "/dev/blade/cpld_mmmap": every transfer succeeds, the CPLD is never
//   busy; usleep returns at once. The installer's slot record is not what is checked.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fake_mtd {

struct partition {
    std::vector<uint8_t> cells;
    uint32_t erasesize = 65536;
    long fail_read_block = -1;
    long fail_erase_block = -1;
    long fail_write_block = -1;
};

// Removes every partition; partitions not added fail to open.
void reset();
partition& add(const std::string& name, uint32_t size, uint32_t erasesize = 65536,
               uint8_t fill = 0xFF);
partition& get(const std::string& name);

} // namespace fake_mtd

// Files the installer writes on the user filesystem ("/user/images/..."), in memory.
// Opening any other path for writing is recorded as a stray write.
namespace fake_files {

struct state {
    std::map<std::string, std::vector<uint8_t>> files;
    std::vector<std::string> stray_writes;
    bool images_dir = true;
    std::string answer = "1\n"; // what the slot question reads
};

state& reset();
state& get();

} // namespace fake_files
