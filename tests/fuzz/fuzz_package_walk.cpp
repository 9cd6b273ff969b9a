// SPDX-License-Identifier: MIT
// Arbitrary bytes as an image slot file: the launcher's slot check (walk, streamed CRC,
// archive write) must end and never crash; a good verdict must leave in the archive
// exactly the data of a component whose CRC matches.
#include "crc.h"
#include "image.h"

#include <cstdio>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int fd = memfd_create("slot", 0);
    static int archive = memfd_create("archive", 0);
    if (fd < 0 || archive < 0 || ftruncate(fd, 0) != 0 || ftruncate(archive, 0) != 0 ||
        pwrite(fd, data, size, 0) != ssize_t(size) || lseek(archive, 0, SEEK_SET) != 0)
        return 0;
    FILE* f = fdopen(dup(fd), "rb");
    if (!f)
        return 0;
    rewind(f); // the duplicate shares the offset the previous run left
    component_header h;
    bool written = false;
    if (check_slot_package(f, &h, archive, &written) == slot_verdict::good) {
        std::vector<uint8_t> got(size + 1);
        const ssize_t n = pread(archive, got.data(), got.size(), 0);
        uint8_t raw[HEADER_SIZE];
        encode_header(h, raw);
        uint32_t crc = gen_crc(raw + 4, HEADER_SIZE - 4, 0xFFFFFFFFu);
        if (!written || n != ssize_t(h.len) || gen_crc(got.data(), h.len, crc) != h.crc)
            __builtin_trap();
    }
    fclose(f);
    return 0;
}
