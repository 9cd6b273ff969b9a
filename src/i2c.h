// SPDX-License-Identifier: MIT
#pragma once
#include <cstdint>

union i2c_smbus_data;

// Bus descriptors, indexed by bus number; -1 when closed or when the open failed.
extern int i2c_file[2];

// Opens /dev/i2c-0 and /dev/i2c-1, each on its own: 0 when both are open, -1 when one
// or both failed.
int api_i2c_init();
// Closes the buses that are open; always 0.
int api_i2c_close();

// One SMBus request; the result of the ioctl (0, or negative on failure).
int i2c_smbus_access(int fd, uint8_t read_write, uint8_t command, uint32_t size,
                     i2c_smbus_data* data);
int i2c_smbus_write_byte_data(int fd, uint8_t command, uint8_t value);
// The byte, 0 to 255, or -1 on failure.
int i2c_smbus_read_byte_data(int fd, uint8_t command);

// Multiplexer channel selection: the result of the one-byte write.
int setup_mux(int channel);
int clear_mux();
// Grants (non-zero) or withdraws VPD access through the CPLD: 0, or -1 on failure.
int set_vpd_access(int enable);
// Configures the Summit device (100 ms); the result of its SMBus write.
int setup_summit();

// The image slot record in the VPD EEPROM.
constexpr uint8_t VPD_BOOT_SLOT = 1;
constexpr uint8_t VPD_BOOTED_SLOT = 59;

int get_vpd_offset(uint16_t offset, uint8_t* out);
int set_vpd_offset(uint16_t offset, uint8_t value);
// The boot-slot byte, 0 to 255 (0xFF when it cannot be read).
unsigned api_get_image();
int api_set_image(int slot);
// 1 or 2 for an image slot, 4 for the rescue partition's image.
int api_set_booted_image(int value);
