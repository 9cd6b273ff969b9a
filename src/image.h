#pragma once
#include <cstdint>
#include <cstdio>
#include <memory>

// One component of an image package: a 16-byte big-endian header, then `len` data bytes.
struct component_header {
    uint32_t crc;
    uint32_t len;
    uint32_t magic;
    uint32_t id;
};

constexpr uint32_t HEADER_SIZE = 16;
// `len` + 16 must fit in 32 bits.
constexpr uint32_t MAX_COMPONENT_LEN = 0xFFFFFFFFu - HEADER_SIZE;

constexpr uint32_t MAGIC_APPLICATION = 0x01504F4C;
constexpr uint32_t MAGIC_UBOOT = 0x02504F4C;
constexpr uint32_t MAGIC_KERNEL = 0x03504F4C;
constexpr uint32_t MAGIC_RFS = 0x04504F4C;
constexpr uint32_t MAGIC_DFT = 0x05504F4C;
constexpr uint32_t MAGIC_DIAGS = 0x06504F4C;

// The component types, one row each: names, where each is installed and how.
struct component_type {
    uint32_t magic;
    const char* tool_name; // type name in the package tool
    const char* crc_name;  // name in the installer's bad-CRC message
    const char* label;     // printed before the installer checks and writes it
    // Flash components (all but the application, which goes to an image slot):
    const char* size_name;  // name in the too-big message
    uint32_t limit;         // most bytes the partition takes
    bool data_only;         // installed without its header (the boot loader)
    int* fd;                // destination partition descriptor
    uint32_t header_offset; // where the installed header is read back
    const char* failure;    // printed when the flash write fails
};

// The row for a type code, or nullptr for a code that is none of the six.
const component_type* component_type_of(uint32_t magic);
// The row for a package-tool type name ("app", "kernel", ...), or nullptr.
const component_type* component_type_named(const char* tool_name);

// Header words in stored (big-endian) order, independent of the processor's own.
component_header decode_header(const uint8_t raw[HEADER_SIZE]);
void encode_header(const component_header& h, uint8_t raw[HEADER_SIZE]);

// Application and diagnostics components are the ones the launcher can start.
inline bool is_bootable(uint32_t magic) {
    return magic == MAGIC_APPLICATION || magic == MAGIC_DIAGS;
}

// Offset of the header after the component at `offset`. False when `len` + 16 does
// not fit in 32 bits or the next offset would not move forward: the walk must end.
bool next_component_offset(uint32_t offset, const component_header& h, uint32_t* next);

// 0 when the CRC of `count` bytes equals `expected`, 1 when it differs.
int CheckCrc(const uint8_t* bytes, uint32_t count, uint32_t expected);

// Computed CRC of a whole component held in memory (header and data).
uint32_t component_crc(const uint8_t* component, uint32_t len);

// Launcher walk: finds the first application or diagnostics component. Returns 1 with
// its header in `header` and the file positioned at that header; 0 when the package
// ended without one. `header` keeps the last whole header read.
int parse_image(FILE* package, component_header* header);

// A whole component (header and data) read from the file's current position into a
// buffer of `len` + 16 bytes. Null when `len` + 16 does not fit, the file does not
// hold that many bytes, or the buffer cannot be allocated: nothing is sized from a
// length that the file cannot back.
std::unique_ptr<uint8_t[]> read_component(FILE* package, const component_header& header);

// What an image slot's package offers the launcher.
enum class slot_verdict {
    good,        // an application or diagnostics component, read whole, CRC correct
    bad_crc,     // such a component whose CRC does not match
    cut_short,   // such a component that cannot be read whole (or allocated)
    no_component // the package ended without one
};

// Walks the package to its first application or diagnostics component and checks it.
// `header` receives the last header read; `component` the whole component when good.
slot_verdict check_slot_package(FILE* package, component_header* header,
                                std::unique_ptr<uint8_t[]>* component);

// The installed header of a component type (the application's for `slot`), zero-filled
// first. 1 when read (a flash read that fails leaves zeros), 0 when there is no slot file
// or the type is unknown.
int read_flash_image_header(uint32_t type, uint8_t* header, int slot);

// Installs every component of the package at `path`: flash components to their
// partitions, the application to the slot the operator names (or boots it at once).
// 1 when the walk ended without a failure and something was written, 0 otherwise.
int processBladeImage(const char* path);
