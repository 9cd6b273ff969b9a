#include "image.h"

#include "crc.h"

#include <cstring>
#include <new>
#include <sys/stat.h>

namespace {

constexpr component_type kComponentTypes[] = {
    {MAGIC_APPLICATION, "app", "APPLICATION"},
    {MAGIC_UBOOT, "uboot", "UBOOT"},
    {MAGIC_KERNEL, "kernel", "KERNEL"},
    {MAGIC_RFS, "rfs", "RFS"},
    {MAGIC_DFT, "dtb", "DFT"},
    {MAGIC_DIAGS, "diags", "DIAGNOSTICS IMAGE"},
};

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

int CheckCrc(const uint8_t* bytes, uint32_t count, uint32_t expected) {
    return gen_crc(bytes, count, 0xFFFFFFFFu) == expected ? 0 : 1;
}

uint32_t component_crc(const uint8_t* component, uint32_t len) {
    return gen_crc(component + 4, len + HEADER_SIZE - 4, 0xFFFFFFFFu);
}

int parse_image(FILE* package, component_header* header) {
    uint32_t offset = 0;
    component_header h;
    while (read_header(package, &h)) {
        *header = h;
        if (h.magic == MAGIC_APPLICATION || h.magic == MAGIC_DIAGS)
            return fseeko(package, offset, SEEK_SET) == 0 ? 1 : 0;
        if (!next_component_offset(offset, h, &offset))
            return 0;
        if (fseeko(package, offset, SEEK_SET) != 0)
            return 0;
    }
    return 0;
}

std::unique_ptr<uint8_t[]> read_component(FILE* package, const component_header& header) {
    if (header.len > MAX_COMPONENT_LEN)
        return nullptr;
    uint32_t total = header.len + HEADER_SIZE;
    off_t at = ftello(package);
    struct stat st;
    if (at < 0 || fstat(fileno(package), &st) != 0)
        return nullptr;
    if (S_ISREG(st.st_mode) && (st.st_size < at || uint64_t(st.st_size - at) < total))
        return nullptr;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[total]);
    if (!buf)
        return nullptr;
    if (fread(buf.get(), 1, total, package) != total)
        return nullptr;
    return buf;
}

slot_verdict check_slot_package(FILE* package, component_header* header,
                                std::unique_ptr<uint8_t[]>* component) {
    if (!parse_image(package, header))
        return slot_verdict::no_component;
    std::unique_ptr<uint8_t[]> buf = read_component(package, *header);
    if (!buf)
        return slot_verdict::cut_short;
    if (CheckCrc(buf.get() + 4, header->len + HEADER_SIZE - 4, header->crc) != 0)
        return slot_verdict::bad_crc;
    *component = std::move(buf);
    return slot_verdict::good;
}
