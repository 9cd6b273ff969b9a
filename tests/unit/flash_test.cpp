// SPDX-License-Identifier: MIT
#include "fake_devices.h"
#include "flash.h"

#include <gtest/gtest.h>
#include <numeric>
#include <string>
#include <vector>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

constexpr uint32_t S = 64 * 1024;

class Flash : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_mtd::reset();
        for (const char* p : {"uboot", "ubootenv", "devicetree", "rfs", "rescue"})
            fake_mtd::add(p, 8 * S);
        fake_mtd::add("kernel", 8 * S);
    }
    void TearDown() override { fake_mtd::reset(); }

    void init() {
        CaptureStdout();
        ASSERT_EQ(api_flash_init(), 0);
        ASSERT_EQ(GetCapturedStdout(), "");
    }

    static std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i)
            v[i] = uint8_t(seed + i * 7);
        return v;
    }

    // Block starts that were erased, in order.
    static std::vector<uint32_t> erased(const std::string& part) {
        std::vector<uint32_t> out;
        for (const auto& op : fake_mtd::ops())
            if (op.kind == 'e' && op.partition == part)
                out.push_back(op.offset);
        return out;
    }
};

TEST_F(Flash, InitQueriesTheKernelPartition) {
    init();
    EXPECT_EQ(theFlash.sector_size, S);
    EXPECT_EQ(theFlash.sector_shift, 16u);
    EXPECT_EQ(theFlash.size, 8 * S);
    EXPECT_EQ(flash_fd, kernel_fd);
}

TEST_F(Flash, SmallWriteKeepsTheRestOfItsBlock) {
    auto& rfs = fake_mtd::get("rfs");
    rfs.cells = pattern(8 * S, 3);
    std::vector<uint8_t> before = rfs.cells;
    init();
    std::vector<uint8_t> data = pattern(10, 200);
    ASSERT_EQ(api_flash_write(data.data(), rfs_fd, S + 1000, 10, 0), 0);
    std::copy(data.begin(), data.end(), before.begin() + S + 1000);
    EXPECT_EQ(rfs.cells, before);
    EXPECT_EQ(erased("rfs"), std::vector<uint32_t>{S});
    // Written back whole, in 1024-byte pieces.
    size_t pieces = 0;
    for (const auto& op : fake_mtd::ops())
        if (op.kind == 'w') {
            EXPECT_EQ(op.length, 1024u);
            ++pieces;
        }
    EXPECT_EQ(pieces, S / 1024);
}

TEST_F(Flash, WriteAcrossBlocksTouchesEachBlockOnce) {
    auto& k = fake_mtd::get("kernel");
    k.cells = pattern(8 * S, 9);
    std::vector<uint8_t> want = k.cells;
    init();
    // 100 bytes before a boundary, then all of the next block and 50 bytes of the third.
    uint32_t offset = S - 100, length = 100 + S + 50;
    std::vector<uint8_t> data = pattern(length, 77);
    ASSERT_EQ(api_flash_write(data.data(), kernel_fd, offset, length, 0), 0);
    std::copy(data.begin(), data.end(), want.begin() + offset);
    EXPECT_EQ(k.cells, want);
    EXPECT_EQ(erased("kernel"), (std::vector<uint32_t>{0, S, 2 * S}));
}

TEST_F(Flash, ProgressDisplay) {
    init();
    std::vector<uint8_t> data = pattern(4 * S, 1);
    struct {
        uint32_t offset, length;
        const char* shown;
    } cases[] = {
        {0, S, "     \b\b\b\b000%\b\b\b\b100%\n"},
        {S, 4 * S, "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n"},
        {2 * S, 0, "     \b\b\b\b100%\n"},
    };
    for (const auto& c : cases) {
        CaptureStdout();
        EXPECT_EQ(api_flash_write(data.data(), rfs_fd, c.offset, c.length, 1), 0);
        EXPECT_EQ(GetCapturedStdout(), c.shown) << c.offset << "+" << c.length;
    }
    EXPECT_EQ(erased("rfs").size(), 5u); // the zero-length write touched no block
}

TEST_F(Flash, ProgressCountsFinishedBlocksOfLargeComponents) {
    // 240 blocks: the percentage is i*100/N with integer division.
    fake_mtd::add("rfs", 240 * S);
    init();
    std::vector<uint8_t> data(240 * S, 0x5A);
    CaptureStdout();
    ASSERT_EQ(api_flash_write(data.data(), rfs_fd, 0, uint32_t(data.size()), 1), 0);
    std::string out = GetCapturedStdout();
    std::string want = "     ";
    char step[16];
    for (int i = 0; i < 240; ++i) {
        snprintf(step, sizeof step, "\b\b\b\b%03d%%", i * 100 / 240);
        want += step;
    }
    want += "\b\b\b\b100%\n";
    EXPECT_EQ(out, want);
}

