// SPDX-License-Identifier: MIT
#include "image.h"

#include "crc.h"
#include "flash.h"
#include "handles.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr component_type kComponentTypes[] = {
    {MAGIC_APPLICATION, "app", "APPLICATION", "Installing Application: ", nullptr, false, nullptr},
    {MAGIC_UBOOT, "uboot", "UBOOT", "Installing Boot Loader: ", "UBOOT", true,
     "Uboot image update failed"},
    {MAGIC_KERNEL, "kernel", "KERNEL", "Installing Kernel: ", "KERNEL", false,
     "kernel image update failed"},
    {MAGIC_RFS, "rfs", "RFS", "Installing Root Filesystem: ", "RFS", false,
     "RFS image update failed"},
    {MAGIC_DFT, "dtb", "DFT", "Installing Device Tree: ", "DFT", false, "DFT image update failed"},
    {MAGIC_DIAGS, "diags", "DIAGNOSTICS IMAGE", "Installing Diagnostics: ", "DIAGS", false,
     "DIAGS image update failed"},
};

// Components move through this one buffer, a piece at a time; slot files are written
// in pieces of this size.
constexpr uint32_t kPiece = 0x10000;
uint8_t g_piece[kPiece];

uint32_t get_be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

bool read_header(FILE* f, component_header* out) {
    uint8_t raw[HEADER_SIZE];
    if (fread(raw, 1, HEADER_SIZE, f) != HEADER_SIZE)
        return false;
    *out = decode_header(raw);
    return true;
}

} // namespace

const char* slot_path(int slot) {
    return slot == 1 ? SLOT_DIR "/image1" : SLOT_DIR "/image2";
}

const component_type* component_type_of(uint32_t magic) {
    for (const auto& t : kComponentTypes)
        if (t.magic == magic)
            return &t;
    return nullptr;
}

const component_type* component_type_named(const char* tool_name) {
    for (const auto& t : kComponentTypes)
        if (std::strcmp(t.tool_name, tool_name) == 0)
            return &t;
    return nullptr;
}

component_header decode_header(const uint8_t raw[HEADER_SIZE]) {
    return {get_be32(raw), get_be32(raw + 4), get_be32(raw + 8), get_be32(raw + 12)};
}

void encode_header(const component_header& h, uint8_t raw[HEADER_SIZE]) {
    put_be32(raw, h.crc);
    put_be32(raw + 4, h.len);
    put_be32(raw + 8, h.magic);
    put_be32(raw + 12, h.id);
}

bool next_component_offset(uint32_t offset, const component_header& h, uint32_t* next) {
    if (h.len > MAX_COMPONENT_LEN)
        return false;
    uint32_t n = offset + h.len + HEADER_SIZE; // unsigned: wraps instead of overflowing
    if (n <= offset)
        return false;
    *next = n;
    return true;
}

int parse_image(FILE* package, component_header* header) {
    uint32_t offset = 0;
    component_header h;
    while (read_header(package, &h)) {
        *header = h;
        if (is_bootable(h.magic))
            return fseeko(package, offset, SEEK_SET) == 0 ? 1 : 0;
        if (!next_component_offset(offset, h, &offset))
            return 0;
        if (fseeko(package, offset, SEEK_SET) != 0)
            return 0;
    }
    return 0;
}

stream_result stream_component(component_source& source, uint32_t total, int sink, uint32_t skip,
                               bool progress, archive_check* archive) {
    stream_result r{0, 0xFFFFFFFFu, true, 0};
    while (r.read < total) {
        const uint32_t want = total - r.read < kPiece ? total - r.read : kPiece;
        uint32_t got = 0;
        if (source.file) {
            got = uint32_t(fread(g_piece, 1, want, source.file));
        } else if (api_flash_read(g_piece, source.partition, flash_offset{source.offset},
                                  flash_length{want}) == 0) {
            got = want;
            source.offset += want;
        }
        // The CRC starts after the crc word, which the first piece always holds.
        const uint32_t from = r.read < 4 ? 4 - r.read : 0;
        if (got > from)
            r.crc = gen_crc(g_piece + from, got - from, r.crc);
        const uint32_t data_from = r.read < HEADER_SIZE ? HEADER_SIZE - r.read : 0;
        if (archive && got > data_from)
            archive_feed(*archive, g_piece + data_from, got - data_from);
        const uint32_t keep = r.read < skip ? (skip - r.read < got ? skip - r.read : got) : 0;
        if (sink >= 0 && r.written && got > keep) {
            const ssize_t n = write(sink, g_piece + keep, got - keep);
            if (n != ssize_t(got - keep)) {
                r.written = false;
                r.write_errno = n < 0 ? errno : ENOSPC;
            }
        }
        r.read += got;
        if (progress && r.written && got) {
            printf("\b\b\b\b%3.3d%c", int(uint64_t(r.read) * 100 / total), '%');
            fflush(stdout);
        }
        if (got < want)
            break;
    }
    return r;
}

