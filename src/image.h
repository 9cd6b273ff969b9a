// SPDX-License-Identifier: MIT
#pragma once
#include "archive.h"
#include "layout.h"
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

// The image slots' files: SLOT_DIR "/image1" for slot 1, SLOT_DIR "/image2" for any other.
const char* slot_path(int slot);
// `len` + 16 must fit in 32 bits.
constexpr uint32_t MAX_COMPONENT_LEN = 0xFFFFFFFFu - HEADER_SIZE;

// The component types, one row each: names, where each is installed and how.
struct component_type {
    uint32_t magic;
    const char* tool_name; // type name in the package tool
    const char* crc_name;  // name in the installer's bad-CRC message
    const char* label;     // printed before the installer checks and writes it
    // Flash components (all but the application, which goes to an image slot; the
    // partition each goes to is in the blade's partition table):
    const char* size_name; // name in the too-big message
    bool data_only;        // installed without its header (the boot loader)
    const char* failure;   // printed when the flash write fails
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

// The program the launcher starts from such a component's archive, as the archive names
// it (unpacked under /tmp); nullptr for the other types.
inline const char* launched_program(uint32_t magic) {
    return magic == MAGIC_APPLICATION ? APPLICATION_MEMBER
           : magic == MAGIC_DIAGS     ? DIAGNOSTICS_MEMBER
                                      : nullptr;
}

// Offset of the header after the component at `offset`. False when `len` + 16 does
// not fit in 32 bits or the next offset would not move forward: the walk must end.
bool next_component_offset(uint32_t offset, const component_header& h, uint32_t* next);

// Launcher walk: finds the first application or diagnostics component. Returns 1 with
// its header in `header` and the file positioned at that header; 0 when the package
// ended without one. `header` keeps the last whole header read.
int parse_image(FILE* package, component_header* header);

// Where the bytes of a component come from: a package file from its current position,
// or, when `file` is null, a partition from `offset` on.
struct component_source {
    FILE* file;
    int partition;
    uint32_t offset;
};

// What one pass over a component found.
struct stream_result {
    uint32_t read;   // bytes taken from the source; fewer than asked at its end
    uint32_t crc;    // CRC of the bytes read, from the component's byte 4 on
    bool written;    // every byte meant for the sink reached it
    int write_errno; // why not, when not
};

// One pass over the `total` bytes of a component (header first) through one fixed
// buffer, whatever the component's length: computes the CRC and, when `sink` is a
// descriptor, writes bytes `skip` to `total` to it, showing the percentage of the
// component written after each piece when `progress` is set, and hands the data (the
// bytes after the header) to `archive` when one is given. Stops at the end of the source.
// This is the only loop that moves component bytes.
stream_result stream_component(component_source& source, uint32_t total, int sink, uint32_t skip,
                               bool progress, archive_check* archive = nullptr);

// What an image slot's package offers the launcher.
enum class slot_verdict {
    good,        // an application or diagnostics component, read whole, CRC correct
    bad_crc,     // such a component whose CRC does not match
    cut_short,   // such a component that cannot be read whole
    no_component // the package ended without one
};

// Walks the package to its first application or diagnostics component and checks it,
// writing its data to `archive` on the way. `header` receives the last header read.
// The archive holds the component's data whole only when the verdict is good and
// `archive_written` is set.
slot_verdict check_slot_package(FILE* package, component_header* header, int archive,
                                bool* archive_written);

// The rescue partition's component at offset 0, checked the same way: its data goes to
// `archive` while its CRC is computed. A component that does not lie inside the
// partition is cut short before anything is read.
slot_verdict check_rescue_component(int partition, component_header* header, int archive,
                                    bool* archive_written);

// The debugger's copy: the data of the first component of `slot_file` when it is an
// application or diagnostics component, to `out`, no CRC asked, ending with the file
// whatever `len` claims. False when there is no such component; `written` tells whether
// everything read reached `out`.
bool copy_first_component_data(FILE* slot_file, int out, component_header* header, bool* written);

// Writes a whole component (header first) from `source` into the slot file, replacing it
// only when every byte reached the user filesystem and its CRC matches: written beside
// the slot, synced and renamed over it, so that a power cut leaves the old slot file or
// the new one whole. With `shown`, prints the slot write's progress and verdict. 1 when
// the slot file was replaced, 0 otherwise.
int write_slot(int slot, component_source& source, const component_header& h, bool shown);

// Removes what an interrupted slot write left beside the slots.
void remove_staged_slots();

// The installed header of a component type (the application's for `slot`), zero-filled
// first. 1 when read (a flash read that fails, or is cut short, leaves zeros), 0 when there
// is no slot file or the type is unknown.
int read_flash_image_header(uint32_t type, uint8_t* header, int slot);
