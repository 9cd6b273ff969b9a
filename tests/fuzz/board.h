// SPDX-License-Identifier: MIT
// The fuzz targets that need the blade's devices run on the simulated board's own device
// library: `bladesim devices` starts them in a sandbox whose /dev/mtd-*, I2C buses, CPLD
// register file and /user lead to a scratch board (BLADESIM_BOARD_FILES), with the
// library preloaded. A target resets the board's files between inputs through that
// directory, past the library, and sets the library's faults for each input.
#pragma once
#include "board_description.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace fuzz {

inline std::string board_file(const std::string& name) {
    const char* dir = getenv("BLADESIM_BOARD_FILES");
    if (!dir) {
        fputs("run me with bladesim devices -- PROGRAM\n", stderr);
        abort();
    }
    return std::string(dir) + "/" + name;
}

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    std::vector<uint8_t> out(in ? size_t(in.tellg()) : 0);
    in.seekg(0).read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
    return out;
}

inline void write_file(const std::string& path, const std::vector<uint8_t>& data) {
    if (!std::ofstream(path, std::ios::binary | std::ios::trunc)
             .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size())))
        abort();
}

// A partition's file as the board holds it (bypassing the device library).
inline std::vector<uint8_t> partition(const char* name) {
    return read_file(board_file(std::string("mtd-") + name));
}

inline void set_partition(const char* name, const std::vector<uint8_t>& cells) {
    write_file(board_file(std::string("mtd-") + name), cells);
}

// Deterministic old contents for a partition of `size` bytes.
inline std::vector<uint8_t> old_cells(size_t size, uint8_t seed) {
    std::vector<uint8_t> v(size);
    for (size_t i = 0; i < size; ++i)
        v[i] = uint8_t(i * 7 + i / 251 + seed);
    return v;
}

// The faults for the next input.
inline void set_faults(const std::string& faults) {
    setenv("BLADESIM_FAULTS", faults.c_str(), 1);
}

// A fault on one erase block, chosen by a byte of the input: none, or one of the kinds
// the simulated flash takes.
inline std::string block_fault(const char* part, uint8_t choice, uint32_t blocks) {
    constexpr uint32_t n = sizeof board::fault::kBlockKinds / sizeof board::fault::kBlockKinds[0];
    const uint32_t kind = choice % (n + 2);
    if (kind >= n)
        return "";
    return std::string(part) + ":" + board::fault::kBlockKinds[kind] + "@" +
           std::to_string((choice / (n + 2)) % blocks);
}

// Standard input reads `text` (a memory file), from its start.
inline void feed_stdin(const std::string& text) {
    static int fd = memfd_create("console", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, text.data(), text.size(), 0) != ssize_t(text.size()) ||
        lseek(fd, 0, SEEK_SET) != 0 || dup2(fd, 0) != 0)
        abort();
    clearerr(stdin);
}

inline uint32_t erase_size() {
    return uint32_t(std::strtoul(getenv("BLADESIM_ERASESIZE"), nullptr, 0));
}

} // namespace fuzz
