// Arbitrary bytes as a downloaded /tmp/image, installed on a blade whose flash, user
// filesystem, EEPROM and console answers are in memory. Nothing may be written but a
// partition or a slot file, nothing beyond a partition's end, and nothing may crash.
#include "fake_devices.h"
#include "flash.h"
#include "i2c.h"
#include "image.h"

#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr uint32_t kBlock = 4096;
constexpr const char* kPartitions[] = {"uboot",  "ubootenv", "devicetree",
                                       "kernel", "rfs",      "rescue"};

void set_up_board() {
    fake_mtd::reset();
    // Small partitions, so the size limits and the end of each partition are both reached.
    for (const char* p : kPartitions)
        fake_mtd::add(p, 16 * kBlock, kBlock);
    fake_i2c::reset();
    fake_files::reset();
    api_i2c_init();
    api_flash_init();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The installer's messages and progress display are not wanted here.
    if (!freopen("/dev/null", "w", stdout))
        return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("image", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        return 0;
    set_up_board();
    // The first byte chooses the answer to the slot question; booting without
    // installing would start the application, which this harness does not do.
    fake_files::get().answer = size && (data[0] & 1) ? "2\n" : "1\n";
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int result = processBladeImage(path);

    if (!fake_files::get().stray_writes.empty()) {
        fprintf(stderr, "write outside the partitions and slots: %s\n",
                fake_files::get().stray_writes.front().c_str());
        __builtin_trap();
    }
    for (const auto& op : fake_mtd::ops())
        if (uint64_t(op.offset) + op.length > 16 * kBlock)
            __builtin_trap();
    bool wrote = !fake_mtd::ops().empty();
    for (const auto& [name, content] : fake_files::get().files)
        if (name == "/user/images/image1" || name == "/user/images/image2")
            wrote = true;
    if (result == 1 && !wrote)
        __builtin_trap();
    return 0;
}
