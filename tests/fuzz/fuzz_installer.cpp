// SPDX-License-Identifier: MIT
// Arbitrary bytes as a downloaded package for the installer, on the simulated board's
// device library, with a fault on one erase block of one partition, against a model of
// the installer: components are taken in package order up to the first that is not one of
// the six types; the first that is cut short, fails its CRC, is too big or cannot be
// written, or that is an application or diagnostics archive the launcher could not start
// (judged here by zlib and a tar scan of the model's own), ends the install, and nothing
// of it (but the partition a failed write was writing) or of what follows it is written;
// every component before it lands byte for byte, the application in the slot the
// operator named, which the slot record then names; and the result says whether all went
// well and something was written.
#include "board.h"
#include "crc.h"
#include "flash.h"
#include "i2c.h"
#include "image.h"
#include "installer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <sys/stat.h>
#include <zlib.h>

namespace {

const char* const kFlashed[] = {"uboot", "kernel", "rfs", "devicetree", "rescue"};

// The most a partition takes, as the board describes it.
uint32_t limit_of(const std::string& name) {
    for (const auto& p : board::kPartitions)
        if (name == p.name)
            return p.size;
    abort();
}

const char* installed_in(uint32_t magic) {
    static const std::map<uint32_t, const char*> where = {{MAGIC_UBOOT, "uboot"},
                                                          {MAGIC_KERNEL, "kernel"},
                                                          {MAGIC_RFS, "rfs"},
                                                          {MAGIC_DFT, "devicetree"},
                                                          {MAGIC_DIAGS, "rescue"}};
    return where.at(magic);
}

struct model {
    std::map<std::string, std::vector<uint8_t>> parts;
    std::vector<uint8_t> slots[2];
    std::string unchecked; // the partition a failed write was writing
    int slot_record = 1;
    int result = 0;
};

// Whether a write of `n` bytes at offset 0 meets the fault on block `b` of its partition.
bool meets_fault(const std::string& fault, const std::vector<uint8_t>& want, uint32_t n,
                 uint32_t S) {
    if (fault.empty())
        return false;
    const uint32_t b = uint32_t(std::stoul(fault.substr(fault.find('@') + 1)));
    if (uint64_t(b) * S >= n)
        return false;
    if (fault.find(":stuck@") == std::string::npos)
        return true;
    // A stuck bit shows only where the block is to hold a programmed (not 0xFF) byte.
    return std::any_of(want.begin() + long(b) * S, want.begin() + long(b + 1) * S,
                       [](uint8_t c) { return c != 0xFF; });
}

// Whether DATA is gzip data, whole to its end, holding a tar member PROGRAM (a plain file).
bool startable(const uint8_t* data, size_t n, const char* program) {
    std::vector<uint8_t> out;
    z_stream zs{};
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK)
        return false;
    zs.next_in = const_cast<uint8_t*>(data);
    zs.avail_in = uInt(n);
    int rc = Z_OK;
    uint8_t piece[4096];
    while (rc == Z_OK || (rc == Z_STREAM_END && zs.avail_in > 0)) {
        if (rc == Z_STREAM_END && inflateReset(&zs) != Z_OK)
            break; // another gzip member follows
        zs.next_out = piece;
        zs.avail_out = sizeof piece;
        rc = inflate(&zs, Z_NO_FLUSH);
        out.insert(out.end(), piece, piece + (sizeof piece - zs.avail_out));
        if (rc == Z_BUF_ERROR || out.size() > (64u << 20))
            break;
    }
    inflateEnd(&zs);
    if (rc != Z_STREAM_END || zs.avail_in != 0)
        return false;
    for (size_t at = 0; at + 512 <= out.size();) {
        const uint8_t* h = out.data() + at;
        unsigned sum = 0, stored = 0;
        for (int i = 0; i < 512; ++i)
            sum += (i >= 148 && i < 156) ? ' ' : h[i];
        if (sscanf(reinterpret_cast<const char*>(h + 148), "%o", &stored) != 1 || sum != stored)
            return false;
        std::string name(reinterpret_cast<const char*>(h),
                         strnlen(reinterpret_cast<const char*>(h), 100));
        if (memcmp(h + 257, "ustar", 5) == 0 && h[345])
            name = std::string(reinterpret_cast<const char*>(h + 345),
                               strnlen(reinterpret_cast<const char*>(h + 345), 155)) +
                   "/" + name;
        while (name.rfind("./", 0) == 0)
            name.erase(0, 2);
        const char type = char(h[156]);
        const bool plain = type == '0' || type == '\0' || type == '7';
        if (plain && name == program)
            return true;
        unsigned long long size = 0;
        sscanf(reinterpret_cast<const char*>(h + 124), "%llo", &size);
        const bool data_follows = plain || type == 'L' || type == 'K' || type == 'x' || type == 'g';
        at += 512 + (data_follows ? (size + 511) / 512 * 512 : 0);
    }
    return false;
}

