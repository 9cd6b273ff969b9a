// SPDX-License-Identifier: MIT
#pragma once
// A link-time seam below the flash and board-controller modules.
// - "/dev/mtd-*": open, ioctl, pread and pwrite are answered from memory (NOR semantics:
//   a write ANDs the cells, an erase sets them to 0xFF); every erase and write is recorded.
// - "/dev/i2c-0", "/dev/i2c-1" and "/dev/blade/cpld_mmmap": every request is recorded;
//   the EEPROM at 0x54 and the CPLD registers live in memory. usleep is recorded, not slept.
#include <cstdint>
#include <map>
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

namespace fake_i2c {

struct request {
    int bus;
    char kind;        // 's' I2C_SLAVE, 'b' SMBus transfer, 'w' plain write
    unsigned address; // I2C_SLAVE address
    unsigned read_write, command, size, byte;
    bool operator==(const request&) const = default;
};

struct board {
    bool bus0_present = true;
    bool cpld_present = true;
    uint8_t eeprom[256] = {};
    uint8_t cpld[256] = {};
    int cpld_busy_polls = 0; // -1: the status never clears
    int status_reads = 0;
    int eeprom_errno = 0; // non-zero: EEPROM transfers fail with it
    std::vector<request> requests;
    std::vector<unsigned> sleeps; // usleep arguments
    std::vector<std::string> opened;
    int closed = 0;
};

board& reset();
board& state();

} // namespace fake_i2c

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