TEST_F(Flash, EachPartitionUsesItsOwnEraseSize) {
    fake_mtd::add("rescue", 8 * S, 2 * S);
    init();
    std::vector<uint8_t> data = pattern(100, 5);
    ASSERT_EQ(api_flash_write(data.data(), rescue_fd, 3 * S, 100, 0), 0);
    ASSERT_EQ(fake_mtd::ops().front().kind, 'e');
    EXPECT_EQ(fake_mtd::ops().front().offset, 2 * S);
    EXPECT_EQ(fake_mtd::ops().front().length, 2 * S);
    EXPECT_TRUE(
        std::equal(data.begin(), data.end(), fake_mtd::get("rescue").cells.begin() + 3 * S));
}

TEST_F(Flash, RangeOutsideThePartitionIsRefusedBeforeAnyErase) {
    init();
    std::vector<uint8_t> data(2 * S, 0);
    CaptureStdout();
    EXPECT_EQ(api_flash_write(data.data(), rfs_fd, 7 * S, 2 * S, 1), -1);
    EXPECT_EQ(api_flash_write(data.data(), rfs_fd, 0xFFFFFF00u, 0x200, 1), -1);
    std::string out = GetCapturedStdout();
    EXPECT_NE(out.find("beyond end of partition"), std::string::npos) << out;
    EXPECT_TRUE(fake_mtd::ops().empty());
    // The last byte of the partition is still writable.
    EXPECT_EQ(api_flash_write(data.data(), rfs_fd, 8 * S - 1, 1, 0), 0);
}

TEST_F(Flash, BlockFailuresStopTheWrite) {
    struct {
        const char* what;
        long fake_mtd::partition::*block;
        const char* message;
    } cases[] = {
        {"read", &fake_mtd::partition::fail_read_block, "Flash Write mtd read failed.\n\n"},
        {"erase", &fake_mtd::partition::fail_erase_block, "Flash Write mtd erase failed.\n\n"},
        {"write", &fake_mtd::partition::fail_write_block, "Flash Write mtd write failed.\n\n"},
    };
    std::vector<uint8_t> data(3 * S, 0x11);
    for (const auto& c : cases) {
        SetUp();
        fake_mtd::get("devicetree").*c.block = 1;
        init();
        CaptureStdout();
        EXPECT_EQ(api_flash_write(data.data(), device_tree_fd, 0, 3 * S, 0), -1) << c.what;
        EXPECT_EQ(GetCapturedStdout(), c.message);
        // The block before the failing one is fully written.
        auto& cells = fake_mtd::get("devicetree").cells;
        EXPECT_TRUE(std::all_of(cells.begin(), cells.begin() + S, [](uint8_t b) {
            return b == 0x11;
        })) << c.what;
        EXPECT_EQ(cells[2 * S], 0xFF) << c.what;
    }
}

TEST_F(Flash, MissingPartitionFailsOnUse) {
    fake_mtd::reset();
    fake_mtd::add("kernel", 8 * S);
    init();
    EXPECT_EQ(rfs_fd, -1);
    uint8_t buf[16];
    EXPECT_EQ(api_flash_read(buf, rfs_fd, 0, 16), -1);
    CaptureStdout();
    EXPECT_EQ(api_flash_write(buf, rfs_fd, 0, 16, 1), -1);
    // The progress field's blanks come first, as before every other failure.
    EXPECT_EQ(GetCapturedStdout(), "     Flash Write mtd read failed.\n\n");
}

TEST_F(Flash, WithoutGeometryNothingIsReadOrWritten) {
    struct {
        bool fail_getinfo;
        uint32_t size;
        const char* message;
    } cases[] = {
        {true, 8 * S, "Could not get MTD device info \n"},
        {false, 0, "NO FLASH !\n"},
    };
    for (const auto& c : cases) {
        fake_mtd::reset();
        fake_mtd::add("rfs", 8 * S, S, 0x42);
        fake_mtd::add("kernel", c.size).fail_getinfo = c.fail_getinfo;
        theFlash = {0, 0, 0};
        CaptureStdout();
        EXPECT_EQ(api_flash_init(), -1);
        EXPECT_EQ(GetCapturedStdout(), c.message);
        uint8_t buf[16];
        std::fill(std::begin(buf), std::end(buf), 0xAB);
        EXPECT_EQ(api_flash_read(buf, rfs_fd, 0, 16), -1);
        EXPECT_TRUE(
            std::all_of(std::begin(buf), std::end(buf), [](uint8_t b) { return b == 0xAB; }));
        EXPECT_EQ(api_flash_write(buf, rfs_fd, 0, 16, 1), -1);
        EXPECT_TRUE(fake_mtd::ops().empty());
    }
}

TEST_F(Flash, ReadsAreExact) {
    auto& u = fake_mtd::get("uboot");
    std::iota(u.cells.begin(), u.cells.begin() + 512, 0);
    init();
    uint8_t buf[16];
    ASSERT_EQ(api_flash_read(buf, uboot_fd, 240, 16), 0);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(buf[i], uint8_t(240 + i));
}

} // namespace
