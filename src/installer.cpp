// SPDX-License-Identifier: MIT
// The installer: every component of a downloaded package checked, then written to its
// flash partition or image slot, or the application booted without being installed.
#include "installer.h"

#include "console.h"
#include "flash.h"
#include "handles.h"
#include "i2c.h"
#include "image.h"
#include "launch.h"

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One pass of the installer over a package.
struct installer {
    file_ptr package;
    uint8_t written = 0;
    int slot = 0;
};

// The component at `at` of the package, read from its header on.
component_source component_at(installer& in, uint64_t at) {
    fseeko(in.package.get(), off_t(at), SEEK_SET);
    return {in.package.get(), -1, 0};
}

// The archive check's state: a window and code tables, kept here rather than on the stack.
archive_check g_archive;

// Whether a component the launcher would start holds what it starts; said when not.
bool can_start(const component_type& t, const char* program, archive_verdict v) {
    switch (v) {
    case archive_verdict::holds_program:
        return true;
    case archive_verdict::not_gzip:
        printf("%s image is not a gzip-compressed archive, voiding download\n", t.crc_name);
        break;
    case archive_verdict::not_tar:
        printf("%s image is not a tar archive, voiding download\n", t.crc_name);
        break;
    case archive_verdict::no_program:
        printf("%s image lacks %s, voiding download\n", t.crc_name, program);
        break;
    }
    return false;
}

// Every component is checked against its CRC, over the whole component, before anything
// of it is written; an application or diagnostics component, in the same pass, for the
// program the launcher would start from it: one that cannot start is never installed.
bool check_component(installer& in, const component_type& t, uint64_t at,
                     const component_header& h) {
    component_source source = component_at(in, at);
    const char* program = launched_program(t.magic);
    if (program)
        archive_begin(g_archive, program);
    const stream_result r =
        stream_component(source, h.len + HEADER_SIZE, -1, 0, false, program ? &g_archive : nullptr);
    if (r.read != h.len + HEADER_SIZE) {
        printf("%s image could not be read, voiding download\n", t.crc_name);
        return false;
    }
    if (r.crc != h.crc) {
        printf("Bad crc for %s: 0x%08x, voiding download\n", t.crc_name, r.crc);
        return false;
    }
    return !program || can_start(t, program, archive_end(g_archive));
}

bool install_flash_component(installer& in, const component_type& t, uint64_t at,
                             const component_header& h) {
    const partition_row& p = *partition_of(t.magic);
    const uint32_t size = t.data_only ? h.len : h.len + HEADER_SIZE;
    if (size > p.limit) {
        printf("%s image is too big for flash (%d > %d)\n", t.size_name, int(size), int(p.limit));
        return false;
    }
    component_at(in, at + (t.data_only ? HEADER_SIZE : 0));
    if (api_flash_write_file(in.package.get(), *p.fd, flash_offset{0}, flash_length{size}, 1) < 0) {
        puts(t.failure);
        return false;
    }
    in.written = 1;
    if (t.magic == MAGIC_DIAGS)
        puts("done");
    return true;
}

bool install_application(installer& in, uint64_t at, const component_header& h) {
    if (in.slot == 0) {
        console_ask("Install image as image 1 or 2 (hit return to just boot image): ");
        char answer[32];
        if (api_read_answer(answer, sizeof answer) && (answer[0] == '1' || answer[0] == '2'))
            in.slot = answer[0] - '0';
    }
    component_source source = component_at(in, at);
    if (in.slot == 0) {
        puts("Booting downloaded image");
        // Writing nothing (an empty component) counts as a failed write.
        unique_fd archive(create_file(APP_ARCHIVE));
        int err = errno;
        bool ok = archive.ok() && h.len != 0;
        if (ok) {
            const stream_result r =
                stream_component(source, h.len + HEADER_SIZE, archive.fd, HEADER_SIZE, false);
            ok = r.written && r.read == h.len + HEADER_SIZE;
            err = r.written ? EIO : r.write_errno;
        }
        if (ok && !archive.close_now()) {
            ok = false;
            err = errno;
        }
        if (!ok) {
            printf("Image unpack failed (err %d)\n", err);
            unlink(APP_ARCHIVE);
            return false;
        }
        puts("Image ready to boot...");
        in.package.reset();
        launch_image(0, 0);
        return false; // the archive did not unpack, as the launcher has said
    }
    if (!write_slot(in.slot, source, h, true))
        return false;
    in.written = 1;
    api_set_image(in.slot);
    return true;
}

} // namespace

int processBladeImage(const char* path) {
    installer in{file_ptr(fopen(path, "rb"))};
    if (!in.package)
        return 0;
    puts("\nExtracting images ... Do *NOT* power cycle the switch.");

    struct stat st;
    const uint64_t file_size = fstat(fileno(in.package.get()), &st) == 0 ? uint64_t(st.st_size) : 0;
    uint64_t at = 0;
    uint8_t raw[HEADER_SIZE];
    while (fread(raw, 1, HEADER_SIZE, in.package.get()) == HEADER_SIZE) {
        const component_header h = decode_header(raw);
        const component_type* t = component_type_of(h.magic);
        if (!t)
            break;
        // The label comes before any verdict on the component.
        printf("%s", t->label);
        fflush(stdout);
        // Lengths the file cannot back are refused before anything else is done.
        if (h.len > MAX_COMPONENT_LEN) {
            printf("Bad length for %s: 0x%08x, voiding download\n", t->crc_name, h.len);
            return 0;
        }
        const uint32_t total = h.len + HEADER_SIZE;
        if (file_size - at < total) {
            printf("%s image is cut short (%llu of %u bytes), voiding download\n", t->crc_name,
                   (unsigned long long)(file_size - at), total);
            return 0;
        }
        if (!check_component(in, *t, at, h))
            return 0;
        const bool installed = t->magic == MAGIC_APPLICATION
                                   ? install_application(in, at, h)
                                   : install_flash_component(in, *t, at, h);
        if (!installed)
            return 0;
        at += total;
        fseeko(in.package.get(), off_t(at), SEEK_SET);
    }
    return in.written;
}
