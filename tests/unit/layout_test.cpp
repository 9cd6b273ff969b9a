// SPDX-License-Identifier: MIT
// The launcher keeps its own copy of the blade's facts (a blade has no board description);
// here they are held against the simulated board's description, sim/board.json, so that
// the two cannot drift apart.
#include "board_description.h"
#include "env.h"
#include "flash.h"
#include "i2c.h"
#include "image.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(Layout, PartitionsMatchTheBoard) {
    ASSERT_EQ(std::size(board::kPartitions), size_t(PART_COUNT));
    for (int i = 0; i < PART_COUNT; ++i) {
        const partition_row& p = kPartitions[i];
        const board::partition& b = board::kPartitions[i];
        EXPECT_STREQ(p.name, b.name);
        EXPECT_EQ(std::string(p.device), std::string(board::kDevicePrefix) + b.name) << p.name;
        // What the installer takes for a partition is what the partition holds.
        if (p.magic)
            EXPECT_EQ(p.limit, b.size) << p.name;
        else
            EXPECT_EQ(p.limit, 0u) << p.name;
    }
    EXPECT_EQ(partition_of(MAGIC_UBOOT)->header_offset, board::kUbootRecordOffset);
    EXPECT_STREQ(USER_CHAR_DEVICE, board::kUserCharDevice);
}

TEST(Layout, PathsMatchTheBoard) {
    EXPECT_STREQ(USER_DIR, board::paths::user);
    EXPECT_STREQ(SLOT_DIR, board::paths::slots);
    EXPECT_STREQ(DOWNLOAD_FILE, board::paths::download);
    EXPECT_STREQ(APP_ARCHIVE, board::paths::archive);
    EXPECT_STREQ(APPLICATION_PROGRAM, board::paths::application);
    EXPECT_STREQ(launched_program(MAGIC_APPLICATION), board::paths::application_member);
    EXPECT_STREQ(launched_program(MAGIC_DIAGS), board::paths::diagnostics_member);
    EXPECT_STREQ(CONSOLE_DEVICE, board::paths::console);
    EXPECT_STREQ(CPLD_DEVICE, board::kCpldPath);
    EXPECT_EQ(std::string(slot_path(1)), std::string(board::paths::slots) + "/image1");
    for (size_t bus = 0; bus < std::size(board::kI2cBuses); ++bus)
        EXPECT_EQ(I2C_BUS_PREFIX + std::to_string(bus), board::kI2cBuses[bus]);
}

TEST(Layout, AddressesAndRegistersMatchTheBoard) {
    EXPECT_EQ(kMuxAddress, board::kMuxAddress);
    EXPECT_EQ(1u << kVpdChannel, board::kVpdChannelBit);
    EXPECT_EQ(kSummitAddress, board::kSummitAddress);
    EXPECT_EQ(kSummitRegister, board::kSummitVpdRegister);
    EXPECT_EQ(kSummitValue, board::kSummitVpdValue);
    EXPECT_EQ(kVpdAddress, board::kVpdAddress);
    EXPECT_EQ(kCpldVpdAccess, board::kCpldVpdAccess);
    EXPECT_EQ(kCpldVpdStatus, board::kCpldVpdStatus);
    EXPECT_EQ(VPD_BOOT_SLOT, board::kEepromBootSlot);
    EXPECT_EQ(VPD_BOOTED_SLOT, board::kEepromBootedSlot);
    EXPECT_EQ(ENV_AREA_OFFSET, board::kEnvOffset);
}

} // namespace
