// Arbitrary bytes as an image slot file: the launcher's walk, the whole-component read
// and the CRC check must end, allocate nothing the file cannot back, and never crash.
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
    if (parse_image(f, &h)) {
        if (auto buf = read_component(f, h))
            (void)CheckCrc(buf.get() + 4, h.len + 12, h.crc);
    }
    fclose(f);
    return 0;
}