void install(model& m, const uint8_t* p, size_t size, int answer, const std::string& faulty,
             const std::string& fault, uint32_t S) {
    bool written = false;
    int slot = 0;
    for (size_t at = 0; size - at >= HEADER_SIZE;) {
        const component_header h = decode_header(p + at);
        const component_type* t = component_type_of(h.magic);
        if (!t)
            break;
        const uint64_t total = uint64_t(h.len) + HEADER_SIZE;
        if (h.len > MAX_COMPONENT_LEN || size - at < total ||
            gen_crc(p + at + 4, uint32_t(total - 4), 0xFFFFFFFFu) != h.crc)
            return;
        const uint8_t* whole = p + at;
        if (is_bootable(h.magic) &&
            !startable(whole + HEADER_SIZE, h.len, launched_program(h.magic)))
            return;
        if (h.magic == MAGIC_APPLICATION) {
            slot = slot ? slot : answer;
            m.slots[slot - 1].assign(whole, whole + total);
            m.slot_record = slot;
        } else {
            const uint8_t* bytes = t->data_only ? whole + HEADER_SIZE : whole;
            const uint32_t n = t->data_only ? h.len : uint32_t(total);
            std::vector<uint8_t>& part = m.parts[installed_in(h.magic)];
            if (n > limit_of(installed_in(h.magic)) || n > part.size())
                return;
            std::vector<uint8_t> want = part;
            std::copy(bytes, bytes + n, want.begin());
            if (faulty == installed_in(h.magic) && meets_fault(fault, want, n, S)) {
                m.unchecked = faulty;
                return;
            }
            part = want;
        }
        written = true;
        at += size_t(total);
    }
    m.result = written ? 1 : 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    const uint32_t S = fuzz::erase_size();
    // As the launcher does at its start: the flash and the I2C buses open once.
    static const int opened = api_flash_init() == 0 && api_i2c_init() == 0 ? 0 : -1;
    static int package = memfd_create("image", 0);
    if (opened != 0 || package < 0 || ftruncate(package, 0) != 0 ||
        pwrite(package, data + 3, size - 3, 0) != ssize_t(size - 3))
        abort();
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", package);

    model m;
    for (const char* p : kFlashed) {
        m.parts[p] = fuzz::old_cells(fuzz::partition(p).size(), uint8_t(p[0]));
        fuzz::set_partition(p, m.parts[p]);
    }
    mkdir("/user/images", 0755);
    for (int n = 0; n < 2; ++n) {
        m.slots[n] = std::vector<uint8_t>(40, uint8_t('a' + n));
        fuzz::write_file(std::string("/user/images/image") + char('1' + n), m.slots[n]);
    }
    std::vector<uint8_t> eeprom(256, 0xFF);
    eeprom[1] = 1;
    fuzz::write_file(fuzz::board_file("eeprom"), eeprom);
    fuzz::write_file(fuzz::board_file("cpld"), std::vector<uint8_t>(256, 0));

    const int answer = 1 + (data[0] & 1);
    const std::string faulty = kFlashed[data[1] % 5];
    const std::string fault = fuzz::block_fault(faulty.c_str(), data[2], 16);
    install(m, data + 3, size - 3, answer, faulty, fault, S);

    fuzz::feed_stdin(std::string(1, char('0' + answer)) + "\n");
    fuzz::set_faults(fault);
    const int r = processBladeImage(path);
    fuzz::set_faults("");

    if (r != m.result)
        __builtin_trap();
    for (const char* p : kFlashed)
        if (p != m.unchecked && fuzz::partition(p) != m.parts[p])
            __builtin_trap();
    for (int n = 0; n < 2; ++n)
        if (fuzz::read_file(std::string("/user/images/image") + char('1' + n)) != m.slots[n])
            __builtin_trap();
    if (fuzz::read_file(fuzz::board_file("eeprom"))[1] != m.slot_record)
        __builtin_trap();
    return 0;
}
