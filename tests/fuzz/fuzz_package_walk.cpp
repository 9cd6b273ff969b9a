// Arbitrary bytes as an image slot file: the launcher's slot check (walk, whole-component
// read, CRC) must end, allocate nothing the file cannot back, and never crash; a good
// verdict must hand over exactly the component the header describes.
#include "image.h"

#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("slot", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        return 0;
    FILE* f = fdopen(dup(fd), "rb");
    if (!f)
        return 0;
    rewind(f); // the duplicate shares the offset the previous run left
    component_header h;
    std::unique_ptr<uint8_t[]> component;
    if (check_slot_package(f, &h, &component) == slot_verdict::good) {
        if (!component || h.len + HEADER_SIZE > size ||
            component_crc(component.get(), h.len) != h.crc)
            __builtin_trap();
    }
    fclose(f);
    return 0;
}
