// SPDX-License-Identifier: MIT
// The board controller. I2C bus 0 carries the multiplexer, the Summit device and the VPD
// EEPROM (the board's EEPROM file), which answers only while the multiplexer's VPD channel
// is selected, the CPLD grants VPD access (bit 0 of its access register) and has finished
// switching it, and the Summit device's register holds its VPD value. The CPLD's status
// register reads busy for a while of board time after each write of the access register,
// and for ever under the cpld-busy fault. Reads and writes of an I2C descriptor are raw
// transfers with the selected device, positioned or not, as with i2c-dev. Bus 1 opens and
// carries nothing.
#include "sim.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <unistd.h>

namespace sim {

namespace {

// Board hardware state that outlives one transfer.
uint8_t g_mux;
uint8_t g_summit[256];
double g_cpld_busy_until;

// --- CPLD register window: reads and writes stay at the current register -----------------
uint8_t cpld_register(off_t reg) {
    REAL(open);
    REAL(pread);
    uint8_t v = 0;
    int fd = real_open(board::kCpldPath, O_RDONLY | O_CLOEXEC, 0);
    if (fd >= 0) {
        if (real_pread(fd, &v, 1, reg) != 1)
            v = 0;
        ::close(fd);
    }
    return v;
}

bool cpld_busy() {
    return fault_named(board::fault::cpld_busy) || board_time() < g_cpld_busy_until;
}

ssize_t cpld_read(fd_entry&, int fd, void* buf, size_t n) {
    REAL(pread);
    if (n == 0)
        return 0;
    off_t reg = lseek(fd, 0, SEEK_CUR);
    auto* out = static_cast<uint8_t*>(buf);
    if (reg == board::kCpldVpdStatus) {
        out[0] = cpld_busy() ? 0x03 : 0x01; // bit 0 is not part of the status
        return 1;
    }
    return real_pread(fd, out, 1, reg);
}

ssize_t cpld_write(fd_entry&, int fd, const void* buf, size_t n) {
    REAL(pwrite);
    if (n == 0)
        return 0;
    off_t reg = lseek(fd, 0, SEEK_CUR);
    uint8_t v = *static_cast<const uint8_t*>(buf);
    char f[96];
    snprintf(f, sizeof f, "\"register\": %ld, \"value\": %u", long(reg), v);
    journal("cpld", f);
    if (reg == board::kCpldVpdAccess)
        g_cpld_busy_until = board_time() + board::kCpldBusySeconds;
    return real_pwrite(fd, &v, 1, reg);
}

// --- I2C ----------------------------------------------------------------------------------
void journal_i2c(const fd_entry& e, const char* op, unsigned command, unsigned value, int result) {
    char f[192];
    snprintf(f, sizeof f,
             "\"bus\": %d, \"address\": %u, \"op\": \"%s\", \"command\": %u, \"value\": %u, "
             "\"result\": %d",
             e.bus, e.address, op, command, value, result);
    journal("i2c", f);
}

int i2c_fail(int err) {
    errno = err;
    return -1;
}

bool vpd_reachable() {
    return (g_mux & board::kVpdChannelBit) && (cpld_register(board::kCpldVpdAccess) & 1) &&
           !cpld_busy() && g_summit[board::kSummitVpdRegister] == board::kSummitVpdValue;
}

int i2c_smbus(fd_entry& e, int fd, i2c_smbus_ioctl_data* args) {
    REAL(pread);
    REAL(pwrite);
    if (args->size != I2C_SMBUS_BYTE_DATA)
        return i2c_fail(EINVAL);
    const bool reading = args->read_write == I2C_SMBUS_READ;
    const uint8_t command = args->command;
    uint8_t value = reading ? 0 : args->data->byte;
    int err = 0;
    if (e.bus != 0) {
        err = ENXIO;
    } else if (e.address == board::kSummitAddress) {
        if (reading)
            value = g_summit[command];
        else
            g_summit[command] = value;
    } else if (e.address == board::kVpdAddress) {
        if (!vpd_reachable())
            err = ENXIO; // no acknowledge: the EEPROM is not on the bus
        else if (fault_named(reading ? board::fault::eeprom_read : board::fault::eeprom_write))
            err = EIO;
        else if (reading)
            err = real_pread(fd, &value, 1, command) == 1 ? 0 : EIO;
        else
            err = real_pwrite(fd, &value, 1, command) == 1 ? 0 : EIO;
    } else {
        err = ENXIO;
    }
    if (reading && !err)
        args->data->byte = value;
    journal_i2c(e, reading ? "read" : "write", command, value, err ? -err : 0);
    return err ? i2c_fail(err) : 0;
}

// A raw receive: nothing on the board answers one.
ssize_t i2c_receive(fd_entry&, int, void*, size_t) {
    return i2c_fail(ENXIO);
}

ssize_t i2c_preceive(fd_entry&, int, void*, size_t, uint64_t) {
    return i2c_fail(ENXIO); // i2c-dev ignores the offset: a positioned read is a plain receive
}

// A raw send: only the multiplexer takes one, its one control byte.
ssize_t i2c_send(fd_entry& e, int, const void* buf, size_t n) {
    uint8_t v = n ? *static_cast<const uint8_t*>(buf) : 0;
    if (e.bus != 0 || e.address != board::kMuxAddress || n != 1) {
        journal_i2c(e, "send", 0, v, -ENXIO);
        return i2c_fail(ENXIO);
    }
    g_mux = v;
    journal_i2c(e, "send", 0, v, 0);
    return 1;
}

ssize_t i2c_psend(fd_entry& e, int fd, const void* buf, size_t n, uint64_t) {
    return i2c_send(e, fd, buf, n);
}

int i2c_ioctl(fd_entry& e, int fd, unsigned long request, void* arg) {
    if (request == I2C_SLAVE) {
        e.address = uint16_t(reinterpret_cast<uintptr_t>(arg));
        return 0;
    }
    if (request == I2C_SMBUS)
        return i2c_smbus(e, fd, static_cast<i2c_smbus_ioctl_data*>(arg));
    return i2c_fail(ENOTTY);
}

void i2c_close(fd_entry& e) {
    char f[32];
    snprintf(f, sizeof f, "\"bus\": %d", e.bus);
    journal("i2c-close", f);
}

} // namespace

const device_ops i2c_ops = {i2c_receive, i2c_send, i2c_preceive, i2c_psend, i2c_ioctl, i2c_close};
const device_ops cpld_ops = {cpld_read, cpld_write, nullptr, nullptr, nullptr, nullptr};

void i2c_start(fd_entry& e, const char* path) {
    e.bus = std::atoi(path + std::strlen(board::kI2cPrefix));
    e.address = 0;
}

} // namespace sim
