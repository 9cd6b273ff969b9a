// SPDX-License-Identifier: MIT
// Arbitrary bytes as a downloaded /tmp/image, installed on a blade whose flash, user
// filesystem, EEPROM and console answers are in memory, with an erase or write failure
// injected on one partition. A model of the installer says what must result: every
// accepted component byte for byte where its type says, nothing of a rejected component
// or of anything after it, nothing outside the partitions and slots, and the result.
#include "crc.h"
#include "fake_devices.h"
#include "flash.h"
#include "i2c.h"
#include "image.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr uint32_t kBlock = 64 * 1024;
// Above the boot loader's and device tree's limits, below the others', so that every size
// check and the end of a partition are reached; writes of three and more blocks too.
const std::map<uint32_t, std::pair<const char*, uint32_t>> kPartitions = {
    {MAGIC_UBOOT, {"uboot", 10 * kBlock}},
    {MAGIC_DFT, {"devicetree", 5 * kBlock}},
    {MAGIC_KERNEL, {"kernel", 16 * kBlock}},
    {MAGIC_RFS, {"rfs", 16 * kBlock}},
    {MAGIC_DIAGS, {"rescue", 16 * kBlock}}};

struct model {
    std::map<std::string, std::vector<uint8_t>> parts;
    std::map<std::string, std::vector<uint8_t>> slots;
    std::set<std::string> unknown; // partly written by a failed write
    int result = 0;
};

// What the installer must do with `pkg`, the slot answer and the injected failure.
model expected(const uint8_t* pkg, size_t size, int slot, const std::string& faulty, long block) {
    model m;
    for (const auto& [magic, p] : kPartitions)
        m.parts[p.first].assign(p.second, 0xFF);
    bool written = false;
    for (size_t at = 0; size - at >= HEADER_SIZE;) {
        const component_header h = decode_header(pkg + at);
        const component_type* t = component_type_of(h.magic);
        if (!t)
            break;
        if (h.len > MAX_COMPONENT_LEN || size - at < uint64_t(h.len) + HEADER_SIZE ||
            component_crc(pkg + at, h.len) != h.crc)
            return m;
        const uint32_t total = h.len + HEADER_SIZE;
        if (h.magic == MAGIC_APPLICATION) {
            m.slots["/user/images/image" + std::to_string(slot)].assign(pkg + at, pkg + at + total);
        } else {
            const auto& [name, room] = kPartitions.at(h.magic);
            const uint32_t n = t->data_only ? h.len : total;
            if (n > t->limit || n > room)
                return m;
            if (block >= 0 && faulty == name && uint64_t(block) * kBlock < n) {
                m.unknown.insert(name);
                return m;
            }
            const uint8_t* from = pkg + at + (t->data_only ? HEADER_SIZE : 0);
            std::copy(from, from + n, m.parts[name].begin());
        }
        written = true;
        at += total;
    }
    m.result = written;
    return m;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The installer's messages and progress display are not wanted here.
    return freopen("/dev/null", "w", stdout) ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Two bytes of set-up: the slot answer and the failure, then the package.
    if (size < 2)
        return 0;
    const int slot = data[0] & 1 ? 2 : 1;
    const char* names[] = {"uboot", "devicetree", "kernel", "rfs", "rescue"};
    const std::string faulty = data[1] >> 4 < 5 ? names[data[1] >> 4] : "";
    const long block = faulty.empty() ? -1 : long(data[1] & 0x7);
    const bool erase_fails = data[0] & 2;
    data += 2;
    size -= 2;

    static int fd = memfd_create("image", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        return 0;
    fake_mtd::reset();
    fake_mtd::add("ubootenv", kBlock);
    for (const auto& [magic, p] : kPartitions)
        fake_mtd::add(p.first, p.second);
    if (!faulty.empty())
        (erase_fails ? fake_mtd::get(faulty).fail_erase_block
                     : fake_mtd::get(faulty).fail_write_block) = block;
    fake_files::reset();
    fake_files::get().answer = slot == 2 ? "2\n" : "1\n";
    api_i2c_init();
    api_flash_init();
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    const int result = processBladeImage(path);
    api_i2c_close();

    const model m = expected(data, size, slot, faulty, block);
    if (result != m.result || !fake_files::get().stray_writes.empty())
        __builtin_trap();
    for (const auto& [name, cells] : m.parts)
        if (!m.unknown.count(name) && fake_mtd::get(name).cells != cells)
            __builtin_trap();
    for (const auto& [name, content] : fake_files::get().files)
        if (m.slots.count(name) ? m.slots.at(name) != content : true)
            __builtin_trap();
    if (fake_files::get().files.size() != m.slots.size())
        __builtin_trap();
    return 0;
}