namespace {

// Streams a bootable component from `source` to the archive and judges it whole.
slot_verdict judge_bootable(component_source& source, const component_header& h, int archive,
                            bool* archive_written) {
    const uint32_t total = h.len + HEADER_SIZE;
    const stream_result r = stream_component(source, total, archive, HEADER_SIZE, false);
    if (r.read < total)
        return slot_verdict::cut_short;
    if (r.crc != h.crc)
        return slot_verdict::bad_crc;
    *archive_written = r.written;
    return slot_verdict::good;
}

} // namespace

slot_verdict check_slot_package(FILE* package, component_header* header, int archive,
                                bool* archive_written) {
    *archive_written = false;
    if (!parse_image(package, header))
        return slot_verdict::no_component;
    if (header->len > MAX_COMPONENT_LEN)
        return slot_verdict::cut_short;
    component_source source{package, -1, 0};
    return judge_bootable(source, *header, archive, archive_written);
}

slot_verdict check_rescue_component(int partition, component_header* header, int archive,
                                    bool* archive_written) {
    *archive_written = false;
    // A header that cannot be read whole is zeros: no image.
    uint8_t raw[HEADER_SIZE] = {};
    if (api_flash_read(raw, partition, flash_offset{0}, flash_length{HEADER_SIZE}) != 0)
        std::memset(raw, 0, sizeof raw);
    *header = decode_header(raw);
    if (!is_bootable(header->magic))
        return slot_verdict::no_component;
    uint32_t size = 0;
    if (header->len > MAX_COMPONENT_LEN || api_flash_size(partition, &size) != 0 ||
        header->len + HEADER_SIZE > size)
        return slot_verdict::cut_short;
    component_source source{nullptr, partition, 0};
    return judge_bootable(source, *header, archive, archive_written);
}

bool copy_first_component_data(FILE* slot_file, int out, component_header* header, bool* written) {
    uint8_t raw[HEADER_SIZE] = {};
    *header = {0, 0, 0, 0};
    *written = false;
    if (fread(raw, 1, HEADER_SIZE, slot_file) == HEADER_SIZE)
        *header = decode_header(raw);
    if (!is_bootable(header->magic))
        return false;
    rewind(slot_file);
    component_source source{slot_file, -1, 0};
    const uint64_t total = uint64_t(header->len) + HEADER_SIZE;
    *written = stream_component(source, total > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(total), out,
                                HEADER_SIZE, false)
                   .written;
    return true;
}

int read_flash_image_header(uint32_t type, uint8_t* header, int slot) {
    if (!header)
        return 0;
    std::memset(header, 0, HEADER_SIZE);
    const component_type* t = component_type_of(type);
    if (!t) {
        printf("Unknown image type 0x%x \n", type);
        return 0;
    }
    if (type == MAGIC_APPLICATION) {
        file_ptr f(fopen(slot_path(slot), "rb"));
        if (!f)
            return 0;
        // A short file leaves the rest of the header zero.
        fread(header, 1, HEADER_SIZE, f.get());
        return 1;
    }
    // A read that fails, even one cut short, leaves zeros.
    const partition_row* p = partition_of(type);
    if (!p || api_flash_read(header, *p->fd, flash_offset{p->header_offset},
                             flash_length{HEADER_SIZE}) != 0)
        std::memset(header, 0, HEADER_SIZE);
    return 1;
}

namespace {

void staging_path(int slot, char (&path)[32]) {
    snprintf(path, sizeof path, SLOT_DIR "/.image%d.new", slot);
}

} // namespace

void remove_staged_slots() {
    for (int slot = 1; slot <= 2; ++slot) {
        char staging[32];
        staging_path(slot, staging);
        unlink(staging);
    }
}

int write_slot(int slot, component_source& source, const component_header& h, bool shown) {
    if (shown)
        printf("Installing image as image%d: ", slot);
    struct stat st;
    if (stat(SLOT_DIR, &st) != 0)
        mkdir(SLOT_DIR, 0755);
    const char* path = slot_path(slot);
    char staging[32];
    staging_path(slot, staging);

    const uint32_t total = h.len + HEADER_SIZE;
    unlink(staging); // whatever an earlier, interrupted write left
    unique_fd out(create_file(staging, 0644));
    int err = errno;
    if (shown)
        printf("    ");
    bool ok = out.ok();
    if (ok) {
        const stream_result r = stream_component(source, total, out.fd, 0, shown);
        // The bytes were checked before; they must still be the same.
        ok = r.written && r.read == total && r.crc == h.crc;
        err = !r.written ? r.write_errno : EIO;
    }
    if (ok && fsync(out.fd) != 0) {
        ok = false;
        err = errno;
    }
    if (!out.close_now() && ok) {
        ok = false;
        err = errno;
    }
    if (ok && rename(staging, path) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        unlink(staging);
        if (shown)
            printf("Image%d update failed (err %d)\n", slot, err);
        return 0;
    }
    unique_fd dir(open(SLOT_DIR, O_RDONLY | O_DIRECTORY));
    if (dir.ok())
        fsync(dir.fd);
    if (shown) {
        printf("\b\b\b\b100%c\n", '%');
        printf("\nImage%d updated succeeded\n", slot);
    }
    return 1;
}
