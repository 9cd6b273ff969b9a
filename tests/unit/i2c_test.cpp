// SPDX-License-Identifier: MIT
#include "fake_devices.h"
#include "i2c.h"
#include "launch.h"

#include <gtest/gtest.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>

namespace fake_i2c {
std::ostream& operator<<(std::ostream& os, const request& r) {
    return os << "{bus " << r.bus << " " << r.kind << " addr 0x" << std::hex << r.address << " rw "
              << r.read_write << " cmd 0x" << r.command << " size " << r.size << " byte 0x"
              << r.byte << std::dec << "}";
}
} // namespace fake_i2c

namespace {

using fake_i2c::request;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

request slave(unsigned a) {
    return {0, 's', a, 0, 0, 0, 0};
}
request send(unsigned a, unsigned byte) {
    return {0, 'w', a, 0, 0, 0, byte};
}
request smbus(unsigned a, unsigned rw, unsigned cmd, unsigned byte = 0) {
    return {0, 'b', a, rw, cmd, I2C_SMBUS_BYTE_DATA, byte};
}

class I2c : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_i2c::reset();
        CaptureStdout();
        ASSERT_EQ(api_i2c_init(), 0);
        ASSERT_EQ(GetCapturedStdout(), "");
    }
    void TearDown() override { api_i2c_close(); }
    static fake_i2c::board& hw() { return fake_i2c::state(); }
};

TEST_F(I2c, SmbusByteDataRequests) {
    ASSERT_EQ(i2c_smbus_write_byte_data(i2c_file[0], 0x87, 0x55), 0);
    hw().eeprom[0x3B] = 0xC4;
    setup_mux(3);
    set_vpd_access(1);
    ioctl(i2c_file[0], 0x0703, 0x54UL);
    EXPECT_EQ(i2c_smbus_read_byte_data(i2c_file[0], 0x3B), 0xC4);
    hw().eeprom_errno = EIO;
    EXPECT_EQ(i2c_smbus_read_byte_data(i2c_file[0], 0x3B), -1);
    EXPECT_EQ(hw().requests.front(), smbus(0, I2C_SMBUS_WRITE, 0x87, 0x55));
    EXPECT_EQ(hw().requests.back(), smbus(0x54, I2C_SMBUS_READ, 0x3B));
    EXPECT_EQ(i2c_smbus_read_byte_data(-1, 1), -1); // a bus that is not open
}

TEST_F(I2c, MultiplexerAndSummit) {
    setup_mux(3);
    clear_mux();
    setup_mux(7);
    setup_summit();
    std::vector<request> want = {
        slave(0x70), send(0x70, 0x08), slave(0x70), send(0x70, 0x00),
        slave(0x70), send(0x70, 0x80), slave(0x4F), smbus(0x4F, I2C_SMBUS_WRITE, 0x87, 0x55)};
    EXPECT_EQ(hw().requests, want);
    EXPECT_EQ(hw().sleeps, std::vector<unsigned>{100000});
}

TEST_F(I2c, VpdAccessChangesOnlyBitZero) {
    hw().cpld[20] = 0xA4;
    hw().cpld_busy_polls = 2;
    EXPECT_EQ(set_vpd_access(1), 0);
    EXPECT_EQ(hw().cpld[20], 0xA5);
    EXPECT_EQ(hw().status_reads, 3);
    EXPECT_EQ(set_vpd_access(0), 0);
    EXPECT_EQ(hw().cpld[20], 0xA4);
    EXPECT_EQ(hw().status_reads, 4); // withdrawing waits for the status too
}

TEST_F(I2c, CpldPollBudget) {
    hw().cpld_busy_polls = -1;
    CaptureStdout();
    EXPECT_EQ(set_vpd_access(1), -1);
    EXPECT_EQ(GetCapturedStdout(), "CPLD set bus error\n");
    EXPECT_EQ(hw().status_reads, CPLD_POLL_LIMIT);
    EXPECT_EQ(hw().sleeps.size(), size_t(CPLD_POLL_LIMIT - 1));
    for (unsigned us : hw().sleeps)
        ASSERT_EQ(us, 10000u);
    EXPECT_EQ(hw().closed, 1); // the window is closed on the failure path too
}

TEST_F(I2c, CpldMissing) {
    hw().cpld_present = false;
    CaptureStdout();
    EXPECT_EQ(set_vpd_access(1), -1);
    EXPECT_EQ(GetCapturedStdout(), "CPLD driver could not be opened\n");
}

TEST_F(I2c, SlotRecordTransfers) {
    hw().eeprom[1] = 2;
    EXPECT_EQ(api_get_image(), 2u);
    EXPECT_EQ(which_image(), 2);
    hw().requests.clear();
    hw().sleeps.clear();
    EXPECT_EQ(api_set_booted_image(4), 0);
    EXPECT_EQ(hw().eeprom[59], 4);
    std::vector<request> want = {slave(0x70), send(0x70, 0x08),
                                 slave(0x4F), smbus(0x4F, I2C_SMBUS_WRITE, 0x87, 0x55),
                                 slave(0x54), smbus(0x54, I2C_SMBUS_WRITE, 59, 4),
                                 slave(0x70), send(0x70, 0x00)};
    EXPECT_EQ(hw().requests, want);
    // The Summit's 100 ms and the 100 ms after the data byte; the CPLD answered at once.
    EXPECT_EQ(hw().sleeps, (std::vector<unsigned>{100000, 100000}));
    EXPECT_EQ(hw().cpld[20] & 1, 0); // access withdrawn
}

TEST_F(I2c, UnreadableRecordMeansSlotOne) {
    struct {
        uint8_t stored;
        int eeprom_errno;
        unsigned read;
        int slot;
    } cases[] = {{1, 0, 1, 1}, {2, 0, 2, 2}, {0xFF, 0, 0xFF, 1}, {0, 0, 0, 1}, {2, EIO, 0xFF, 1}};
    for (const auto& c : cases) {
        hw().eeprom[1] = c.stored;
        hw().eeprom_errno = c.eeprom_errno;
        EXPECT_EQ(api_get_image(), c.read);
        EXPECT_EQ(which_image(), c.slot);
    }
}

TEST_F(I2c, FailedWriteIsReported) {
    hw().eeprom_errno = EIO;
    CaptureStdout();
    EXPECT_LT(api_set_booted_image(1), 0);
    EXPECT_EQ(GetCapturedStdout(), "I2C error when writing bus 0 offset 59: 5\n");
    EXPECT_EQ(hw().requests.back(), send(0x70, 0x00)); // the mux is still put back
}

TEST(I2cInit, MissingFirstBus) {
    fake_i2c::reset().bus0_present = false;
    CaptureStdout();
    EXPECT_EQ(api_i2c_init(), -1);
    EXPECT_EQ(GetCapturedStdout(), "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_EQ(fake_i2c::state().opened, std::vector<std::string>{"/dev/i2c-0"});
    EXPECT_EQ(api_i2c_close(), 0);
    EXPECT_EQ(fake_i2c::state().closed, 0);
    EXPECT_LT(i2c_file[0], 0);
    EXPECT_EQ(i2c_smbus_read_byte_data(i2c_file[0], 1), -1);
}

} // namespace
