// SPDX-License-Identifier: MIT
#pragma once
#include <cstdint>

// The blade's layout, each fact written once: its flash partitions, the files the launcher
// hands from one step to the next, and the component type codes of an image package.
//
// The paths are literals so that command texts can be put together from them at compile
// time ("tftp -g -r %s -l " DOWNLOAD_FILE " %s\n").
#define USER_DIR "/user"
#define SLOT_DIR USER_DIR "/images"
#define DOWNLOAD_FILE "/tmp/image"
#define APP_ARCHIVE "/tmp/vemiximage.tar.gz"
#define APPLICATION_MEMBER "home/bin/mp.elf.strip"
#define DIAGNOSTICS_MEMBER "mpdiag.elf.strip"
// The application the launcher starts, as its archive unpacks under /tmp.
#define APPLICATION_PROGRAM "/tmp/" APPLICATION_MEMBER
#define USER_DEVICE "/dev/mtd-user"
// The user partition as a plain MTD device, for erasing it whole.
#define USER_CHAR_DEVICE "/dev/mtd-user-char"
#define MOUNT_USER "/bin/mount -o sync -t jffs2 " USER_DEVICE " " USER_DIR
#define CONSOLE_DEVICE "/dev/ttyS0"
// The board controller: I2C buses 0 and 1, and the CPLD's register window.
#define I2C_BUS_PREFIX "/dev/i2c-"
#define CPLD_DEVICE "/dev/blade/cpld_mmmap"

constexpr uint32_t MAGIC_APPLICATION = 0x01504F4C;
constexpr uint32_t MAGIC_UBOOT = 0x02504F4C;
constexpr uint32_t MAGIC_KERNEL = 0x03504F4C;
constexpr uint32_t MAGIC_RFS = 0x04504F4C;
constexpr uint32_t MAGIC_DFT = 0x05504F4C;
constexpr uint32_t MAGIC_DIAGS = 0x06504F4C;

enum partition_index {
    PART_UBOOT,
    PART_UBOOTENV,
    PART_DEVICETREE,
    PART_KERNEL,
    PART_RFS,
    PART_RESCUE,
    PART_USER,
    PART_COUNT
};

// Bus 0's devices: the multiplexer, the Summit device and, behind multiplexer channel
// kVpdChannel, the VPD EEPROM; the CPLD registers that grant the EEPROM to the bus.
constexpr uint8_t kMuxAddress = 0x70;
constexpr uint8_t kSummitAddress = 0x4F;
constexpr uint8_t kVpdAddress = 0x54;
constexpr uint8_t kSummitRegister = 0x87;
constexpr uint8_t kSummitValue = 0x55;
constexpr uint8_t kVpdChannel = 3;
constexpr long kCpldVpdAccess = 20;
constexpr long kCpldVpdStatus = 24;
