// SPDX-License-Identifier: MIT
#include "i2c.h"

#include "handles.h"
#include "layout.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

int i2c_file[2] = {-1, -1};

namespace {

constexpr int kCpldBudget = 50000;
constexpr int kCpldBudgetPerPoll = 10;

// The one door to the I2C_SLAVE request. A closed bus (-1) fails it, as it fails every
// transfer, without reaching any other descriptor.
int select_device(uint8_t address) {
    return ioctl(i2c_file[0], I2C_SLAVE, static_cast<unsigned long>(address));
}

int write_mux(uint8_t control) {
    select_device(kMuxAddress);
    return int(write(i2c_file[0], &control, 1));
}

int cpld_fail(const char* message) {
    puts(message);
    return -1;
}

} // namespace

int api_i2c_init() {
    int result = 0;
    // Each bus on its own: one that cannot be opened leaves the other usable.
    for (int bus = 0; bus < 2; ++bus) {
        char path[32];
        snprintf(path, sizeof path, I2C_BUS_PREFIX "%d", bus);
        i2c_file[bus] = open(path, O_RDWR);
        if (i2c_file[bus] < 0) {
            printf("ERROR: driver %s couldn't be opened\n", path);
            result = -1;
        }
    }
    return result;
}

int api_i2c_close() {
    for (int& fd : i2c_file) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    return 0;
}

int i2c_smbus_access(int fd, uint8_t read_write, uint8_t command, uint32_t size,
                     i2c_smbus_data* data) {
    i2c_smbus_ioctl_data args;
    args.read_write = read_write;
    args.command = command;
    args.size = size;
    args.data = data;
    return ioctl(fd, I2C_SMBUS, &args);
}

int i2c_smbus_write_byte_data(int fd, uint8_t command, uint8_t value) {
    i2c_smbus_data data;
    data.byte = value;
    return i2c_smbus_access(fd, I2C_SMBUS_WRITE, command, I2C_SMBUS_BYTE_DATA, &data);
}

int i2c_smbus_read_byte_data(int fd, uint8_t command) {
    i2c_smbus_data data;
    if (i2c_smbus_access(fd, I2C_SMBUS_READ, command, I2C_SMBUS_BYTE_DATA, &data) < 0)
        return -1;
    return data.byte;
}

int setup_mux(int channel) {
    return write_mux(uint8_t(1u << channel));
}

int clear_mux() {
    return write_mux(0);
}

int setup_summit() {
    select_device(kSummitAddress);
    int r = i2c_smbus_write_byte_data(i2c_file[0], kSummitRegister, kSummitValue);
    usleep(100000);
    return r;
}

int set_vpd_access(int enable) {
    // The CPLD register window, open for this call only.
    unique_fd cpld(open(CPLD_DEVICE, O_RDWR));
    if (!cpld.ok())
        return cpld_fail("CPLD driver could not be opened");
    uint8_t reg;
    if (lseek(cpld.fd, kCpldVpdAccess, SEEK_SET) < 0)
        return cpld_fail("CPLD seek error");
    if (read(cpld.fd, &reg, 1) != 1)
        return cpld_fail("CPLD read error");
    reg = enable ? uint8_t(reg | 1u) : uint8_t(reg & ~1u);
    if (lseek(cpld.fd, kCpldVpdAccess, SEEK_SET) < 0)
        return cpld_fail("CPLD seek error");
    if (write(cpld.fd, &reg, 1) != 1)
        return cpld_fail("CPLD write error");
    if (lseek(cpld.fd, kCpldVpdStatus, SEEK_SET) < 0)
        return cpld_fail("CPLD seek error");
    // The status register is read again without a seek: the window answers the same
    // register until it is moved.
    for (int budget = kCpldBudget; budget > 0;) {
        uint8_t status;
        if (read(cpld.fd, &status, 1) != 1)
            return cpld_fail("CPLD read error");
        if ((status & 0xFE) == 0)
            return 0;
        budget -= kCpldBudgetPerPoll;
        if (budget > 0)
            usleep(10000);
    }
    return cpld_fail("CPLD set bus error");
}

int get_vpd_offset(uint16_t offset, uint8_t* out) {
    setup_mux(kVpdChannel);
    set_vpd_access(1);
    setup_summit();
    int selected = select_device(kVpdAddress);
    *out = uint8_t(i2c_smbus_read_byte_data(i2c_file[0], uint8_t(offset)));
    set_vpd_access(0);
    clear_mux();
    return selected < 0 ? selected : 0;
}

int set_vpd_offset(uint16_t offset, uint8_t value) {
    setup_mux(kVpdChannel);
    set_vpd_access(1);
    setup_summit();
    select_device(kVpdAddress);
    int r = i2c_smbus_write_byte_data(i2c_file[0], uint8_t(offset), value);
    int err = errno;
    usleep(100000);
    if (r < 0)
        printf("I2C error when writing bus %d offset %d: %d\n", 0, int(offset), err);
    set_vpd_access(0);
    clear_mux();
    return r;
}

unsigned api_get_image() {
    uint8_t slot = 0;
    get_vpd_offset(VPD_BOOT_SLOT, &slot);
    return slot;
}

int api_set_image(int slot) {
    return set_vpd_offset(VPD_BOOT_SLOT, uint8_t(slot));
}

int api_set_booted_image(int value) {
    return set_vpd_offset(VPD_BOOTED_SLOT, uint8_t(value));
}
