// SPDX-License-Identifier: MIT
// The flash module on the simulated board's own device library, which ctest preloads with
// the partitions as files of a scratch directory: NOR programming, erase to 0xFF. And the
// I2C buses' descriptors when no bus is open.
#include "flash.h"
#include "i2c.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kBlock = 65536; // the device library's erase size

std::string partition_file(const char* name) {
    return std::string(getenv("BLADESIM_MTD_DIR")) + "/mtd-" + name;
}

void make_partition(const char* name, const std::vector<uint8_t>& cells) {
    std::ofstream(partition_file(name), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(cells.data()), std::streamsize(cells.size()));
}

std::vector<uint8_t> partition(const char* name) {
    std::ifstream in(partition_file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(Flash, WritesAnyRangeAndKeepsEveryOtherByte) {
    ASSERT_NE(getenv("BLADESIM_MTD_DIR"), nullptr) << "run by ctest, with the device library";
    // A kernel partition of no size is no flash at all.
    make_partition("kernel", {});
    EXPECT_EQ(api_flash_init(), -1);
    make_partition("kernel", std::vector<uint8_t>(1, 0xFF));
    EXPECT_EQ(api_flash_init(), 0);

    const uint32_t size = 4 * kBlock;
    std::vector<uint8_t> old(size), data(3 * kBlock);
    for (uint32_t i = 0; i < size; ++i)
        old[i] = uint8_t(i * 7 + i / 251);
    for (uint32_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 13 + 5);
    struct {
        uint32_t offset, length;
    } cases[] = {{0, 1},
                 {100, kBlock},
                 {kBlock - 6, kBlock + 12},
                 {kBlock + 3, 2 * kBlock + 7},
                 {size - 1, 1},
                 {size - 1, 2},
                 {0, size + 1}};
    for (const auto& c : cases) {
        make_partition("rfs", old);
        ASSERT_EQ(api_flash_init(), 0);
        const bool fits = uint64_t(c.offset) + c.length <= size;
        const uint8_t* from = c.length <= data.size() ? data.data() : old.data();
        EXPECT_EQ(api_flash_write(from, rfs_fd, flash_offset{c.offset}, flash_length{c.length}, 0),
                  fits ? 0 : -1)
            << c.offset << "+" << c.length;
        std::vector<uint8_t> want = old;
        if (fits)
            std::copy(from, from + c.length, want.begin() + c.offset);
        EXPECT_EQ(partition("rfs"), want) << c.offset << "+" << c.length;
    }
}

// Before the buses are opened and after they are closed, a VPD transfer fails on its own:
// nothing of it reaches another descriptor, such as 0, the console.
TEST(I2c, ClosedBusesTouchNoOtherDescriptor) {
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_NONBLOCK), 0);
    const int console = dup(0);
    for (int round = 0; round < 2; ++round) {
        if (round == 1)
            api_i2c_close();
        EXPECT_EQ(i2c_file[0], -1);
        EXPECT_EQ(i2c_file[1], -1);
        dup2(pipe_fds[1], 0);
        EXPECT_LT(api_set_image(2), 0);
        dup2(console, 0);
        char got;
        EXPECT_EQ(read(pipe_fds[0], &got, 1), -1) << "a byte reached descriptor 0";
    }
    close(console);
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

} // namespace
