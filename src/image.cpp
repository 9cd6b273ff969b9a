#include "image.h"

#include "crc.h"
#include "flash.h"
#include "handles.h"
#include "i2c.h"
#include "launch.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr component_type kComponentTypes[] = {
    {MAGIC_APPLICATION, "app", "APPLICATION", "Installing Application: ", nullptr, 0, false,
     nullptr, 0, nullptr},
    {MAGIC_UBOOT, "uboot", "UBOOT", "Installing Boot Loader: ", "UBOOT", 0x80000, true, &uboot_fd,
     240, "Uboot image update failed"},
    {MAGIC_KERNEL, "kernel", "KERNEL", "Installing Kernel: ", "KERNEL", 0x300000, false, &kernel_fd,
     0, "kernel image update failed"},
    {MAGIC_RFS, "rfs", "RFS", "Installing Root Filesystem: ", "RFS", 0xF00000, false, &rfs_fd, 0,
     "RFS image update failed"},
    {MAGIC_DFT, "dtb", "DFT", "Installing Device Tree: ", "DFT", 0x40000, false, &device_tree_fd, 0,
     "DFT image update failed"},
    {MAGIC_DIAGS, "diags", "DIAGNOSTICS IMAGE", "Installing Diagnostics: ", "DIAGS", 0xA00000,
     false, &rescue_fd, 0, "DIAGS image update failed"},
};

constexpr uint32_t kSlotPiece = 0x10000;

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
        if (is_bootable(h.magic))
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
        char path[32];
        snprintf(path, sizeof path, "/user/images/image%d", slot);
        file_ptr f(fopen(path, "rb"));
        if (!f)
            return 0;
        if (fread(header, 1, HEADER_SIZE, f.get()) < HEADER_SIZE) {
            // A short file leaves the rest of the header zero.
        }
        return 1;
    }
    api_flash_read(header, *t->fd, t->header_offset, HEADER_SIZE);
    return 1;
}

namespace {

// One pass of the installer over a package.
struct installer {
    file_ptr package;
    uint8_t written = 0;
    int slot = 0;
};

enum class outcome { next, failed };

// Every component is announced by its label and checked against its CRC first.
bool announce_and_check(const component_type& t, const uint8_t* buf, const component_header& h) {
    printf("%s", t.label);
    fflush(stdout);
    uint32_t crc = component_crc(buf, h.len);
    if (crc != h.crc) {
        printf("Bad crc for %s: 0x%08x, voiding download\n", t.crc_name, crc);
        return false;
    }
    return true;
}

outcome install_flash_component(installer& in, const component_type& t, const uint8_t* buf,
                                const component_header& h) {
    const uint32_t size = t.data_only ? h.len : h.len + HEADER_SIZE;
    if (size > t.limit) {
        printf("%s image is too big for flash (%d > %d)\n", t.size_name, int(size), int(t.limit));
        return outcome::failed;
    }
    if (api_flash_write(t.data_only ? buf + HEADER_SIZE : buf, *t.fd, 0, size, 1) < 0) {
        puts(t.failure);
        return outcome::failed;
    }
    in.written = 1;
    if (t.magic == MAGIC_DIAGS)
        puts("done");
    return outcome::next;
}

// The slot file is replaced only when its new image is whole: the component goes to a
// file beside it, reaches the flash, and is renamed over the slot file.
bool write_slot(int slot, const uint8_t* component, uint32_t total) {
    printf("Installing image as image%d: ", slot);
    struct stat st;
    if (stat("/user/images", &st) != 0)
        mkdir("/user/images", 0755);
    char path[32], staging[32];
    snprintf(path, sizeof path, "/user/images/image%d", slot);
    snprintf(staging, sizeof staging, "/user/images/.image%d.new", slot);

    unique_fd out(open(staging, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    printf("    ");
    bool ok = out.ok();
    for (uint32_t done = 0; ok && done < total;) {
        uint32_t piece = total - done < kSlotPiece ? total - done : kSlotPiece;
        ssize_t n = write(out.fd, component + done, piece);
        if (n != ssize_t(piece)) {
            if (n >= 0)
                errno = ENOSPC;
            ok = false;
            break;
        }
        done += piece;
        printf("\b\b\b\b%3.3d%c", int(uint64_t(done) * 100 / total), '%');
        fflush(stdout);
    }
    ok = ok && fsync(out.fd) == 0;
    ok = out.close_now() && ok;
    ok = ok && rename(staging, path) == 0;
    if (!ok) {
        int err = errno;
        unlink(staging);
        printf("Image%d update failed (err %d)\n", slot, err);
        return false;
    }
    unique_fd dir(open("/user/images", O_RDONLY | O_DIRECTORY));
    if (dir.ok())
        fsync(dir.fd);
    printf("\b\b\b\b100%c\n", '%');
    printf("\nImage%d updated succeeded\n", slot);
    return true;
}

outcome install_application(installer& in, const uint8_t* buf, const component_header& h) {
    if (in.slot == 0) {
        printf("Install image as image 1 or 2 (hit return to just boot image): ");
        fflush(stdout);
        char answer[32];
        if (fgets(answer, sizeof answer, stdin) && (answer[0] == '1' || answer[0] == '2'))
            in.slot = answer[0] - '0';
    }
    if (in.slot == 0) {
        puts("Booting downloaded image");
        // Writing nothing (an empty component) counts as a failed write.
        file_ptr archive(fopen(APP_ARCHIVE, "wb"));
        if (!archive || h.len == 0 || !write_and_close(archive, buf + HEADER_SIZE, h.len)) {
            printf("Image unpack failed (err %d)\n", errno);
            return outcome::failed;
        }
        puts("Image ready to boot...");
        in.package.reset();
        launch_image(0);
    }
    if (!write_slot(in.slot, buf, h.len + HEADER_SIZE))
        return outcome::failed;
    in.written = 1;
    api_set_image(in.slot);
    return outcome::next;
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
        // Lengths the file cannot back are refused before any buffer is sized from them.
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
        std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[total]);
        if (!buf) {
            printf("Failed to allocate buffer for image (%d)\n", int(total));
            return 0;
        }
        if (fseeko(in.package.get(), off_t(at), SEEK_SET) != 0 ||
            fread(buf.get(), 1, total, in.package.get()) != total) {
            printf("%s image could not be read, voiding download\n", t->crc_name);
            return 0;
        }
        if (!announce_and_check(*t, buf.get(), h))
            return 0;
        outcome o = t->magic == MAGIC_APPLICATION ? install_application(in, buf.get(), h)
                                                  : install_flash_component(in, *t, buf.get(), h);
        if (o == outcome::failed)
            return 0;
        at += total;
    }
    return in.written;
}
